#include "xlsx/XlsxWriter.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "biff/Errors.h"
#include "biff/OutputFile.h"
#include "workbook/NumberFormatText.h"
#include "workbook/NumberText.h"
#include "xlsx/ZipWriter.h"

namespace plicato {
namespace {

constexpr uint32_t kMaxRows = CapacityOf(ofXlsx).rows;
constexpr uint32_t kMaxColumns = CapacityOf(ofXlsx).columns;
constexpr size_t kMaxTextUnits = 32767;  // the most a cell holds
// The sheet's XML is handed to the compression in steps of this size.
constexpr size_t kDeflateStep = size_t{256} << 10;
// The deflate level, by measurement (bench_xlsx_out, 300,000 rows x 20 columns, CPU seconds of the whole
// write and file size): level 1 1.8 s 43.4 MB, 2 2.0 s 42.2 MB, 3 2.9 s 39.0 MB, 4 3.0 s 39.0 MB, 6 5.0 s
// 34.4 MB (xlsxwriter's file of the same cells: 34.3 MB). Compression is most of the time; level 3 keeps
// the file within 15% of what other writers make at some 60% of level 6's time. The sheet's matching is
// tuned further (ZipWriter.cpp): 36.8 MB at two thirds of level 3's compression time.
constexpr int kDeflateLevel = 3;

constexpr std::string_view kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr std::string_view kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
// The widest dimension a sheet has, which the placeholder written before the rows leaves room for.
constexpr std::string_view kWidestDimension = "<dimension ref=\"A1:XFD1048576\"/>";

struct TFormatHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>()(s); }
};

// Whether XML 1.0 can hold a UTF-16 unit that is not part of a surrogate pair.
bool XmlHolds(char16_t c) {
  if (c < 0x20) return c == u'\t' || c == u'\n' || c == u'\r';
  return !(c >= 0xD800 && c <= 0xDFFF) && c != 0xFFFE && c != 0xFFFF;
}

void AppendUtf8Unit(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendEscape(std::string& out, char16_t c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "_x";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
  out += '_';
}

// A cell's text as element content: XML's markup characters as entities, and what XML cannot hold as
// _xHHHH_ (a carriage return too, which a parser would read as a line feed).
void AppendCellText(std::string& out, std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0x20 && c < 0x80) {
      switch (c) {
        case u'&':
          out += "&amp;";
          break;
        case u'<':
          out += "&lt;";
          break;
        case u'>':
          out += "&gt;";
          break;
        case u'_':
          // A literal "_xHHHH_" would read back as the character it names; LibreOffice also reads
          // shorter ones ("_x12_"), so every underscore before an x is escaped.
          if (i + 1 < text.size() && text[i + 1] == u'x')
            AppendEscape(out, c);
          else
            out += '_';
          break;
        default:
          out += static_cast<char>(c);
      }
    } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      AppendUtf8Unit(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (c == u'\r' || !XmlHolds(c)) {
      AppendEscape(out, c);
    } else {
      AppendUtf8Unit(out, c);
    }
  }
}

// An attribute value: markup characters and white space as references (a parser would turn white
// space into spaces), what XML cannot hold at all left out.
std::string AttributeText(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    switch (c) {
      case u'&':
        out += "&amp;";
        continue;
      case u'<':
        out += "&lt;";
        continue;
      case u'>':
        out += "&gt;";
        continue;
      case u'"':
        out += "&quot;";
        continue;
      case u'\t':
        out += "&#9;";
        continue;
      case u'\n':
        out += "&#10;";
        continue;
      case u'\r':
        out += "&#13;";
        continue;
      default:
        break;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8Unit(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (XmlHolds(c)) {
      AppendUtf8Unit(out, c);
    }
  }
  return out;
}

void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// "A", ..., "Z", "AA", ..., "XFD".
std::string ColumnName(uint32_t column) {
  std::string name;
  for (uint32_t n = column + 1; n > 0; n = (n - 1) / 26)
    name.insert(name.begin(), static_cast<char>('A' + (n - 1) % 26));
  return name;
}

std::string W3cNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char text[32] = "2000-01-01T00:00:00Z";
  if (::gmtime_r(&now, &utc)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

class TXlsxOutput final : public TRowOutput {
 public:
  TXlsxOutput(const std::filesystem::path& target, uint32_t frozenRows)
      : target_(target), frozenRows_(std::min(frozenRows, kMaxRows - 1)) {
    output_ = cfb::TOutput::ToFile(target);
    Guarded([&] {
      zip_ = std::make_unique<xlsx::TZipWriter>(*output_, kDeflateLevel);
      // The parts that do not depend on the rows come first, [Content_Types].xml at the head as
      // programs that sniff a package look for it.
      zip_->AddPart("[Content_Types].xml", ContentTypes());
      zip_->AddPart("_rels/.rels", PackageRelationships());
      zip_->AddPart("docProps/app.xml", AppProperties());
      zip_->AddPart("docProps/core.xml", CoreProperties());
      zip_->AddPart("xl/workbook.xml", Workbook());
      zip_->AddPart("xl/_rels/workbook.xml.rels", WorkbookRelationships());
      zip_->BeginStream("xl/worksheets/sheet1.xml", SheetHead());
    });
    xml_.reserve(kDeflateStep + (size_t{1} << 16));
  }

  void PutRow(uint32_t row, std::span<const TOutCell> cells) override {
    Usable();
    if (row >= kMaxRows) throw Fail("[int] a row past the last row of a worksheet");
    if (started_ && row <= lastRow_) throw Fail("[int] rows out of order");
    // Checked before any cell of the row is written, so that a refused row leaves no part of it.
    for (size_t i = 0; i < cells.size(); ++i)
      if (cells[i].column >= kMaxColumns || (i > 0 && cells[i].column <= cells[i - 1].column))
        throw Fail("[int] columns out of order");
    started_ = true;
    lastRow_ = row;
    const size_t rowStart = xml_.size();
    char rowName[16];
    const char* rowNameEnd = std::to_chars(rowName, rowName + sizeof rowName, row + 1).ptr;
    const std::string_view rowNumber(rowName, rowNameEnd - rowName);
    xml_ += "<row r=\"";
    xml_ += rowNumber;
    xml_ += "\">";
    bool any = false;
    for (const TOutCell& cell : cells) {
      if (cell.kind == okText && cell.text.empty()) continue;
      any = true;
      lastColumn_ = std::max<uint32_t>(lastColumn_, cell.column);
      firstColumn_ = std::min<uint32_t>(firstColumn_, cell.column);
      xml_ += "<c r=\"";
      xml_ += Column(cell.column);
      xml_ += rowNumber;
      switch (cell.kind) {
        case okText:
          AppendText(cell.text);
          break;
        case okNumber:
          if (!std::isfinite(cell.number)) {
            AppendError(ceNum);
          } else {
            const uint32_t style = StyleOf(cell.format);
            if (style != 0) {
              xml_ += "\" s=\"";
              AppendNumber(xml_, style);
            }
            xml_ += "\"><v>";
            xml_ += ShortestNumberText(cell.number);
            xml_ += "</v></c>";
          }
          break;
        case okBoolean:
          xml_ += cell.boolean ? "\" t=\"b\"><v>1</v></c>" : "\" t=\"b\"><v>0</v></c>";
          break;
        case okError:
          AppendError(cell.error == ceNone ? ceNA : cell.error);
          break;
      }
    }
    if (!any) {
      xml_.resize(rowStart);  // a row of empty texts only is no row
    } else {
      xml_ += "</row>";
      if (!anyRow_) firstRow_ = row;
      anyRow_ = true;
      lastFilledRow_ = row;
    }
    if (xml_.size() >= kDeflateStep) Flush();
  }

  void Commit() override {
    Usable();
    Guarded([&] {
      xml_ +=
          "</sheetData><pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
          "footer=\"0.3\"/></worksheet>";
      zip_->StreamWrite(xml_);
      xml_.clear();
      zip_->EndStream(SheetHead());
      zip_->AddPart("xl/styles.xml", Styles());
      zip_->Close();
      output_->Commit();
    });
    abandoned_ = "[int] the output is committed";
  }

 private:
  EFileError Fail(const std::string& reason) const {
    return EFileError(FormatMessage("Cannot write file \"%s\": %s", target_.string().c_str(), reason.c_str()),
                      ekOutputUnwritable);
  }

  void Usable() const {
    if (!abandoned_.empty()) throw EFileError(abandoned_, ekOutputUnwritable);
  }

  // Runs a step that writes to the file. A failure ends the output: the archive is given up and the
  // temporary file removed at once, and the failure stays for any later use.
  template <typename F>
  void Guarded(F&& step) {
    try {
      step();
    } catch (const EFileError& e) {
      abandoned_ = e.what();
      zip_.reset();
      output_.reset();
      throw;
    } catch (const std::bad_alloc&) {
      // Out of memory is not the file's fault: it goes on as itself, for the run to say so.
      abandoned_ = Fail("not enough memory").what();
      zip_.reset();
      output_.reset();
      throw;
    }
  }

  void Flush() {
    Guarded([&] { zip_->StreamWrite(xml_); });
    xml_.clear();
  }

  const std::string& Column(uint16_t column) {
    while (columnNames_.size() <= column)
      columnNames_.push_back(ColumnName(static_cast<uint32_t>(columnNames_.size())));
    return columnNames_[column];
  }

  void AppendText(std::u16string_view text) {
    if (text.size() > kMaxTextUnits) {
      const bool splitsPair = text[kMaxTextUnits - 1] >= 0xD800 && text[kMaxTextUnits - 1] <= 0xDBFF;
      text = text.substr(0, splitsPair ? kMaxTextUnits - 1 : kMaxTextUnits);
    }
    auto space = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; };
    xml_ += space(text.front()) || space(text.back()) ? "\" t=\"inlineStr\"><is><t xml:space=\"preserve\">"
                                                      : "\" t=\"inlineStr\"><is><t>";
    AppendCellText(xml_, text);
    xml_ += "</t></is></c>";
  }

  void AppendError(TCellError error) {
    const std::u16string_view name = ErrorText(error);
    xml_ += "\" t=\"e\"><v>";
    xml_.append(name.begin(), name.end());  // ASCII
    xml_ += "</v></c>";
  }

  // The cell style of a number format code: 0 for General, else one per code in the order met.
  uint32_t StyleOf(std::u16string_view code) {
    if (code.empty()) return 0;
    if (code == lastCode_) return lastStyle_;
    auto it = styles_.find(code);
    if (it == styles_.end()) {
      // A code of nothing but what XML cannot hold is General.
      std::string written = IsGeneralFormat(code) ? std::string() : AttributeText(code);
      const uint32_t style = written.empty() ? 0 : static_cast<uint32_t>(formats_.size() + 1);
      if (style != 0) formats_.push_back(std::move(written));
      it = styles_.emplace(std::u16string(code), style).first;
    }
    lastCode_ = it->first;
    lastStyle_ = it->second;
    return lastStyle_;
  }

  // The worksheet before its rows. Written before the rows and again, the same size, after them with
  // the dimension the rows have.
  std::string SheetHead() const {
    std::string head(kXmlHead);
    head += "<worksheet xmlns=\"";
    head += kMainNs;
    head += "\" xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">";
    std::string dimension = "<dimension ref=\"A1\"/>";
    if (anyRow_) {
      const std::string first = ColumnName(firstColumn_) + std::to_string(firstRow_ + 1);
      const std::string last = ColumnName(lastColumn_) + std::to_string(lastFilledRow_ + 1);
      dimension = "<dimension ref=\"" + first + (first == last ? "" : ":" + last) + "\"/>";
    }
    dimension.resize(kWidestDimension.size(), ' ');  // white space between elements
    head += dimension;
    head += "<sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\">";
    if (frozenRows_ > 0) {
      const std::string below = std::to_string(frozenRows_ + 1);
      head += "<pane ySplit=\"" + std::to_string(frozenRows_) + "\" topLeftCell=\"A" + below +
              "\" activePane=\"bottomLeft\" state=\"frozen\"/><selection pane=\"bottomLeft\" activeCell=\"A" +
              below + "\" sqref=\"A" + below + "\"/>";
    }
    head += "</sheetView></sheetViews><sheetFormatPr defaultRowHeight=\"15\"/><sheetData>";
    return head;
  }

  std::string Styles() const {
    std::string xml(kXmlHead);
    xml += "<styleSheet xmlns=\"";
    xml += kMainNs;
    xml += "\">";
    if (!formats_.empty()) {
      xml += "<numFmts count=\"" + std::to_string(formats_.size()) + "\">";
      for (size_t i = 0; i < formats_.size(); ++i)
        xml += "<numFmt numFmtId=\"" + std::to_string(164 + i) + "\" formatCode=\"" + formats_[i] + "\"/>";
      xml += "</numFmts>";
    }
    xml +=
        "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/><family val=\"2\"/></font></fonts>"
        "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
        "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
        "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
        "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" "
        "borderId=\"0\"/></cellStyleXfs>";
    xml += "<cellXfs count=\"" + std::to_string(formats_.size() + 1) +
           "\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>";
    for (size_t i = 0; i < formats_.size(); ++i)
      xml += "<xf numFmtId=\"" + std::to_string(164 + i) +
             "\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>";
    xml +=
        "</cellXfs><cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" "
        "builtinId=\"0\"/></cellStyles>"
        "</styleSheet>";
    return xml;
  }

  static std::string ContentTypes() {
    return std::string(kXmlHead) +
           "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"rels\" "
           "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
           "<Override PartName=\"/xl/workbook.xml\" "
           "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
           "<Override PartName=\"/xl/worksheets/sheet1.xml\" "
           "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
           "<Override PartName=\"/xl/styles.xml\" "
           "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
           "<Override PartName=\"/docProps/core.xml\" "
           "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
           "<Override PartName=\"/docProps/app.xml\" "
           "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>"
           "</Types>";
  }

  static std::string PackageRelationships() {
    return std::string(kXmlHead) +
           "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
           "<Relationship Id=\"rId1\" "
           "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
           "Target=\"xl/workbook.xml\"/>"
           "<Relationship Id=\"rId2\" "
           "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties\" "
           "Target=\"docProps/core.xml\"/>"
           "<Relationship Id=\"rId3\" "
           "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/extended-properties\" "
           "Target=\"docProps/app.xml\"/>"
           "</Relationships>";
  }

  static std::string AppProperties() {
    return std::string(kXmlHead) +
           "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
           "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\">"
           "<Application>Plicato</Application><DocSecurity>0</DocSecurity><ScaleCrop>false</ScaleCrop>"
           "<HeadingPairs><vt:vector size=\"2\" "
           "baseType=\"variant\"><vt:variant><vt:lpstr>Worksheets</vt:lpstr>"
           "</vt:variant><vt:variant><vt:i4>1</vt:i4></vt:variant></vt:vector></HeadingPairs>"
           "<TitlesOfParts><vt:vector size=\"1\" baseType=\"lpstr\"><vt:lpstr>Sheet1</vt:lpstr></vt:vector>"
           "</TitlesOfParts></Properties>";
  }

  static std::string CoreProperties() {
    const std::string now = W3cNow();
    return std::string(kXmlHead) +
           "<cp:coreProperties "
           "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\" "
           "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
           "<dcterms:created xsi:type=\"dcterms:W3CDTF\">" +
           now + "</dcterms:created><dcterms:modified xsi:type=\"dcterms:W3CDTF\">" + now +
           "</dcterms:modified></cp:coreProperties>";
  }

  static std::string Workbook() {
    return std::string(kXmlHead) + "<workbook xmlns=\"" + std::string(kMainNs) +
           "\" xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<workbookPr/><bookViews><workbookView/></bookViews>"
           "<sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
  }

  static std::string WorkbookRelationships() {
    return std::string(kXmlHead) +
           "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
           "<Relationship Id=\"rId1\" "
           "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
           "Target=\"worksheets/sheet1.xml\"/>"
           "<Relationship Id=\"rId2\" "
           "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
           "Target=\"styles.xml\"/>"
           "</Relationships>";
  }

  std::filesystem::path target_;  // as given, for messages
  uint32_t frozenRows_;
  std::unique_ptr<cfb::TOutput> output_;
  std::unique_ptr<xlsx::TZipWriter> zip_;  // writes to output_
  std::string xml_;                        // the sheet's XML not yet deflated
  std::vector<std::string> columnNames_;
  std::unordered_map<std::u16string, uint32_t, TFormatHash, std::equal_to<>> styles_;
  std::vector<std::string> formats_;  // the code of style i + 1, as an attribute value
  std::u16string_view lastCode_;      // a key of styles_
  uint32_t lastStyle_ = 0;
  uint32_t lastRow_ = 0;
  bool started_ = false;
  // The extent of the cells written, for the sheet's dimension.
  bool anyRow_ = false;
  uint32_t firstRow_ = 0, lastFilledRow_ = 0;
  uint32_t firstColumn_ = kMaxColumns, lastColumn_ = 0;
  std::string abandoned_;  // why the output can no longer be used
};

}  // namespace

std::unique_ptr<TRowOutput> MakeXlsxOutput(const std::filesystem::path& target, uint32_t frozenRows) {
  return std::make_unique<TXlsxOutput>(target, frozenRows);
}

}  // namespace plicato
