// The colour table of one workbook: 65 colours (0x00BBGGRR) addressed by palette index 0..64, as cell
// formats and fonts name them. A PALETTE record replaces the file's user colours (8 onwards); the table
// is written back only when it differs from the built-in BIFF8 palette.
//
// Each workbook owns its table. (A single process-wide table would let one file's palette leak into
// every workbook written after it was read.)
#pragma once

#include <cstdint>

namespace plicato {

class TXLSStream;

constexpr int kColorTableSize = 65;
constexpr int kFirstUserColor = 8;      // entries below are fixed and never read or written
constexpr int kPaletteWriteCount = 56;  // entries 8..63 in a written PALETTE record
constexpr int kPaletteReadLimit = 57;   // entries 8..64 at most from a read PALETTE record

// The built-in palette: entries 0-7 are 0, 8-63 are the standard BIFF8 colours, 64 is white.
extern const uint32_t kDefaultColorTable[kColorTableSize];

class TColorTable {
 public:
  TColorTable() { ResetDefaults(); }

  uint32_t Colors[kColorTableSize];

  void ResetDefaults();
  // True when any of entries 8..64 differs from the built-in palette.
  bool DiffersFromDefaults() const;
  // PALETTE body: a 16-bit count (cut to 57), then that many 32-bit colours for entries 8 onwards.
  // A body too short for its count raises EXLSError and leaves the table unchanged.
  void ReadPaletteRecord(const uint8_t* body, uint32_t length);
  // Writes one PALETTE record (count 56, entries 8..63) when DiffersFromDefaults, else nothing.
  void WritePaletteRecord(TXLSStream& stream) const;
};

}  // namespace plicato
