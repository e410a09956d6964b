// plicato-cli merge against a careless user and a hostile file system: nothing an input or an existing
// output holds is lost, nothing hangs, and every failure says so.
#include <fcntl.h>
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
#include "xls/XLSWorkbookIO.h"

namespace plicato {
namespace {

namespace fs = std::filesystem;

void WriteRows(const fs::path& path, int rows) {
  TXLSWorkbook wb;
  for (int r = 0; r < rows; ++r) wb.Sheets()[0].PutText(0, r, u"r" + FromUtf8(std::to_string(r)));
  wb.Filename = FileNameFromPath(path);
  WriteWorkbook(wb);
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

// A folder holding a workbook, and a chain of folders below it whose full path passes the system's
// length limit (made a folder at a time, as no path can name the deepest), with a workbook at its end.
void MakeDeepFolder(const fs::path& top) {
  fs::create_directory(top);
  fs::copy_file(top.parent_path() / "a.xls", top / "a.xls");
  const std::vector<uint8_t> bytes = test::ReadFileBytes(top / "a.xls");
  int fd = ::open(top.c_str(), O_DIRECTORY | O_RDONLY);
  const std::string name(200, 'n');
  for (int depth = 0; depth < 22; ++depth) {
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
    const int next = ::openat(fd, name.c_str(), O_DIRECTORY | O_RDONLY);
    ::close(fd);
    fd = next;
  }
  const int file = ::openat(fd, "deep.xls", O_CREAT | O_WRONLY, 0644);
  ASSERT_EQ(::write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(file);
  ::close(fd);
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
  std::vector<TFault> faults = {
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
      {"missing output folder, found before reading", nullptr, "$CLI merge -o none/out.xls big.xls a.xls", 1,
       "Cannot write file \"none/out.xls\": the folder \"none\" does not exist", nullptr},
      {"output is a folder", [](const fs::path& p) { fs::create_directory(p / "od.xls"); },
       "$CLI merge -o od.xls a.xls", 1, "\"od.xls\": it is a folder", nullptr},
      {"copy over a folder", [](const fs::path& p) { fs::create_directory(p / "cd.xls"); },
       "$CLI copy a.xls cd.xls", 1, "\"cd.xls\": it is a folder", nullptr},
      {"output is a named pipe", [](const fs::path& p) { ::mkfifo((p / "po.xls").c_str(), 0644); },
       "$CLI merge -o po.xls a.xls; s=$?; test -p po.xls || exit 9; exit $s", 1, "named pipe (FIFO)",
       nullptr},
      {"output links to a device", [](const fs::path& p) { fs::create_symlink("/dev/null", p / "ol.xls"); },
       "$CLI merge -o ol.xls a.xls; s=$?; test -L ol.xls || exit 9; exit $s", 1, "it is a device", nullptr},
      {"output links to a file elsewhere",
       [](const fs::path& p) {
         fs::create_directory(p / "e");
         WriteRows(p / "e/t.xls", 1);
         fs::create_symlink("e/t.xls", p / "lk.xls");
       },
       "$CLI merge -o lk.xls a.xls && test -L lk.xls && $CLI dump e/t.xls", 0, "r2", nullptr},
      {"copy past the file size limit", [](const fs::path& p) { fs::create_directory(p / "t"); },
       "ulimit -f 100; $CLI copy big.xls t/c.xls", 1, "File too large", nullptr},
      {"dump to a full disk", nullptr, "$CLI dump big.xls > /dev/full", 1,
       "cannot write the output: No space left on device", nullptr},
      {"small dump to a full disk", nullptr, "$CLI dump --cells a.xls > /dev/full", 1,
       "cannot write the output: No space left on device", nullptr},
      {"name with control characters",
       [](const fs::path& p) {
         test::WriteFileBytes(p / "n\nx\x1b[2J.xls", {1, 2, 3});
       },
       "$CLI merge --skip-unreadable -o nc.xls a.xls n*.xls", 3, "\n  n\\nx\\x1b[2J.xls: ", nullptr},
      {"folder past the length limit", [](const fs::path& p) { MakeDeepFolder(p / "lf"); },
       "$CLI merge -o lf.xls lf", 1, "cannot read the folder \"lf/", "lf.xls"},
      {"folder past the length limit skipped", nullptr,
       "$CLI merge --skip-unreadable -o lf.xls lf; s=$?; rm -rf lf; exit $s", 3,
       "the folder could not be read: File name too long", nullptr},
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
  if (fs::exists("/usr/bin/strace")) {
    // A rename is durable only once its folder is synced: the last call is that sync.
    faults.push_back({"folder synced after the rename", nullptr,
                      "strace -f -qq -e trace=fsync,rename,renameat,renameat2 $CLI copy a.xls sy.xls 2>&1 "
                      ">/dev/null | grep -A1 rename | tail -1",
                      0, "fsync(", nullptr});
  }
  if (::geteuid() != 0) {  // permissions bind every user but root
    faults.push_back({"read-only output folder",
                      [](const fs::path& p) {
                        fs::create_directory(p / "ro"), fs::permissions(p / "ro", fs::perms(0555));
                      },
                      "$CLI merge -o ro/out.xls big.xls", 1, "the folder \"ro\" cannot be written to",
                      nullptr});
    faults.push_back({"folder without permission",
                      [](const fs::path& p) {
                        fs::create_directories(p / "uf/locked");
                        fs::copy_file(p / "a.xls", p / "uf/a.xls");
                        fs::permissions(p / "uf/locked", fs::perms::none);
                      },
                      "$CLI merge -o uf.xls uf", 1, "cannot read the folder \"uf/locked\"", "uf.xls"});
    faults.push_back({"folder without permission skipped", nullptr,
                      "$CLI merge --skip-unreadable -o uf.xls uf; s=$?; chmod 755 uf/locked; exit $s", 3,
                      "uf/locked: the folder could not be read: Permission denied", nullptr});
  }
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
