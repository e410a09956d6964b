// The parser of a worksheet part's rows: the expat handlers that read rows and cells into a TRowStore
// and the cells' values, and the input it reads. One parses the whole sheet row by row on the caller's
// thread, others one piece each (RowPieces.h). Private to the sheet's reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xlsx/SheetRows.h"
#include "xlsx/XlsxValues.h"
#include "xlsx/XmlPart.h"

namespace plicato::xlsx {

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

  void StartElement(const char* name, const char** attributes) override;
  void EndElement(const char* name) override;
  void Characters(const char* text, int length) override;

 private:
  [[noreturn]] void Fail(const std::string& what);
  // Outside sheetData only, so never on the way through the rows.
  void NoteNamespaces(const char** attributes);
  void StartRow(const char** attributes);
  // The row's cells follow the row stored last: a <row> inside a row (damage) adds to the outer one's.
  size_t RowBegin() const { return store_.rows.empty() ? 0 : store_.rows.back().end; }
  void SetRowIndex(uint32_t index);
  void EndRow();
  void StartCell(const char** attributes);
  void OwnText(std::u16string_view text);
  void EndCell();

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

}  // namespace plicato::xlsx
