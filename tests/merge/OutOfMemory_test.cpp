// Running out of memory, one failing allocation at a time, and the memory the write-behind batches hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "MergeHost.h"
#include "TestUtil.h"
#include "biff/CodePage.h"
#include "merge/MergeEngine.h"
#include "merge/output/WriteBehind.h"
#include "xls/Hardening.h"

namespace plicato {

namespace {

using test::TAllocationCounter;

// Checks that every row it is given holds the cells TextRow makes: the text "r<row>c<column>" in
// each of 40 columns. It allocates nothing.
class TCheckedRows final : public TRowOutput {
 public:
  void PutRow(uint32_t row, std::span<const TOutCell> cells) override {
    char expected[32];
    bool whole = cells.size() == 40;
    for (const TOutCell& cell : cells) {
      const int n = std::snprintf(expected, sizeof expected, "r%uc%u", row, cell.column);
      whole = whole && std::equal(cell.text.begin(), cell.text.end(), expected, expected + n);
    }
    (whole ? rows : broken)++;
  }
  void Commit() override {}
  int rows = 0, broken = 0;
};

// The cells of a row as TCheckedRows expects them, their texts kept in texts.
std::vector<TOutCell> TextRow(uint32_t row, std::vector<std::u16string>& texts) {
  std::vector<TOutCell> cells(40);
  texts.clear();
  for (uint16_t c = 0; c < 40; ++c) texts.push_back(FromUtf8("r" + std::to_string(row) + "c" + std::to_string(c)));
  for (uint16_t c = 0; c < 40; ++c) {
    cells[c].column = c;
    cells[c].text = texts[c];
  }
  return cells;
}

}  // namespace

// A row whose copy fails part-way is not taken: the rows around it are written whole, and nothing reads
// past the cells copied (the sanitizer build sees it).
TEST(OutOfMemory, WriteBehindTakesARowWholeOrNotAtAll) {
  int64_t n = 0;
  for (bool failed = true; failed; ++n) {
    auto checked = std::make_unique<TCheckedRows>();
    TCheckedRows& rows = *checked;
    std::unique_ptr<TRowOutput> output = WriteBehind(std::move(checked));
    std::vector<std::u16string> texts;
    output->PutRow(0, TextRow(0, texts));
    const std::vector<TOutCell> cells = TextRow(1, texts);
    TAllocationCounter::failIn.store(n);
    failed = false;
    try {
      output->PutRow(1, cells);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    TAllocationCounter::failIn.store(-1);
    output->PutRow(2, TextRow(2, texts));
    output->Commit();
    EXPECT_EQ(rows.broken, 0) << n;
    EXPECT_EQ(rows.rows, failed ? 2 : 3) << n;
  }
  EXPECT_GT(n, 1);
}

// Rows 16,384 numbers wide: the batches are bounded by cells, so two of them stay a few megabytes.
TEST(OutOfMemory, WideRowsKeepTheBatchesSmall) {
  std::unique_ptr<TRowOutput> output = WriteBehind(std::make_unique<TCheckedRows>());
  std::vector<TOutCell> cells(16384);
  for (uint16_t c = 0; c < cells.size(); ++c) {
    cells[c].column = c;
    cells[c].kind = okNumber;
    cells[c].format = u"0.00";
  }
  const int64_t before = TAllocationCounter::current.load();
  TAllocationCounter::ResetPeak();
  for (uint32_t row = 0; row < 300; ++row) output->PutRow(row, cells);
  output->Commit();
  EXPECT_LT(TAllocationCounter::peak.load() - before, int64_t(32) << 20);
}

// One allocation fails at each point of a run in turn: the run ends saying so, passes no file over as
// unreadable, and leaves the existing target as it was (unless it says it wrote it, the failure coming
// after); or, past the last allocation, it succeeds. No file stays open.
TEST(OutOfMemory, ARunShortOfMemoryLeavesTheTarget) {
  test::TempDir dir;
  WriteTextRows(dir / "first.xls", 30, "a");
  WriteXlsx(dir / "second.xlsx", XlsxTextRows(30));
  const std::vector<uint8_t> original = {'O', 'R', 'I', 'G', 'I', 'N', 'A', 'L', '\n'};
  for (const char* name : {"out.csv", "out.xlsx", "out.xls"}) {
    SCOPED_TRACE(name);
    int failures = 0;
    const auto openFiles = [] {
      return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto open = openFiles();
    // Every allocation at first, then fewer and fewer: a run makes some 50,000 of them.
    for (int64_t n = 0;; n += 1 + n / 32) {
      SCOPED_TRACE(n);
      test::WriteFileBytes(dir / name, original);
      ASSERT_EQ(openFiles(), open) << "no file stays open after a run";
      TRecordingHost host;
      host.files = {(dir / "first.xls").string(), (dir / "second.xlsx").string()};
      host.savePath = (dir / name).string();
      host.options.values = true;
      host.skip = true;
      TMergeOptions options = host.RunOptions();  // handed over whole: the run's own allocations fail
      TAllocationCounter::failIn.store(n);
      std::string said;
      try {
        const TMergeReport report = MergeFiles(host, std::move(options));
        const bool noneFailed = TAllocationCounter::failIn.exchange(-1) >= 0;
        EXPECT_TRUE(report.skipped.empty()) << Said(report.skipped[0]);
        if (noneFailed) break;
        continue;
      } catch (const EPlicatoError& e) {
        TAllocationCounter::failIn.store(-1);
        const auto* merge = dynamic_cast<const EMergeError*>(&e);
        said = merge ? Said(*merge) : e.what();
        EXPECT_EQ(e.Kind(), ekOutOfMemory) << said;
        EXPECT_EQ(said.rfind("Not enough memory to ", 0), 0u) << said;
      }
      ++failures;
      EXPECT_TRUE(test::ReadFileBytes(dir / name) == original || said.find("This run wrote") != std::string::npos)
          << said;
    }
    EXPECT_GT(failures, 10);
  }
}

}  // namespace plicato
