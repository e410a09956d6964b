// Running out of memory, one failing allocation at a time, and the memory the write-behind batches hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "MergeHost.h"
#include "TestUtil.h"
#include "biff/CodePage.h"
#include "merge/MergeEngine.h"
#include "merge/WriteBehind.h"
#include "xls/Hardening.h"

namespace plicato {

namespace {

using test::TAllocationCounter;

// Keeps each row's texts, in memory reserved beforehand: it allocates nothing while armed rows come.
class TTextRows final : public TRowOutput {
 public:
  TTextRows() { rows.reserve(16); }
  uint32_t MaxRows() const override { return UINT32_MAX; }
  uint32_t MaxColumns() const override { return 16384; }
  void PutRow(uint32_t row, std::span<const TOutCell> cells, uint16_t) override {
    if (keep) {
      std::u16string joined;
      for (const TOutCell& cell : cells) joined.append(cell.text).append(u"|");
      rows.push_back(std::to_string(row) + ":" + ToUtf8(joined));
    }
  }
  void Commit() override {}
  bool keep = true;
  std::vector<std::string> rows;
};

std::vector<std::u16string> RowTexts(int row) {
  std::vector<std::u16string> texts;
  for (int c = 0; c < 40; ++c) texts.push_back(FromUtf8("r" + std::to_string(row) + "c" + std::to_string(c)));
  return texts;
}

void Put(TRowOutput& output, uint32_t row, const std::vector<std::u16string>& texts) {
  std::vector<TOutCell> cells(texts.size());
  for (size_t c = 0; c < texts.size(); ++c) {
    cells[c].column = static_cast<uint16_t>(c);
    cells[c].text = texts[c];
  }
  output.PutRow(row, cells);
}

}  // namespace

// A row whose copy fails part-way is not taken: the rows around it are written whole, and nothing reads
// past the cells copied (the sanitizer build sees it).
TEST(OutOfMemory, WriteBehindTakesARowWholeOrNotAtAll) {
  bool failedOnce = false;
  for (int64_t n = 0;; ++n) {
    SCOPED_TRACE(n);
    auto recorded = std::make_unique<TTextRows>();
    TTextRows* rows = recorded.get();
    std::unique_ptr<TRowOutput> output = WriteBehind(std::move(recorded));
    const auto first = RowTexts(0), second = RowTexts(1), third = RowTexts(2);
    Put(*output, 0, first);
    bool failed = false;
    TAllocationCounter::failIn.store(n);
    try {
      Put(*output, 1, second);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    TAllocationCounter::failIn.store(-1);
    Put(*output, failed ? 1 : 2, third);
    output->Commit();
    std::vector<std::string> expected = {"0:" + ToUtf8(first[0])};
    if (!failed) expected.push_back("1:" + ToUtf8(second[0]));
    ASSERT_EQ(rows->rows.size(), expected.size() + 1);
    EXPECT_EQ(rows->rows.back().substr(0, 2), failed ? "1:" : "2:");
    for (size_t i = 0; i < rows->rows.size(); ++i) {
      const auto& texts = i == rows->rows.size() - 1 ? third : i == 0 ? first : second;
      std::u16string joined;
      for (const auto& t : texts) joined += t + u"|";
      EXPECT_EQ(rows->rows[i].substr(rows->rows[i].find(':') + 1), ToUtf8(joined)) << "row " << i;
    }
    failedOnce = failedOnce || failed;
    if (!failed) break;
  }
  EXPECT_TRUE(failedOnce);
}

// Rows 16,384 numbers wide: the batches are bounded by cells, so two of them stay a few megabytes.
TEST(OutOfMemory, WideRowsKeepTheBatchesSmall) {
  auto discard = std::make_unique<TTextRows>();
  discard->keep = false;
  std::unique_ptr<TRowOutput> output = WriteBehind(std::move(discard));
  std::vector<TOutCell> cells(16384);
  for (size_t c = 0; c < cells.size(); ++c) {
    cells[c].column = static_cast<uint16_t>(c);
    cells[c].kind = okNumber;
    cells[c].number = static_cast<double>(c);
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
      TAllocationCounter::failIn.store(n);
      std::string said;
      try {
        const TMergeReport report = MergeFiles(host);
        const bool noneFailed = TAllocationCounter::failIn.exchange(-1) >= 0;
        EXPECT_TRUE(report.skipped.empty()) << report.skipped[0].text;
        if (noneFailed) break;
        continue;
      } catch (const EPlicatoError& e) {
        TAllocationCounter::failIn.store(-1);
        EXPECT_EQ(e.Kind(), ekOutOfMemory) << e.what();
        said = e.what();
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
