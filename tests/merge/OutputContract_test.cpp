// What every output promises the merge, one table over the formats: the cells read back as given (in the
// kinds the format keeps), the format's capacity to its last cell and not past it, the target replaced
// only by Commit, and failures as EFileError naming the output. Each format as the merge makes it
// (through MakeRowOutput: .xlsx and .csv written behind) and its writer alone.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>

#include "OutputSamples.h"
#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "merge/CsvReader.h"
#include "merge/RowSource.h"
#include "merge/output/CsvOutput.h"
#include "merge/output/Outputs.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xls/XlsRowOutput.h"
#include "xlsx/XlsxWriter.h"

namespace plicato {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> FolderNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Every cell of the file's first sheet as the merge reads it back: "row:column kind value".
std::string ReadBack(const fs::path& path, TOutputFormat format) {
  std::unique_ptr<TInputBook> book;
  if (format == ofXls) {
    auto workbook = std::make_unique<TXLSWorkbook>();
    workbook->Filename = FileNameFromPath(path);
    ReadWorkbook(*workbook);
    book = MakeXlsBook(std::move(workbook));
  } else {
    book = format == ofXlsx ? MakeXlsxBook(path) : MakeCsvBook(path, TCsvOptions{"", 0, true});
  }
  book->SetColumnLimit(CapacityOf(format).columns);
  book->SelectSheet(0);
  std::string out;
  for (TInRow row; book->NextRow(row);) {
    for (const TInCell& cell : row.cells) {
      out += std::to_string(row.index) + ":" + std::to_string(cell.column) + " " + "_ntse"[cell.kind] + " ";
      out += cell.kind == ikNumber    ? FormatMessage("%.17g ", cell.number) + ToUtf8(cell.format)
             : cell.kind == ikBoolean ? std::string(cell.boolean ? "TRUE" : "FALSE")
             : cell.kind == ikError   ? std::to_string(cell.error)
                                      : ToUtf8(cell.text);
      out += "\n";
    }
  }
  return out;
}

using TMake = std::function<std::unique_ptr<TRowOutput>(const fs::path&)>;
struct TContract {
  const char* name;
  TOutputFormat format;
  TMake make;
  std::string cells;  // the contract row read back
};
// .xls keeps every kind and the number's format; .xlsx the same but no empty text; .csv keeps texts and
// what the merge's value rules read as values: numbers and ISO dates, not booleans or errors.
const std::string kNumbers = "0:2 n 0.10000000000000001 \n0:3 n 45322 yyyy-mm-dd\n";
const std::string kXlsCells = "0:0 t a,b\n0:1 t \n" + kNumbers + "0:4 s TRUE\n0:5 e 2\n";
const std::string kXlsxCells = "0:0 t a,b\n" + kNumbers + "0:4 s TRUE\n0:5 e 2\n";
const std::string kCsvCells = "0:0 t a,b\n" + kNumbers + "0:4 t TRUE\n0:5 t #DIV/0!\n";
const TContract kContracts[] = {
    {"out.xls", ofXls, [](const fs::path& path) { return MakeRowOutput(ofXls, path); }, kXlsCells},
    {"model.xls", ofXls, [](const fs::path& path) { return MakeXlsOutput(path, true); }, kXlsCells},
    {"out.xlsx", ofXlsx, [](const fs::path& path) { return MakeRowOutput(ofXlsx, path); }, kXlsxCells},
    {"alone.xlsx", ofXlsx, [](const fs::path& path) { return MakeXlsxOutput(path); }, kXlsxCells},
    {"out.csv", ofCsv, [](const fs::path& path) { return MakeRowOutput(ofCsv, path); }, kCsvCells},
    {"alone.csv", ofCsv, MakeCsvOutput, kCsvCells}};

void PutContractRow(TRowOutput& output, uint32_t row) {
  TOutCell cells[6];
  for (uint16_t i = 0; i < 6; ++i) cells[i].column = i;
  cells[0].text = u"a,b";
  cells[2].kind = cells[3].kind = okNumber;
  cells[2].number = 0.1;
  cells[3].number = 45322;
  cells[3].format = u"yyyy-mm-dd";
  cells[4].kind = okBoolean;
  cells[4].boolean = true;
  cells[5].kind = okError;
  cells[5].error = ceDiv0;
  output.PutRow(row, cells);
}

TEST(OutputContract, CellsCapacityAndPlace) {
  for (const TContract& format : kContracts) {
    SCOPED_TRACE(format.name);
    const TOutputCapacity capacity = CapacityOf(format.format);
    test::TempDir dir;
    const fs::path target = dir / format.name;

    // The cells, and the last cell that fits (.csv has no last row): a row or a column past it is refused.
    const uint32_t lastRow = capacity.rows == UINT32_MAX ? 2 : capacity.rows - 1;
    TOutCell last;
    last.column = static_cast<uint16_t>(capacity.columns - 1);
    last.text = u"last";
    for (const bool pastRow : {false, true}) {
      if (pastRow && capacity.rows == UINT32_MAX) continue;
      TOutCell past = last;
      past.column = static_cast<uint16_t>(pastRow ? 0 : capacity.columns);
      auto output = format.make(target);
      EXPECT_THROW(
          {
            output->PutRow(pastRow ? capacity.rows : 0, {&past, 1});
            output->Commit();
          },
          EPlicatoError);
    }
    EXPECT_TRUE(FolderNames(dir.Path()).empty());
    auto output = format.make(target);
    PutContractRow(*output, 0);
    output->PutRow(lastRow, {&last, 1});
    output->Commit();
    EXPECT_EQ(ReadBack(target, format.format),
              format.cells + FormatMessage("%u:%u t last\n", lastRow, capacity.columns - 1));
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{format.name});
  }
}

TEST(OutputContract, FailuresLeaveTheTargetAsItWas) {
  for (const TContract& format : kContracts) {
    SCOPED_TRACE(format.name);
    const std::string name = format.name;
    std::vector<test::TSampleCell> samples = test::SampleCells();
    std::erase_if(samples, [&](const test::TSampleCell& cell) {
      return cell.column >= CapacityOf(format.format).columns;
    });
    test::TempDir dir;
    // A folder that is not there: refused by the time of Commit, nothing made.
    EXPECT_THROW(
        {
          auto output = format.make(dir / "missing" / name);
          output->Commit();
        },
        EFileError);
    EXPECT_TRUE(FolderNames(dir.Path()).empty());

    // Destroyed without Commit: the old file stays, no temporary file is left and no file stays open
    // (an unlinked temporary file would hold its disk space).
    test::WriteFileBytes(dir / name, {'o', 'l', 'd'});
    const size_t open = FolderNames("/proc/self/fd").size();
    {
      auto output = format.make(dir / name);
      test::PutSampleCells(*output, samples);
    }
    EXPECT_EQ(FolderNames("/proc/self/fd").size(), open);
    EXPECT_EQ(ReadText(dir / name), "old");
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{name});

    // Rows out of order are refused.
    {
      auto output = format.make(dir / name);
      TOutCell cell;
      cell.text = u"x";
      output->PutRow(5, {&cell, 1});
      EXPECT_THROW(
          {
            output->PutRow(4, {&cell, 1});
            output->Commit();
          },
          EPlicatoError);
    }
    EXPECT_EQ(ReadText(dir / name), "old");
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{name});

    // A full disk (a file size limit stands for it, in a child process): an EFileError naming the
    // output and saying what the system said, the old file as it was, no temporary file left.
    const pid_t child = ::fork();
    if (child == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{64 << 10, 64 << 10};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      int status = 1;
      try {
        auto output = format.make(dir / name);
        for (uint32_t i = 0; i < 100; ++i) test::PutSampleCells(*output, samples, i * 10);
        output->Commit();
      } catch (const EFileError& e) {
        const std::string what = e.what();
        status = what.find(name) != std::string::npos && what.find("File too large") != std::string::npos ? 0 : 2;
        if (status != 0) std::fprintf(stderr, "%s\n", what.c_str());
      }
      ::_exit(status);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadText(dir / name), "old");
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{name});

    // The folder gone before Commit (a removed stick): an EFileError naming the output.
    fs::create_directory(dir / "stick");
    {
      auto output = format.make(dir / "stick" / name);
      test::PutSampleCells(*output, samples);
      fs::remove_all(dir / "stick");
      try {
        output->Commit();
        ADD_FAILURE() << "committed into a folder that is gone";
      } catch (const EFileError& e) {
        EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
      }
    }

    // Committed: the old file is replaced and keeps its permissions.
    fs::permissions(dir / name, fs::perms::owner_read | fs::perms::owner_write);
    auto output = format.make(dir / name);
    test::PutSampleCells(*output, samples);
    output->Commit();
    EXPECT_THROW(output->Commit(), EPlicatoError);
    EXPECT_NE(ReadText(dir / name), "old");
    EXPECT_EQ(fs::status(dir / name).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{name});
  }
}

}  // namespace
}  // namespace plicato
