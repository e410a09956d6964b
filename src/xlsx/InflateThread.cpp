#include "xlsx/InflateThread.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "xlsx/XlsxErrors.h"

namespace plicato::xlsx {

namespace {

// Four blocks of 256 KB: large enough that handing a block over costs nothing beside inflating and
// parsing it, few enough that the worker stays a megabyte ahead of the parse at most.
constexpr size_t kBlocks = 4;
constexpr size_t kBlockSize = 256 * 1024;

}  // namespace

class TInflateThread::TReader final : public TPartReader {
 public:
  TReader(TInflateThread& owner, size_t part) : owner_(owner), part_(part) {}
  ~TReader() override {
    if (holding_) owner_.Release();
  }

  size_t Read(uint8_t* buffer, size_t size) override {
    if (ended_) return 0;
    if (offset_ == block_.size()) {
      if (holding_) owner_.Release();
      holding_ = false;
      const TBlock& block = owner_.Take(part_);
      if (block.size == 0) {
        owner_.Release();
        ended_ = true;
        return 0;
      }
      holding_ = true;
      block_ = std::span<const uint8_t>(block.data.get(), block.size);
      offset_ = 0;
    }
    const size_t n = std::min(size, block_.size() - offset_);
    std::memcpy(buffer, block_.data() + offset_, n);
    offset_ += n;
    return n;
  }

  const std::string& Name() const override { return owner_.parts_[part_].Name(); }

 private:
  TInflateThread& owner_;
  const size_t part_;
  std::span<const uint8_t> block_;
  size_t offset_ = 0;
  bool holding_ = false, ended_ = false;
};

TInflateThread::TInflateThread(std::vector<TZipPart> parts) : parts_(std::move(parts)) {
  // A small workbook needs no block larger than its largest part.
  uint64_t largest = 0;
  for (const TZipPart& part : parts_) largest = std::max(largest, part.DeclaredSize());
  blockSize_ = static_cast<size_t>(std::min<uint64_t>(kBlockSize, largest + 1));
  blocks_.resize(kBlocks);
  for (TBlock& block : blocks_) block.data = std::make_unique_for_overwrite<uint8_t[]>(blockSize_);
  try {
    worker_ = std::thread(&TInflateThread::Run, this);
  } catch (const std::system_error& e) {
    throw EXlsxError(std::string("[int] Cannot start a thread to read the workbook: ") + e.what());
  }
}

TInflateThread::~TInflateThread() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

std::unique_ptr<TPartReader> TInflateThread::Reader(size_t i) {
  return std::make_unique<TReader>(*this, i);
}

void TInflateThread::Run() {
  try {
    for (size_t i = 0; i < parts_.size(); ++i) {
      for (size_t n = 1; n > 0;) {
        TBlock* block = nullptr;
        {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [&] { return stopping_ || count_ < blocks_.size(); });
          if (stopping_) return;
          block = &blocks_[(first_ + count_) % blocks_.size()];
        }
        // The block is free and no reader sees it until it is counted: it is filled without the lock.
        n = parts_[i].Read(block->data.get(), blockSize_);
        block->size = n;
        block->part = i;
        {
          const std::lock_guard lock(mutex_);
          ++count_;
        }
        changed_.notify_all();
      }
    }
    const std::lock_guard lock(mutex_);
    done_ = true;
  } catch (...) {
    const std::lock_guard lock(mutex_);
    failure_ = std::current_exception();
  }
  changed_.notify_all();
}

const TInflateThread::TBlock& TInflateThread::Take(size_t part) {
  std::unique_lock lock(mutex_);
  for (;;) {
    // Blocks of an earlier part are left over when its parse stopped before the part's end.
    while (count_ > 0 && blocks_[first_].part < part) {
      first_ = (first_ + 1) % blocks_.size();
      --count_;
      changed_.notify_all();
    }
    if (count_ > 0) return blocks_[first_];
    // The blocks read before a failure are parsed before it is thrown, as without the thread.
    if (failure_) std::rethrow_exception(failure_);
    if (done_) throw EXlsxError("[int] The part " + parts_[part].Name() + " was read past its end");
    changed_.wait(lock);
  }
}

void TInflateThread::Release() {
  {
    const std::lock_guard lock(mutex_);
    first_ = (first_ + 1) % blocks_.size();
    --count_;
  }
  changed_.notify_all();
}

}  // namespace plicato::xlsx
