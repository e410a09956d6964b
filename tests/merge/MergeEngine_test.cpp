#include "merge/MergeEngine.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "MergeHost.h"
#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/CompoundFile.h"
#include "biff/Errors.h"
#include "biff/Settings.h"
#include "workbook/CellFormats.h"
#include "workbook/NumberText.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xlsx/XlsxBuild.h"
#include "xlsx/XlsxErrors.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace fs = std::filesystem;

std::vector<Row> ReadOutput(const fs::path& path, int columns = 4) {
  TXLSWorkbook wb;
  wb.Filename = FromUtf8(path.string());
  ReadWorkbook(wb);
  TSheet& s = wb.Sheets()[0];
  std::vector<Row> rows;
  if (s.Cells().IsEmpty()) return rows;
  TCellBounds b = s.Cells().CalcBounds();
  for (int r = 0; r <= b.lastRow; ++r) {
    Row row;
    for (int c = 0; c < columns; ++c) {
      EXPECT_TRUE(s.GetCellKind(c, r) == ckString || (c == 0 && s.GetCellKind(c, r) == ckNone))
          << "row " << r << " column " << c;
      row.push_back(s.GetStringText(c, r));
    }
    rows.push_back(row);
  }
  return rows;
}

TEST(MergeEngine, OutputNames) {
  EXPECT_EQ(SplitOutputName("/tmp/merge.xls", 1), "/tmp/merge-1.xls");
  EXPECT_EQ(SplitOutputName("/tmp/merge.xls", 12), "/tmp/merge-12.xls");
  EXPECT_EQ(SplitOutputName("/data/reports.xls-2024/out.xls", 1), "/data/reports.xls-2024/out-1.xls")
      << "only the file's name changes, never its folders";
  EXPECT_EQ(SplitOutputName("/data/a.xls-x/out.xls-y.xls", 1), "/data/a.xls-x/out.xls-y-1.xls");
  EXPECT_EQ(SplitOutputName("/tmp/merge", 2), "/tmp/merge-2.xls") << "a save path without .xls gets it";
  EXPECT_EQ(SplitOutputName("/tmp/report.v2", 1), "/tmp/report.v2-1.xls");
  EXPECT_EQ(SplitOutputName("/tmp/merge.XLS", 1), "/tmp/merge-1.XLS")
      << "the extension keeps its letter case";
  EXPECT_EQ(SplitOutputName("/tmp/a.xls.xls", 1), "/tmp/a.xls-1.xls");
  EXPECT_EQ(SplitOutputName("out.xlsx", 3), "out-3.xlsx");
  EXPECT_EQ(SplitOutputName("Out.XLSX", 1), "Out-1.XLSX");

  EXPECT_EQ(ResolveSavePath("/tmp/out"), fs::path("/tmp/out.xls"));
  EXPECT_EQ(ResolveSavePath("/tmp/report.v2"), fs::path("/tmp/report.v2.xls"));
  EXPECT_EQ(ResolveSavePath("/tmp/out.Xls"), fs::path("/tmp/out.Xls"));
  EXPECT_EQ(ResolveSavePath("/tmp/out.CSV"), fs::path("/tmp/out.CSV"));
  EXPECT_EQ(ResolveSavePath("/tmp/dir/"), fs::path("/tmp/dir/"))
      << "a folder is left for the check to refuse";
  EXPECT_EQ(OutputFormatOf("/tmp/out.XLS"), ofXls);
  EXPECT_EQ(OutputFormatOf("/tmp/out.xlsX"), ofXlsx);
  EXPECT_EQ(OutputFormatOf("/tmp/out.Csv"), ofCsv);
  EXPECT_EQ(OutputFormatOf("/tmp/out.txt"), ofXls);

  EXPECT_EQ(ContinuationNumber("/d/out.xls", "out-12.xls"), 12);
  EXPECT_EQ(ContinuationNumber("/d/out", "out-2.xls"), 2);
  for (const char* other : {"out-012.xls", "out-0.xls", "out-.xls", "out-1.XLS", "out-1.xlsx", "out-1x.xls",
                            "out.xls", "xout-1.xls", "out-99999999999.xls"})
    EXPECT_EQ(ContinuationNumber("/d/out.xls", other), 0) << other;
}

// The sheet choice as typed, in the window and after --sheet: numbers count from 1, 0 is refused, and a
// name that holds digits stays a name.
TEST(MergeOptions, SheetChoiceIsParsedOnceForBothFrontEnds) {
  const struct {
    const char16_t* text;
    std::optional<TSheetChoice::TKind> kind;
    int32_t index;
  } cases[] = {{u"1", TSheetChoice::scIndex, 0},
               {u"2", TSheetChoice::scIndex, 1},
               {u"00010", TSheetChoice::scIndex, 9},
               {u"0", std::nullopt, 0},
               {u"000", std::nullopt, 0},
               {u"", std::nullopt, 0},
               {u"all", TSheetChoice::scAll, 0},
               {u"Q1", TSheetChoice::scName, 0},
               {u"2月", TSheetChoice::scName, 0},
               {u"123456", TSheetChoice::scName, 0},
               {u"-1", TSheetChoice::scName, 0}};
  for (const auto& c : cases) {
    const std::optional<TSheetChoice> choice = ParseSheetChoice(c.text);
    ASSERT_EQ(choice.has_value(), c.kind.has_value()) << ToUtf8(c.text);
    if (!choice) continue;
    EXPECT_EQ(choice->kind, *c.kind) << ToUtf8(c.text);
    EXPECT_EQ(choice->index, c.index) << ToUtf8(c.text);
    EXPECT_EQ(choice->name, choice->kind == TSheetChoice::scName ? c.text : u"") << ToUtf8(c.text);
  }
}

// What a run refuses in its options is refused before anything is read or written.
TEST(MergeOptions, RunRefusesBadOptionsWritingNothing) {
  test::TempDir dir;
  WriteTextRows(dir / "a.xls", 2, "a");
  const struct {
    const char* why;
    std::function<void(TMergeOptions&)> change;
    TOptionsProblem problem;
  } cases[] = {
      {"ten header rows", [](TMergeOptions& o) { o.headerRows = kMaxHeaderRows; }, TOptionsProblem::none},
      {"eleven header rows", [](TMergeOptions& o) { o.headerRows = kMaxHeaderRows + 1; },
       TOptionsProblem::headerRows},
      {"negative header rows", [](TMergeOptions& o) { o.headerRows = -1; }, TOptionsProblem::headerRows},
      {"no files", [](TMergeOptions& o) { o.files.clear(); }, TOptionsProblem::noFiles},
      {"sheet below 1",
       [](TMergeOptions& o) {
         o.sheet = {TSheetChoice::scIndex, -1, {}};
       },
       TOptionsProblem::sheetNumber},
      {"a source name short",
       [](TMergeOptions& o) {
         o.sourceNames = {"a", "b"};
       },
       TOptionsProblem::sourceNames},
      {"a quote as separator", [](TMergeOptions& o) { o.csvDelimiter = u'"'; }, TOptionsProblem::delimiter},
      {"matching without header rows", [](TMergeOptions& o) { o.matchColumns = true; },
       TOptionsProblem::matchColumns},
  };
  for (const auto& c : cases) {
    TMergeOptions options;
    options.files = {dir / "a.xls"};
    options.savePath = dir / "out.xls";
    c.change(options);
    EXPECT_EQ(FindOptionsProblem(options), c.problem) << c.why;
    TRecordingHost host;
    fs::remove(options.savePath);
    if (c.problem == TOptionsProblem::none) {
      EXPECT_EQ(MergeFiles(host, options).filesMerged, 1) << c.why;
    } else {
      EXPECT_THROW(MergeFiles(host, options), EMergeError) << c.why;
      EXPECT_FALSE(fs::exists(options.savePath)) << c.why;
      EXPECT_TRUE(host.progress.empty()) << c.why;
    }
  }
}

TEST(MergeEngine, CopiesValuesAsTextAndEndsEachFileAtItsFirstRowWithoutText) {
  test::TempDir dir;
  WriteInput(dir / "a.xls", [](TSheet& s) {
    s.PutText(0, 0, u"abc");
    s.PutFloat(1, 0, 2.5, 15);
    s.PutFloat(2, 0, 3.5, 15);
    s.PutBoolean(3, 0, true, 15);
    s.PutFloat(0, 1, -2.5, 15);
    s.PutError(1, 1, ceNA, 15);
    s.PutText(2, 1, u"x");
    s.PutBlank(3, 1, 15);
    auto f = std::make_unique<TFormulaData>();
    f->text = u"formula text";
    f->expression = {0x17, 0x01, 0x00, 0x41};
    s.PutFormula(4, 1, ckStringFormula, 15, std::move(f));
    // Row 2: only empty texts and numbers: the file ends here; row 3 is never read.
    s.PutText(0, 2, u"");
    s.PutFloat(1, 2, 7.9, 15);
    s.PutText(0, 3, u"after the end");
  });
  WriteInput(dir / "b.xls", [](TSheet& s) {
    s.PutText(254, 0, u"last column");
    s.PutText(255, 0, u"never read");
    s.PutFloat(0, 1, 1, 15);  // a number-only row ends the file
  });
  TRecordingHost host;
  host.files = {(dir / "a.xls").string(), (dir / "b.xls").string()};
  host.savePath = (dir / "out.xls").string();
  host.FoundCount = 2;
  MergeFiles(host);

  TXLSWorkbook out;
  out.Filename = FromUtf8(host.savePath);
  ReadWorkbook(out);
  TSheet& s = out.Sheets()[0];
  TCellBounds b = s.Cells().CalcBounds();
  EXPECT_EQ(b.lastRow, 2) << "three counted rows, and no ending row left behind";
  EXPECT_EQ(b.lastColumn, 254) << "255 cells per row";
  EXPECT_EQ(s.GetStringText(0, 0), u"abc");
  EXPECT_EQ(s.GetStringText(1, 0), u"2");
  EXPECT_EQ(s.GetStringText(2, 0), u"4");
  EXPECT_EQ(s.GetStringText(3, 0), u"");
  EXPECT_EQ(s.GetStringText(0, 1), u"-2");
  EXPECT_EQ(s.GetStringText(1, 1), u"");
  EXPECT_EQ(s.GetStringText(2, 1), u"x");
  EXPECT_EQ(s.GetStringText(3, 1), u"");
  EXPECT_EQ(s.GetStringText(4, 1), u"") << "a formula becomes empty text";
  EXPECT_EQ(s.GetStringText(254, 2), u"last column");
  EXPECT_EQ(s.GetCellKind(255, 2), ckNone);
  for (int r = 0; r <= 2; ++r)
    for (int c = 0; c < 255; ++c) ASSERT_EQ(s.GetCellKind(c, r), ckString) << r << ":" << c;

  std::vector<std::string> expected = {"begun:1", "file:" + host.files[0], "count:2/1",
                                       "begun:2", "file:" + host.files[1], "count:2/2",
                                       "ended"};
  EXPECT_EQ(host.events, expected);
}

TEST(MergeEngine, MarksEachFilesRowCount) {
  test::TempDir dir;
  WriteTextRows(dir / "a.xls", 10, "a");
  WriteTextRows(dir / "b.xls", 2, "b");
  TRecordingHost host;
  host.files = {(dir / "a.xls").string(), (dir / "b.xls").string()};
  host.savePath = (dir / "out.xls").string();
  host.mark = true;
  MergeFiles(host);
  std::vector<Row> rows = ReadOutput(dir / "out.xls");
  ASSERT_EQ(rows.size(), 12u);
  EXPECT_EQ(rows[0], (Row{u"10", u"a0.0", u"a0.1", u"a0.2"}));
  EXPECT_EQ(rows[1][0], u"");
  EXPECT_EQ(rows[9], (Row{u"", u"a9.0", u"a9.1", u"a9.2"}));
  EXPECT_EQ(rows[10], (Row{u"2", u"b0.0", u"b0.1", u"b0.2"}));
  EXPECT_EQ(rows[11], (Row{u"", u"b1.0", u"b1.1", u"b1.2"}));
}

// A file that gives no rows (its first row holds no text) has no mark: no row of "0" after the other
// files, alone in an output, or at the top of a continuation.
TEST(MergeEngine, MarksNothingForAFileThatGivesNoRows) {
  test::TempDir dir;
  WriteTextRows(dir / "two.xls", 2, "t", 1);
  WriteInput(dir / "none.xls", [](TSheet& s) {
    s.PutFloat(0, 0, 5, 15);
    s.PutText(0, 1, u"never merged");
  });
  WriteInput(dir / "full.xls", [](TSheet& s) {
    for (int r = 0; r < 65536; ++r) s.PutText(0, r, u"f");
  });
  const struct {
    std::vector<const char*> files;
    size_t rows;
  } cases[] = {{{"two.xls", "none.xls"}, 2}, {{"none.xls"}, 0}, {{"full.xls", "none.xls"}, 65536}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files.front());
    TRecordingHost host;
    for (const char* name : c.files) host.files.push_back((dir / name).string());
    host.savePath = (dir / "out.xls").string();
    host.mark = true;
    fs::remove(dir / "out.xls");
    fs::remove(dir / "out-1.xls");
    MergeFiles(host);
    // A run that gathers no row writes nothing at all.
    const std::vector<Row> rows =
        fs::exists(dir / "out.xls") ? ReadOutput(dir / "out.xls", 2) : std::vector<Row>();
    EXPECT_EQ(rows.size(), c.rows);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](const Row& row) { return row[0] == u"0"; }), 0);
    EXPECT_TRUE(!fs::exists(dir / "out-1.xls") || ReadOutput(dir / "out-1.xls", 2).empty());
  }
}

TEST(MergeEngine, StopIsHonouredBetweenFilesAndCountsCarryOver) {
  test::TempDir dir;
  TRecordingHost host;
  for (int i = 0; i < 5; ++i) {
    fs::path p = dir / ("f" + std::to_string(i) + ".xls");
    WriteTextRows(p, 2, "f" + std::to_string(i) + "-");
    host.files.push_back(p.string());
  }
  host.savePath = (dir / "out.xls").string();
  host.onFileBegins = [&](const std::string& path) {
    if (path == host.files[2]) host.StopRequested = 1;  // Stop pressed during file 3
  };
  MergeFiles(host);
  EXPECT_EQ(host.MergedCount.load(), 3) << "file 3 is finished, 4 and 5 skipped";
  EXPECT_EQ(host.events.back(), "ended:stopped");
  std::vector<Row> rows = ReadOutput(dir / "out.xls");
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[5][0], u"f2-1.0");

  // A second run on the same state counts on from the earlier total.
  host.StopRequested = 0;
  host.onFileBegins = nullptr;
  MergeFiles(host);
  EXPECT_EQ(host.MergedCount.load(), 8);
}

TEST(MergeEngine, FailingFileStopsTheRunButKeepsWhatWasGathered) {
  test::TempDir dir;
  WriteTextRows(dir / "good.xls", 3, "g");
  std::ofstream(dir / "bad.xls") << "this is not a workbook";
  WriteTextRows(dir / "later.xls", 3, "l");
  TRecordingHost host;
  host.files = {(dir / "good.xls").string(), (dir / "bad.xls").string(), (dir / "later.xls").string()};
  host.savePath = (dir / "out.xls").string();
  try {
    MergeFiles(host);
    FAIL() << "the bad file must fail the run";
  } catch (const EMergeError& e) {
    // The facts: the file, the kind, the rows before it written; what() holds the reader's words only.
    const TRunFailure& f = e.Facts();
    EXPECT_EQ(f.what, TRunFailure::rfFile);
    EXPECT_EQ(f.input, host.files[1]);
    EXPECT_EQ(f.file.kind, ekNotAWorkbook);
    EXPECT_FALSE(f.file.reading);
    EXPECT_EQ(f.rest, TRunFailure::rsRowsBefore);
    EXPECT_EQ(f.written, std::vector<fs::path>{dir / "out.xls"});
    EXPECT_EQ(std::string(e.what()).rfind("The file is not an Excel workbook", 0), 0u) << e.what();
  }
  EXPECT_EQ(host.MergedCount.load(), 1);
  std::vector<Row> rows = ReadOutput(dir / "out.xls");
  ASSERT_EQ(rows.size(), 3u) << "the rows of the good file were written";
  EXPECT_EQ(rows[0][0], u"g0.0");
}

// A streamed output cannot drop a failing file's rows: when no earlier file gave rows, it is not put in
// place of the target, and the message says nothing was written; a file passed over leaves no header.
TEST(MergeEngine, FirstFileFailingLeavesAStreamedTargetAlone) {
  test::TempDir dir;
  const std::string bad = "<row r=\"9999\"><c r=\"A9999\"><v>x</v></c></row>";
  WriteXlsx(dir / "rows.xlsx", XlsxTextRows(5000) + bad);
  WriteXlsx(dir / "header.xlsx", "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>Head</t></is></c></row>" + bad);
  WriteXlsx(dir / "good.xlsx", XlsxTextRows(3));
  const std::vector<uint8_t> original = {'O', 'R', 'I', 'G', 'I', 'N', 'A', 'L', '\n'};
  for (const char* name : {"out.csv", "out.xlsx"}) {
    for (const char* input : {"rows.xlsx", "header.xlsx"}) {
      SCOPED_TRACE(std::string(name) + " " + input);
      test::WriteFileBytes(dir / name, original);
      TRecordingHost host;
      host.files = {(dir / input).string(), (dir / "good.xlsx").string()};
      host.savePath = (dir / name).string();
      host.options.values = true;
      host.options.headerRows = input == std::string("header.xlsx") ? 1 : 0;
      EXPECT_THROW(
          try { MergeFiles(host); } catch (const EMergeError& e) {
            EXPECT_NE(Said(e).find("Nothing was written."), std::string::npos) << Said(e);
            throw;
          },
          EMergeError);
      EXPECT_EQ(test::ReadFileBytes(dir / name), original);
      host.skip = true;
      EXPECT_EQ(MergeFiles(host).rowsWritten, 3) << "the good file's rows alone";
    }
  }
}

TEST(MergeEngine, EmptyListIsRefusedAndWritesNothing) {
  test::TempDir dir;
  TRecordingHost host;
  host.savePath = (dir / "out.xls").string();
  test::WriteFileBytes(host.savePath, {'o', 'l', 'd'});
  EXPECT_THROW(MergeFiles(host), EMergeError);
  EXPECT_EQ(test::ReadFileBytes(host.savePath), (std::vector<uint8_t>{'o', 'l', 'd'}));
}

// 65,536 rows fill the first output exactly; the rest goes to the numbered continuation, and a file that
// runs across the split is marked in each output for the rows it holds there.
TEST(MergeEngine, SplitsAtExactly65536Rows) {
  test::TempDir dir;
  fs::path savePath = dir / "merge.xls";
  WriteInput(dir / "big.xls", [](TSheet& s) {
    for (int r = 0; r < 65530; ++r) s.PutText(0, r, u"b");
  });
  WriteTextRows(dir / "across.xls", 10, "x", 1);
  TRecordingHost host;
  host.files = {(dir / "big.xls").string(), (dir / "across.xls").string()};
  host.savePath = savePath.string();
  host.mark = true;
  MergeFiles(host);

  TXLSWorkbook first;
  first.Filename = FromUtf8(savePath.string());
  ReadWorkbook(first);
  TSheet& s1 = first.Sheets()[0];
  EXPECT_EQ(s1.Cells().CalcBounds().lastRow, 65535);
  EXPECT_EQ(s1.GetStringText(0, 0), u"65530");
  EXPECT_EQ(s1.GetStringText(0, 65530), u"6") << "the part of the file this output holds";
  EXPECT_EQ(s1.GetStringText(1, 65535), u"x5.0");

  std::vector<Row> rest = ReadOutput(dir / "merge-1.xls", 2);
  ASSERT_EQ(rest.size(), 4u);
  EXPECT_EQ(rest[0], (Row{u"4", u"x6.0"}));
  EXPECT_EQ(rest[3], (Row{u"", u"x9.0"}));
}

TEST(MergeEngine, CorpusMergeFolderGivesTheExpectedRows) {
  fs::path merge = test::CorpusFile("gen/merge");
  if (!fs::exists(merge)) GTEST_SKIP() << "corpus not present";
  // Every cell of every row, without and with the marks, against the rows an independent model of the
  // merge computed from xlrd's reading of the inputs.
  test::TempDir dir;
  for (const bool mark : {false, true}) {
    SCOPED_TRACE(mark ? "marked" : "unmarked");
    const auto expected = test::ReadJsonTextRows(
        test::CorpusFile(mark ? "gen/expected/merge-mark.json" : "gen/expected/merge.json"));
    ASSERT_EQ(expected.size(), 74u);
    TRecordingHost host;
    for (const char* name : {".hidden.xls", "a.xls", "e_biff5.xls", "UPPER.XLS", "wide.xls", "old.xls/d.xls",
                             "sub/b.xls", "sub/deeper/c.xls"})
      host.files.push_back((merge / name).string());
    host.savePath = (dir / "out.xls").string();
    host.mark = mark;
    MergeFiles(host);
    const std::vector<Row> rows = ReadOutput(host.savePath, 255 + mark);
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t r = 0; r < rows.size(); ++r) {
      ASSERT_EQ(rows[r].size(), expected[r].size());
      for (size_t c = 0; c < rows[r].size(); ++c)
        ASSERT_EQ(ToUtf8(rows[r][c]), ToUtf8(expected[r][c])) << "row " << r << " column " << c;
    }
    TXLSWorkbook out;
    out.Filename = FromUtf8(host.savePath);
    ReadWorkbook(out);
    EXPECT_EQ(out.Sheets()[0].Cells().CalcBounds().lastColumn, 254 + mark);
  }
}

}  // namespace plicato

namespace plicato {

// Resident memory of this process in KB (VmRSS of /proc/self/status).
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// A full output built from many files takes hundreds of megabytes, scattered between the inputs'
// allocations; once written they go back to the system, not only to the heap of the merge's thread.
TEST(MergeEngine, WrittenOutputReturnsItsMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
#endif
  test::TempDir dir;
  TRecordingHost host;
  for (int i = 0; i < 100; ++i) {
    host.files.push_back((dir / ("f" + std::to_string(i) + ".xls")).string());
    WriteTextRows(host.files.back(), 656, "f" + std::to_string(i) + "-", 20);
  }
  host.savePath = (dir / "out.xls").string();
  const long before = ResidentKb();
  std::thread([&] { MergeFiles(host); }).join();  // on a worker, as in the window
  EXPECT_LT(ResidentKb() - before, 100 * 1024) << "KB still resident after the merge";
}

}  // namespace plicato

namespace plicato {

TEST(MergeEngine, PassesOverUnreadableFilesAndTriesEachPassword) {
  const fs::path corpus = test::CorpusDir();
  if (!fs::exists(corpus / "poi/password.xls")) GTEST_SKIP() << "corpus not present";
  test::TempDir dir;
  WriteTextRows(dir / "good.xls", 2, "g");
  std::ofstream(dir / "bad.xls") << "this is not a workbook";
  // Five good rows, then the sheet is cut short: the rows taken before the damage must leave again.
  std::string rows;
  for (int r = 1; r <= 5; ++r)
    rows += "<row r=\"" + std::to_string(r) + "\"><c t=\"inlineStr\"><is><t>c</t></is></c></row>";
  const std::string sheet = test::SheetXml(rows);
  test::WriteFileBytes(dir / "cut.xlsx",
                       test::BuildZip(test::WorkbookParts(sheet.substr(0, sheet.find("</sheetData>")) +
                                                          "<row r=\"6\"><c t=")));
  cfb::TCompoundDocument encrypted;
  encrypted.Root().CreateStream(u"EncryptedPackage").Data().assign(600, 7);
  encrypted.SaveToFile(dir / "enc.xlsx");
  // Names that do not give a password away: no message may hold one.
  const std::pair<const char*, const char*> copies[] = {{"poi/password.xls", "p1.xls"},
                                                        {"poi/password.xls", "p2.xls"},
                                                        {"poi/35897-type4.xls", "type4.xls"},
                                                        {"poi/xor-encryption-abc.xls", "xor.xls"},
                                                        {"gen/encrypted/lo__pw_pw136.xls", "lo.xls"}};
  for (const auto& [from, to] : copies) fs::copy_file(corpus / from, dir / to);

  struct TCase {
    const char* name;
    bool skip;
    std::vector<std::u16string> passwords;
    std::vector<std::optional<std::u16string>> answers;
    std::vector<std::string> files;
    int merged;
    int rows;                                                  // in the output
    std::vector<std::pair<std::string, std::string>> skipped;  // file, words of its reason
    const char* failure;                                       // words of the run's failure, or none
    std::vector<std::string> asked;
  };
  // clang-format off
  const TCase cases[] = {
      {"without the option the run ends at an unreadable file", false, {}, {},
       {"good.xls", "bad.xls", "good.xls"}, 1, 2, {}, "bad.xls", {}},
      {"unreadable files are passed over with their reasons", true, {}, {},
       {"good.xls", "bad.xls", "cut.xlsx", "enc.xlsx", "p1.xls", "good.xls"}, 2, 4,
       {{"bad.xls", "not an Excel workbook"}, {"cut.xlsx", "sheet1.xml"}, {"enc.xlsx", kEncryptedXlsx},
        {"p1.xls", "File is encrypted. Password required."}}, nullptr, {"p1.xls"}},
      {"each password in turn, after the default one", false,
       {u"zq-not-it", u"abc", u"password", u"freedom", u"pw136"}, {},
       {"p1.xls", "type4.xls", "xor.xls", "lo.xls"}, 4, 11, {}, nullptr, {}},
      {"asked again until nothing; an opening password goes first on the next file", true, {},
       {u"nope", u"", u"password", u"freedom", std::nullopt}, {"p1.xls", "p2.xls", "type4.xls", "lo.xls"}, 3, 1,
       {{"lo.xls", "Invalid password"}}, nullptr, {"p1.xls", "p1.xls", "p1.xls", "type4.xls", "lo.xls"}},
      {"a file no password opens ends the run without the option", false, {u"zq-not-it"}, {},
       {"good.xls", "lo.xls"}, 1, 2, {}, "Invalid password", {"lo.xls"}},
  };
  // clang-format on
  // ("password" itself is a word of the reader's messages.)
  const std::string secrets[] = {"zq-not-it", "abc", "freedom", "pw136", "nope"};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TRecordingHost host;
    for (const std::string& f : c.files) host.files.push_back((dir / f).string());
    host.savePath = (dir / "out.xls").string();
    host.skip = c.skip;
    host.passwords = c.passwords;
    host.answers = c.answers;
    fs::remove(host.savePath);
    std::string said;
    TMergeReport report;
    try {
      report = MergeFiles(host);
      EXPECT_EQ(c.failure, nullptr);
      EXPECT_EQ(host.progress.back()[0], static_cast<int64_t>(c.files.size())) << "every file done";
    } catch (const EMergeError& e) {
      said = Said(e);
      EXPECT_NE(c.failure, nullptr) << said;
      if (c.failure) {
        EXPECT_NE(said.find(c.failure), std::string::npos) << said;
      }
    }
    EXPECT_EQ(host.MergedCount.load(), c.merged);
    ASSERT_EQ(report.skipped.size(), c.skipped.size());
    for (size_t i = 0; i < c.skipped.size(); ++i) {
      EXPECT_EQ(report.skipped[i].file.filename().string(), c.skipped[i].first);
      EXPECT_NE(Said(report.skipped[i]).find(c.skipped[i].second), std::string::npos)
          << Said(report.skipped[i]);
      said += Said(report.skipped[i]);
      // Where the reading was: the damaged sheet after its five good rows; a file that never opened,
      // nowhere.
      const TFileFailure& failure = report.skipped[i].failure;
      EXPECT_EQ(failure.reading ? int64_t{failure.afterRow} : -1, c.skipped[i].first == "cut.xlsx" ? 5 : -1);
    }
    EXPECT_EQ(host.asked, c.asked);
    EXPECT_EQ(ReadOutput(host.savePath, 1).size(), static_cast<size_t>(c.rows));
    const std::vector<uint8_t> bytes = test::ReadFileBytes(host.savePath);
    const std::string written(bytes.begin(), bytes.end());
    for (const std::string& secret : secrets) {
      EXPECT_EQ(said.find(secret), std::string::npos) << "a password in a message";
      const std::u16string wide = FromUtf8(secret);
      EXPECT_EQ(written.find(std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2)),
                std::string::npos);
    }
  }
}

// What went wrong reaches the caller as a kind, the same whether the run ends at the file or passes it over.
TEST(MergeEngine, FailuresCarryTheirKind) {
  const fs::path corpus = test::CorpusDir();
  if (!fs::exists(corpus / "poi/password.xls")) GTEST_SKIP() << "corpus not present";
  test::TempDir dir;
  WriteTextRows(dir / "good.xls", 2, "g");
  std::ofstream(dir / "text.xls") << "this is not a workbook";
  std::vector<uint8_t> cut = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  cut.resize(300);
  test::WriteFileBytes(dir / "cut.xls", cut);
  cfb::TCompoundDocument encrypted;
  encrypted.Root().CreateStream(u"EncryptedPackage").Data().assign(600, 7);
  encrypted.SaveToFile(dir / "enc.xlsx");
  fs::copy_file(corpus / "poi/password.xls", dir / "locked.xls");
  struct TCase {
    const char* file;
    std::u16string password;
    const char* sheet;  // a sheet name to ask for, or none
    fs::path out;       // in the folder
    TErrorKind kind;
    bool input;  // a failure of the file, which can be passed over
  };
  const TCase cases[] = {
      {"cut.xls", u"", nullptr, "out.xls", ekDamaged, true},
      {"text.xls", u"", nullptr, "out.xls", ekNotAWorkbook, true},
      {"locked.xls", u"", nullptr, "out.xls", ekEncrypted, true},
      {"locked.xls", u"zq-not-it", nullptr, "out.xls", ekWrongPassword, true},
      {"enc.xlsx", u"", nullptr, "out.xls", ekEncrypted, true},
      {"good.xls", u"", "nope", "out.xls", ekSheetMissing, true},
      {"gone.xls", u"", nullptr, "out.xls", ekInputUnreadable, true},
      {"good.xls", u"", nullptr, "no/such/folder/out.xls", ekOutputUnwritable, false},
      {"good.xls", u"", nullptr, "good.xls", ekOutputClash, false},
  };
  for (const TCase& c : cases) {
    for (const bool skip : {false, true}) {
      SCOPED_TRACE(std::string(c.file) + " " + c.out.string() + (skip ? " skipped" : ""));
      TRecordingHost host;
      host.files = {(dir / c.file).string()};
      host.savePath = (dir / c.out).string();
      host.skip = skip;
      if (!c.password.empty()) host.passwords = {c.password};
      if (c.sheet) host.options.sheet = {TSheetChoice::scName, 0, FromUtf8(c.sheet)};
      TErrorKind kind = ekOther;
      try {
        const TMergeReport report = MergeFiles(host);
        if (report.skipped.size() == 1) kind = report.skipped[0].kind;
      } catch (const EPlicatoError& e) {
        kind = e.Kind();
        // The host is told which file is to blame.
        const std::array<std::string, 2> blamed = {c.input ? (dir / c.file).string() : "",
                                                   c.input ? "" : (dir / c.out).string()};
        EXPECT_EQ(host.failed, (std::vector<std::array<std::string, 2>>{blamed}));
      }
      EXPECT_EQ(kind, c.kind);
      if (!c.input) break;
    }
  }
}

// An .xlsx sheet is streamed: longer than an output, it runs across the split with its marks; columns
// past the 255th are left out and said so once; a file's content, not its name, decides how it is read.
TEST(MergeEngine, StreamsXlsxSheetsOfAnyLength) {
  test::TempDir dir;
  WriteTextRows(dir / "first.xls", 3, "f", 1);
  std::string rows;
  for (int r = 1; r <= 70000; ++r) {
    const std::string n = std::to_string(r);
    rows += "<row r=\"" + n + "\"><c r=\"A" + n + "\" t=\"inlineStr\"><is><t>L" + n +
            "</t></is></c><c r=\"B" + n + "\"><v>" + n + ".5</v></c></row>";
  }
  // After a missing row: never merged.
  rows += "<row r=\"70002\"><c r=\"A70002\" t=\"inlineStr\"><is><t>gone</t></is></c></row>";
  WriteXlsx(dir / "long.xlsx", rows);
  WriteXlsx(
      dir / "wide.xlsx",
      "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\"><v>2.5</v></c><c r=\"C1\" "
      "t=\"b\"><v>1</v></c>"
      "<c r=\"D1\" t=\"e\"><v>#N/A</v></c><c r=\"E1\" t=\"str\"><f>A1</f><v>s0</v></c><c r=\"F1\" s=\"1\"/>"
      "<c r=\"G1\" t=\"s\"><v>1</v></c><c r=\"H1\"><f>1+1</f><v>2</v></c><c r=\"IU1\" t=\"s\"><v>2</v></c>"
      "<c r=\"IV1\" t=\"s\"><v>0</v></c><c r=\"KN1\"><v>7</v></c><c r=\"XFD1\" s=\"1\"/></row>"
      "<row r=\"2\"><c r=\"A2\"><v>1</v></c><c r=\"IV2\" t=\"s\"><v>0</v></c></row>",
      "<si><t>s0</t></si><si><t></t></si><si><t>last</t></si>");
  WriteXlsx(dir / "named.xls", "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>x</t></is></c></row>");
  WriteTextRows(dir / "last.xls", 2, "z", 1);

  TRecordingHost host;
  for (const char* name : {"first.xls", "long.xlsx", "wide.xlsx", "named.xls", "last.xls"})
    host.files.push_back((dir / name).string());
  host.savePath = (dir / "out.xls").string();
  host.mark = true;
  const TMergeReport report = MergeFiles(host);

  // The long sheet stops at its missing row with one row below it; the wide one at its second row, which
  // has no text; and its columns past the 255th are said once.
  ASSERT_EQ(report.notes.size(), 3u);
  EXPECT_EQ(report.notes[0].file, dir / "long.xlsx");
  EXPECT_EQ(
      Said(report.notes[0]),
      "Stopped at row 70001, which has no text, after 70000 rows: 1 row with values from there on was not "
      "merged.");
  EXPECT_EQ(report.notes[1].file, dir / "wide.xlsx");
  EXPECT_NE(Said(report.notes[1]).find("Stopped at row 2, which has no text, after 1 row: 1 row"),
            std::string::npos)
      << Said(report.notes[1]);
  EXPECT_EQ(report.notes[2].file, dir / "wide.xlsx");
  EXPECT_NE(Said(report.notes[2]).find("up to column KN"), std::string::npos) << Said(report.notes[2]);
  // The same as facts, for a window that words them itself.
  const TNoteFacts& stopped = report.notes[0].facts;
  EXPECT_EQ(std::tuple(stopped.kind, stopped.row, stopped.rows, stopped.left, stopped.leftAtLeast),
            std::tuple(TNoteFacts::nkStoppedAt, 70001u, int64_t{70000}, int64_t{1}, false));
  const TNoteFacts& wide = report.notes[2].facts;
  EXPECT_EQ(std::tuple(wide.kind, wide.column, wide.lastColumn),
            std::tuple(TNoteFacts::nkColumnsLeftOut, 255u, 300u));
  EXPECT_EQ(host.notes.size(), 3u) << "each said as it was made, too";
  EXPECT_EQ(report.outputs, (std::vector<fs::path>{dir / "out.xls", dir / "out-1.xls"}));
  EXPECT_EQ(report.filesMerged, 5);
  EXPECT_EQ(report.rowsWritten, 3 + 70000 + 1 + 1 + 2);
  EXPECT_TRUE(report.skipped.empty());
  for (const std::array<int64_t, 3> end :
       {std::array<int64_t, 3>{1, 5, 3}, {2, 5, 70000}, {3, 5, 1}, {4, 5, 1}})
    EXPECT_NE(std::find(host.progress.begin(), host.progress.end(), end), host.progress.end()) << end[0];
  EXPECT_EQ(host.progress.back(), (std::array<int64_t, 3>{5, 5, 2}));

  TXLSWorkbook first;
  first.Filename = FromUtf8(host.savePath);
  ReadWorkbook(first);
  TSheet& s1 = first.Sheets()[0];
  EXPECT_EQ(s1.Cells().CalcBounds().lastRow, 65535);
  EXPECT_EQ(s1.GetStringText(0, 3), u"65533");
  EXPECT_EQ(s1.GetStringText(1, 3), u"L1");
  EXPECT_EQ(s1.GetStringText(2, 3), u"2") << "1.5 rounds half to even";
  EXPECT_EQ(s1.GetStringText(1, 65535), u"L65533");

  const std::vector<Row> rest = ReadOutput(dir / "out-1.xls", 9);
  ASSERT_EQ(rest.size(), 4467u + 1 + 1 + 2);
  EXPECT_EQ(rest[0][0], u"4467");
  EXPECT_EQ(rest[4466][1], u"L70000");
  EXPECT_EQ(rest[4466][2], u"70000");
  EXPECT_EQ(rest[4467], (Row{u"1", u"s0", u"2", u"", u"", u"", u"", u"", u""}));
  EXPECT_EQ(rest[4468], (Row{u"1", u"x", u"", u"", u"", u"", u"", u"", u""}));
  EXPECT_EQ(rest[4470][1], u"z1.0");
  TXLSWorkbook second;
  second.Filename = FromUtf8((dir / "out-1.xls").string());
  ReadWorkbook(second);
  EXPECT_EQ(second.Sheets()[0].GetStringText(255, 4467), u"last") << "the 255th column is merged";
  EXPECT_EQ(second.Sheets()[0].Cells().CalcBounds().lastColumn, 255);

  // A long .xlsx can fill sixteen outputs: a run refuses a list holding any of their names.
  EXPECT_TRUE(FindOutputClash(host.savePath, {dir / "long.xlsx", dir / "out-17.xls"}));
  EXPECT_FALSE(FindOutputClash(host.savePath, {dir / "first.xls", dir / "out-3.xls"}));
}

}  // namespace plicato

namespace plicato {

// What a run leaves on disk around its outputs: continuation names, runs that write nothing, older
// outputs, a save path changed mid-run and a stop at a split, one case each: a run set up, its outcome,
// and what must hold of the files afterwards.
TEST(MergeEngine, RunsLeaveTheRightFilesAroundTheirOutputs) {
  test::TempDir dir;
  const fs::path& d = dir.Path();
  // 70,000 rows: longer than an .xls output, so the run takes a continuation name.
  WriteXlsx(d / "long.xlsx", XlsxTextRows(70000));
  WriteTextRows(d / "small.xls", 2, "s");
  std::ofstream(d / "bad.xls") << "not a workbook";
  WriteInput(d / "numbers.xls", [](TSheet& s) { s.PutFloat(0, 0, 1, 15); });
  const std::vector<uint8_t> old = {'o', 'l', 'd'};

  struct TCase {
    const char* name;
    std::function<void(TRecordingHost&)> setUp;
    const char* failure;  // words of the run's failure, or none
    std::function<void(TRecordingHost&, const TMergeReport&)> check;
  };
  const TCase cases[] = {
      {"a continuation file stays in the save path's folder, whatever that folder is named",
       [&](TRecordingHost& host) {
         fs::create_directories(d / "reports.xls-2024");
         fs::create_directories(d / "reports2024");
         test::WriteFileBytes(d / "reports2024/out-1.xls", old);
         host.files = {(d / "long.xlsx").string()};
         host.savePath = (d / "reports.xls-2024/out.xls").string();
       },
       nullptr,
       [&](TRecordingHost&, const TMergeReport& report) {
         EXPECT_EQ(report.outputs,
                   (std::vector<fs::path>{d / "reports.xls-2024/out.xls", d / "reports.xls-2024/out-1.xls"}));
         EXPECT_EQ(TOutput(d / "reports.xls-2024/out-1.xls").Text(0, 0), u"L65537");
         EXPECT_EQ(test::ReadFileBytes(d / "reports2024/out-1.xls"), old)
             << "another folder's file is left alone";
       }},
      {"a save path without .xls gets the extension, and so do its continuations",
       [&](TRecordingHost& host) {
         host.files = {(d / "long.xlsx").string()};
         host.savePath = (d / "plain").string();
       },
       nullptr,
       [&](TRecordingHost&, const TMergeReport& report) {
         EXPECT_EQ(report.outputs, (std::vector<fs::path>{d / "plain.xls", d / "plain-1.xls"}));
         EXPECT_FALSE(fs::exists(d / "plain"));
       }},
      {"every file skipped: an existing output is left as it was",
       [&](TRecordingHost& host) {
         test::WriteFileBytes(d / "kept.xls", old);
         host.files = {(d / "bad.xls").string(), (d / "bad.xls").string()};
         host.savePath = (d / "kept.xls").string();
         host.skip = true;
       },
       nullptr,
       [&](TRecordingHost&, const TMergeReport& report) {
         EXPECT_TRUE(report.outputs.empty());
         EXPECT_EQ(report.skipped.size(), 2u);
         EXPECT_EQ(test::ReadFileBytes(d / "kept.xls"), old);
       }},
      {"files that give no rows: an existing output is left as it was, and each file is said",
       [&](TRecordingHost& host) {
         test::WriteFileBytes(d / "kept2.xls", old);
         host.files = {(d / "numbers.xls").string()};
         host.savePath = (d / "kept2.xls").string();
       },
       nullptr,
       [&](TRecordingHost& host, const TMergeReport& report) {
         EXPECT_TRUE(report.outputs.empty());
         EXPECT_EQ(test::ReadFileBytes(d / "kept2.xls"), old);
         EXPECT_EQ(host.notes,
                   (std::vector<std::string>{
                       "numbers.xls: Gave no rows: stopped at row 1, which has no text; 1 row with "
                       "values was not merged."}));
       }},
      {"an empty list is refused and writes nothing",
       [&](TRecordingHost& host) {
         test::WriteFileBytes(d / "kept3.xls", old);
         host.savePath = (d / "kept3.xls").string();
       },
       "There are no files to merge.",
       [&](TRecordingHost&, const TMergeReport&) { EXPECT_EQ(test::ReadFileBytes(d / "kept3.xls"), old); }},
      {"continuation files of an earlier run are named as older outputs, and nothing is deleted",
       [&](TRecordingHost& host) {
         fs::create_directories(d / "older");
         for (const char* name : {"out-1.xls", "out-2.xls", "out-10.xls", "out-01.xls", "out-1.xlsx"})
           test::WriteFileBytes(d / "older" / name, old);
         host.files = {(d / "small.xls").string()};
         host.savePath = (d / "older/out.xls").string();
       },
       nullptr,
       [&](TRecordingHost&, const TMergeReport& report) {
         EXPECT_EQ(report.outputs, (std::vector<fs::path>{d / "older/out.xls"}));
         EXPECT_EQ(report.olderOutputs, (std::vector<fs::path>{d / "older/out-1.xls", d / "older/out-2.xls",
                                                               d / "older/out-10.xls"}));
         EXPECT_EQ(test::ReadFileBytes(d / "older/out-1.xls"), old);
       }},
      {"a failure at a later output says which outputs this run wrote, and which are older",
       [&](TRecordingHost& host) {
         fs::create_directories(d / "full");
         test::WriteFileBytes(d / "full/out-2.xls", old);
         // The continuation name is taken by a folder: writing it fails.
         fs::create_directories(d / "full/out-1.xls");
         host.files = {(d / "long.xlsx").string()};
         host.savePath = (d / "full/out.xls").string();
       },
       "could not be written",
       [&](TRecordingHost& host, const TMergeReport&) {
         EXPECT_NE(host.events.back().find("This run wrote \"" + (d / "full/out.xls").string() + "\"."),
                   std::string::npos)
             << host.events.back();
         EXPECT_NE(host.events.back().find("Older outputs, not from this run: \"" +
                                           (d / "full/out-2.xls").string()),
                   std::string::npos)
             << host.events.back();
       }},
      {"a save path changed during the run is checked against the list when the next output is named",
       [&](TRecordingHost& host) {
         fs::create_directories(d / "moved");
         WriteTextRows(d / "moved/x-1.xls", 1, "victim");
         host.files = {(d / "long.xlsx").string(), (d / "moved/x-1.xls").string()};
         host.savePath = (d / "moved/out.xls").string();
         host.onFileBegins = [&host, &d](const std::string&) {
           host.savePathAtSplit = (d / "moved/x.xls").string();
         };
       },
       "is the listed file",
       [&](TRecordingHost&, const TMergeReport&) {
         EXPECT_EQ(TOutput(d / "moved/x-1.xls").Text(0, 0), u"victim0.0") << "the input is not written over";
         EXPECT_EQ(TOutput(d / "moved/out.xls").LastRow(), 65535) << "the output before it was written";
       }},
      {"a stop takes effect at a split inside a streamed input",
       [&](TRecordingHost& host) {
         fs::create_directories(d / "stop");
         host.files = {(d / "long.xlsx").string(), (d / "small.xls").string()};
         host.savePath = (d / "stop/out.xls").string();
         host.onFileBegins = [&host](const std::string&) { host.StopRequested = 1; };
       },
       nullptr,
       [&](TRecordingHost& host, const TMergeReport& report) {
         EXPECT_TRUE(report.stopped);
         EXPECT_EQ(report.outputs, (std::vector<fs::path>{d / "stop/out.xls"}));
         EXPECT_FALSE(fs::exists(d / "stop/out-1.xls"));
         EXPECT_EQ(TOutput(d / "stop/out.xls").LastRow(), 65535);
         EXPECT_EQ(host.MergedCount.load(), 0) << "the file cut short is not counted as merged";
         ASSERT_EQ(report.notes.size(), 1u);
         EXPECT_NE(Said(report.notes[0]).find("Stopped at a split after 65536 rows"), std::string::npos);
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TRecordingHost host;
    c.setUp(host);
    TMergeReport report;
    try {
      report = MergeFiles(host);
      EXPECT_EQ(c.failure, nullptr);
    } catch (const EMergeError& e) {
      ASSERT_NE(c.failure, nullptr) << Said(e);
      EXPECT_NE(Said(e).find(c.failure), std::string::npos) << Said(e);
      host.events.push_back(Said(e));
    }
    c.check(host, report);
  }
}

}  // namespace plicato

namespace plicato {

// Header rows, the source column and the marks across a split: the continuation begins with the header
// again, the marks count data rows only, and data cells moved past the output's last column are said.
TEST(MergeEngine, HeaderRowsTopEveryOutput) {
  test::TempDir dir;
  WriteXlsx(dir / "long.xlsx", "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>Head</t></is></c></row>" +
                                   XlsxTextRows(70000, 2));
  WriteInput(dir / "wide.xls", [](TSheet& s) {
    for (int c = 0; c < 255; ++c) s.PutText(c, 0, u"h"), s.PutText(c, 1, u"w");
  });
  TRecordingHost host;
  host.files = {(dir / "long.xlsx").string(), (dir / "wide.xls").string()};
  host.savePath = (dir / "out.xls").string();
  host.mark = true;
  host.options.headerRows = 1;
  host.options.sourceColumn = true;
  host.sourceName = [](const fs::path& file) { return file.filename(); };
  const TMergeReport report = MergeFiles(host);

  TOutput first(dir / "out.xls"), second(dir / "out-1.xls");
  EXPECT_EQ(first.Text(0, 0) + u"," + first.Text(1, 0) + u"," + first.Text(2, 0), u"Source,,Head");
  EXPECT_EQ(first.Text(0, 1) + u"," + first.Text(1, 1) + u"," + first.Text(2, 1), u"long.xlsx,65535,L2");
  EXPECT_EQ(second.Text(2, 0), u"Head") << "the continuation begins with the header rows";
  EXPECT_EQ(second.Text(1, 1) + u"," + second.Text(2, 1), u"4465,L65537");
  EXPECT_EQ(second.Text(0, 4466) + u"," + second.Text(1, 4466), u"wide.xls,1")
      << "its own header row skipped";
  EXPECT_EQ(second.Text(255, 4466), u"w");
  EXPECT_EQ(second.LastRow(), 4466);
  EXPECT_EQ(report.rowsWritten, 1 + 70000 + 1 + 1);
  ASSERT_EQ(report.notes.size(), 1u);
  EXPECT_EQ(
      Said(report.notes[0]),
      "Columns after the 254th (IT) were not merged: the output has 256 columns, the first 2 for the source "
      "and mark; the sheet has values up to column IU.");
}

}  // namespace plicato

namespace plicato {

// Value mode: each cell with its type and number format, formulas as their cached results, dates of a
// 1904 workbook in the 1900 system, rows without a value left out and no padding.
TEST(MergeEngine, ValueModeKeepsTypesAndFormats) {
  test::TempDir dir;
  TXLSWorkbook in;
  in.Workbook().SetDate1904(true);
  TSheet& s = in.Sheets()[0];
  auto format = [&in](std::u16string_view code) {
    TCellFormat copy(&in.CellFormats(), 15);
    copy.SetNumberFormatText(code);
    return in.CellFormats().FindOrAddCounted(copy)->Index();
  };
  s.PutFloat(0, 0, 12.5, format(u"0.00"));
  s.PutFloat(1, 0, 0.125, format(u"0.00%"));
  s.PutFloat(2, 0, 43890, format(u"yyyy-mm-dd"));
  s.PutFloat(3, 0, 0.75, format(u"h:mm"));
  s.PutBoolean(4, 0, true, 15);
  s.PutError(5, 0, ceDiv0, 15);
  s.PutText(6, 0, u"");
  s.PutBlank(0, 1, 15);  // a row without a value
  auto result = std::make_unique<TFormulaData>();
  const double six = 6;
  std::memcpy(result->result, &six, sizeof six);
  result->expression = {0x1E, 0x06, 0x00};
  result->tokenLength = 3;
  s.PutFormula(1, 2, ckNumberFormula, 15, std::move(result));
  result = std::make_unique<TFormulaData>();
  result->text = u"xy";
  result->expression = {0x1E, 0x06, 0x00};
  result->tokenLength = 3;
  s.PutFormula(2, 2, ckStringFormula, 15, std::move(result));
  in.Filename = FileNameFromPath(dir / "in.xls");
  WriteWorkbook(in);

  TRecordingHost host;
  host.files = {(dir / "in.xls").string()};
  host.savePath = (dir / "out.xls").string();
  host.options.values = true;
  MergeFiles(host);
  TOutput out(dir / "out.xls");
  TSheet& o = out.Sheet();
  auto shown = [&](int column, int row) {
    const TCell* cell = o.FindCell(column, row);
    return ToUtf8(o.GetText(column, row)) + " " + std::to_string(o.GetCellKind(column, row)) + " " +
           (cell ? ToUtf8(out.wb.CellFormats().ByHandle(cell->format)->NumberFormatText()) : "");
  };
  // The date moves by the 1,462 days between the systems; a time of day does not.
  const std::vector<std::string> first = {"12.5 4 0.00", "0.125 4 0.00%", "45352 4 yyyy-mm-dd",
                                          "0.75 4 h:mm", "TRUE 6 ",       "#DIV/0! 7 "};
  for (int c = 0; c < 6; ++c) EXPECT_EQ(shown(c, 0), first[static_cast<size_t>(c)]) << c;
  EXPECT_EQ(out.Sheet().Cells().CalcBounds().lastColumn, 5) << "an empty text is not written";
  EXPECT_EQ(shown(1, 1) + ", " + shown(2, 1), "6 4 , xy 5 ") << "the empty row is left out";
  EXPECT_EQ(out.LastRow(), 1);
}

}  // namespace plicato

namespace plicato {

// An output's rows as "cell|cell|..." (trailing empty cells left out), a number with its format in braces:
// .xls and .xlsx by our readers, .csv as its text.
std::vector<std::string> OutputRows(const fs::path& path) {
  std::vector<std::vector<std::string>> cells;
  auto put = [&cells](uint32_t r, uint32_t c, const std::string& text) {
    cells.resize(std::max<size_t>(cells.size(), r + 1));
    cells[r].resize(std::max<size_t>(cells[r].size(), c + 1));
    cells[r][c] = text;
  };
  const TOutputFormat format = OutputFormatOf(path);
  if (format == ofCsv) {
    const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
    const std::string text(bytes.begin() + std::min<size_t>(3, bytes.size()), bytes.end());  // after the BOM
    uint32_t r = 0, c = 0;
    for (size_t at = 0, end; at < text.size(); at = end + 1, c = text[end] == ',' ? c + 1 : (++r, 0)) {
      end = std::min({text.find(',', at), text.find("\r\n", at), text.size()});
      put(r, c, text.substr(at, end - at));
      end += text[end] == '\r';
    }
  } else if (format == ofXlsx) {
    TXlsxSheetReader reader(path);
    TXlsxRow row;
    while (reader.NextRow(row))
      for (const TXlsxCell& c : row.cells)
        put(row.index, c.column,
            c.kind == xkNumber ? ShortestNumberText(c.number) + "{" + ToUtf8(c.format) + "}"
                               : ToUtf8(c.text));
  } else {
    TOutput out(path);
    TSheet& s = out.Sheet();
    for (int r = 0; r <= out.LastRow(); ++r)
      for (int c = 0; c <= s.Cells().CalcBounds().lastColumn; ++c)
        if (const TCell* cell = s.FindCell(c, r))
          put(static_cast<uint32_t>(r), static_cast<uint32_t>(c),
              ToUtf8(s.GetText(c, r)) +
                  (s.GetCellKind(c, r) == ckFloat
                       ? "{" + ToUtf8(out.wb.CellFormats().ByHandle(cell->format)->NumberFormatText()) + "}"
                       : ""));
  }
  std::vector<std::string> rows;
  for (const std::vector<std::string>& row : cells) {
    std::string& joined = rows.emplace_back();
    for (const std::string& cell : row) joined += (&cell == row.data() ? "" : "|") + cell;
    while (!joined.empty() && joined.back() == '|') joined.pop_back();
  }
  return rows;
}

TMergeReport RunInto(const fs::path& dir, const std::vector<const char*>& files, const std::string& out,
                     TMergeOptions options, bool mark) {
  TRecordingHost host;
  for (const char* name : files) host.files.push_back((dir / name).string());
  host.savePath = (dir / out).string();
  host.options = options;
  host.mark = mark;
  host.sourceName = [](const fs::path& file) { return file.filename(); };
  fs::remove(host.savePath);  // no earlier output read back in place of a missing one
  return MergeFiles(host);
}

// Header rows, marks and the source column give the same rows in every output format and either mode: the
// header from the first file that gives rows, each file marked with its data rows only.
TEST(MergeEngine, OptionsGiveTheSameRowsInEveryFormat) {
  test::TempDir dir;
  WriteInput(dir / "blank.xls", [](TSheet& s) { s.PutBlank(0, 0, 15); });  // no rows in either mode
  for (const auto& [name, rows] : {std::pair<const char*, int>{"a.xls", 3}, {"b.xls", 2}})
    WriteInput(dir / name, [&, name = name, rows = rows](TSheet& s) {
      s.PutText(0, 0, u"Name"), s.PutText(1, 0, u"Qty");
      for (int r = 1; r <= rows; ++r)
        s.PutText(0, r, FromUtf8(name + std::to_string(r))), s.PutText(1, r, u"x");
    });
  const struct {
    std::vector<const char*> files;
    int headerRows;
    bool source, mark;
    std::vector<std::string> rows;
  } cases[] = {
      // clang-format off
      {{"a.xls", "b.xls"}, 1, false, true,
       {"|Name|Qty", "3|a.xls1|x", "|a.xls2|x", "|a.xls3|x", "2|b.xls1|x", "|b.xls2|x"}},
      {{"blank.xls", "a.xls", "b.xls"}, 1, true, true,
       {"Source||Name|Qty", "a.xls|3|a.xls1|x", "a.xls||a.xls2|x", "a.xls||a.xls3|x", "b.xls|2|b.xls1|x",
        "b.xls||b.xls2|x"}},
      {{"blank.xls", "b.xls", "a.xls"}, 2, true, false,
       {"Source|Name|Qty", "|b.xls1|x", "b.xls|b.xls2|x", "a.xls|a.xls2|x", "a.xls|a.xls3|x"}},
      // clang-format on
  };
  for (const auto& c : cases)
    for (const bool values : {false, true})
      for (const char* out : {"out.xls", "out.xlsx", "out.csv"}) {
        SCOPED_TRACE(std::string(c.files.front()) + (values ? " values " : " ") + out);
        TMergeOptions options;
        options.values = values;
        options.headerRows = c.headerRows;
        options.sourceColumn = c.source;
        RunInto(dir.Path(), c.files, out, options, c.mark);
        EXPECT_EQ(OutputRows(dir / out), c.rows);
      }
}

// Value mode to the streamed outputs: thousands of rows (several batches handed to the writing thread)
// whose cells change formats from row to row each keep their own format.
TEST(MergeEngine, EveryCellKeepsItsNumberFormatOverManyRows) {
  test::TempDir dir;
  constexpr int kRows = 5000;
  TXLSWorkbook in;
  auto format = [&in](std::u16string_view code) {
    TCellFormat copy(&in.CellFormats(), 15);
    copy.SetNumberFormatText(code);
    return in.CellFormats().FindOrAddCounted(copy)->Index();
  };
  const int date = format(u"yyyy-mm-dd"), share = format(u"0.00%");
  for (int r = 0; r < kRows; ++r) {
    in.Sheets()[0].PutFloat(r % 2, r, 45352, date);
    in.Sheets()[0].PutFloat(1 - r % 2, r, 0.125, share);
  }
  in.Filename = FileNameFromPath(dir / "in.xls");
  WriteWorkbook(in);
  TMergeOptions options;
  options.values = true;
  const std::pair<const char*, std::array<std::string, 2>> outputs[] = {
      {"out.xlsx", {"45352{yyyy-mm-dd}|0.125{0.00%}", "0.125{0.00%}|45352{yyyy-mm-dd}"}},
      {"out.csv", {"2024-03-01|12.50%", "12.50%|2024-03-01"}},
      {"out.xls", {"45352{yyyy-mm-dd}|0.125{0.00%}", "0.125{0.00%}|45352{yyyy-mm-dd}"}}};
  for (const auto& [out, expected] : outputs) {
    SCOPED_TRACE(out);
    RunInto(dir.Path(), {"in.xls"}, out, options, false);
    const std::vector<std::string> rows = OutputRows(dir / out);
    ASSERT_EQ(rows.size(), size_t{kRows});
    for (size_t r = 0; r < rows.size(); ++r) ASSERT_EQ(rows[r], expected[r % 2]) << "row " << r;
  }
}

// A sheet number counts the sheets as the tabs show them, chart sheets among them; a chart sheet is
// refused by its name, never exchanged for a neighbour.
TEST(MergeEngine, SheetNumbersCountChartSheets) {
  const fs::path file = test::CorpusFile("poi/12843-1.xls");
  if (!fs::exists(file)) GTEST_SKIP() << "corpus not present";
  test::TempDir dir;
  fs::copy_file(file, dir / "charts.xls");
  TMergeOptions options;
  options.sheet = {TSheetChoice::scName, 0, u"bra-表"};
  RunInto(dir.Path(), {"charts.xls"}, "named.xls", options, false);
  options.sheet = {TSheetChoice::scIndex, 6, {}};
  RunInto(dir.Path(), {"charts.xls"}, "six.xls", options, false);
  options.sheet.index = 8;
  RunInto(dir.Path(), {"charts.xls"}, "eight.xls", options, false);
  EXPECT_EQ(OutputRows(dir / "eight.xls"), OutputRows(dir / "named.xls"));
  EXPECT_NE(OutputRows(dir / "six.xls"), OutputRows(dir / "named.xls"));
  for (const auto& [index, name] : {std::pair<int, const char*>{7, "POTS-圖"}, {39, "MARI-圖"}}) {
    TRecordingHost host;
    host.files = {(dir / "charts.xls").string()};
    host.savePath = (dir / "chart.xls").string();
    host.skip = true;
    host.options.sheet = {TSheetChoice::scIndex, index, {}};
    const TMergeReport report = MergeFiles(host);
    ASSERT_EQ(report.skipped.size(), 1u) << index;
    EXPECT_EQ(report.skipped[0].kind, ekSheetMissing);
    const TFileFailure& failure = report.skipped[0].failure;
    EXPECT_EQ(failure.sheetProblem, TFileFailure::spNotWorksheet);
    EXPECT_EQ(failure.index, static_cast<size_t>(index));
    EXPECT_EQ(ToUtf8(failure.sheetName), name);
    EXPECT_TRUE(report.outputs.empty());
  }
}

}  // namespace plicato

namespace plicato {

// Columns matched by header in either mode and every format: the union of names after the source column,
// each file's cells under their names, and each file's remark naming what it lacks and brings; a file
// without header names is laid out by position; the union past an .xls output's width is left out and
// said. Without matching, differing headers are said once.
TEST(MergeEngine, MatchedColumnsFollowTheirNames) {
  test::TempDir dir;
  auto write = [&](const char* name, std::vector<std::vector<std::u16string>> rows) {
    WriteInput(dir / name, [&](TSheet& s) {
      for (size_t r = 0; r < rows.size(); ++r)
        for (size_t c = 0; c < rows[r].size(); ++c)
          if (!rows[r][c].empty()) s.PutText(static_cast<int>(c), static_cast<int>(r), rows[r][c]);
    });
  };
  write("a.xls", {{u"日期", u"金额", u"数量"}, {u"d1", u"10", u"1"}});
  write("b.xls", {{u" 金额", u"ＱＴＹ", u"日期"}, {u"20", u"2", u"d2", u"under no name"}});
  write("c.xls", {{u" ", u"\u3000"}, {u"d3", u"30"}});  // header cells of spaces only
  std::vector<std::u16string> wide(200, u"w"), more(100, u"m");
  for (size_t c = 0; c < wide.size(); ++c) wide[c] += FromUtf8(std::to_string(c));
  for (size_t c = 0; c < more.size(); ++c) more[c] += FromUtf8(std::to_string(c));
  write("wide.xls", {wide, std::vector<std::u16string>(200, u"x")});
  write("more.xls", {more, std::vector<std::u16string>(100, u"y")});

  for (const bool values : {false, true})
    for (const char* out : {"out.xls", "out.xlsx", "out.csv"}) {
      SCOPED_TRACE(std::string(values ? "values " : "classic ") + out);
      TMergeOptions options;
      options.values = values;
      options.headerRows = 1;
      options.matchColumns = true;
      options.sourceColumn = true;
      const TMergeReport report = RunInto(dir.Path(), {"a.xls", "b.xls", "c.xls"}, out, options, false);
      EXPECT_EQ(OutputRows(dir / out), (std::vector<std::string>{"Source|日期|金额|数量|ＱＴＹ", "a.xls|d1|10|1",
                                                                 "b.xls|d2|20||2|under no name", "c.xls|d3|30"}));
      std::vector<std::string> said;
      for (const TFileNote& note : report.notes) said.push_back(note.file.filename().string() + ": " + Said(note));
      EXPECT_EQ(said, (std::vector<std::string>{"a.xls: Lacks columns \"ＱＴＹ\".",
                                                "b.xls: Lacks columns \"数量\"; brings new columns \"ＱＴＹ\".",
                                                "c.xls: Its header cells are all empty: its columns were matched "
                                                "by position."}));
      ASSERT_EQ(report.notes.size(), 3u);
      EXPECT_EQ(report.notes[1].facts.lacking, std::vector<std::u16string>{u"数量"});
      EXPECT_EQ(report.notes[1].facts.brought, std::vector<std::u16string>{u"ＱＴＹ"});
    }

  // 300 names into 256 columns less the source: the last 45 names are left out, said once, and the
  // file whose values they held says which of its columns were not merged.
  TMergeOptions options;
  options.values = true;
  options.headerRows = 1;
  options.matchColumns = true;
  options.sourceColumn = true;
  const TMergeReport report = RunInto(dir.Path(), {"wide.xls", "more.xls"}, "wide-out.xls", options, false);
  std::vector<TNoteFacts::TKind> kinds;
  for (const TFileNote& note : report.notes) kinds.push_back(note.facts.kind);
  EXPECT_EQ(kinds, (std::vector<TNoteFacts::TKind>{TNoteFacts::nkColumnsMatched, TNoteFacts::nkColumnsMatched,
                                                   TNoteFacts::nkUnionLeftOut, TNoteFacts::nkColumnsNotMatched}));
  ASSERT_EQ(report.notes.size(), 4u);
  EXPECT_EQ(report.notes[2].facts.lacking.size(), 45u);
  EXPECT_EQ(report.notes[2].facts.lacking.front(), u"m55");
  EXPECT_EQ(report.notes[3].facts.columns.size(), 45u);
  EXPECT_EQ(report.notes[3].facts.columns.front(), 55u);
  const std::vector<std::string> rows = OutputRows(dir / "wide-out.xls");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2], "more.xls" + std::string(201, '|') + [] {
    std::string cells;
    for (int c = 0; c < 55; ++c) cells += std::string(c ? "|" : "") + "y";
    return cells;
  }());

  // Without matching, in value mode: the differing header rows are said once, and stacked by position.
  options.matchColumns = false;
  options.sourceColumn = false;
  const TMergeReport differ = RunInto(dir.Path(), {"a.xls", "b.xls", "wide.xls"}, "differ.csv", options, false);
  ASSERT_EQ(differ.notes.size(), 1u);
  EXPECT_EQ(differ.notes[0].facts.kind, TNoteFacts::nkColumnsDiffer);
  EXPECT_EQ(differ.notes[0].file.filename(), "b.xls");
  EXPECT_EQ(OutputRows(dir / "differ.csv")[2], "20|2|d2|under no name");
}

}  // namespace plicato
