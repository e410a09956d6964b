#include "xlsx/XlsxReader.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "biff/CodePage.h"
#include "biff/CompoundFile.h"
#include "xlsx/InflateThread.h"
#include "xlsx/XmlPart.h"
#include "xlsx/ZipPackage.h"

namespace plicato {

namespace {

using xlsx::TXmlPart;
using xlsx::TZipPackage;

bool EndsWith(std::string_view text, std::string_view tail) {
  if (text.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - tail.size() + i])) !=
        std::tolower(static_cast<unsigned char>(tail[i])))
      return false;
  return true;
}

// --- Part names and relationships ---

std::string Folder(const std::string& part) {
  const size_t slash = part.rfind('/');
  return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

std::string RelationshipsPart(const std::string& part) {
  const size_t slash = part.rfind('/');
  const std::string file = slash == std::string::npos ? part : part.substr(slash + 1);
  return Folder(part) + "_rels/" + file + ".rels";
}

// A relationship target as a part name: relative to the source part's folder, or from the package root
// when it starts with '/'; "." and ".." resolved, never above the root.
std::string ResolveTarget(const std::string& sourceFolder, const std::string& target) {
  const std::string joined = !target.empty() && target[0] == '/' ? target : sourceFolder + target;
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= joined.size()) {
    size_t end = joined.find('/', start);
    if (end == std::string::npos) end = joined.size();
    const std::string segment = joined.substr(start, end - start);
    if (segment == "..") {
      if (segments.empty())
        throw EXlsxError("The relationship target \"" + target + "\" is outside the package");
      segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string name;
  for (const std::string& s : segments) name += (name.empty() ? "" : "/") + s;
  return name;
}

struct TRelationship {
  std::string type, target;
  bool external = false;
};

class TRelationshipsPart : public TXmlPart {
 public:
  using TXmlPart::TXmlPart;
  std::unordered_map<std::string, TRelationship> byId;
  std::vector<std::string> order;

 protected:
  void StartElement(const char* name, const char** attributes) override {
    if (std::strcmp(name, "Relationship") != 0) return;
    const char* id = Attribute(attributes, "Id");
    const char* target = Attribute(attributes, "Target");
    if (!id || !target) return;
    const char* type = Attribute(attributes, "Type");
    const char* mode = Attribute(attributes, "TargetMode");
    if (byId.size() > 100000) throw EXlsxError(Where() + ": too many relationships");
    if (byId.emplace(id, TRelationship{type ? type : "", target, mode && std::strcmp(mode, "External") == 0})
            .second)
      order.push_back(id);
  }
  void EndElement(const char*) override {}
  void Characters(const char*, int) override {}
};

// The first sheet listed by the workbook part, and nothing else of it.
class TWorkbookPart : public TXmlPart {
 public:
  using TXmlPart::TXmlPart;
  bool found = false, date1904 = false;
  std::string name, relationshipId;

 protected:
  void StartElement(const char* element, const char** attributes) override {
    if (std::strcmp(element, "workbookPr") == 0) {
      const char* d = Attribute(attributes, "date1904");
      date1904 = d && (std::strcmp(d, "1") == 0 || std::strcmp(d, "true") == 0);
    }
    if (found || std::strcmp(element, "sheet") != 0) return;
    found = true;
    const char* n = Attribute(attributes, "name");
    const char* id = PrefixedAttribute(attributes, "id");
    name = n ? n : "";
    relationshipId = id ? id : "";
  }
  void EndElement(const char*) override {}
  void Characters(const char*, int) override {}
};

// Excel writes characters XML cannot carry as _xHHHH_ (and a literal "_x" as _x005F_x).
std::u16string DecodeEscapes(std::u16string text) {
  if (text.find(u"_x") == std::u16string::npos) return text;
  std::u16string out;
  out.reserve(text.size());
  auto hex = [](char16_t c) -> int {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'_' && i + 6 < text.size() && text[i + 1] == u'x' && text[i + 6] == u'_') {
      int value = 0;
      bool ok = true;
      for (size_t k = i + 2; k < i + 6 && ok; ++k) {
        const int d = hex(text[k]);
        ok = d >= 0;
        value = value * 16 + d;
      }
      if (ok) {
        out += static_cast<char16_t>(value);
        i += 6;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// Collects the visible text of a string item (<si> or <is>): plain <t> and the <t> of rich runs, joined;
// phonetic runs (<rPh>) are readings, not text.
class TStringItem {
 public:
  void Start(const char* element) {
    if (std::strcmp(element, "rPh") == 0) ++phonetic_;
    if (std::strcmp(element, "t") == 0 && phonetic_ == 0) collecting_ = true;
  }
  void End(const char* element) {
    if (std::strcmp(element, "rPh") == 0 && phonetic_ > 0) --phonetic_;
    if (std::strcmp(element, "t") == 0) collecting_ = false;
  }
  void Characters(const char* text, int length) {
    if (collecting_) utf8_.append(text, static_cast<size_t>(length));
  }
  std::u16string Take() {
    std::u16string text = DecodeEscapes(FromUtf8(utf8_));
    utf8_.clear();
    phonetic_ = 0;
    collecting_ = false;
    return text;
  }

 private:
  std::string utf8_;
  int phonetic_ = 0;
  bool collecting_ = false;
};

// The shared string table, all texts in one buffer: a workbook has up to millions of short strings, and
// one allocation each would cost more than the texts.
struct TSharedStrings {
  std::u16string texts;
  std::vector<size_t> ends;  // end of string i in texts; it starts where string i - 1 ends

  size_t Count() const { return ends.size(); }
  std::u16string_view At(size_t i) const {
    const size_t start = i == 0 ? 0 : ends[i - 1];
    return std::u16string_view(texts).substr(start, ends[i] - start);
  }
};

class TSharedStringsPart : public TXmlPart {
 public:
  using TXmlPart::TXmlPart;
  TSharedStrings strings;

 protected:
  void StartElement(const char* name, const char**) override {
    if (std::strcmp(name, "si") == 0) {
      inItem_ = true;
      item_.Take();
    } else if (inItem_) {
      item_.Start(name);
    }
  }
  void EndElement(const char* name) override {
    if (std::strcmp(name, "si") == 0) {
      inItem_ = false;
      strings.texts += item_.Take();
      strings.ends.push_back(strings.texts.size());
    } else if (inItem_) {
      item_.End(name);
    }
  }
  void Characters(const char* text, int length) override { item_.Characters(text, length); }

 private:
  TStringItem item_;
  bool inItem_ = false;
};

// --- Cell values ---

// "AB12" as a 0-based column and row; nullopt for anything else.
struct TCellRef {
  uint32_t column, row;
};

std::optional<TCellRef> ParseCellRef(const char* text, const char*& failure) {
  uint32_t column = 0, row = 0;
  const char* p = text;
  int letters = 0;
  while (*p >= 'A' && *p <= 'Z') {
    column = column * 26 + static_cast<uint32_t>(*p - 'A' + 1);
    if (++letters > 3) break;
    ++p;
  }
  int digits = 0;
  while (*p >= '0' && *p <= '9' && digits <= 7) {
    row = row * 10 + static_cast<uint32_t>(*p - '0');
    ++digits;
    ++p;
  }
  if (letters == 0 || letters > 3 || digits == 0 || *p != '\0') {
    failure = "is not a cell reference";
    return std::nullopt;
  }
  if (column > kXlsxMaxColumns || row == 0 || row > kXlsxMaxRows) {
    failure = "is outside the worksheet (A1:XFD1048576)";
    return std::nullopt;
  }
  return TCellRef{column - 1, row - 1};
}

bool ParseNumber(std::string_view text, double& value) {
  // Most values are short integers (ids, quantities, dates): up to 15 digits read exactly, digit by digit.
  if (!text.empty() && text.size() <= 15) {
    const bool negative = text[0] == '-';
    uint64_t n = 0;
    size_t i = negative ? 1 : 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
      n = n * 10 + static_cast<uint64_t>(text[i] - '0');
    if (i == text.size() && i > (negative ? 1u : 0u)) {
      value = negative ? -static_cast<double>(n) : static_cast<double>(n);
      return true;
    }
  }
  while (!text.empty() &&
         (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' || text.front() == '\r'))
    text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r'))
    text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// An ISO 8601 date or date-time ("2024-03-01", "2024-03-01T12:30:00.5") as the serial number Excel
// shows for it: in the 1900 date system (which counts the non-existent 1900-02-29) or the 1904 one.
bool ParseIsoDate(std::string_view text, bool date1904, double& value) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  double s = 0;
  auto number = [&](size_t at, size_t n, int& out) {
    if (at + n > text.size()) return false;
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  if (!number(0, 4, y) || text.size() < 10 || text[4] != '-' || !number(5, 2, mo) || text[7] != '-' ||
      !number(8, 2, d) || mo < 1 || mo > 12 || d < 1 || d > 31)
    return false;
  if (text.size() > 10) {
    if (text[10] != 'T' || !number(11, 2, h) || text.size() < 16 || text[13] != ':' || !number(14, 2, mi))
      return false;
    size_t end = 16;
    if (text.size() > 16 && text[16] == ':') {
      end = 17;
      while (end < text.size() && ((text[end] >= '0' && text[end] <= '9') || text[end] == '.')) ++end;
      if (!ParseNumber(text.substr(17, end - 17), s)) return false;
    }
    const std::string_view zone = text.substr(end);
    if (!zone.empty() && zone != "Z") return false;
  }
  const int64_t civil = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  int64_t days = civil - DaysFromCivil(1899, 12, 30);
  if (date1904)
    days = civil - DaysFromCivil(1904, 1, 1);
  else if (days < 61)
    days -= 1;  // before 1900-03-01 the serial misses the fictitious leap day
  value = static_cast<double>(days) + (h * 3600.0 + mi * 60.0 + s) / 86400.0;
  return true;
}

struct TErrorName {
  const char16_t* text;
  TCellError error;
};
constexpr TErrorName kErrorNames[] = {{u"#NULL!", ceNull}, {u"#DIV/0!", ceDiv0}, {u"#VALUE!", ceValue},
                                      {u"#REF!", ceRef},   {u"#NAME?", ceName},  {u"#NUM!", ceNum},
                                      {u"#N/A", ceNA}};

// --- The sheet ---

enum TCellType : uint8_t { ctNumber, ctShared, ctString, ctInline, ctBoolean, ctError, ctDate };

// The t attribute of a cell; an unknown type is refused rather than guessed. Read at every cell, so by its
// first letter.
bool ParseCellType(const char* t, TCellType& type) {
  const bool letter = t[0] != '\0' && t[1] == '\0';
  switch (t[0]) {
    case 's':
      type = letter ? ctShared : ctString;
      return letter || std::strcmp(t, "str") == 0;
    case 'n':
      type = ctNumber;
      return letter;
    case 'b':
      type = ctBoolean;
      return letter;
    case 'e':
      type = ctError;
      return letter;
    case 'd':
      type = ctDate;
      return letter;
    case 'i':
      type = ctInline;
      return std::strcmp(t, "inlineStr") == 0;
    default:
      return false;
  }
}

// Parsed rows kept compactly, for one row of the single parse or for all rows of a piece parsed ahead:
// the cells' values (a shared string is a view of the table), texts of their own in one buffer.
struct TStoredCell {
  TXlsxCell cell;  // text: a shared string or an error's name; a text of its own is in owned
  size_t offset = 0, length = 0;
  bool owned = false;
};

struct TStoredRow {
  uint32_t index = 0;
  size_t end = 0;  // the end of the row's cells; they start where the row before ends
};

struct TRowStore {
  std::vector<TStoredCell> cells;
  std::vector<TStoredRow> rows;
  std::u16string texts;

  void Clear() {
    cells.clear();
    rows.clear();
    texts.clear();
  }
  // The texts of row r point into the store: valid while it is neither cleared nor added to.
  void Deliver(size_t r, TXlsxRow& row) const {
    row.index = rows[r].index;
    row.cells.clear();
    for (size_t i = r == 0 ? 0 : rows[r - 1].end; i < rows[r].end; ++i) {
      row.cells.push_back(cells[i].cell);
      if (cells[i].owned)
        row.cells.back().text = std::u16string_view(texts).substr(cells[i].offset, cells[i].length);
    }
  }
};

// What the part reader gives the sheet's parser: stretches of bytes given to it (the sheet's start, or a
// piece), then, unless it holds back, the rest of the sheet from the inflating thread.
class TSheetInput final : public xlsx::TPartReader {
 public:
  TSheetInput(std::string name, xlsx::TPartReader* source) : name_(std::move(name)), source_(source) {}
  // A piece: the bytes are borrowed and nothing follows them.
  TSheetInput(std::string name, std::string_view bytes) : name_(std::move(name)), borrowed_(bytes) {
    held_ = true;
  }

  void Append(std::string bytes) { stretches_.push_back(std::move(bytes)); }
  void Hold(bool held) { held_ = held; }
  // A failure met while reading ahead of the parse, thrown where the parse reaches it.
  void FailAfterStretches(std::exception_ptr failure) { failure_ = std::move(failure); }
  bool Held() const { return held_ && stretches_.empty() && borrowed_.empty(); }

  size_t Read(uint8_t* buffer, size_t size) override {
    if (!borrowed_.empty()) {
      const size_t n = std::min(size, borrowed_.size());
      std::memcpy(buffer, borrowed_.data(), n);
      borrowed_.remove_prefix(n);
      return n;
    }
    while (!stretches_.empty()) {
      const std::string& s = stretches_.front();
      if (offset_ < s.size()) {
        const size_t n = std::min(size, s.size() - offset_);
        std::memcpy(buffer, s.data() + offset_, n);
        offset_ += n;
        return n;
      }
      stretches_.pop_front();
      offset_ = 0;
    }
    if (held_ || !source_) return 0;
    if (failure_) std::rethrow_exception(failure_);
    return source_->Read(buffer, size);
  }
  const std::string& Name() const override { return name_; }

 private:
  const std::string name_;
  xlsx::TPartReader* source_ = nullptr;
  std::string_view borrowed_;
  std::deque<std::string> stretches_;
  size_t offset_ = 0;
  bool held_ = false;
  std::exception_ptr failure_;
};

class TSheetPart : public TXmlPart {
 public:
  // pauseAtRows: Parse() returns at the end of each row (the single parse); else it parses on (a piece).
  TSheetPart(std::unique_ptr<TSheetInput> input, const TSharedStrings& strings, bool date1904,
             TRowStore& store, bool pauseAtRows)
      : TXmlPart(std::move(input)),
        input_(static_cast<TSheetInput&>(Reader())),
        strings_(strings),
        date1904_(date1904),
        store_(store),
        pauseAtRows_(pauseAtRows) {}

  TSheetInput& Input() { return input_; }

  // Parses on to the end of the next row; false at the end of the sheet or where the input holds back.
  bool Next(TXlsxRow& row) {
    // A row cut by a stretch's end is continued, not started over.
    if (rowDone_) {
      store_.Clear();
      rowDone_ = false;
    }
    while (!rowDone_)
      if (!Parse()) return false;
    store_.Deliver(0, row);
    return true;
  }

  // True where the parse stands between two rows that are children of sheetData, with nothing but white
  // space after the last row's end: the state a parse of the next piece starts in.
  bool BetweenRows() const {
    return inSheetData_ && !inRow_ && !inCell_ && !inValue_ && !inInline_ && depth_ == sheetDataDepth_ &&
           rowEnd_ > 0;
  }
  size_t RowEnd() const { return rowEnd_; }  // after the last row's end tag, in bytes given to the parser
  // The first row found its number by counting from the row before it (it gives none).
  bool FirstRowCounted() const { return firstCounted_; }
  bool Started() const { return started_; }
  uint32_t LastRow() const { return lastRow_; }
  // Rows a piece parsed in place of this parse: the last one's number and the piece's lines.
  void Skipped(uint32_t lastRow, size_t lines) {
    lastRow_ = lastRow;
    started_ = true;
    AddLines(lines);
  }
  // The namespace declarations of sheetData and of the elements around it, innermost last.
  struct TNamespace {
    int depth;
    std::string name, value;
  };
  const std::vector<TNamespace>& Namespaces() const { return namespaces_; }

 protected:
  bool InputHeld() const override { return input_.Held(); }

  void StartElement(const char* name, const char** attributes) override {
    ++depth_;
    if (!inSheetData_) NoteNamespaces(attributes);
    switch (name[0]) {
      case 'c':
        if (name[1] == '\0' && inRow_) StartCell(attributes);
        return;
      case 'v':
        if (name[1] == '\0' && inCell_) {
          value_.clear();
          inValue_ = true;
        }
        return;
      case 'f':
        if (name[1] == '\0' && inCell_) formula_ = true;
        return;
      case 'r':
        if (name[1] == 'o' && std::strcmp(name, "row") == 0 && inSheetData_)
          StartRow(attributes);
        else if (inInline_)
          item_.Start(name);
        return;
      case 'i':
        if (name[1] == 's' && name[2] == '\0' && inCell_) {
          inInline_ = true;
          hasInline_ = true;
          item_.Take();
        }
        return;
      case 's':
        if (std::strcmp(name, "sheetData") == 0) {
          inSheetData_ = true;
          sheetDataDepth_ = depth_;
        }
        return;
      default:
        if (inInline_) item_.Start(name);
        return;
    }
  }

  void EndElement(const char* name) override {
    --depth_;
    if (name[1] == '\0') {
      if (name[0] == 'c' && inCell_) {
        EndCell();
        return;
      }
      if (name[0] == 'v') {
        inValue_ = false;
        return;
      }
    }
    if (inInline_) {
      if (std::strcmp(name, "is") == 0) {
        inInline_ = false;
        inline_ = item_.Take();
      } else {
        item_.End(name);
      }
      return;
    }
    if (std::strcmp(name, "row") == 0 && inRow_) {
      EndRow();
    } else if (std::strcmp(name, "sheetData") == 0) {
      inSheetData_ = false;
    }
  }

  void Characters(const char* text, int length) override {
    if (inValue_)
      value_.append(text, static_cast<size_t>(length));
    else if (inInline_)
      item_.Characters(text, length);
  }

 private:
  [[noreturn]] void Fail(const std::string& what) { throw EXlsxError(Where() + ": " + what); }

  // Outside sheetData only, so never on the way through the rows.
  void NoteNamespaces(const char** attributes) {
    while (!namespaces_.empty() && namespaces_.back().depth >= depth_) namespaces_.pop_back();
    for (const char** a = attributes; *a; a += 2)
      if (std::strncmp(a[0], "xmlns", 5) == 0 && (a[0][5] == '\0' || a[0][5] == ':'))
        namespaces_.push_back({depth_, a[0], a[1]});
  }

  void StartRow(const char** attributes) {
    inRow_ = true;
    nextColumn_ = 0;
    unordered_ = false;
    rowKnown_ = false;
    if (const char* r = Attribute(attributes, "r")) {
      uint32_t index = 0;
      const auto result = std::from_chars(r, r + std::strlen(r), index);
      if (result.ec != std::errc() || *result.ptr != '\0' || index == 0 || index > kXlsxMaxRows)
        Fail(FormatMessage("row number \"%.20s\" is outside the worksheet (1 to 1048576)", r));
      SetRowIndex(index - 1);
    }
  }

  // The row's cells follow the row stored last: a <row> inside a row (damage) adds to the outer one's.
  size_t RowBegin() const { return store_.rows.empty() ? 0 : store_.rows.back().end; }

  void SetRowIndex(uint32_t index) {
    if (started_ && index <= lastRow_)
      Fail(FormatMessage("row %u comes after row %u; rows must be in ascending order", index + 1,
                         lastRow_ + 1));
    rowIndex_ = index;
    rowKnown_ = true;
  }

  void EndRow() {
    inRow_ = false;
    if (!rowKnown_) {
      if (store_.rows.empty()) firstCounted_ = true;
      if (started_ && lastRow_ + 1 >= kXlsxMaxRows) Fail("a row past row 1048576");
      SetRowIndex(started_ ? lastRow_ + 1 : 0);
    }
    if (unordered_) SortCells(store_.cells, RowBegin());
    store_.rows.push_back({rowIndex_, store_.cells.size()});
    lastRow_ = rowIndex_;
    started_ = true;
    rowDone_ = true;
    rowEnd_ = EventEnd();
    if (pauseAtRows_) Pause();
  }

  void StartCell(const char** attributes) {
    inCell_ = true;
    formula_ = false;
    hasInline_ = false;
    owned_ = false;
    value_.clear();
    type_ = ctNumber;
    const char* r = nullptr;
    for (const char** a = attributes; *a; a += 2) {
      // Writers leave these names unprefixed: a name of one letter is its own local name.
      const char* key = a[0][0] != '\0' && a[0][1] == '\0' ? a[0] : LocalName(a[0]);
      if (key[0] == 'r' && key[1] == '\0')
        r = a[1];
      else if (key[0] == 't' && key[1] == '\0')
        if (!ParseCellType(a[1], type_)) Fail(FormatMessage("unknown cell type \"%.20s\"", a[1]));
    }
    uint32_t column = nextColumn_;
    if (r) {
      const char* failure = "";
      const std::optional<TCellRef> ref = ParseCellRef(r, failure);
      if (!ref) Fail(FormatMessage("the cell reference \"%.40s\" %s", r, failure));
      column = ref->column;
      if (!rowKnown_) SetRowIndex(ref->row);
    } else if (column >= kXlsxMaxColumns) {
      Fail("a cell past column XFD");
    }
    const size_t cells = store_.cells.size() - RowBegin();
    if (cells >= kXlsxMaxColumns) Fail("a row of more than 16384 cells");
    if (cells > 0 && column <= store_.cells.back().cell.column) unordered_ = true;
    nextColumn_ = column + 1;
    cell_ = TXlsxCell();
    cell_.column = static_cast<uint16_t>(column);
  }

  void OwnText(std::u16string_view text) {
    owned_ = true;
    ownedOffset_ = store_.texts.size();
    ownedLength_ = text.size();
    store_.texts += text;
    cell_.kind = xkText;
  }

  void EndCell() {
    inCell_ = false;
    inValue_ = false;
    cell_.formula = formula_;
    const std::string_view v = value_;
    if (type_ == ctInline) {
      if (hasInline_)
        OwnText(inline_);
      else if (!v.empty())
        OwnText(FromUtf8(v));
    } else if (v.empty()) {
      // A cell with only a format (or a formula without a cached value) holds no value.
    } else if (type_ == ctNumber) {
      if (!ParseNumber(v, cell_.number)) Fail(FormatMessage("\"%.40s\" is not a number", value_.c_str()));
      cell_.kind = xkNumber;
    } else if (type_ == ctShared) {
      uint32_t index = 0;
      const auto result = std::from_chars(v.data(), v.data() + v.size(), index);
      if (result.ec != std::errc() || result.ptr != v.data() + v.size() || index >= strings_.Count())
        Fail(FormatMessage("shared string \"%.20s\" does not exist (the workbook has %zu)", value_.c_str(),
                           strings_.Count()));
      cell_.kind = xkText;
      cell_.text = strings_.At(index);
    } else if (type_ == ctString) {
      OwnText(DecodeEscapes(FromUtf8(v)));
    } else if (type_ == ctBoolean) {
      if (v == "1" || v == "true")
        cell_.boolean = true;
      else if (v != "0" && v != "false")
        Fail(FormatMessage("\"%.40s\" is not a boolean", value_.c_str()));
      cell_.kind = xkBoolean;
    } else if (type_ == ctError) {
      const std::u16string text = FromUtf8(v);
      for (const TErrorName& e : kErrorNames)
        if (text == e.text) {
          cell_.error = e.error;
          cell_.text = e.text;
        }
      if (cell_.error == ceNone) OwnText(text);
      cell_.kind = xkError;
    } else if (type_ == ctDate) {
      if (!ParseIsoDate(v, date1904_, cell_.number))
        Fail(FormatMessage("\"%.40s\" is not a date", value_.c_str()));
      cell_.kind = xkNumber;
    }
    store_.cells.push_back({cell_, ownedOffset_, ownedLength_, owned_});
  }

  // Cells of the row from begin on, written out of column order: sorted, the last of several at one
  // column kept.
  static void SortCells(std::vector<TStoredCell>& cells, size_t begin) {
    std::stable_sort(cells.begin() + static_cast<ptrdiff_t>(begin), cells.end(),
                     [](const TStoredCell& a, const TStoredCell& b) { return a.cell.column < b.cell.column; });
    size_t out = begin;
    for (size_t i = begin; i < cells.size(); ++i) {
      if (out > begin && cells[out - 1].cell.column == cells[i].cell.column) --out;
      cells[out++] = cells[i];
    }
    cells.resize(out);
  }

  TSheetInput& input_;
  const TSharedStrings& strings_;
  const bool date1904_;
  TRowStore& store_;
  const bool pauseAtRows_;
  TXlsxCell cell_;
  TStringItem item_;
  std::string value_;
  TCellType type_ = ctNumber;
  std::u16string inline_;
  std::vector<TNamespace> namespaces_;
  size_t ownedOffset_ = 0, ownedLength_ = 0, rowEnd_ = 0;
  uint32_t nextColumn_ = 0, lastRow_ = 0, rowIndex_ = 0;
  int depth_ = 0, sheetDataDepth_ = -1;
  bool inSheetData_ = false, inRow_ = false, inCell_ = false, inValue_ = false, inInline_ = false;
  bool formula_ = false, hasInline_ = false, unordered_ = false, rowKnown_ = false, started_ = false;
  bool rowDone_ = false, owned_ = false, firstCounted_ = false;
};

// --- The sheet on two cores ---

std::atomic<size_t> gPieceSize{1 << 20};

// Pieces parsed ahead of the rows delivered, the one delivered included: with the worker's piece and the
// one the caller's thread parses, both threads find work.
constexpr size_t kPiecesAhead = 4;
// The bytes kept of the sheet's start, to check that only white space follows its last row.
constexpr size_t kKeptTail = 64 * 1024;
constexpr size_t kReadSize = 256 * 1024;
// Pieces the single parser parses again before it parses the rest.
constexpr size_t kFallbacks = 16;

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool AllSpace(std::string_view text) {
  return std::all_of(text.begin(), text.end(), IsXmlSpace);
}

// Lines as expat counts them: CR LF, CR and LF each end one. A piece ends before a '<', so no CR LF
// straddles two pieces.
size_t CountLines(std::string_view text) {
  size_t lines = 0;
  if (std::memchr(text.data(), '\r', text.size()) == nullptr) {
    for (const char* p = text.data(), *end = p + text.size();
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))); ++p)
      ++lines;
    return lines;
  }
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++lines;
  return lines;
}

// The pieces are cut from the bytes as they are, so the sheet must be UTF-8 as a piece's parser reads it:
// no other byte order mark, no other declared encoding.
bool IsUtf8Xml(std::string_view xml) {
  if (xml.starts_with("\xEF\xBB\xBF")) xml.remove_prefix(3);
  if (xml.size() < 2 || xml[0] != '<' || xml[1] == '\0') return false;
  if (!xml.starts_with("<?xml")) return true;
  const std::string_view declaration = xml.substr(0, xml.find("?>"));
  size_t at = declaration.find("encoding");
  if (at == std::string_view::npos) return true;
  at += 8;
  while (at < declaration.size() && (IsXmlSpace(declaration[at]) || declaration[at] == '=')) ++at;
  if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\'')) return false;
  const size_t end = declaration.find(declaration[at], at + 1);
  if (end == std::string_view::npos) return false;
  std::string name(declaration.substr(at + 1, end - at - 1));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name == "UTF-8";
}

std::string EscapeAttribute(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '"')
      out += "&quot;";
    else
      out += c;
  }
  return out;
}

// A stretch of sheetData's rows, parsed by a parser of its own inside a start tag like sheetData's.
struct TPiece {
  enum TState : uint8_t { psQueued, psParsing, psParsed };
  std::string xml;   // the wrapping start tag, then the piece
  size_t start = 0;  // where the piece starts in xml
  size_t lines = 0;  // lines the piece's own bytes end
  TRowStore rows;
  TState state = psQueued;  // under the reader's mutex
  bool sound = false;       // parsed without failure, ending between rows at sheetData's level
  bool firstCounted = false;
};

// Reads the rows of the sheet. A small sheet, or one whose pieces cannot be cut, is parsed by one parser
// on the caller's thread, row by row. A large one is cut into pieces of about gPieceSize bytes, each
// starting at a <row> tag of the prefix sheetData has; a worker and the caller's thread parse pieces, and
// the caller delivers their rows in document order. A cut found in the text can be wrong (a "<row" in a
// comment or CDATA section), so each is checked by the parse that ends at it: the sheet's start or the
// piece before must end between two rows at sheetData's level with only white space after the last one,
// and the piece after must parse. Where anything disagrees, or a piece fails, the single parser (held at
// the last sound cut) parses that piece, and the pieces after go on once it holds at a sound cut; after
// kFallbacks such pieces it parses the rest. The rows delivered and the failure thrown are always those
// of the single parse, whose messages count the lines of the pieces skipped.
class TSheetRows {
 public:
  TSheetRows(std::unique_ptr<xlsx::TPartReader> source, const TSharedStrings& strings, bool date1904)
      : source_(std::move(source)), name_(source_->Name()), strings_(strings), date1904_(date1904) {
    sheet_ = std::make_unique<TSheetPart>(std::make_unique<TSheetInput>(name_, source_.get()),
                                          strings_, date1904_, rows_, true);
  }
  ~TSheetRows() { StopWorker(); }
  TSheetRows(const TSheetRows&) = delete;
  TSheetRows& operator=(const TSheetRows&) = delete;

  bool Next(TXlsxRow& row) {
    for (;;) {
      switch (mode_) {
        case smStart:
          Start();
          break;
        case smSingle:
          return sheet_->Next(row);
        case smHeld:
          if (sheet_->Next(row)) return true;
          if (!sheet_->Input().Held()) return false;
          Resume();
          break;
        case smPieces:
          if (current_ && next_ < current_->rows.rows.size()) {
            current_->rows.Deliver(next_++, row);
            return true;
          }
          NextPiece();
          break;
      }
    }
  }

 private:
  // smHeld: the single parser parses up to a cut (the sheet's start, or a piece that failed) and holds.
  enum TMode : uint8_t { smStart, smSingle, smHeld, smPieces };

  // Reads the sheet on into bytes until it holds size bytes or the sheet has ended. A failure of the
  // inflater is kept for the single parse to throw once it has parsed the bytes before it.
  void Fill(std::string& bytes, size_t size) {
    while (bytes.size() < size && !ended_) {
      const size_t old = bytes.size();
      bytes.resize(old + kReadSize);
      size_t n = 0;
      try {
        n = source_->Read(reinterpret_cast<uint8_t*>(bytes.data() + old), kReadSize);
      } catch (...) {
        failure_ = std::current_exception();
      }
      bytes.resize(old + n);
      if (n == 0) ended_ = true;
    }
  }

  // The first cut in bytes at or after from: a <row tag (by its text) of sheetData's prefix.
  size_t FindCut(const std::string& bytes, size_t from) const {
    for (size_t at = bytes.find(pattern_, from); at != std::string::npos; at = bytes.find(pattern_, at + 1)) {
      const size_t after = at + pattern_.size();
      if (after < bytes.size() && (IsXmlSpace(bytes[after]) || bytes[after] == '>' || bytes[after] == '/'))
        return at;
    }
    return std::string::npos;
  }

  // sheetData's prefix ("x:" or none), by the text of its first start tag: a wrong guess costs only speed.
  bool FindPrefix() {
    for (size_t at = carry_.find("sheetData"); at != std::string::npos; at = carry_.find("sheetData", at + 1)) {
      size_t open = at;
      while (open > 0 && carry_[open - 1] != '<' && open + 64 > at &&
             (std::isalnum(static_cast<unsigned char>(carry_[open - 1])) || carry_[open - 1] == ':' ||
              carry_[open - 1] == '_' || carry_[open - 1] == '-' || carry_[open - 1] == '.'))
        --open;
      if (open == 0 || carry_[open - 1] != '<') continue;
      const std::string prefix = carry_.substr(open, at - open);
      if (!prefix.empty() && prefix.back() != ':') continue;
      prefix_ = prefix;
      pattern_ = "<" + prefix + "row";
      return true;
    }
    return false;
  }

  void Start() {
    const size_t piece = gPieceSize.load(std::memory_order_relaxed);
    if (piece > 0) Fill(carry_, 3 * piece);
    size_t cut = std::string::npos;
    if (piece > 0 && !ended_ && IsUtf8Xml(carry_) && FindPrefix()) cut = FindCut(carry_, piece);
    if (cut == std::string::npos) {
      Single();
      return;
    }
    // The single parser takes the sheet's start and holds there, at the first cut.
    HoldAfter(carry_.substr(0, cut));
    carry_.erase(0, cut);
  }

  // The single parser parses bytes up to a cut and holds there.
  void HoldAfter(std::string bytes) {
    kept_ = bytes.substr(bytes.size() - std::min(bytes.size(), kKeptTail));
    fed_ += bytes.size();
    sheet_->Input().Append(std::move(bytes));
    sheet_->Input().Hold(true);
    mode_ = smHeld;
  }

  // The single parser parses the rest: the pieces not delivered, the bytes read ahead, then the sheet.
  void Single() {
    StopWorker();
    TSheetInput& input = sheet_->Input();
    for (const std::unique_ptr<TPiece>& piece : pieces_) input.Append(piece->xml.substr(piece->start));
    pieces_.clear();
    current_ = nullptr;
    input.Append(std::move(carry_));
    carry_.clear();
    if (failure_) input.FailAfterStretches(failure_);
    input.Hold(false);
    mode_ = smSingle;
  }

  // The single parser holds at a cut: the pieces go on from there if it stands between rows as a piece's
  // parse starts.
  void Resume() {
    const size_t end = sheet_->RowEnd();
    const size_t keptFrom = fed_ - kept_.size();
    if (!sheet_->BetweenRows() || end < keptFrom || end > fed_ ||
        !AllSpace(std::string_view(kept_).substr(end - keptFrom))) {
      // The cut was false (it is in a comment, say): the single parser parses on to the next one.
      if (wrapper_.empty())
        Single();
      else
        NextPiece(true);
      return;
    }
    mode_ = smPieces;
    if (!wrapper_.empty()) return;
    wrapper_ = "<" + prefix_ + "sheetData";
    for (const TSheetPart::TNamespace& n : sheet_->Namespaces())
      wrapper_ += " " + n.name + "=\"" + EscapeAttribute(n.value) + "\"";
    wrapper_ += ">";
    try {
      worker_ = std::thread(&TSheetRows::Work, this);
    } catch (const std::system_error&) {
      // Without a worker the caller's thread parses every piece itself.
    }
  }

  // The next piece: the bytes read past the last cut, then the sheet read on into the piece up to the next
  // cut. nullptr where none can be cut: the rest is then the single parser's.
  std::unique_ptr<TPiece> Cut() {
    const size_t size = gPieceSize.load(std::memory_order_relaxed);
    std::unique_ptr<TPiece> piece;
    if (spare_.empty()) {
      piece = std::make_unique<TPiece>();
    } else {
      piece = std::move(spare_.back());
      spare_.pop_back();
      piece->rows.Clear();
      piece->state = TPiece::psQueued;
      piece->sound = piece->firstCounted = false;
    }
    std::string& xml = piece->xml;
    const size_t start = wrapper_.size();
    xml.reserve(start + size + 2 * kReadSize);
    xml.assign(wrapper_);
    xml += carry_;
    carry_.clear();
    for (;;) {
      const size_t cut = xml.size() > start + size ? FindCut(xml, start + size) : std::string::npos;
      if (cut != std::string::npos) {
        carry_.assign(xml, cut);
        xml.resize(cut);
        piece->start = start;
        piece->lines = CountLines(std::string_view(xml).substr(start));
        return piece;
      }
      if (ended_ || xml.size() > start + 4 * size) {
        carry_.assign(xml, start);
        return nullptr;
      }
      Fill(xml, xml.size() + kReadSize);
    }
  }

  void Parse(TPiece& piece) const {
    try {
      TSheetPart part(std::make_unique<TSheetInput>(name_, std::string_view(piece.xml)), strings_,
                      date1904_, piece.rows, false);
      part.ParseAll();
      piece.sound = part.BetweenRows() && part.RowEnd() >= piece.start && part.RowEnd() <= piece.xml.size() &&
                    AllSpace(std::string_view(piece.xml).substr(part.RowEnd()));
      piece.firstCounted = part.FirstRowCounted();
    } catch (...) {
      // The single parser parses the piece again and meets the failure in its place.
      piece.sound = false;
    }
  }

  void Work() {
    for (;;) {
      TPiece* piece = nullptr;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
          for (const std::unique_ptr<TPiece>& p : pieces_)
            if (p->state == TPiece::psQueued) {
              piece = p.get();
              break;
            }
          return stopping_ || piece;
        });
        if (stopping_) return;
        piece->state = TPiece::psParsing;
      }
      Parse(*piece);
      {
        const std::lock_guard lock(mutex_);
        piece->state = TPiece::psParsed;
      }
      changed_.notify_all();
    }
  }

  void StopWorker() {
    if (!worker_.joinable()) return;
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }

  // again: the single parser parses the next piece, whatever the piece's own parse gave.
  void NextPiece(bool again = false) {
    if (current_) {
      const std::lock_guard lock(mutex_);
      spare_.push_back(std::move(pieces_.front()));
      pieces_.pop_front();
      current_ = nullptr;
    }
    while (!cutsDone_ && pieces_.size() < kPiecesAhead) {
      std::unique_ptr<TPiece> piece = Cut();
      if (!piece) {
        cutsDone_ = true;
        break;
      }
      {
        const std::lock_guard lock(mutex_);
        pieces_.push_back(std::move(piece));
      }
      changed_.notify_all();
    }
    if (pieces_.empty()) {
      Single();
      return;
    }
    TPiece& piece = *pieces_.front();
    {
      // While the worker parses the front piece, the caller's thread parses the next one waiting.
      std::unique_lock lock(mutex_);
      while (piece.state != TPiece::psParsed) {
        TPiece* waiting = nullptr;
        for (const std::unique_ptr<TPiece>& p : pieces_)
          if (p->state == TPiece::psQueued) {
            waiting = p.get();
            break;
          }
        if (!waiting) {
          changed_.wait(lock);
          continue;
        }
        waiting->state = TPiece::psParsing;
        lock.unlock();
        Parse(*waiting);
        lock.lock();
        waiting->state = TPiece::psParsed;
      }
    }
    // A first row without a number would count on from the piece's start, not from the row before. The
    // single parser parses a piece that fails or disagrees, and the pieces go on after it; where that
    // happens again and again (a sheet whose rows give no numbers), it parses the rest.
    const std::vector<TStoredRow>& rows = piece.rows.rows;
    if (again || !piece.sound || rows.empty() || piece.firstCounted ||
        (sheet_->Started() && rows.front().index <= sheet_->LastRow())) {
      if (++fallbacks_ > kFallbacks) {
        Single();
        return;
      }
      std::string bytes = piece.xml.substr(piece.start);
      {
        const std::lock_guard lock(mutex_);
        spare_.push_back(std::move(pieces_.front()));
        pieces_.pop_front();
      }
      HoldAfter(std::move(bytes));
      return;
    }
    sheet_->Skipped(rows.back().index, piece.lines);
    current_ = &piece;
    next_ = 0;
  }

  std::unique_ptr<xlsx::TPartReader> source_;  // the sheet as the inflater gives it
  const std::string name_;                     // the sheet's part name, for the pieces' parsers
  const TSharedStrings& strings_;
  const bool date1904_;
  TRowStore rows_;                     // the single parser's row
  std::unique_ptr<TSheetPart> sheet_;  // the single parser
  TMode mode_ = smStart;
  std::string carry_;  // read from the sheet, in no piece yet
  bool ended_ = false, cutsDone_ = false;
  std::exception_ptr failure_;
  std::string prefix_, pattern_, wrapper_;
  std::string kept_;  // the end of the bytes given to the single parser up to where it holds
  size_t fed_ = 0;    // bytes given to the single parser
  size_t fallbacks_ = 0;
  // In document order; the front is current_ once its rows are delivered. The caller alone adds and
  // removes pieces, under the mutex; a piece's contents belong to whoever set it psParsing until psParsed.
  std::deque<std::unique_ptr<TPiece>> pieces_;
  TPiece* current_ = nullptr;
  size_t next_ = 0;
  std::vector<std::unique_ptr<TPiece>> spare_;  // delivered, kept for their buffers (the caller's only)
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread worker_;
};

// The container's input file refuses at once what is not a regular file (a named pipe would block).
std::vector<uint8_t> FileHead(const std::filesystem::path& path, size_t size) {
  const cfb::TInputFile in(path);
  std::vector<uint8_t> head(size);
  head.resize(in.ReadAt(0, head.data(), size));
  return head;
}

}  // namespace

struct TXlsxSheetReader::TImpl {
  explicit TImpl(TZipPackage zip) : package(std::move(zip)) { Open(); }

  void Open();
  std::string FindWorkbook();

  TZipPackage package;
  std::u16string sheetName;
  std::string sheetPart;
  TSharedStrings strings;
  // The sheet reads through the inflater, and the inflater reads the package: destroyed in this order.
  // The sheet's own worker touches only bytes the inflater gave, never the package.
  std::unique_ptr<xlsx::TInflateThread> inflater;
  std::unique_ptr<TSheetRows> sheet;
};

std::string TXlsxSheetReader::TImpl::FindWorkbook() {
  std::string workbook = "xl/workbook.xml";
  if (package.Contains("_rels/.rels")) {
    TRelationshipsPart root(package.OpenPart("_rels/.rels"));
    root.ParseAll();
    for (const std::string& id : root.order) {
      const TRelationship& r = root.byId[id];
      if (EndsWith(r.type, "/officeDocument") && !r.external) {
        workbook = ResolveTarget("", r.target);
        break;
      }
    }
  }
  if (EndsWith(workbook, ".bin") || package.Contains("xl/workbook.bin")) throw EXlsxError(kXlsbNotSupported);
  if (EndsWith(workbook, ".rels"))
    throw EXlsxError("The package's relationships point back at themselves instead of at a workbook");
  if (!package.Contains(workbook))
    throw EXlsxError("The zip archive is not an Excel workbook: it has no part " + workbook);
  return workbook;
}

void TXlsxSheetReader::TImpl::Open() {
  const std::string workbook = FindWorkbook();
  TWorkbookPart book(package.OpenPart(workbook));
  book.ParseAll();
  if (!book.found) throw EXlsxError("The workbook " + workbook + " lists no worksheet");
  sheetName = FromUtf8(book.name);

  const std::string relsName = RelationshipsPart(workbook);
  if (!package.Contains(relsName))
    throw EXlsxError("The workbook's relationships (" + relsName + ") are missing");
  TRelationshipsPart rels(package.OpenPart(relsName));
  rels.ParseAll();
  const auto found = rels.byId.find(book.relationshipId);
  if (book.relationshipId.empty() || found == rels.byId.end())
    throw EXlsxError("The relationship \"" + book.relationshipId +
                     "\" of the first worksheet is missing from " + relsName);
  if (found->second.external)
    throw EXlsxError("The first worksheet is outside the package (an external link)");
  sheetPart = ResolveTarget(Folder(workbook), found->second.target);
  if (sheetPart == workbook || EndsWith(sheetPart, ".rels"))
    throw EXlsxError("The relationship of the first worksheet loops back to " + sheetPart);
  if (!package.Contains(sheetPart))
    throw EXlsxError("The first worksheet's part " + sheetPart + " is missing from the zip archive");

  std::string stringsPart;
  for (const std::string& id : rels.order) {
    const TRelationship& r = rels.byId[id];
    if (EndsWith(r.type, "/sharedStrings") && !r.external)
      stringsPart = ResolveTarget(Folder(workbook), r.target);
  }
  // Some writers leave the relationship out; the part at its usual place is then used.
  if (stringsPart.empty() && package.Contains("xl/sharedStrings.xml")) stringsPart = "xl/sharedStrings.xml";
  // From here on the worker alone reads the archive: the shared strings, then the sheet, inflated while
  // the strings are parsed here and, after them, the sheet.
  std::vector<xlsx::TZipPart> parts;
  if (!stringsPart.empty()) {
    if (stringsPart == workbook || stringsPart == sheetPart || EndsWith(stringsPart, ".rels"))
      throw EXlsxError("The relationship of the shared strings loops back to " + stringsPart);
    parts.push_back(package.OpenPart(stringsPart));
  }
  parts.push_back(package.OpenPart(sheetPart));
  const size_t sheetIndex = parts.size() - 1;
  inflater = std::make_unique<xlsx::TInflateThread>(std::move(parts));
  if (sheetIndex > 0) {
    TSharedStringsPart shared(inflater->Reader(0));
    shared.ParseAll();
    strings = std::move(shared.strings);
  }
  sheet = std::make_unique<TSheetRows>(inflater->Reader(sheetIndex), strings, book.date1904);
}

namespace {

TZipPackage OpenPackage(const std::filesystem::path& path) {
  const std::vector<uint8_t> head = FileHead(path, 8);
  if (!xlsx::IsZipData(head)) {
    if (cfb::TCompoundDocument::IsCompoundData(head)) {
      if (HoldsEncryptedPackage(path)) throw EXlsxError(kEncryptedXlsx);
      throw EXlsxError("The file is a compound document (an .xls file?), not an .xlsx workbook");
    }
    throw EXlsxError("The file is not an .xlsx workbook (not a zip archive)");
  }
  return TZipPackage::OpenFile(path);
}

}  // namespace

TXlsxSheetReader::TXlsxSheetReader(const std::filesystem::path& path)
    : impl_(std::make_unique<TImpl>(OpenPackage(path))) {}

TXlsxSheetReader::TXlsxSheetReader(std::span<const uint8_t> bytes)
    : impl_(std::make_unique<TImpl>(TZipPackage::OpenMemory(bytes))) {}

TXlsxSheetReader::~TXlsxSheetReader() = default;

bool TXlsxSheetReader::NextRow(TXlsxRow& row) {
  return impl_->sheet->Next(row);
}

const std::u16string& TXlsxSheetReader::SheetName() const {
  return impl_->sheetName;
}

const std::string& TXlsxSheetReader::SheetPart() const {
  return impl_->sheetPart;
}

size_t TXlsxSheetReader::SharedStringCount() const {
  return impl_->strings.Count();
}

void SetXlsxSheetPieceSize(size_t bytes) {
  gPieceSize.store(bytes, std::memory_order_relaxed);
}

TWorkbookContent DetectWorkbookContent(const std::filesystem::path& path) {
  try {
    return xlsx::IsZipData(FileHead(path, 4)) ? wcXlsx : wcXls;
  } catch (const EFileError&) {
    return wcXls;  // the .xls reader says why the file cannot be read
  }
}

bool HoldsEncryptedPackage(const std::filesystem::path& path) {
  try {
    if (!cfb::TCompoundDocument::IsCompoundFile(path)) return false;
    const cfb::TCompoundDocument document = cfb::TCompoundDocument::OpenFile(path);
    for (const auto& element : document.Root().Elements())
      if (element->Name() == u"EncryptedPackage") return true;
  } catch (const EPlicatoError&) {
  }
  return false;
}

}  // namespace plicato
