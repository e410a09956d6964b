// What the container's element tree, reader and writer share and nothing outside the container uses:
// the direct access to a storage's elements, the limit on nesting, and the order of sibling names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "biff/CodePage.h"
#include "biff/CompoundFile.h"

namespace plicato::cfb {

// Gives the reader and the copy functions direct access to a storage's element list: elements read from
// a file are taken as they are, without the name checks that guard new elements.
class TStorageAccess {
 public:
  static std::vector<std::unique_ptr<TElement>>& Elements(TStorage& storage) { return storage.elements_; }
};

// Storages nested deeper than this are taken for damage: no real document comes near it, and the
// recursive copy and destruction of the tree must stay within the stack.
inline constexpr uint32_t kMaxStorageDepth = 256;

// The format's order of sibling names: the shorter name first, then code unit by code unit upper-cased.
inline int CompareNames(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t ua = UpperChar16(a[i]);
    char16_t ub = UpperChar16(b[i]);
    if (ua != ub) return ua < ub ? -1 : 1;
  }
  return 0;
}

}  // namespace plicato::cfb
