// The sheet on two cores: a large worksheet cut at its rows into pieces that a worker and the caller's
// thread parse side by side, the rows delivered in document order and exactly as one parse gives them.
// The pieces, their cuts and the threads' hand-offs; TSheetRows joins repeated row numbers on top.
// Private to the sheet's reader.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "xlsx/SheetPart.h"
#include "xlsx/SheetRows.h"

namespace plicato::xlsx {

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
// on the caller's thread, row by row. A large one is cut into pieces of about a piece's size
// (SetPieceSize), each starting at a <row> tag of the prefix sheetData has; a worker and the caller's thread
// parse pieces, and the caller delivers their rows in document order. A cut found in the text can be wrong (a
// "<row" in a comment or CDATA section), so each is checked by the parse that ends at it: the sheet's start
// or the piece before must end between two rows at sheetData's level with only white space after the last
// one, and the piece after must parse. Where anything disagrees, or a piece fails, the single parser (held at
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
  ~TRowPieces();
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
  void Fill(std::string& bytes, size_t size);
  // The first cut in bytes at or after from: a <row tag (by its text) of sheetData's prefix.
  size_t FindCut(const std::string& bytes, size_t from) const;
  // sheetData's prefix ("x:" or none), by the text of its first start tag: a wrong guess costs only speed.
  bool FindPrefix();
  void Start();
  // The single parser parses bytes up to a cut and holds there.
  void HoldAfter(std::string bytes);
  // The single parser parses the rest: the pieces not delivered, the bytes read ahead, then the sheet.
  void Single();
  // The single parser holds at a cut: the pieces go on from there if it stands between rows as a piece's
  // parse starts.
  void Resume();
  // The next piece: the bytes read past the last cut, then the sheet read on into the piece up to the next
  // cut. nullptr where none can be cut: the rest is then the single parser's.
  std::unique_ptr<TPiece> Cut();
  void Parse(TPiece& piece) const;
  void Work();
  void StopWorker();
  // again: the single parser parses the next piece, whatever the piece's own parse gave.
  void NextPiece(bool again = false);

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

}  // namespace plicato::xlsx
