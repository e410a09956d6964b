// plicato-cli merge with the options a real folder needs: .xlsx files, unreadable files passed over,
// passwords for encrypted ones, progress on a terminal; and the command line's own conventions.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xlsx/XlsxBuild.h"

namespace plicato {
namespace {

namespace fs = std::filesystem;

void WriteRows(const fs::path& path, int rows, const std::u16string& password = u"") {
  TXLSWorkbook wb;
  for (int r = 0; r < rows; ++r) wb.Sheets()[0].PutText(0, r, u"r" + FromUtf8(std::to_string(r)));
  wb.Password = password;  // written encrypted when set
  wb.Filename = FileNameFromPath(path);
  WriteWorkbook(wb);
}

void WriteXlsx(const fs::path& path, const std::string& rows) {
  test::WriteFileBytes(path, test::BuildZip(test::WorkbookParts(test::SheetXml(rows))));
}

// Runs a shell line in dir with plicato-cli as $CLI, stdout and stderr together; a hang becomes a failure.
std::pair<int, std::string> RunCli(const fs::path& dir, const std::string& line) {
  const std::string command =
      "cd '" + dir.string() + "' && CLI='" PLICATO_CLI "' timeout 120 bash -c '" + line + "' 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}

TEST(MergeOptions, XlsxSkippingPasswordsAndProgress) {
  test::TempDir dir;
  const fs::path& d = dir.Path();
  fs::create_directories(d / "mixed/sub");
  const std::string text = "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>t</t></is></c></row>";
  WriteRows(d / "mixed/a.xls", 2);
  WriteXlsx(d / "mixed/b.xlsx", text);
  WriteXlsx(d / "mixed/c.xlsm", text);
  WriteXlsx(d / "mixed/sub/d.XLSX", text);
  WriteRows(d / "good.xls", 2);
  std::ofstream(d / "bad.xls") << "not a workbook";
  WriteRows(d / "enc.xls", 2, u"s3cret-pw");
  WriteXlsx(d / "wide.xlsx",
            "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>t</t></is></c><c r=\"KN1\"><v>1</v></c></row>");
  // A sheet listed without its part, before the one that has it.
  test::TParts gone = test::WorkbookParts(test::SheetXml(text));
  gone["xl/workbook.xml"].insert(gone["xl/workbook.xml"].find("<sheet "), "<sheet name=\"Gone\" r:id=\"\"/>");
  test::WriteFileBytes(d / "gone.xlsx", test::BuildZip(gone));

  const struct {
    const char* name;
    const char* line;
    int status;
    const char* says;
  } cases[] = {
      {"folders list *.xls only by default", "$CLI merge -o o1.xls mixed", 0,
       "merged 1 file; wrote 2 rows to o1.xls"},
      {"--xlsx lists *.xlsx and *.xlsm too", "$CLI merge --xlsx -o o2.xls mixed", 0, "merged 4 files;"},
      {"a file given by name is read by its content", "cp mixed/b.xlsx b.xls && $CLI merge -o o3.xls b.xls",
       0, "merged 1 file;"},
      {"without --skip-unreadable the run ends at the file", "$CLI merge -o o4.xls good.xls bad.xls good.xls",
       1, "File \"bad.xls\" could not be merged"},
      {"--skip-unreadable lists what it passed over, exit status 3",
       "$CLI merge --skip-unreadable -o o5.xls good.xls bad.xls enc.xls good.xls", 3,
       "2 of 4 files could not be read and were skipped:\n  bad.xls: "},
      {"each --password in turn; none is shown or written",
       "$CLI merge --password nope --password s3cret-pw -o o6.xls enc.xls >log 2>&1 && "
       "! grep -q s3cret-pw log o6.xls && grep -q \"merged 1 file;\" log && echo kept",
       0, "kept"},
      {"columns past the 255th are reported", "$CLI merge -o o7.xls wide.xlsx", 0,
       "wide.xlsx: Columns after the 255th (IU) were not merged; the sheet has values up to column KN."},
      {"--sheet all passes over a sheet without its part", "$CLI merge --sheet all -o o9.csv gone.xlsx", 0,
       "gone.xlsx: Sheet \"Gone\": Passed over: the sheet could not be found (The relationship \"\" of"},
      {"and merges the others", "$CLI merge --sheet all -o o9.csv gone.xlsx >/dev/null && cat o9.csv", 0,
       "\xEF\xBB\xBFt\r\n"},
      {"--help names the options", "$CLI --help", 0, "[--xlsx] [--csv] [--encoding NAME] [--delimiter C]"},
      {"--csv lists *.csv and *.tsv in any case, each with its separator",
       "mkdir m && printf \"a,b\\n\" >m/x.CSV && printf \"c\\td\\n\" >m/y.tsv && $CLI merge --csv -o o9.csv "
       "m "
       ">/dev/null 2>&1 && cat o9.csv",
       0, "a,b\r\nc,d\r\n"},
      {"an encoding iconv does not know is a usage error", "$CLI merge --encoding NOPE -o o10.csv m", 2,
       "the encoding \"NOPE\" is not known"},
  };
  for (const auto& c : cases) {
    const auto [status, output] = RunCli(d, c.line);
    EXPECT_EQ(status, c.status) << c.name << "\n" << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << c.name << "\n" << output;
  }
}

// What the options take from the command line itself: --sheet's value is a number, counted from 1, only
// when it is all digits, and the source column names a file found in a folder by its path below that folder,
// however the folder was written.
TEST(MergeOptions, SheetValuesAndSourceNames) {
  test::TempDir dir;
  const fs::path& d = dir.Path();
  TXLSWorkbook wb;
  wb.Sheets()[0].SetName(u"First");
  for (const char16_t* name : {u"2月", u"Q1", u"x"}) wb.Sheets().Add().SetName(name);
  for (int i = 0; i < wb.Sheets().Count(); ++i) wb.Sheets()[i].PutText(0, 0, wb.Sheets()[i].Name());
  wb.Filename = FileNameFromPath(d / "book.xls");
  WriteWorkbook(wb);
  fs::create_directories(d / "data/2024");
  WriteRows(d / "data/2024/march.xls", 1);
  const std::string bom = "\xEF\xBB\xBF";
  const struct {
    const char* line;
    std::string says;  // the whole output
  } cases[] = {
      {"--sheet Q1 book.xls", bom + "Q1\r\n"},
      {"--sheet q1 book.xls", bom + "Q1\r\n"},
      {"--sheet 2月 book.xls", bom + "2月\r\n"},
      {"--sheet 1 book.xls", bom + "First\r\n"},
      {"--sheet 3 book.xls", bom + "Q1\r\n"},
      {"--source data", bom + "2024/march.xls,r0\r\n"},
      {"--source data/", bom + "2024/march.xls,r0\r\n"},
      {"--source ./data", bom + "2024/march.xls,r0\r\n"},
      {"--source \"$PWD/data\"", bom + "2024/march.xls,r0\r\n"},
  };
  for (const auto& c : cases) {
    const std::string line =
        std::string("$CLI merge -o o.csv ") + c.line + " >log 2>&1 && cat o.csv || cat log";
    const auto [status, output] = RunCli(d, line);
    EXPECT_EQ(status, 0) << line << "\n" << output;
    EXPECT_EQ(output, c.says) << line;
  }
}

// Options before or after the paths, "--" before a path that begins with a dash, a value that looks like
// an option, and the usage errors (exit status 2) of an unknown option or a missing value.
TEST(CommandLine, ConventionsAndUsageErrors) {
  test::TempDir dir;
  const fs::path& d = dir.Path();
  WriteRows(d / "good.xls", 2);
  WriteRows(d / "dash.xls", 2, u"--help");
  const struct {
    const char* name;
    const char* line;
    int status;
    const char* says;
  } cases[] = {
      {"options after the paths", "$CLI merge good.xls -o after.xls --mark-rows", 0,
       "wrote 2 rows to after.xls"},
      {"-- ends the options", "cp good.xls ./-g.xls && $CLI merge -o dashed.xls -- -g.xls", 0,
       "wrote 2 rows to dashed.xls"},
      {"a folder named like a command is a path",
       "mkdir dump && cp good.xls dump && $CLI merge -o f.xls dump", 0, "wrote 2 rows to f.xls"},
      {"a password that looks like an option", "$CLI merge --password --help -o p.xls dash.xls", 0,
       "wrote 2 rows to p.xls"},
      {"dump takes it too", "$CLI dump --password --help dash.xls", 0, "r0\r\nr1\r\n"},
      {"an unknown option after the paths", "$CLI merge -o u.xls good.xls --frob", 2,
       "plicato-cli: unknown option \"--frob\"\nUsage:\n  plicato-cli merge "},
      {"a missing value", "$CLI merge good.xls -o", 2, "plicato-cli: -o: 1 required OUT missing\n"},
      {"a missing value of dump", "$CLI dump good.xls --sheet", 2, "--sheet: 1 required N missing"},
      {"sheet numbers count from 1", "$CLI merge --sheet 0 -o u.xls good.xls", 2, "count from 1"},
      {"in dump too", "$CLI dump --sheet 0 good.xls", 2, "count from 1"},
      {"matching columns without header rows", "$CLI merge --match-columns -o m.xls good.xls", 2,
       "plicato-cli: --match-columns needs --header-rows N (1 or more)"},
      {"nor with none", "$CLI merge --match-columns --header-rows 0 -o m.xls good.xls", 2,
       "--match-columns needs --header-rows N"},
  };
  for (const auto& c : cases) {
    const auto [status, output] = RunCli(d, c.line);
    EXPECT_EQ(status, c.status) << c.name << "\n" << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << c.name << "\n" << output;
  }
  EXPECT_FALSE(fs::exists(d / "u.xls"));
  EXPECT_FALSE(fs::exists(d / "m.xls"));
}

// What a run says where: on a terminal one line redrawn in place, then the summary; through a pipe only
// the remarks and the summary; with --quiet only the errors. All of it in English.
TEST(MergeOptions, ProgressSummaryAndQuiet) {
  test::TempDir dir;
  const fs::path& d = dir.Path();
  WriteRows(d / "good.xls", 2);
  std::ofstream(d / "bad.xls") << "not a workbook";
  // (A terminal ends its lines with "\r\n".)
  const std::string summary = "plicato-cli: merged 2 of 3 files (1 skipped); wrote 4 rows to o.xls; ";
  const std::string skipped = "plicato-cli: 1 of 3 files could not be read and was skipped:";
  const struct {
    const char* name;
    const char* line;
    std::vector<std::string> says;
    std::vector<std::string> never;
  } cases[] = {
      {"a terminal",
       "script -qec \"$CLI merge --skip-unreadable -o o.xls good.xls bad.xls good.xls\" /dev/null",
       {"\r\033[Kfile 1 of 3, 0 rows, ", "\r\033[Kfile 3 of 3, ", " good.xls", skipped, summary},
       {}},
      {"a pipe",
       "$CLI merge --skip-unreadable -o o.xls good.xls bad.xls good.xls",
       {skipped, summary},
       {"\r", "file 1 of"}},
      {"quiet",
       "$CLI merge --skip-unreadable -q -o o.xls good.xls bad.xls good.xls",
       {skipped},
       {"merged", "file 1 of"}},
      {"quiet on a terminal",
       "script -qec \"$CLI merge --quiet --skip-unreadable -o o.xls good.xls bad.xls good.xls\" /dev/null",
       {"could not be read"},
       {"\033", "merged"}},
  };
  for (const auto& c : cases) {
    const auto [status, output] = RunCli(d, c.line);
    EXPECT_EQ(status, 3) << c.name << "\n" << output;
    for (const std::string& said : c.says)
      EXPECT_NE(output.find(said), std::string::npos) << c.name << "\n" << output;
    for (const std::string& not_said : c.never)
      EXPECT_EQ(output.find(not_said), std::string::npos) << c.name << "\n" << output;
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](char ch) { return (ch & 0x80) == 0; }))
        << c.name << ": English only\n"
        << output;
  }
  // Quiet and successful: nothing at all.
  EXPECT_EQ(RunCli(d, "$CLI merge -q -o q.xls good.xls"), (std::pair<int, std::string>{0, ""}));
}

}  // namespace
}  // namespace plicato
