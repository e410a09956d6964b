#include "workbook/XLSFonts.h"

#include <algorithm>

#include "biff/BIFFRecs.h"
#include "biff/BIFFString.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"

namespace plicato {

namespace {

// FONT record fields shared by the BIFF5 and BIFF8 layouts.
constexpr uint16_t kOptionItalic = 0x0002;
constexpr uint16_t kOptionStrikeOut = 0x0008;
constexpr uint16_t kWeightNormal = 400;
constexpr uint16_t kWeightBold = 700;
constexpr uint16_t kColorSystemWindowText = 0x7FFF;  // "automatic" in a FONT record
constexpr size_t kMaxFontNameChars = 255;            // the name's count is one byte

// BIFF2-4 option bits (no weight field in those versions).
constexpr uint16_t kOldOptionBold = 0x0001;
constexpr uint16_t kOldOptionUnderline = 0x0004;

TXUnderline UnderlineFromByte(uint8_t b) {
  switch (b) {
    case 0x01:
      return xulSingle;
    case 0x02:
      return xulDouble;
    case 0x21:
      return xulSingleAccount;
    case 0x22:
      return xulDoubleAccount;
    default:
      return xulNone;
  }
}

uint8_t UnderlineToByte(TXUnderline u) {
  switch (u) {
    case xulSingle:
      return 0x01;
    case xulDouble:
      return 0x02;
    case xulSingleAccount:
      return 0x21;
    case xulDoubleAccount:
      return 0x22;
    default:
      return 0x00;
  }
}

TXSubSuperscript EscapementFromWord(uint16_t w) {
  if (w == 1) return xssSuperscript;
  if (w == 2) return xssSubscript;
  return xssNone;
}

TXFontStyles StyleFromOptions(uint16_t options) {
  TXFontStyles style = 0;
  if (options & kOptionItalic) style |= xfsItalic;
  if (options & kOptionStrikeOut) style |= xfsStrikeOut;
  return style;
}

}  // namespace

std::u16string DecodeByteText(const uint8_t* chars, size_t count, const TByteTextDecoder& decoder) {
  if (decoder) return decoder(chars, count);
  return std::u16string(chars, chars + count);
}

void TXFont::AssignProperties(const TXFont& other) {
  Name = other.Name;
  Charset = other.Charset;
  Family = other.Family;
  Color = other.Color;
  Size20 = other.Size20;
  Style = other.Style;
  SubSuperScript = other.SubSuperScript;
  Underline = other.Underline;
}

namespace {

char16_t LowerChar(char16_t c) {
  // Face names are compared without regard to case, folding ASCII and Latin-1 only: the fonts a
  // workbook shares are decided by this rule, so widening it to the rule of sheet and storage names
  // would merge fonts that are kept apart now and change the FONT and XF records written.
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<char16_t>(c + 32);
  return c;
}

bool SameFaceName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  }
  return true;
}

}  // namespace

bool TXFont::SameAs(const TXFont& other) const {
  if (ChartFont) return false;
  return SameFaceName(Name, other.Name) && Charset == other.Charset && Family == other.Family &&
         Color == other.Color && Size20 == other.Size20 && Style == other.Style &&
         SubSuperScript == other.SubSuperScript && Underline == other.Underline;
}

TXFonts::TXFonts() {
  AddDefaultFonts();
}

TXFonts::~TXFonts() = default;

void TXFonts::AddDefaultFonts() {
  for (int i = 0; i < 5; ++i) AddFont();
  initialCount_ = Count();
}

TXFont* TXFonts::AddFont() {
  auto font = std::make_unique<TXFont>();
  font->Index = Count();
  fonts_.push_back(std::move(font));
  return fonts_.back().get();
}

int32_t TXFonts::FindFont(const TXFont& font) const {
  for (int32_t i = 0; i < Count(); ++i) {
    if (Searchable(i) && fonts_[static_cast<size_t>(i)]->SameAs(font)) return i;
  }
  return -1;
}

TXFont* TXFonts::FindOrAddFont(const TXFont& font) {
  int32_t i = FindFont(font);
  if (i >= 0) return fonts_[static_cast<size_t>(i)].get();
  // A new font must not land on position 4, which is never written.
  if (Count() == kPlaceholderIndex) AddFont();
  TXFont* added = AddFont();
  added->AssignProperties(font);
  return added;
}

void TXFonts::DeleteFont(int32_t index) {
  if (index < 0 || index >= Count()) throw EListError(index);
  fonts_.erase(fonts_.begin() + index);
  Renumber(index);
}

void TXFonts::Clear() {
  fonts_.clear();
  initialCount_ = 0;
}

TXFont* TXFonts::Item(int32_t index) const {
  if (index < 0 || index >= Count()) throw EListError(index);
  return fonts_[static_cast<size_t>(index)].get();
}

void TXFonts::Renumber(int32_t from) {
  for (int32_t i = from; i < Count(); ++i) fonts_[static_cast<size_t>(i)]->Index = i;
}

void TXFonts::ReadFontRecord(const uint8_t* body, uint32_t length) {
  // Decode everything first, so that a truncated record leaves the list unchanged.
  TByteReader r(body, length);
  TXFont f;
  f.Size20 = r.GetU16();
  uint16_t options = r.GetU16();
  uint16_t color = r.GetU16();
  uint16_t weight = r.GetU16();
  uint16_t escapement = r.GetU16();
  uint8_t underline = r.GetU8();
  f.Family = r.GetU8();
  f.Charset = r.GetU8();
  r.Skip(1);
  uint8_t count = r.GetU8();
  f.Style = StyleFromOptions(options);
  if (weight >= kWeightBold) f.Style |= xfsBold;
  f.Color = color <= 255 ? static_cast<TExcelColor>(color) : 0;
  f.SubSuperScript = EscapementFromWord(escapement);
  f.Underline = UnderlineFromByte(underline);
  f.Name = GetBiffStringBody(r, count);
  AddFont()->AssignProperties(f);
  if (Count() == kPlaceholderIndex) AddFont();
}

void TXFonts::ReadFontRecordOld(const uint8_t* body, uint32_t length, TExcelVersion version,
                                const TByteTextDecoder& decoder) {
  TByteReader r(body, length);
  TXFont f;
  f.Size20 = r.GetU16();
  uint16_t options = r.GetU16();
  if (version >= xvExcel50) {
    uint16_t color = r.GetU16();
    uint16_t weight = r.GetU16();
    uint16_t escapement = r.GetU16();
    uint8_t underline = r.GetU8();
    f.Family = r.GetU8();
    f.Charset = r.GetU8();
    r.Skip(1);
    f.Style = StyleFromOptions(options);
    if (weight >= kWeightBold) f.Style |= xfsBold;
    f.Color = color <= 255 ? static_cast<TExcelColor>(color) : 0;
    f.SubSuperScript = EscapementFromWord(escapement);
    f.Underline = UnderlineFromByte(underline);
  } else {
    if (version >= xvExcel30) {
      uint16_t color = r.GetU16();
      f.Color = color <= 255 ? static_cast<TExcelColor>(color) : 0;
    }
    // BIFF2 keeps the colour in a separate record; the default stays.
    f.Style = StyleFromOptions(options);
    if (options & kOldOptionBold) f.Style |= xfsBold;
    f.Underline = (options & kOldOptionUnderline) ? xulSingle : xulNone;
  }
  uint8_t count = r.GetU8();
  r.Require(count);
  f.Name = DecodeByteText(r.Current(), count, decoder);
  AddFont()->AssignProperties(f);
  if (Count() == kPlaceholderIndex) AddFont();
}

void TXFonts::WriteFontRecords(TXLSStream& stream) const {
  std::vector<uint8_t> data;
  for (int32_t i = 0; i < Count(); ++i) {
    if (i == kPlaceholderIndex) continue;
    const TXFont& f = *fonts_[static_cast<size_t>(i)];
    // A name longer than the one-byte count allows is cut rather than written with a wrong count.
    size_t chars = std::min(f.Name.size(), kMaxFontNameChars);
    uint16_t options = 0;
    if (f.Style & xfsItalic) options |= kOptionItalic;
    if (f.Style & xfsStrikeOut) options |= kOptionStrikeOut;
    uint16_t escapement = f.SubSuperScript == xssSuperscript ? 1 : f.SubSuperScript == xssSubscript ? 2 : 0;
    data.clear();
    PutFixed16(data, static_cast<uint16_t>(f.Size20));
    PutFixed16(data, options);
    PutFixed16(data, f.Color == 0 ? kColorSystemWindowText : f.Color);
    PutFixed16(data, (f.Style & xfsBold) ? kWeightBold : kWeightNormal);
    PutFixed16(data, escapement);
    PutFixed8(data, UnderlineToByte(f.Underline));
    PutFixed8(data, f.Family);
    PutFixed8(data, f.Charset);
    PutFixed8(data, 0);
    PutBiffString(data, std::u16string_view(f.Name).substr(0, chars), /*shortCount=*/true);
    stream.AppendRecord(BIFFRecs::FONT, data);
  }
}

}  // namespace plicato
