// The BIFF8 string layout that records holding text share: the character count (16-bit, or 8-bit in a
// few records), a flag byte (bit 0 set: UTF-16LE characters; clear: 8-bit characters, each the low byte
// of a UTF-16 character), then the characters. The reader and the writer both build strings here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "biff/Coding.h"

namespace plicato {

// True when every character fits in 8 bits, so that the string may be stored with flag 0.
bool FitsIn8Bits(std::u16string_view text);

// Appends the characters alone: UTF-16LE when wide, else their low bytes.
void PutBiffChars(std::vector<uint8_t>& out, std::u16string_view text, bool wide);

// Appends a whole string: its count (8-bit with shortCount, else 16-bit), the flag byte and the
// characters; 16-bit characters unless allowNarrow is set and every character fits in 8 bits. The caller
// checks that the count fits its field.
void PutBiffString(std::vector<uint8_t>& out, std::u16string_view text, bool shortCount = false,
                   bool allowNarrow = false);

// Reads count characters: UTF-16LE when wide, else 8-bit characters widened unchanged. Raises the
// reader's short-record failure when the record holds fewer bytes.
std::u16string GetBiffChars(TByteReader& r, size_t count, bool wide);

// Reads what follows a string's count: for a count above 0 the flag byte, then the characters.
std::u16string GetBiffStringBody(TByteReader& r, size_t count);

}  // namespace plicato
