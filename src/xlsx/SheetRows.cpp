#include "xlsx/SheetRows.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "xlsx/XlsxErrors.h"
#include "xlsx/XlsxValues.h"

namespace plicato::xlsx {

namespace {

// The own texts (inline strings, formula results) of one row, held until it is given (and copied once
// there): 128 MB, two thousand cells of 32,767 characters, Excel's longest; real rows hold kilobytes.
constexpr size_t kMaxRowText = size_t(1) << 26;

// What the part reader gives the sheet's parser: stretches of bytes given to it (the sheet's start, or a
// piece), then, unless it holds back, the rest of the sheet from the inflating thread.
class TSheetInput final : public TPartReader {
 public:
  TSheetInput(std::string name, TPartReader* source) : name_(std::move(name)), source_(source) {}
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
  TPartReader* source_ = nullptr;
  std::string_view borrowed_;
  std::deque<std::string> stretches_;
  size_t offset_ = 0;
  bool held_ = false;
  std::exception_ptr failure_;
};

class TSheetPart : public TXmlPart {
 public:
  // pauseAtRows: Parse() returns at the end of each row (the single parse); else it parses on (a piece).
  TSheetPart(std::unique_ptr<TSheetInput> input, const TSheetContext& context, TRowStore& store,
             bool pauseAtRows)
      : TXmlPart(std::move(input)),
        input_(static_cast<TSheetInput&>(Reader())),
        context_(context),
        store_(store),
        pauseAtRows_(pauseAtRows) {}

  TSheetInput& Input() { return input_; }

  // Parses on to the end of the next row, the store's only row; false at the end of the sheet or where the
  // input holds back.
  bool Next() {
    // A row cut by a stretch's end is continued, not started over.
    if (rowDone_) {
      store_.Clear();
      rowDone_ = false;
    }
    while (!rowDone_)
      if (!Parse()) return false;
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

  void Characters(const char* text, int length) override {
    if (inValue_) {
      if (value_.size() + static_cast<size_t>(length) > kMaxItemBytes)
        Fail(FormatMessage("a value of more than %zu MB", kMaxItemBytes >> 20));
      value_.append(text, static_cast<size_t>(length));
    } else if (inInline_ && !item_.Characters(text, length)) {
      Fail(FormatMessage("an inline string of more than %zu MB", kMaxItemBytes >> 20));
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& what) { throw EXlsxError(Where() + ": " + what, ekDamaged); }

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
    // The same number again continues the row before (TSheetRows joins the two).
    if (started_ && index < lastRow_)
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

  void OwnText(std::u16string_view text) {
    // A row's own texts are held until it is given: bounded, as a piece's rows are by the piece's size.
    if (store_.texts.size() + text.size() > kMaxRowText)
      Fail(FormatMessage("a row holds more than %zu MB of text", kMaxRowText * sizeof(char16_t) >> 20));
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

  TSheetInput& input_;
  const TSheetContext& context_;
  TRowStore& store_;
  const bool pauseAtRows_;
  TXlsxCell cell_;
  TStringItem item_;
  std::string value_;
  TCellType type_ = ctNumber;
  uint32_t style_ = 0;
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
// What the single parser parses alone before the pieces start: the sheet's start and its first rows (at
// least one). The pieces, parsed on both threads, start soon after.
constexpr size_t kHeadSize = 64 * 1024;
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
    for (const char *p = text.data(), *end = p + text.size();
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

}  // namespace

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
class TRowPieces {
 public:
  TRowPieces(std::unique_ptr<TPartReader> source, const TSheetContext& context)
      : source_(std::move(source)), name_(source_->Name()), context_(context) {
    sheet_ = std::make_unique<TSheetPart>(std::make_unique<TSheetInput>(name_, source_.get()), context_,
                                          rows_, true);
  }
  ~TRowPieces() { StopWorker(); }
  TRowPieces(const TRowPieces&) = delete;
  TRowPieces& operator=(const TRowPieces&) = delete;

  // The next row as it stands in the sheet: row r of store, valid until the next call.
  bool Next(const TRowStore*& store, size_t& r) {
    for (;;) {
      switch (mode_) {
        case smStart:
          Start();
          break;
        case smSingle:
          store = &rows_;
          r = 0;
          return sheet_->Next();
        case smHeld:
          store = &rows_;
          r = 0;
          if (sheet_->Next()) return true;
          if (!sheet_->Input().Held()) return false;
          Resume();
          break;
        case smPieces:
          if (current_ && next_ < current_->rows.rows.size()) {
            store = &current_->rows;
            r = next_++;
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
    for (size_t at = carry_.find("sheetData"); at != std::string::npos;
         at = carry_.find("sheetData", at + 1)) {
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
      sheetDataAt_ = at;
      return true;
    }
    return false;
  }

  void Start() {
    const size_t piece = gPieceSize.load(std::memory_order_relaxed);
    if (piece > 0) Fill(carry_, 3 * piece);
    size_t cut = std::string::npos;
    if (piece > 0 && !ended_ && IsUtf8Xml(carry_) && FindPrefix()) {
      const size_t firstRow = FindCut(carry_, sheetDataAt_);
      if (firstRow != std::string::npos)
        cut = FindCut(carry_, std::max(std::min(piece, kHeadSize), firstRow + 1));
    }
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
      worker_ = std::thread(&TRowPieces::Work, this);
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
      // Room for the cells of a piece of short values (some 40 bytes a cell), not grown cell by cell.
      piece->rows.cells.reserve(size / 40);
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
      TSheetPart part(std::make_unique<TSheetInput>(name_, std::string_view(piece.xml)), context_, piece.rows,
                      false);
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
        (sheet_->Started() && rows.front().index < sheet_->LastRow())) {
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

  std::unique_ptr<TPartReader> source_;  // the sheet as the inflater gives it
  const std::string name_;               // the sheet's part name, for the pieces' parsers
  const TSheetContext context_;          // the pieces' parsers refer to it
  TRowStore rows_;                       // the single parser's row
  std::unique_ptr<TSheetPart> sheet_;    // the single parser
  TMode mode_ = smStart;
  std::string carry_;  // read from the sheet, in no piece yet
  bool ended_ = false, cutsDone_ = false;
  std::exception_ptr failure_;
  std::string prefix_, pattern_, wrapper_;
  size_t sheetDataAt_ = 0;  // where sheetData's name is in the sheet's start
  std::string kept_;        // the end of the bytes given to the single parser up to where it holds
  size_t fed_ = 0;          // bytes given to the single parser
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

void TRowStore::Deliver(size_t r, TXlsxRow& row) const {
  row.index = rows[r].index;
  row.cells.clear();
  for (size_t i = Begin(r); i < rows[r].end; ++i) {
    row.cells.push_back(cells[i].cell);
    if (cells[i].owned)
      row.cells.back().text = std::u16string_view(texts).substr(cells[i].offset, cells[i].length);
  }
}

void TRowStore::Take(const TRowStore& from, size_t r) {
  const bool repeated = !rows.empty() && rows.back().index == from.rows[r].index;
  const size_t begin = repeated ? Begin(rows.size() - 1) : cells.size();
  for (size_t i = from.Begin(r); i < from.rows[r].end; ++i) {
    TStoredCell cell = from.cells[i];
    if (cell.owned) {
      cell.offset = texts.size();
      texts.append(from.texts, from.cells[i].offset, cell.length);
    }
    cells.push_back(cell);
  }
  if (repeated) {
    SortCells(cells, begin);
    rows.back().end = cells.size();
  } else {
    rows.push_back({from.rows[r].index, cells.size()});
  }
}

void SortCells(std::vector<TStoredCell>& cells, size_t begin) {
  std::stable_sort(cells.begin() + static_cast<ptrdiff_t>(begin), cells.end(),
                   [](const TStoredCell& a, const TStoredCell& b) { return a.cell.column < b.cell.column; });
  size_t out = begin;
  for (size_t i = begin; i < cells.size(); ++i) {
    if (out > begin && cells[out - 1].cell.column == cells[i].cell.column) --out;
    cells[out++] = cells[i];
  }
  cells.resize(out);
}

TSheetRows::TSheetRows(std::unique_ptr<TPartReader> source, const TSheetContext& context)
    : pieces_(std::make_unique<TRowPieces>(std::move(source), context)) {}

TSheetRows::~TSheetRows() = default;

bool TSheetRows::Next(TXlsxRow& row) {
  if (failure_ && !hasAhead_) std::rethrow_exception(failure_);
  const TRowStore* store = nullptr;
  size_t r = 0;
  if (!hasAhead_ && !failure_) {
    if (!pieces_->Next(store, r)) return false;
    stores_[ahead_].Clear();
    stores_[ahead_].Take(*store, r);
    hasAhead_ = true;
  }
  // The row read ahead is given once a row of another number follows it, or the sheet ends or fails.
  while (!failure_) {
    try {
      if (!pieces_->Next(store, r)) break;
    } catch (...) {
      failure_ = std::current_exception();
      break;
    }
    if (store->rows[r].index == stores_[ahead_].rows.back().index) {
      stores_[ahead_].Take(*store, r);
      continue;
    }
    const size_t given = ahead_;
    ahead_ ^= 1;
    stores_[ahead_].Clear();
    stores_[ahead_].Take(*store, r);
    stores_[given].Deliver(0, row);
    return true;
  }
  hasAhead_ = false;
  stores_[ahead_].Deliver(0, row);
  return true;
}

void SetPieceSize(size_t bytes) {
  gPieceSize.store(bytes, std::memory_order_relaxed);
}

}  // namespace plicato::xlsx
