// Shared by the tests of damaged and hostile input (Damage_test, Bounds_test, Regress_test) and of running
// out of memory (OutOfMemory_test): the readers
// run on bytes in memory, and one attempt records how it ended, how long it took and how much memory it
// held at its peak.
//
// Every reader must either succeed or throw an EPlicatoError carrying a message. Any other exception is
// a fault; a crash or a sanitizer report ends the test program, which is a fault too.
//
// This header replaces the global operator new and delete to count bytes: include it in exactly one
// source of a test program.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "biff/BIFFRecs.h"
#include "biff/CompoundFile.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSFonts.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

namespace plicato::test {

// Bytes held through operator new, and the most held since the last ResetPeak.
struct TAllocationCounter {
  static inline std::atomic<int64_t> current{0};
  static inline std::atomic<int64_t> peak{0};
  static inline std::atomic<uint64_t> calls{0};
  static inline std::atomic<uint64_t> total{0};  // bytes ever requested
  // When not negative: the number of throwing allocations still to succeed before one fails.
  static inline std::atomic<int64_t> failIn{-1};

  static void ResetPeak() { peak.store(current.load()); }
  static void Add(int64_t n) {
    const int64_t now = current.fetch_add(n) + n;
    int64_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
  }
};

}  // namespace plicato::test

// Every form of the global operator new and delete is replaced, so that no block crosses between these
// and the runtime's (the sanitizers' runtime replaces them too). The usable size of each block is what
// is counted, so that new and delete agree without a header.
namespace plicato::test {
inline void* CountedAlloc(size_t size, size_t alignment) {
  size = size ? size : 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (!p) return nullptr;
  TAllocationCounter::calls.fetch_add(1);
  TAllocationCounter::total.fetch_add(size);
  TAllocationCounter::Add(static_cast<int64_t>(malloc_usable_size(p)));
  return p;
}
inline void CountedFree(void* p) noexcept {
  if (!p) return;
  TAllocationCounter::Add(-static_cast<int64_t>(malloc_usable_size(p)));
  std::free(p);
}
inline void* CountedNew(size_t size, size_t alignment) {
  if (TAllocationCounter::failIn.load() >= 0 && TAllocationCounter::failIn.fetch_sub(1) == 0)
    throw std::bad_alloc();
  void* p = CountedAlloc(size, alignment);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace plicato::test

void* operator new(size_t size) {
  return plicato::test::CountedNew(size, 0);
}
void* operator new[](size_t size) {
  return plicato::test::CountedNew(size, 0);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return plicato::test::CountedAlloc(size, 0);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return plicato::test::CountedAlloc(size, 0);
}
void* operator new(size_t size, std::align_val_t alignment) {
  return plicato::test::CountedNew(size, static_cast<size_t>(alignment));
}
void* operator new[](size_t size, std::align_val_t alignment) {
  return plicato::test::CountedNew(size, static_cast<size_t>(alignment));
}
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return plicato::test::CountedAlloc(size, static_cast<size_t>(alignment));
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return plicato::test::CountedAlloc(size, static_cast<size_t>(alignment));
}
void operator delete(void* p) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete[](void* p) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete(void* p, size_t) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete[](void* p, size_t) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  plicato::test::CountedFree(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  plicato::test::CountedFree(p);
}

namespace plicato::test {

struct TAttempt {
  bool ok = false;
  std::string message;  // of the EPlicatoError, when it failed cleanly
  std::string fault;    // set when it ended in anything but success or a clean failure
  double seconds = 0;
  int64_t peakBytes = 0;  // most bytes held above what was held before the attempt
};

inline TAttempt Attempt(const std::function<void()>& read) {
  TAttempt attempt;
  const int64_t base = TAllocationCounter::current.load();
  TAllocationCounter::ResetPeak();
  const auto start = std::chrono::steady_clock::now();
  try {
    read();
    attempt.ok = true;
  } catch (const EPlicatoError& error) {
    attempt.message = error.what();
    if (attempt.message.empty()) attempt.fault = std::string(error.ClassName()) + " without a message";
  } catch (const std::exception& error) {
    attempt.fault = std::string("not a plicato failure: ") + error.what();
  } catch (...) {
    attempt.fault = "an exception of unknown type";
  }
  attempt.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  attempt.peakBytes = TAllocationCounter::peak.load() - base;
  return attempt;
}

// The bound on memory for reading an input of this size: a small multiple of it, plus room for the
// fixed tables of an empty workbook.
inline int64_t MemoryBound(size_t inputSize) {
  return 64 * static_cast<int64_t>(inputSize) + (16 << 20);
}

// Longer than any read of a corpus-sized file takes even under the sanitizers: a read this slow is
// taken for a hang.
inline constexpr double kHangSeconds = 10.0;

// What went wrong with an attempt (fault, hang or memory), or empty. A reader that holds several
// workbooks at once (a write and a read back) has the bound once for each.
inline std::string Problem(const TAttempt& attempt, size_t inputSize, int workbooks = 1) {
  if (!attempt.fault.empty()) return attempt.fault;
  if (attempt.seconds > kHangSeconds) return "took " + std::to_string(attempt.seconds) + " s";
  if (attempt.peakBytes > workbooks * MemoryBound(inputSize))
    return "held " + std::to_string(attempt.peakBytes) + " bytes for an input of " +
           std::to_string(inputSize);
  return {};
}

// --- the readers, on bytes in memory ---

inline void OpenContainer(const std::vector<uint8_t>& bytes) {
  cfb::TCompoundDocument::OpenMemory(bytes);
}

// Opens the workbook stream (or plain file) and reads every record to the end, as the workbook reader
// walks it; a FILEPASS is tried with the password of the corpus's encrypted sample.
inline void WalkRecords(const std::vector<uint8_t>& bytes) {
  TXLSStream stream;
  stream.SetSourceMemory(&bytes);
  stream.OpenRead("");
  std::vector<uint8_t> body(0xFFFF);
  TRecordHeader header;
  while (stream.ReadHeader(header) == kRecordHeaderSize) {
    const uint32_t n = stream.ReadRecordBody(header.id, body.data(), header.length);
    if (header.id == BIFFRecs::FILEPASS && !stream.Decrypting() && TXLSStream::IsRc4FilePass(body.data(), n))
      stream.CheckPassword(body.data(), n, u"password");
  }
  stream.Close();
}

// A plain record stream whose first record is an SST: the string table reads it.
inline void ReadSstStream(const std::vector<uint8_t>& bytes) {
  TXFonts fonts;
  fonts.AddDefaultFonts();
  fonts.MarkInitialFonts();
  TSST sst(&fonts);
  TXLSStream stream;
  stream.SetSourceMemory(&bytes);
  stream.OpenRead("");
  TRecordHeader header;
  if (stream.ReadHeader(header) != kRecordHeaderSize || header.id != BIFFRecs::SST)
    throw EXLSError("[test] the stream does not start with an SST record");
  sst.ReadSST(stream, header.length);
}

// A whole workbook, read as the merge reads a listed file, then its first worksheet row by row until a
// row without non-empty text, as the merge copies it. A failed read must leave a worksheet in the
// workbook (what was read stays, a default sheet stands in for none); anything else is a fault.
inline void ReadWorkbook(const std::vector<uint8_t>& bytes) {
  TXLSWorkbook workbook;
  workbook.Password = u"password";
  try {
    plicato::ReadWorkbook(workbook, bytes);
  } catch (const EPlicatoError&) {
    if (workbook.Sheets().Count() < 1) throw std::logic_error("no worksheet is left after a failed read");
    throw;
  }
  TSheet& sheet = workbook.Sheets()[0];
  for (int row = 0; row < 65536; ++row) {
    bool anyText = false;
    for (int column = 0; column < 256; ++column) {
      const uint8_t kind = sheet.GetCellKind(column, row);
      if (kind == ckString) {
        anyText = anyText || sheet.HasNonEmptyText(column, row);
      } else if (kind == ckFloat) {
        try {
          (void)sheet.GetInteger(column, row);
        } catch (const EPlicatoError&) {
          // the merge leaves such a cell empty
        }
      }
    }
    if (!anyText) break;
  }
}

// A workbook read, written into memory and read back: what the engine reads it must be able to write,
// and what it writes it must read. A failure to write is a clean failure; our own output failing to read
// back is a fault.
inline void RoundTripWorkbook(const std::vector<uint8_t>& bytes) {
  TXLSWorkbook workbook;
  workbook.Password = u"password";
  plicato::ReadWorkbook(workbook, bytes);
  workbook.Password.clear();
  std::vector<uint8_t> written;
  WriteWorkbook(workbook, written);
  TXLSWorkbook again;
  try {
    plicato::ReadWorkbook(again, written);
  } catch (const EPlicatoError& error) {
    throw std::logic_error(std::string("the written workbook does not read back: ") + error.what());
  }
}

}  // namespace plicato::test
