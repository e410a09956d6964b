#include "workbook/HashTrie.h"

#include <cstring>

#include "biff/Crc32.h"
#include "workbook/SST.h"

namespace plicato {

uint32_t TSSTHashTrie::HashOf(const TSSTEntry* entry) const {
  return Crc32Bytes(KeyBytes(entry), KeyLength(entry));
}

bool TSSTHashTrie::SameItem(const TSSTEntry* a, const TSSTEntry* b) const {
  if (a->Flags != b->Flags || a->CharCount != b->CharCount || a->RunCount() != b->RunCount()) return false;
  const size_t length = KeyLength(a);
  if (length != KeyLength(b)) return false;
  if (length != 0 && std::memcmp(KeyBytes(a), KeyBytes(b), length) != 0) return false;
  // The key records each run's font by the index it had when the entry was made; should the font list
  // have been renumbered since, only the font references tell whether the runs really agree.
  for (size_t i = 0; i < a->RunCount(); ++i)
    if (a->RunFont(i) != b->RunFont(i)) return false;
  return true;
}

}  // namespace plicato
