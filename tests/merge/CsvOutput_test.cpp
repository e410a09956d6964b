#include "merge/CsvOutput.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "OutputSamples.h"
#include "TestUtil.h"
#include "biff/Errors.h"
#include "merge/WriteBehind.h"
#include "xlsx/XlsxWriter.h"

namespace plicato {
namespace {

std::string ReadText(const std::filesystem::path& path) {
  const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> FolderNames(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CsvOutput, CellsRowsAndQuoting) {
  test::TempDir dir;
  auto output = MakeCsvOutput(dir / "out.csv");
  EXPECT_EQ(output->MaxRows(), UINT32_MAX);
  EXPECT_EQ(output->MaxColumns(), 16384u);
  test::PutSampleCells(*output, test::SampleCells());
  output->Commit();
  const std::string expected =
      "\xEF\xBB\xBF"
      "plain,\"say \"\"hi\"\"\",\"a,b\",\"line1\r\nline2\",中文，测试,\U0001F600 emoji,, lead and trail "
      ",=1+1\r\n"
      "0.1,0.30000000000000004,123456789012345,1234567890123456,1.2345678901234567,0,1e+300,5e-324,-1.5e-07,"
      "#NUM!,#NUM!,42\r\n"
      "2024-01-31,2024-01-31 18:00:00,12.50%,\"1,234,567.89\",6:00 PM,2024年1月31日\r\n"
      "TRUE,FALSE,#NULL!,#DIV/0!,#VALUE!,#REF!,#NAME?,#NUM!,#N/A\r\n"
      "\r\n"
      "中" +
      std::string(39999, 'x') + "," + std::string(32767, 'y') + "," + std::string(32766, 'z') +
      "\U0001F600\r\n"
      "\r\n"
      "\r\n" +
      std::string(300, ',') + "past column 255\r\n";
  EXPECT_EQ(ReadText(dir / "out.csv"), expected);
  EXPECT_EQ(CsvField("no quotes"), "no quotes");
  EXPECT_EQ(CsvField("\"\r"), "\"\"\"\r\"");
}

TEST(CsvOutput, RowsOnlyWhereNeeded) {
  test::TempDir dir;
  auto output = MakeCsvOutput(dir / "out.csv");
  TOutCell cell;
  cell.text = u"x";
  output->PutRow(2, {&cell, 1});
  EXPECT_THROW(output->PutRow(2, {&cell, 1}), EFileError);
  cell.column = 16384;
  EXPECT_THROW(output->PutRow(3, {&cell, 1}), EFileError);
  output->Commit();
  EXPECT_EQ(ReadText(dir / "out.csv"), "\xEF\xBB\xBF\r\n\r\nx\r\n");
  // Nothing gathered still gives a well-formed file: the mark alone.
  MakeCsvOutput(dir / "empty.csv")->Commit();
  EXPECT_EQ(ReadText(dir / "empty.csv"), "\xEF\xBB\xBF");
}

// The failures every file output shares, for both formats the merge writes beside .xls, alone and
// writing on a thread of their own (where a failure comes out of a later call).
using TMake = std::function<std::unique_ptr<TRowOutput>(const std::filesystem::path&)>;
const std::pair<const char*, TMake> kOutputs[] = {
    {"out.csv", MakeCsvOutput},
    {"out.xlsx", [](const std::filesystem::path& path) { return MakeXlsxOutput(path); }},
    {"behind.csv", [](const std::filesystem::path& path) { return WriteBehind(MakeCsvOutput(path)); }},
    {"behind.xlsx", [](const std::filesystem::path& path) { return WriteBehind(MakeXlsxOutput(path)); }}};

TEST(RowOutputFiles, FailuresLeaveTheTargetAsItWas) {
  for (const auto& [name, make] : kOutputs) {
    SCOPED_TRACE(name);
    test::TempDir dir;
    // A folder that is not there: refused at once, nothing made.
    EXPECT_THROW(make(dir / "missing" / name), EFileError);
    EXPECT_TRUE(FolderNames(dir.Path()).empty());

    // Destroyed without Commit: the old file stays, no temporary file is left and no file stays open
    // (an unlinked temporary file would hold its disk space).
    test::WriteFileBytes(dir / name, {'o', 'l', 'd'});
    const size_t open = FolderNames("/proc/self/fd").size();
    {
      auto output = make(dir / name);
      test::PutSampleCells(*output, test::SampleCells());
    }
    EXPECT_EQ(FolderNames("/proc/self/fd").size(), open);
    EXPECT_EQ(ReadText(dir / name), "old");
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{name});

    // Rows out of order are refused.
    {
      auto output = make(dir / name);
      TOutCell cell;
      cell.text = u"x";
      output->PutRow(5, {&cell, 1});
      EXPECT_THROW(
          {
            output->PutRow(4, {&cell, 1});
            output->Commit();
          },
          EFileError);
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
        auto output = make(dir / name);
        for (uint32_t i = 0; i < 100; ++i) test::PutSampleCells(*output, test::SampleCells(), i * 10);
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
    std::filesystem::create_directory(dir / "stick");
    {
      auto output = make(dir / "stick" / name);
      test::PutSampleCells(*output, test::SampleCells());
      std::filesystem::remove_all(dir / "stick");
      try {
        output->Commit();
        ADD_FAILURE() << "committed into a folder that is gone";
      } catch (const EFileError& e) {
        EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
      }
    }

    // Committed: the old file is replaced and keeps its permissions.
    std::filesystem::permissions(dir / name,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    auto output = make(dir / name);
    test::PutSampleCells(*output, test::SampleCells());
    output->Commit();
    EXPECT_THROW(output->Commit(), EFileError);
    EXPECT_NE(ReadText(dir / name), "old");
    EXPECT_EQ(std::filesystem::status(dir / name).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{name});
  }
}

}  // namespace
}  // namespace plicato
