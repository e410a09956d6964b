// The expat handlers of a worksheet part: rows, cells and the cells' values, as TSheetPart reads them. The
// hot path of reading a sheet: the handlers' helpers are inline, in this file alone, and those called for
// every cell or row are forced into their handler (TSheetPart is shared by two files, so the compiler
// would not inline them for being called once).
#include "xlsx/SheetPart.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "xlsx/XlsxErrors.h"

namespace plicato::xlsx {

namespace {

// The own texts (inline strings, formula results) of one row, held until it is given (and copied once
// there): 128 MB, two thousand cells of 32,767 characters, Excel's longest; real rows hold kilobytes.
constexpr size_t kMaxRowText = size_t(1) << 26;

}  // namespace

[[noreturn]] inline void TSheetPart::Fail(const std::string& what) {
  throw EXlsxError(Where() + ": " + what, ekDamaged);
}

inline void TSheetPart::NoteNamespaces(const char** attributes) {
  while (!namespaces_.empty() && namespaces_.back().depth >= depth_) namespaces_.pop_back();
  for (const char** a = attributes; *a; a += 2)
    if (std::strncmp(a[0], "xmlns", 5) == 0 && (a[0][5] == '\0' || a[0][5] == ':'))
      namespaces_.push_back({depth_, a[0], a[1]});
}

inline void TSheetPart::SetRowIndex(uint32_t index) {
  // The same number again continues the row before (TSheetRows joins the two).
  if (started_ && index < lastRow_)
    Fail(
        FormatMessage("row %u comes after row %u; rows must be in ascending order", index + 1, lastRow_ + 1));
  rowIndex_ = index;
  rowKnown_ = true;
}

inline void TSheetPart::StartRow(const char** attributes) {
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

[[gnu::always_inline]] inline void TSheetPart::EndRow() {
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

[[gnu::always_inline]] inline void TSheetPart::StartCell(const char** attributes) {
  inCell_ = true;
  formula_ = false;
  hasInline_ = false;
  owned_ = false;
  value_.clear();
  type_ = ctNumber;
  style_ = 0;
  const char* r = nullptr;
  for (const char** a = attributes; *a; a += 2) {
    // Writers leave these names unprefixed: a name of one letter is its own local name.
    const char* key = a[0][0] != '\0' && a[0][1] == '\0' ? a[0] : LocalName(a[0]);
    if (key[1] != '\0') continue;
    if (key[0] == 'r') {
      r = a[1];
    } else if (key[0] == 't') {
      if (!ParseCellType(a[1], type_)) Fail(FormatMessage("unknown cell type \"%.20s\"", a[1]));
    } else if (key[0] == 's') {
      // A style that is not a number shows General, as an index the workbook lacks does.
      const auto result = std::from_chars(a[1], a[1] + std::strlen(a[1]), style_);
      if (result.ec != std::errc()) style_ = UINT32_MAX;
    }
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

inline void TSheetPart::OwnText(std::u16string_view text) {
  // A row's own texts are held until it is given: bounded, as a piece's rows are by the piece's size.
  if (store_.texts.size() + text.size() > kMaxRowText)
    Fail(FormatMessage("a row holds more than %zu MB of text", kMaxRowText * sizeof(char16_t) >> 20));
  owned_ = true;
  ownedOffset_ = store_.texts.size();
  ownedLength_ = text.size();
  store_.texts += text;
  cell_.kind = xkText;
}

inline void TSheetPart::EndCell() {
  inCell_ = false;
  inValue_ = false;
  cell_.formula = formula_;
  cell_.format = context_.styles.Format(style_);
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
    if (result.ec != std::errc() || result.ptr != v.data() + v.size() || index >= context_.strings.Count())
      Fail(FormatMessage("shared string \"%.20s\" does not exist (the workbook has %zu)", value_.c_str(),
                         context_.strings.Count()));
    cell_.kind = xkText;
    cell_.text = context_.strings.At(index);
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
    cell_.error = ErrorValue(text, cell_.text);
    if (cell_.error == ceNone) OwnText(text);
    cell_.kind = xkError;
  } else if (type_ == ctDate) {
    TDateShape shape = dsDate;
    if (!ParseIsoDate(v, context_.date1904, context_.dateCompatibility, cell_.number, shape))
      Fail(FormatMessage("\"%.40s\" is not a date, a time or a duration", value_.c_str()));
    cell_.kind = xkNumber;
    if (!context_.styles.IsDate(style_)) cell_.format = DateShapeFormat(shape);
  }
  // No cell holds an infinity or NaN ("1E+309", "INF", a duration of 10^400 days): it shows the error a
  // calculation that overflows gives.
  if (cell_.kind == xkNumber && !std::isfinite(cell_.number)) {
    cell_.kind = xkError;
    cell_.error = ErrorValue(u"#NUM!", cell_.text);
  }
  store_.cells.push_back({cell_, ownedOffset_, ownedLength_, owned_});
}

void TSheetPart::StartElement(const char* name, const char** attributes) {
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
        item_.Begin(false);
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

void TSheetPart::EndElement(const char* name) {
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
      inline_.clear();
      item_.TakeInto(inline_);
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

void TSheetPart::Characters(const char* text, int length) {
  if (inValue_) {
    if (value_.size() + static_cast<size_t>(length) > kMaxItemBytes)
      Fail(FormatMessage("a value of more than %zu MB", kMaxItemBytes >> 20));
    value_.append(text, static_cast<size_t>(length));
  } else if (inInline_ && !item_.Characters(text, length)) {
    Fail(FormatMessage("an inline string of more than %zu MB", kMaxItemBytes >> 20));
  }
}

}  // namespace plicato::xlsx
