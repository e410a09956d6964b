// The pieces of a large worksheet: where they are cut, who parses them, and the single parser's fallback
// where a cut or a piece proves wrong (see TRowPieces).
#include "xlsx/RowPieces.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <string_view>
#include <system_error>

namespace plicato::xlsx {

namespace {

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
}  // namespace

TRowPieces::~TRowPieces() {
  StopWorker();
}

inline void TRowPieces::Fill(std::string& bytes, size_t size) {
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

inline size_t TRowPieces::FindCut(const std::string& bytes, size_t from) const {
  for (size_t at = bytes.find(pattern_, from); at != std::string::npos; at = bytes.find(pattern_, at + 1)) {
    const size_t after = at + pattern_.size();
    if (after < bytes.size() && (IsXmlSpace(bytes[after]) || bytes[after] == '>' || bytes[after] == '/'))
      return at;
  }
  return std::string::npos;
}

inline bool TRowPieces::FindPrefix() {
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
    sheetDataAt_ = at;
    return true;
  }
  return false;
}

void TRowPieces::Start() {
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

inline void TRowPieces::HoldAfter(std::string bytes) {
  kept_ = bytes.substr(bytes.size() - std::min(bytes.size(), kKeptTail));
  fed_ += bytes.size();
  sheet_->Input().Append(std::move(bytes));
  sheet_->Input().Hold(true);
  mode_ = smHeld;
}

inline void TRowPieces::Single() {
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

void TRowPieces::Resume() {
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

inline std::unique_ptr<TPiece> TRowPieces::Cut() {
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

inline void TRowPieces::Parse(TPiece& piece) const {
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

void TRowPieces::Work() {
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

inline void TRowPieces::StopWorker() {
  if (!worker_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void TRowPieces::NextPiece(bool again) {
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

void SetPieceSize(size_t bytes) {
  gPieceSize.store(bytes, std::memory_order_relaxed);
}

}  // namespace plicato::xlsx
