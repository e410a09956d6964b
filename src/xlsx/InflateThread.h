// Inflates parts of a package on a worker thread, one part after the other, into a few blocks of bounded
// size that the parser on the caller's thread takes in turn: inflating and parsing a large sheet then
// share the work between two cores, and memory stays bounded by the blocks.
//
// The worker is the only thread that reads the parts once it runs (libzip allows one thread in an
// archive). A failure of the worker (damage, a CRC mismatch, a part inflating past its declared size) is
// carried to the caller and thrown from Read once the bytes before it have been read, as a plain read
// of the part would have thrown it. The destructor stops the worker, mid-part if need be, and waits for
// it: the package must outlive the thread, and the thread every reader it gave.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "xlsx/ZipPackage.h"

namespace plicato::xlsx {

class TInflateThread {
 public:
  explicit TInflateThread(std::vector<TZipPart> parts);
  ~TInflateThread();
  TInflateThread(const TInflateThread&) = delete;
  TInflateThread& operator=(const TInflateThread&) = delete;

  // The reader of part i. Parts are inflated in order: part i is read to its end before part i + 1 is
  // read at all, else the two wait for each other.
  std::unique_ptr<TPartReader> Reader(size_t i);

 private:
  class TReader;
  struct TBlock {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;  // 0: the end of the part
    size_t part = 0;
  };

  void Run();
  // Waits for the next filled block of a part (blocks of earlier parts dropped) and returns it, or
  // throws the worker's failure. The block stays the reader's until Release.
  const TBlock& Take(size_t part);
  // Hands the block taken last back to the worker.
  void Release();

  std::vector<TZipPart> parts_;
  size_t blockSize_ = 0;
  // A ring: the filled blocks are first_ .. first_ + count_ - 1 in order, the one a reader is reading
  // (first_) included; the worker fills the one after them while it is free.
  std::vector<TBlock> blocks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t first_ = 0, count_ = 0;
  bool stopping_ = false, done_ = false;
  std::exception_ptr failure_;
  std::thread worker_;
};

}  // namespace plicato::xlsx
