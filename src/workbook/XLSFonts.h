// The workbook's font list. Cell formats name a font by its position; formatted strings hold references
// to fonts. Position 4 is a placeholder: BIFF has no font index 4, so a file's font index n >= 5 is list
// position n. Fonts below the count of initial fonts are never removed by use counting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "biff/BIFFRecs.h"

namespace plicato {

class TXLSStream;

// Turns the 8-bit characters of a pre-BIFF8 record into text (the reader passes one that knows the
// file's code page). An empty decoder means Latin-1: every byte widened unchanged.
using TByteTextDecoder = std::function<std::u16string(const uint8_t* chars, size_t count)>;
std::u16string DecodeByteText(const uint8_t* chars, size_t count, const TByteTextDecoder& decoder);

enum TXFontStyle : uint8_t { xfsBold = 1, xfsItalic = 2, xfsStrikeOut = 4 };
using TXFontStyles = uint8_t;  // set of TXFontStyle bits
enum TXSubSuperscript : uint8_t { xssNone, xssSuperscript, xssSubscript };
enum TXUnderline : uint8_t { xulNone, xulSingle, xulDouble, xulSingleAccount, xulDoubleAccount };
using TExcelColor = uint8_t;  // palette index 0..64; xcBlack = 8, xcAutomatic = 64
constexpr TExcelColor xcBlack = 8;
constexpr TExcelColor xcAutomatic = 64;

class TXFont {
 public:
  std::u16string Name = u"Arial";
  uint8_t Charset = 0;
  uint8_t Family = 2;
  TExcelColor Color = xcBlack;
  int32_t Size20 = 200;
  TXFontStyles Style = 0;
  TXSubSuperscript SubSuperScript = xssNone;
  TXUnderline Underline = xulNone;

  int32_t Size() const { return Size20 / 20; }
  void SetSize(int32_t points) {
    if (points > 0 && points <= INT32_MAX / 20) Size20 = points * 20;
  }

  int32_t Index = 0;  // position in the list, kept current by the list
  int32_t UseCount = 0;
  bool ChartFont = false;  // taken by a chart: never matches a search, never released by a format change

  // Copies the published properties (not index, use count or chart flag).
  void AssignProperties(const TXFont& other);
  // Equality used by FindFont (this = the list's font).
  bool SameAs(const TXFont& other) const;
};

class TXFonts {
 public:
  TXFonts();  // empty, then AddDefaultFonts
  ~TXFonts();

  void AddDefaultFonts();
  TXFont* AddFont();
  int32_t FindFont(const TXFont& font) const;  // -1 when none
  TXFont* FindOrAddFont(const TXFont& font);
  void DeleteFont(int32_t index);
  void Clear();
  void MarkInitialFonts() { initialCount_ = Count(); }
  // While a file is read no font is deleted by use counting (see TCellFormats::SuspendUseCounting).
  void SuspendUseCounting() { initialCount_ = INT32_MAX; }

  int32_t Count() const { return static_cast<int32_t>(fonts_.size()); }
  int32_t InitialCount() const { return initialCount_; }
  TXFont* Item(int32_t index) const;  // EListError outside 0..Count-1

  // FONT records (BIFF8): read one body (adds the placeholder at position 4 when the list reaches 4),
  // write every font but position 4.
  void ReadFontRecord(const uint8_t* body, uint32_t length);
  void WriteFontRecords(TXLSStream& stream) const;
  // FONT records of older files: xvExcel50 (BIFF8 layout, 8-bit name without option byte at 14),
  // xvExcel30/xvExcel40 (record 0x0231: height, options, colour, then the name at 6) and xvExcel21
  // (height, options, then the name at 4). Adds the placeholder at position 4 as the BIFF8 reader does.
  void ReadFontRecordOld(const uint8_t* body, uint32_t length, TExcelVersion version,
                         const TByteTextDecoder& decoder = {});

  // The font list position a search may return: every position but the placeholder 4 (an XF naming
  // index 4 would name a font that is never written).
  static bool Searchable(int32_t index) { return index != kPlaceholderIndex; }
  static constexpr int32_t kPlaceholderIndex = 4;

 private:
  void Renumber(int32_t from);

  std::vector<std::unique_ptr<TXFont>> fonts_;
  int32_t initialCount_ = 0;
};

}  // namespace plicato
