#include "workbook/ColorTable.h"

#include <algorithm>
#include <vector>

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "biff/XLSStream.h"

namespace plicato {

// Colours are 0x00BBGGRR: red FF0000 is 0x000000FF.
const uint32_t kDefaultColorTable[kColorTableSize] = {
    // 0-7: not part of the palette
    0x00000000,
    0x00000000,
    0x00000000,
    0x00000000,
    0x00000000,
    0x00000000,
    0x00000000,
    0x00000000,
    // 8-15: black, white, red, bright green, blue, yellow, pink, turquoise
    0x00000000,
    0x00FFFFFF,
    0x000000FF,
    0x0000FF00,
    0x00FF0000,
    0x0000FFFF,
    0x00FF00FF,
    0x00FFFF00,
    // 16-23: dark red, green, dark blue, brown green, violet, blue green, gray 25%, gray 50%
    0x00000080,
    0x00008000,
    0x00800000,
    0x00008080,
    0x00800080,
    0x00808000,
    0x00C0C0C0,
    0x00808080,
    // 24-31
    0x00FF9999,
    0x00663399,
    0x00CCFFFF,
    0x00FFFFCC,
    0x00660066,
    0x008080FF,
    0x00CC6600,
    0x00FFCCCC,
    // 32-39
    0x00800000,
    0x00FF00FF,
    0x0000FFFF,
    0x00FFFF00,
    0x00800080,
    0x00000080,
    0x00808000,
    0x00FF0000,
    // 40-47: sky, pale turquoise, pale green, light yellow, pale sky, rose, lilac, light brown
    0x00FFCC00,
    0x00FFFFCC,
    0x00CCFFCC,
    0x0099FFFF,
    0x00FFCC99,
    0x00CC99FF,
    0x00FF99CC,
    0x0099CCFF,
    // 48-55: dark sky, dark turquoise, grass, gold, light orange, orange, dark blue gray, gray 40%
    0x00FF6633,
    0x00CCCC33,
    0x0000CC99,
    0x0000CCFF,
    0x000099FF,
    0x000066FF,
    0x00996666,
    0x00969696,
    // 56-63: dark green gray, emerald, dark green, olive, brown, cherry, indigo, gray 80%
    0x00663300,
    0x00669933,
    0x00003300,
    0x00003333,
    0x00003399,
    0x00663399,
    0x00993333,
    0x00333333,
    // 64: automatic
    0x00FFFFFF,
};

void TColorTable::ResetDefaults() {
  std::copy(kDefaultColorTable, kDefaultColorTable + kColorTableSize, Colors);
}

bool TColorTable::DiffersFromDefaults() const {
  for (int i = kFirstUserColor; i < kColorTableSize; ++i) {
    if (Colors[i] != kDefaultColorTable[i]) return true;
  }
  return false;
}

void TColorTable::ReadPaletteRecord(const uint8_t* body, uint32_t length) {
  TByteReader r(body, length);
  int count = std::min<int>(r.GetU16(), kPaletteReadLimit);
  r.Require(4u * static_cast<uint32_t>(count));
  for (int i = 0; i < count; ++i) Colors[kFirstUserColor + i] = r.GetU32();
}

void TColorTable::WritePaletteRecord(TXLSStream& stream) const {
  if (!DiffersFromDefaults()) return;
  std::vector<uint8_t> data;
  data.reserve(2 + 4 * kPaletteWriteCount);
  PutFixed16(data, kPaletteWriteCount);
  for (int i = 0; i < kPaletteWriteCount; ++i) PutFixed32(data, Colors[kFirstUserColor + i]);
  stream.AppendRecord(BIFFRecs::PALETTE, data);
}

}  // namespace plicato
