// Writes .xlsx and .csv files through the merge's row outputs: for the interop checks to read with other
// programs (outputs_test.py), and as the generated inputs of the large merge (outputs_large_test.py).
//   interop_outputs samples DIR     DIR/samples.xlsx and DIR/samples.csv of the awkward sample cells, and
//                                   DIR/samples.json, the cells as they were given; DIR/awkward.xlsx
//                                   of the awkward cells, DIR/awkward.json with their texts and
//                                   format codes as UTF-16 units
//   interop_outputs rows FIRST N OUT
//                                   the generated rows FIRST to FIRST + N - 1 (Rows below, which the
//                                   checks compute again) to OUT from its top, .xlsx or .csv by its
//                                   extension
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "OutputSamples.h"
#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "merge/output/CsvOutput.h"
#include "xlsx/XlsxWriter.h"

namespace plicato {
namespace {

std::unique_ptr<TRowOutput> MakeOutput(const std::filesystem::path& path) {
  return path.extension() == ".csv" ? MakeCsvOutput(path) : MakeXlsxOutput(path);
}

std::string JsonNumber(double value) {
  if (std::isnan(value)) return "\"nan\"";
  if (std::isinf(value)) return value > 0 ? "\"inf\"" : "\"-inf\"";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string JsonUnits(std::u16string_view text) {
  std::string json = "[";
  for (char16_t unit : text) json += std::to_string(unit) + ",";
  if (json.back() == ',') json.pop_back();
  return json + "]";
}

void Awkward(const std::filesystem::path& dir) {
  const std::vector<test::TSampleCell> cells = test::AwkwardCells();
  auto output = MakeOutput(dir / "awkward.xlsx");
  test::PutSampleCells(*output, cells);
  output->Commit();
  std::string json = "[\n";
  for (const test::TSampleCell& c : cells) {
    json += "{\"row\": " + std::to_string(c.row) + ", \"column\": " + std::to_string(c.column) +
            ", \"kind\": \"" + (c.kind == okText ? "text" : "number") + "\", \"text\": " + JsonUnits(c.text) +
            ", \"number\": " + JsonNumber(c.number) + ", \"format\": " + JsonUnits(c.format) + "},\n";
  }
  json.resize(json.size() - 2);
  json += "\n]\n";
  std::ofstream(dir / "awkward.json", std::ios::binary) << json;
}

int Samples(const std::filesystem::path& dir) {
  Awkward(dir);
  const std::vector<test::TSampleCell> cells = test::SampleCells();
  for (const char* name : {"samples.xlsx", "samples.csv"}) {
    auto output = MakeOutput(dir / name);
    test::PutSampleCells(*output, cells);
    output->Commit();
  }
  std::string json = "[\n";
  for (const test::TSampleCell& c : cells) {
    static const char* const kKinds[] = {"text", "number", "boolean", "error"};
    json += "{\"row\": " + std::to_string(c.row) + ", \"column\": " + std::to_string(c.column) +
            ", \"kind\": \"" + kKinds[c.kind] + "\", \"text\": " + test::JsonString(ToUtf8(c.text)) +
            ", \"number\": " + JsonNumber(c.number) + ", \"format\": " + test::JsonString(ToUtf8(c.format)) +
            ", \"boolean\": " + (c.boolean ? "true" : "false") +
            ", \"error\": " + test::JsonString(c.kind == okError ? ToUtf8(ErrorText(c.error)) : "") + "},\n";
  }
  json.resize(json.size() - 2);
  json += "\n]\n";
  std::ofstream(dir / "samples.json", std::ios::binary) << json;
  return 0;
}

// Row i of the generated files: a text, a whole number, a fraction, a date, a boolean and a text that
// needs quoting in CSV every seventh row (Chinese text on the others).
int Rows(uint32_t firstRow, uint32_t count, const std::filesystem::path& path) {
  auto output = MakeOutput(path);
  std::vector<TOutCell> row(6);
  std::u16string first, last;
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t i = firstRow + k;
    first = FromUtf8("row " + std::to_string(i));
    last = i % 7 == 0 ? u"a,\"b\"" : u"第" + FromUtf8(std::to_string(i)) + u"行";
    for (uint16_t c = 0; c < 6; ++c) {
      row[c] = TOutCell();
      row[c].column = c;
    }
    row[0].text = first;
    row[1].kind = row[2].kind = row[3].kind = okNumber;
    row[1].number = i;
    row[2].number = i * 0.001 + 0.5;
    row[3].number = 40000.0 + i % 20000;
    row[3].format = u"yyyy\\-mm\\-dd";
    row[4].kind = okBoolean;
    row[4].boolean = i % 2 == 0;
    row[5].text = last;
    output->PutRow(k, row);
  }
  output->Commit();
  return 0;
}

}  // namespace
}  // namespace plicato

int main(int argc, char** argv) {
  try {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "samples" && argc == 3) return plicato::Samples(argv[2]);
    if (mode == "rows" && argc == 5)
      return plicato::Rows(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)),
                           static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)), argv[4]);
    std::fprintf(stderr, "usage: interop_outputs samples DIR | rows FIRST N OUT.xlsx|OUT.csv\n");
    return 2;
  } catch (const plicato::EPlicatoError& e) {
    std::fprintf(stderr, "interop_outputs: %s\n", e.what());
    return 1;
  }
}
