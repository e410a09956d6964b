#include "biff/BIFFString.h"

#include <algorithm>

#include "biff/Coding.h"

namespace plicato {

bool FitsIn8Bits(std::u16string_view text) {
  return std::none_of(text.begin(), text.end(), [](char16_t c) { return c > 0xFF; });
}

void PutBiffChars(std::vector<uint8_t>& out, std::u16string_view text, bool wide) {
  out.reserve(out.size() + (wide ? 2 : 1) * text.size());
  for (char16_t c : text) {
    if (wide)
      PutFixed16(out, static_cast<uint16_t>(c));
    else
      PutFixed8(out, static_cast<uint8_t>(c));
  }
}

void PutBiffString(std::vector<uint8_t>& out, std::u16string_view text, bool shortCount, bool allowNarrow) {
  if (shortCount)
    PutFixed8(out, static_cast<uint8_t>(text.size()));
  else
    PutFixed16(out, static_cast<uint16_t>(text.size()));
  const bool wide = !(allowNarrow && FitsIn8Bits(text));
  PutFixed8(out, wide ? 1 : 0);
  PutBiffChars(out, text, wide);
}

std::u16string GetBiffChars(TByteReader& r, size_t count, bool wide) {
  r.Require(wide ? 2 * count : count);
  std::u16string text(count, u'\0');
  for (char16_t& c : text) c = wide ? static_cast<char16_t>(r.GetU16()) : static_cast<char16_t>(r.GetU8());
  return text;
}

std::u16string GetBiffStringBody(TByteReader& r, size_t count) {
  if (count == 0) return {};
  const bool wide = (r.GetU8() & 0x01) != 0;
  return GetBiffChars(r, count, wide);
}

}  // namespace plicato
