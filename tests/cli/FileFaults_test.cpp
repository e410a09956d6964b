// plicato-cli merge against a careless user and a hostile file system: nothing an input or an existing
// output holds is lost, nothing hangs, and every failure says so.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/CompoundFile.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {
namespace {

namespace fs = std::filesystem;

void WriteRows(const fs::path& path, int rows) {
  TXLSWorkbook wb;
  for (int r = 0; r < rows; ++r) wb.Sheets()[0].PutText(0, r, u"r" + FromUtf8(std::to_string(r)));
  wb.Filename = FileNameFromPath(path);
  wb.Write();
}

// A workbook whose SummaryInformation stream declares 4 GB: damaged, but not needed to read the cells.
void WriteWithDamagedSummary(const fs::path& path) {
  WriteRows(path, 3);
  cfb::TCompoundDocument doc = cfb::TCompoundDocument::OpenFile(path);
  doc.Root().CreateStream(u"\005SummaryInformation").Data().assign(5000, 1);
  doc.SaveToFile(path);
  std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  const std::u16string name = u"\005SummaryInformation";
  const std::string needle(reinterpret_cast<const char*>(name.data()), name.size() * 2);
  const size_t entry = std::string(bytes.begin(), bytes.end()).find(needle);
  ASSERT_NE(entry, std::string::npos);
  bytes[entry + 0x7B] = 0xF0;  // the size's high byte: 0xF00013888 is past any file
  test::WriteFileBytes(path, bytes);
}

struct TRun {
  int status;
  std::string output;
};

// Runs a shell line in dir with plicato-cli as $CLI; a hang guard turns a hang into a failure, and the
// address-space limit a read without end.
TRun RunCli(const fs::path& dir, const std::string& line) {
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;
#else
  const std::string limit = "ulimit -v 3000000; ";
#endif
  const std::string command =
      "cd '" + dir.string() + "' && CLI='" PLICATO_CLI "' timeout 120 bash -c '" + limit + line + "' 2>&1";
  TRun run{-1, {}};
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

struct TFault {
  const char* name;
  std::function<void(const fs::path& dir)> setUp;
  const char* line;
  int status;          // expected exit status (0, or 1 for a refusal)
  const char* says;    // in the output
  const char* absent;  // a name that must not exist afterwards, or nothing
};

TEST(FileFaults, NothingLostNothingHangsNoFailureReportedAsSuccess) {
  test::TempDir dir;
  const fs::path& d = dir.Path();
  WriteRows(d / "a.xls", 3);
  WriteRows(d / "big.xls", 65536);
  const std::vector<uint8_t> good = test::ReadFileBytes(d / "a.xls");
  const TFault faults[] = {
      {"output is an input", nullptr, "$CLI merge -o a.xls big.xls a.xls", 1, "is the listed file \"a.xls\"",
       nullptr},
      {"continuation is an input", [](const fs::path& p) { fs::copy_file(p / "a.xls", p / "o-1.xls"); },
       "$CLI merge -o o.xls a.xls o-1.xls", 1, "\"o-1.xls\" is the listed file", "o.xls"},
      {"folder holds last output",
       [](const fs::path& p) {
         fs::create_directory(p / "s");
         fs::copy_file(p / "a.xls", p / "s/out.xls");
       },
       "$CLI merge -o s/out.xls s", 1, "is the listed file", nullptr},
      {"failed first file keeps the output",
       [](const fs::path& p) {
         fs::copy_file(p / "a.xls", p / "keep.xls");
         test::WriteFileBytes(p / "bad.xls", {1, 2, 3});
       },
       "$CLI merge -o keep.xls bad.xls", 1, "Nothing was written", nullptr},
      {"failed write at a split", nullptr, "$CLI merge -o none/out.xls big.xls a.xls", 1,
       "The output \"none/out.xls\" could not be written:", nullptr},
      {"exactly one full output", nullptr, "$CLI merge -o full.xls big.xls", 0, "", "full-1.xls"},
      {"named pipe in a folder",
       [](const fs::path& p) {
         fs::create_directory(p / "f");
         fs::copy_file(p / "a.xls", p / "f/a.xls");
         ::mkfifo((p / "f/p.xls").c_str(), 0644);
       },
       "$CLI merge -o f.xls f", 0, "", nullptr},
      {"named pipe by path", [](const fs::path& p) { ::mkfifo((p / "p.xls").c_str(), 0644); },
       "$CLI merge -o p-out.xls p.xls", 1, "named pipe", "p-out.xls"},
      {"named pipe dumped", [](const fs::path& p) { ::mkfifo((p / "q.xlsx").c_str(), 0644); },
       "$CLI dump q.xlsx", 1, "named pipe", nullptr},
      {"link to a device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p / "z.xls"); },
       "$CLI merge -o z-out.xls z.xls", 1, "device", "z-out.xls"},
      {"dangling link", [](const fs::path& p) { fs::create_symlink(p / "gone.xls", p / "l.xls"); },
       "$CLI merge -o l-out.xls l.xls", 1, "leads nowhere", "l-out.xls"},
      {"3 GB sparse file",
       [](const fs::path& p) {
         fs::copy_file(p / "a.xls", p / "sparse.xls");
         fs::resize_file(p / "sparse.xls", 3ull << 30);
       },
       "$CLI merge -o sp-out.xls sparse.xls", 1, "version 3 can address (2 GB)", "sp-out.xls"},
      {"damaged stream not needed", [](const fs::path& p) { WriteWithDamagedSummary(p / "summary.xls"); },
       "$CLI merge -o su-out.xls summary.xls", 0, "", nullptr},
      {"name that is not UTF-8", [](const fs::path& p) { fs::copy_file(p / "a.xls", p / "in\xff.xls"); },
       "$CLI merge -o $(printf \"o\\377.xls\") $(printf \"in\\377.xls\") && test -f $(printf \"o\\377.xls\")",
       0, "", nullptr},
      {"replaced output keeps its mode",
       [](const fs::path& p) {
         fs::copy_file(p / "a.xls", p / "m600.xls");
         fs::permissions(p / "m600.xls", fs::perms(0600));
       },
       "$CLI merge -o m600.xls a.xls && stat -c \"mode %a\" m600.xls", 0, "mode 600", nullptr},
      {"replaced copy keeps its mode",
       [](const fs::path& p) {
         fs::copy_file(p / "a.xls", p / "c444.xls");
         fs::permissions(p / "c444.xls", fs::perms(0444));
       },
       "$CLI copy a.xls c444.xls && stat -c \"mode %a\" c444.xls", 0, "mode 444", nullptr},
      {"temporary file of a failed write", [](const fs::path& p) { fs::create_directory(p / "t"); },
       "ulimit -f 100; $CLI merge -o t/out.xls big.xls; ls t", 0, "could not be written", nullptr},
  };
  for (const TFault& fault : faults) {
    if (fault.setUp) fault.setUp(d);
    const TRun run = RunCli(d, fault.line);
    EXPECT_EQ(run.status, fault.status) << fault.name << "\n" << run.output;
    EXPECT_NE(run.output.find(fault.says), std::string::npos) << fault.name << "\n" << run.output;
    if (fault.absent) {
      EXPECT_FALSE(fs::exists(d / fault.absent)) << fault.name;
    }
  }
  EXPECT_EQ(test::ReadFileBytes(d / "a.xls"), good) << "an input is never written over";
  EXPECT_EQ(test::ReadFileBytes(d / "keep.xls"), good) << "a failed run leaves an existing output alone";
  EXPECT_TRUE(fs::is_empty(d / "t")) << "no temporary file is left behind";
}

}  // namespace
}  // namespace plicato
