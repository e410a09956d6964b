#include "xlsx/SharedStrings.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "biff/Errors.h"
#include "xlsx/XlsxErrors.h"

namespace plicato::xlsx {

namespace {

std::atomic<size_t> gBudget{size_t(1) << 30};

// Capacity for at least needed items of size bytes each, doubling as usual but never past what the
// budget leaves (left, in bytes); 0 when needed does not fit.
size_t Grown(size_t capacity, size_t needed, size_t size, size_t left) {
  if (needed <= capacity) return capacity;
  const size_t most = capacity + left / size;
  if (needed > most) return 0;
  return std::min(most, std::max({needed, capacity * 2, size_t(4096)}));
}

}  // namespace

size_t SharedStringsBudget() {
  return gBudget.load(std::memory_order_relaxed);
}

void SetSharedStringsBudget(size_t bytes) {
  gBudget.store(bytes, std::memory_order_relaxed);
}

bool TSharedStrings::Add(std::u16string_view text) {
  const size_t budget = SharedStringsBudget();
  // Growth is explicit, so that the budget holds for what is reserved, not just for what is used.
  const size_t reserved = Reserved();
  if (reserved > budget) return false;
  size_t left = budget - reserved;
  const size_t textCapacity = Grown(texts_.capacity(), texts_.size() + text.size(), sizeof(char16_t),
                                    left - std::min(left, size_t(64)));
  if (textCapacity == 0) return false;
  left -= (textCapacity - texts_.capacity()) * sizeof(char16_t);
  const size_t endCapacity = Grown(ends_.capacity(), ends_.size() + 1, sizeof(uint32_t), left);
  if (endCapacity == 0) return false;
  texts_.reserve(textCapacity);
  ends_.reserve(endCapacity);
  texts_ += text;
  ends_.push_back(static_cast<uint32_t>(texts_.size()));
  return true;
}

void TSharedStringsPart::StartElement(const char* name, const char**) {
  if (std::strcmp(name, "si") == 0 || std::strcmp(name, "sstItem") == 0) {
    inItem_ = true;
    item_.Take();
  } else if (inItem_) {
    item_.Start(name);
  }
}

void TSharedStringsPart::EndElement(const char* name) {
  if (std::strcmp(name, "si") == 0 || std::strcmp(name, "sstItem") == 0) {
    inItem_ = false;
    if (!strings.Add(item_.Take()))
      throw EXlsxError(FormatMessage(
          "%s: the shared strings need more than the %zu MB of memory an .xlsx file may take for them "
          "(%zu strings read)",
          Where().c_str(), SharedStringsBudget() >> 20, strings.Count()));
  } else if (inItem_) {
    item_.End(name);
  }
}

void TSharedStringsPart::Characters(const char* text, int length) {
  if (!item_.Characters(text, length))
    throw EXlsxError(Where() + FormatMessage(": a shared string of more than %zu MB", kMaxItemBytes >> 20));
}

}  // namespace plicato::xlsx
