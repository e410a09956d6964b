#include "merge/output/WriteBehind.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace plicato {

namespace {

// A batch is handed over at this many rows, cells or text characters, whichever comes first: large enough
// that the hand-over costs nothing beside the rows, small enough that two batches are a few megabytes. A
// cell costs about 100 bytes here (the cell and where its texts stand): rows 16,384 cells wide fill a
// batch by their cells long before they come to 1,024.
constexpr size_t kBatchRows = 1024;
constexpr size_t kBatchCells = size_t(1) << 16;
constexpr size_t kBatchChars = size_t(1) << 20;

// Rows copied out of the caller's memory: the cells with their texts kept in one buffer.
struct TBatch {
  struct TRow {
    uint32_t row;
    size_t firstCell;
    size_t cellCount;
  };
  struct TTexts {
    size_t text, textSize, format, formatSize;  // offsets into chars
  };
  std::vector<TRow> rows;
  std::vector<TOutCell> cells;  // views are set as the rows are written: chars may move until then
  std::vector<TTexts> texts;
  std::u16string chars;
  TTexts lastFormat{};  // format, formatSize: where the last number format copied stands in chars

  bool Empty() const { return rows.empty(); }
  bool Full() const {
    return rows.size() >= kBatchRows || cells.size() >= kBatchCells || chars.size() >= kBatchChars;
  }

  // Adds the row whole or not at all: a copy that fails (out of memory) leaves the batch as it was, so
  // that no row claims cells it has not got.
  void Add(uint32_t row, std::span<const TOutCell> given) {
    const size_t cellCount = cells.size(), charCount = chars.size();
    const TTexts lastBefore = lastFormat;
    try {
      Copy(row, given);
    } catch (...) {
      cells.resize(cellCount);
      texts.resize(cellCount);
      chars.resize(charCount);
      lastFormat = lastBefore;
      throw;
    }
  }

  // The row's cells first, the row last: a push_back that throws adds nothing.
  void Copy(uint32_t row, std::span<const TOutCell> given) {
    for (const TOutCell& cell : given) {
      TTexts t{chars.size(), cell.text.size(), 0, 0};
      chars.append(cell.text);
      // Number formats repeat from row to row: one is copied again only where it differs from the last.
      if (!cell.format.empty()) {
        if (std::u16string_view(chars).substr(lastFormat.format, lastFormat.formatSize) != cell.format) {
          lastFormat.format = chars.size();
          lastFormat.formatSize = cell.format.size();
          chars.append(cell.format);
        }
        t.format = lastFormat.format;
        t.formatSize = lastFormat.formatSize;
      }
      texts.push_back(t);
      cells.push_back(cell);
    }
    rows.push_back({row, cells.size() - given.size(), given.size()});
  }

  void WriteTo(TRowOutput& output) {
    for (size_t i = 0; i < cells.size(); ++i) {
      const TTexts& t = texts[i];
      cells[i].text = std::u16string_view(chars).substr(t.text, t.textSize);
      cells[i].format = std::u16string_view(chars).substr(t.format, t.formatSize);
    }
    for (const TRow& row : rows)
      output.PutRow(row.row, std::span<const TOutCell>(cells).subspan(row.firstCell, row.cellCount));
  }

  void Clear() {
    rows.clear();
    cells.clear();
    texts.clear();
    chars.clear();
    lastFormat = {};
  }
};

class TWriteBehind final : public TRowOutput {
 public:
  explicit TWriteBehind(std::unique_ptr<TRowOutput> output) : output_(std::move(output)) {
    try {
      worker_ = std::thread(&TWriteBehind::Work, this);
    } catch (const std::system_error&) {
      // The rows are then written as they come.
    }
  }

  // Without Commit, the rows not yet written are dropped with the output, which removes its temporary file.
  ~TWriteBehind() override {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
  }

  void PutRow(uint32_t row, std::span<const TOutCell> cells) override {
    if (!worker_.joinable()) return output_->PutRow(row, cells);
    filling_.Add(row, cells);
    if (filling_.Full()) HandOver();
  }

  void Commit() override {
    if (worker_.joinable()) {
      HandOver();
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return !busy_; });
      if (failure_) std::rethrow_exception(failure_);
    }
    output_->Commit();
  }

 private:
  // Gives the filled batch to the writing thread once it has written the one before; throws the failure
  // the writing met.
  void HandOver() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !busy_; });
    if (failure_) std::rethrow_exception(failure_);
    if (filling_.Empty()) return;
    std::swap(filling_, writing_);
    busy_ = true;
    lock.unlock();
    changed_.notify_all();
    filling_.Clear();
  }

  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || busy_; });
      if (stopping_) return;
      lock.unlock();
      std::exception_ptr failure;
      try {
        writing_.WriteTo(*output_);
      } catch (...) {
        failure = std::current_exception();
      }
      writing_.Clear();
      lock.lock();
      if (failure && !failure_) failure_ = failure;
      busy_ = false;
      // After a failure the output takes no more rows: the batches still coming are dropped.
      changed_.notify_all();
    }
  }

  std::unique_ptr<TRowOutput> output_;
  TBatch filling_;  // the caller's
  std::mutex mutex_;
  std::condition_variable changed_;
  // The batch being written: the writing thread's alone while busy_, the caller's (under the lock) while not.
  TBatch writing_;
  bool busy_ = false;
  std::exception_ptr failure_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace

std::unique_ptr<TRowOutput> WriteBehind(std::unique_ptr<TRowOutput> output) {
  // A revisable output is changed in rows it was given: its calls must stay in order with them.
  if (output->Revisable()) return output;
  return std::make_unique<TWriteBehind>(std::move(output));
}

}  // namespace plicato
