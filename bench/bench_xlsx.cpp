// Reading speed of the .xlsx reader against openpyxl's read-only mode, on one generated workbook of
// 100,000 rows x 20 columns laid out as writers lay out a table (see AppendCell). Both read the same
// file and take every cell's value: ours as TXlsxCell (numbers parsed, shared strings looked up),
// openpyxl's as Python values (data_only, so a formula gives its cached result as ours does); each side
// counts the values it got, and the two counts are printed side by side. Ours reads twice, the sheet in
// pieces on two threads as the reader does, then with one parser. Each takes the best of three reads, in
// wall time and in CPU time (ours: all threads of the process, and apart the caller's thread and the
// others: the workers that inflate and parse pieces). Prints the peak memory of our reads (the process's
// high-water mark reset before each) and the ratios openpyxl / ours in pieces: wall, CPU of all threads,
// and the wall time two idle cores would show. Never asserts.
// Run: build/bench/bench_xlsx
#include <sys/resource.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "BenchFigures.h"
#include "xlsx/XlsxReader.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 100000;
constexpr int kColumns = 20;
constexpr int kRepeating = 500;  // distinct repeating texts; then one text of its own per row
constexpr int kRuns = 3;

std::string ColumnName(int column) {
  std::string name;
  for (++column; column > 0; column = (column - 1) / 26)
    name.insert(name.begin(), char('A' + (column - 1) % 26));
  return name;
}

// One cell of a table as writers save it: ids, dates (a number with a date format), repeating texts and
// texts of their own (shared strings), amounts with two decimals, quantities, a flag, a formula with its
// result, full-precision numbers, and an error now and then.
void AppendCell(std::string& xml, int column, int row) {
  const std::string ref = ColumnName(column) + std::to_string(row + 1);
  char number[64];
  auto value = [&](const char* attributes, const std::string& v) {
    xml += "<c r=\"" + ref + "\"" + attributes + "><v>" + v + "</v></c>";
  };
  switch (column) {
    case 0:
      value("", std::to_string(row + 1));
      break;
    case 1:
      value(" s=\"1\"", std::to_string(40000 + row % 3000));
      break;
    case 2:
    case 3:
    case 15:
      value(" t=\"s\"", std::to_string((row * 7 + column) % kRepeating));
      break;
    case 4:
      value(" t=\"s\"", std::to_string(kRepeating + row));
      break;
    case 13:
      value(" t=\"b\"", row % 3 == 0 ? "1" : "0");
      break;
    case 14:
      xml += "<c r=\"" + ref + "\"><f>F" + std::to_string(row + 1) + "*K" + std::to_string(row + 1) +
             "</f><v>" + std::to_string((row % 10000) * (row % 50)) + "</v></c>";
      break;
    case 16:
      std::snprintf(number, sizeof number, "%.17g", row / 7.0);
      value("", number);
      break;
    case 17:
      std::snprintf(number, sizeof number, "%.2f", (row % 100) / 100.0);
      value(" s=\"2\"", number);
      break;
    case 19:
      if (row % 97 == 0)
        value(" t=\"e\"", "#DIV/0!");
      else
        value("", std::to_string(row % 1000));
      break;
    default:
      if (column < 10) {
        std::snprintf(number, sizeof number, "%d.%02d", (row * column) % 100000, row % 100);
        value("", number);
      } else {
        value("", std::to_string((row + column) % 500));
      }
      break;
  }
}

// The parts go through files on disk, so that making the workbook does not raise the peak memory
// measured for reading it.
void Generate(const fs::path& path, const fs::path& scratch) {
  const char* ns = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
  {
    std::ofstream sheet(scratch / "sheet1.xml", std::ios::binary);
    sheet << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<worksheet xmlns=\"" << ns
          << "\"><sheetData>";
    std::string xml;
    for (int row = 0; row < kRows; ++row) {
      xml = "<row r=\"" + std::to_string(row + 1) + "\">";
      for (int column = 0; column < kColumns; ++column) AppendCell(xml, column, row);
      sheet << xml << "</row>";
    }
    sheet << "</sheetData></worksheet>";
    std::ofstream strings(scratch / "sharedStrings.xml", std::ios::binary);
    strings << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<sst xmlns=\"" << ns << "\">";
    for (int i = 0; i < kRepeating; ++i) strings << "<si><t>item " << i << "</t></si>";
    for (int row = 0; row < kRows; ++row) strings << "<si><t>row " << row << " text of its own</t></si>";
    strings << "</sst>";
  }
  const std::string rels =
      "<?xml version=\"1.0\"?><Relationships "
      "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
      "<Relationship Id=\"rId1\" "
      "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
      "Target=\"worksheets/sheet1.xml\"/><Relationship Id=\"rId2\" "
      "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings\" "
      "Target=\"sharedStrings.xml\"/><Relationship Id=\"rId3\" "
      "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
      "Target=\"styles.xml\"/></Relationships>";
  const std::string rootRels =
      "<?xml version=\"1.0\"?><Relationships "
      "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
      "<Relationship Id=\"rId1\" "
      "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
      "Target=\"xl/workbook.xml\"/></Relationships>";
  const std::string workbook =
      std::string("<?xml version=\"1.0\"?><workbook xmlns=\"") + ns +
      "\" xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets><sheet "
      "name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
  const std::string styles =
      std::string("<?xml version=\"1.0\"?><styleSheet xmlns=\"") + ns +
      "\"><fonts count=\"1\"><font/></fonts><fills count=\"1\"><fill><patternFill "
      "patternType=\"none\"/></fill></fills><borders count=\"1\"><border/>"
      "</borders><cellStyleXfs count=\"1\"><xf/></cellStyleXfs><cellXfs count=\"3\"><xf numFmtId=\"0\"/>"
      "<xf numFmtId=\"14\" applyNumberFormat=\"1\"/><xf numFmtId=\"10\" applyNumberFormat=\"1\"/></cellXfs>"
      "</styleSheet>";
  const std::string types =
      "<?xml version=\"1.0\"?><Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
      "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
      "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
      "<Override PartName=\"/xl/workbook.xml\" "
      "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
      "<Override PartName=\"/xl/worksheets/sheet1.xml\" "
      "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
      "<Override PartName=\"/xl/sharedStrings.xml\" "
      "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/></"
      "Types>";
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!archive) {
    std::fprintf(stderr, "bench_xlsx: cannot create %s\n", path.c_str());
    std::exit(1);
  }
  auto addText = [&](const char* name, const std::string& text) {
    zip_file_add(archive, name, zip_source_buffer(archive, text.data(), text.size(), 0), ZIP_FL_OVERWRITE);
  };
  addText("[Content_Types].xml", types);
  addText("_rels/.rels", rootRels);
  addText("xl/workbook.xml", workbook);
  addText("xl/_rels/workbook.xml.rels", rels);
  addText("xl/styles.xml", styles);
  const std::string sheetFile = (scratch / "sheet1.xml").string(),
                    stringsFile = (scratch / "sharedStrings.xml").string();
  zip_file_add(archive, "xl/worksheets/sheet1.xml", zip_source_file(archive, sheetFile.c_str(), 0, -1),
               ZIP_FL_OVERWRITE);
  zip_file_add(archive, "xl/sharedStrings.xml", zip_source_file(archive, stringsFile.c_str(), 0, -1),
               ZIP_FL_OVERWRITE);
  if (zip_close(archive) != 0) {
    std::fprintf(stderr, "bench_xlsx: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The CPU time of the calling thread alone: the parse, which the inflating worker runs beside.
double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Resets the process's peak resident size (VmHWM) to its current size (Linux 4.0 and later).
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace

int main() {
  const fs::path scratch = fs::temp_directory_path() / ("plicato-bench-xlsx-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  const fs::path file = scratch / "bench.xlsx";
  Generate(file, scratch);
  fs::remove(scratch / "sheet1.xml");
  fs::remove(scratch / "sharedStrings.xml");
  std::printf("bench_xlsx: %d rows x %d columns, %.1f MB .xlsx\n", kRows, kColumns,
              static_cast<double>(fs::file_size(file)) / 1e6);

  // Ours twice: the sheet parsed in pieces on two threads (as the reader does), then by one parser.
  double best = 1e300, bestCpu = 1e300, bestParse = 1e300;
  long values = 0;
  for (const size_t pieceSize : {size_t(1) << 20, size_t(0)}) {
    plicato::SetXlsxSheetPieceSize(pieceSize);
    double wall = 1e300, cpu = 1e300, parse = 1e300, checksum = 0;
    long peakKb = 0, baseKb = 0;
    for (int run = 0; run < kRuns; ++run) {
      ResetPeak();
      baseKb = StatusKb("VmRSS:");
      const auto start = std::chrono::steady_clock::now();
      const double startCpu = CpuSeconds(), startParse = ThreadCpuSeconds();
      plicato::TXlsxSheetReader reader(file);
      plicato::TXlsxRow row;
      values = 0;
      checksum = 0;
      // Every value taken, as openpyxl hands every value over: a number's value, a text's characters.
      while (reader.NextRow(row))
        for (const plicato::TXlsxCell& cell : row.cells) {
          if (cell.kind == plicato::xkBlank) continue;
          ++values;
          checksum += cell.kind == plicato::xkNumber ? cell.number : static_cast<double>(cell.text.size());
        }
      wall = std::min(wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      cpu = std::min(cpu, CpuSeconds() - startCpu);
      parse = std::min(parse, ThreadCpuSeconds() - startParse);
      peakKb = StatusKb("VmHWM:");
    }
    std::printf(
        "plicato (%s):  %.3f s wall, %.3f s CPU of all threads, %.3f s CPU of the caller's thread, %.3f s of "
        "the others (best of %d), %.0f rows/s, %ld values (checksum %.6g), peak memory of the read %.1f MB "
        "(%.1f MB above the process before it)\n",
        pieceSize ? "pieces on two threads" : "one parser", wall, cpu, parse, cpu - parse, kRuns, kRows / wall,
        values, checksum, peakKb / 1024.0, (peakKb - baseKb) / 1024.0);
    if (pieceSize) {
      best = wall;
      bestCpu = cpu;
      // On two idle cores the caller's thread waits for no one once the others' work fits beside it.
      bestParse = std::max(parse, cpu / 2);
    }
  }
  plicato::SetXlsxSheetPieceSize(size_t(1) << 20);

  const std::string command =
      "/usr/bin/python3 -W ignore -c 'import sys, time, openpyxl\n"
      "best, bestCpu = 1e300, 1e300\n"
      "for run in range(int(sys.argv[2])):\n"
      "  t, c = time.perf_counter(), time.process_time()\n"
      "  book = openpyxl.load_workbook(sys.argv[1], read_only=True, data_only=True)\n"
      "  n = 0\n"
      "  for row in book.worksheets[0].iter_rows(values_only=True):\n"
      "    n += len(row) - row.count(None)\n"
      "  book.close()\n"
      "  best, bestCpu = min(best, time.perf_counter() - t), min(bestCpu, time.process_time() - c)\n"
      "print(best, bestCpu, n)' " +
      file.string() + " " + std::to_string(kRuns);
  double theirs = 0, theirCpu = 0;
  long theirValues = 0;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    if (std::fscanf(pipe, "%lf %lf %ld", &theirs, &theirCpu, &theirValues) != 3) theirs = 0;
    pclose(pipe);
  }
  if (theirs > 0) {
    std::printf("openpyxl: %.3f s wall, %.3f s CPU (best of %d, read-only mode), %.0f rows/s, %ld values\n",
                theirs, theirCpu, kRuns, kRows / theirs, theirValues);
    // On a busy machine wall times stretch unevenly; the CPU times compare the work done. Our wall time
    // gains from the second core (inflating and parsing pieces beside the caller), our CPU time of all
    // threads does not; on two idle cores our wall time is the larger of the caller's thread's CPU time
    // and half of all threads', so that ratio is the wall ratio a quiet machine would show.
    std::printf(
        "ratio openpyxl / plicato in pieces, same file, every value (target 20x): wall %.1fx; CPU %.1fx (all "
        "our threads); CPU %.1fx (max of the caller's thread and half of all, the wall ratio on two idle "
        "cores)%s\n",
        theirs / best, theirCpu / bestCpu, theirCpu / bestParse,
        theirValues == values ? "" : "  WARNING: the value counts differ, the work is not the same");
    plicato::bench::AddFigure("read 100,000 rows x 20 columns of .xlsx, beside openpyxl",
                              plicato::bench::Format("%.2f s wall", best) +
                                  plicato::bench::Format(" = %.1fx openpyxl", theirs / best),
                              "0.66 s wall = 16.6x", "20x openpyxl or more");
    plicato::bench::PrintFigures("bench_xlsx");
  } else {
    std::printf("openpyxl: not run (python3-openpyxl missing?)\n");
  }
  fs::remove_all(scratch);
  return 0;
}
