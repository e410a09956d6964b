#include "workbook/FormattedObj.h"

#include "biff/Errors.h"

namespace plicato {

namespace {

constexpr uint32_t kColorMask = 0x7F;
constexpr uint32_t kStyleMask = 0x0F;
constexpr TExcelColor kAutomaticColor = 64;
constexpr uint16_t kBothFillColorsAutomatic = 0x2040;  // pattern 64, background 64
constexpr TExcelColor kSolidBackColor = 9;
constexpr int32_t kMaxFontSizePoints = 0xFFFF / 20;  // the height is written in 16 bits

// Bit positions of the fields (see TXFBody).
constexpr int kFillForeShift = 0, kFillBackShift = 7;                           // FillColors
constexpr int kLeftColorShift = 0, kRightColorShift = 7, kDiagLinesShift = 14;  // BorderColors
constexpr int kTopColorShift = 0, kBottomColorShift = 7, kDiagColorShift = 14;  // BorderColorsFill
constexpr int kDiagStyleShift = 21, kPatternShift = 26;                         // BorderColorsFill
constexpr int kLeftStyleShift = 0, kRightStyleShift = 4, kTopStyleShift = 8, kBottomStyleShift = 12;

constexpr uint8_t kAlignHorizMask = 0x07;
constexpr uint8_t kAlignWrap = 0x08;
constexpr int kAlignVertShift = 4;
constexpr uint8_t kAlignJustifyLast = 0x80;
constexpr uint8_t kIndentMask = 0x0F;
constexpr uint8_t kShrinkToFit = 0x10;
constexpr uint16_t kProtectionMask = 0x0003;

template <typename T>
uint32_t Field(T word, int shift, uint32_t mask) {
  return (static_cast<uint32_t>(word) >> shift) & mask;
}

template <typename T>
void SetField(T& word, int shift, uint32_t mask, uint32_t value) {
  uint32_t w = static_cast<uint32_t>(word);
  w = (w & ~(mask << shift)) | ((value & mask) << shift);
  word = static_cast<T>(w);
}

void SetFlag(uint8_t& byte, uint8_t bit, bool on) {
  byte = on ? static_cast<uint8_t>(byte | bit) : static_cast<uint8_t>(byte & ~bit);
}

void UpdateBorderBit(TXFBody& b) {
  bool any = b.BorderStyles != 0 || Field(b.BorderColorsFill, kDiagStyleShift, kStyleMask) != 0;
  SetFlag(b.UsedAttributes, kXFUsedBorder, any);
}

void UpdatePatternBitByColors(TXFBody& b) {
  SetFlag(b.UsedAttributes, kXFUsedPattern, (b.FillColors & 0x3FFF) != kBothFillColorsAutomatic);
}

void UpdateAlignmentBit(TXFBody& b, bool vertCounts) {
  bool any = (b.Alignment & kAlignWrap) != 0 || (b.Alignment & kAlignHorizMask) != 0 ||
             (vertCounts && Field(b.Alignment, kAlignVertShift, 0x07) != 0);
  SetFlag(b.UsedAttributes, kXFUsedAlignment, any);
}

void SetFillPatternField(TXFBody& b, uint32_t pattern) {
  SetField(b.BorderColorsFill, kPatternShift, 0x3F, pattern);
  SetFlag(b.UsedAttributes, kXFUsedPattern, (pattern & 0x3F) != 0);
}

uint8_t StoredRotation(int32_t a) {
  if (a >= 0 && a <= 90) return static_cast<uint8_t>(a);
  if (a > 90 && a < 255) return 90;
  if (a >= 255) return 255;
  if (a >= -90) return static_cast<uint8_t>(90 - a);
  return 180;
}

}  // namespace

// --- TFormattedObject ---

TFormattedObject::TFormattedObject(TCellFormats* formats, int32_t index) : formats_(formats) {
  if (!formats) throw EXLSError("CellFormat has no parent");
  format_ = formats->Item(formats->AdoptableIndex(index));
}

TFormattedObject::TFormattedObject(TCellFormats* formats) : formats_(formats) {
  if (!formats) throw EXLSError("CellFormat has no parent");
}

const TXFBody& TFormattedObject::Body() const {
  const TCellFormat* f = CurrentFormat();
  if (!f) throw EXLSError("[int] Object has no cell format");
  return f->Body;
}

int32_t TFormattedObject::FormatIndex() const {
  const TCellFormat* f = CurrentFormat();
  if (!f) throw EXLSError("[int] Object has no cell format");
  return f->Index();
}

void TFormattedObject::SetFormatIndex(int32_t index) {
  TCellFormat* adopted = formats_->Item(index);
  TCellFormat* old = CurrentFormat();
  formats_->AddUse(adopted);
  SetCurrentFormat(adopted);
  formats_->ReleaseFormat(old);
}

void TFormattedObject::ApplyFormat(const TCellFormat& copy) {
  TCellFormat* old = CurrentFormat();
  TCellFormat* adopted = formats_->FindOrAddCounted(copy);
  SetCurrentFormat(adopted);
  formats_->ReleaseFormat(old);
}

template <typename Change>
void TFormattedObject::Modify(Change&& change) {
  TCellFormat copy(formats_, FormatIndex());
  change(copy);
  ApplyFormat(copy);
}

void TFormattedObject::ChangeFont(const TXFont& font) {
  TXFonts* fonts = formats_->Fonts();
  if (!fonts) throw EXLSError("No Fonts");
  TXFont* target = fonts->FindOrAddFont(font);
  if (target->Index > 0xFFFF) throw EXLSError("Too many fonts");
  Modify([&](TCellFormat& copy) { copy.Body.FontIndex = static_cast<uint16_t>(target->Index); });
}

TXFont* TFormattedObject::Font() const {
  TXFonts* fonts = formats_->Fonts();
  if (!fonts) throw EXLSError("No Fonts");
  return fonts->Item(Body().FontIndex);
}

template <typename Change>
void TFormattedObject::ModifyFont(Change&& change) {
  TXFont copy;
  copy.AssignProperties(*Font());
  change(copy);
  ChangeFont(copy);
}

// --- getters ---

TExcelColor TFormattedObject::FillBackColor() const {
  return static_cast<TExcelColor>(Field(Body().FillColors, kFillBackShift, kColorMask));
}
TExcelColor TFormattedObject::FillForeColor() const {
  return static_cast<TExcelColor>(Field(Body().FillColors, kFillForeShift, kColorMask));
}
TExcelColor TFormattedObject::BorderBottomColor() const {
  return static_cast<TExcelColor>(Field(Body().BorderColorsFill, kBottomColorShift, kColorMask));
}
TCellBorderStyle TFormattedObject::BorderBottomStyle() const {
  return static_cast<TCellBorderStyle>(Field(Body().BorderStyles, kBottomStyleShift, kStyleMask));
}
TExcelColor TFormattedObject::BorderDiagColor() const {
  return static_cast<TExcelColor>(Field(Body().BorderColorsFill, kDiagColorShift, kColorMask));
}
TDiagLines TFormattedObject::BorderDiagLines() const {
  return static_cast<TDiagLines>(Field(Body().BorderColors, kDiagLinesShift, 0x03));
}
TCellBorderStyle TFormattedObject::BorderDiagStyle() const {
  return static_cast<TCellBorderStyle>(Field(Body().BorderColorsFill, kDiagStyleShift, kStyleMask));
}
TExcelColor TFormattedObject::BorderLeftColor() const {
  return static_cast<TExcelColor>(Field(Body().BorderColors, kLeftColorShift, kColorMask));
}
TCellBorderStyle TFormattedObject::BorderLeftStyle() const {
  return static_cast<TCellBorderStyle>(Field(Body().BorderStyles, kLeftStyleShift, kStyleMask));
}
TExcelColor TFormattedObject::BorderRightColor() const {
  return static_cast<TExcelColor>(Field(Body().BorderColors, kRightColorShift, kColorMask));
}
TCellBorderStyle TFormattedObject::BorderRightStyle() const {
  return static_cast<TCellBorderStyle>(Field(Body().BorderStyles, kRightStyleShift, kStyleMask));
}
TExcelColor TFormattedObject::BorderTopColor() const {
  return static_cast<TExcelColor>(Field(Body().BorderColorsFill, kTopColorShift, kColorMask));
}
TCellBorderStyle TFormattedObject::BorderTopStyle() const {
  return static_cast<TCellBorderStyle>(Field(Body().BorderStyles, kTopStyleShift, kStyleMask));
}
TFormatOptions TFormattedObject::FormatOptions() const {
  const TXFBody& b = Body();
  TFormatOptions o = 0;
  if (b.Alignment & kAlignWrap) o |= foWrapText;
  if (b.IndentOptions & kShrinkToFit) o |= foShrinkToFit;
  return o;
}
uint8_t TFormattedObject::Indent() const {
  return Body().IndentOptions & kIndentMask;
}
std::u16string TFormattedObject::NumberFormat() const {
  const TCellFormat* f = CurrentFormat();
  if (!f) throw EXLSError("[int] Object has no cell format");
  return f->NumberFormatText();
}
TCellProtection TFormattedObject::Protection() const {
  return static_cast<TCellProtection>(Body().Protection & kProtectionMask);
}
int32_t TFormattedObject::Rotation() const {
  int32_t r = Body().Rotation;
  if (r <= 90 || r == 255) return r;
  return 90 - r;
}
TCellHorizAlignment TFormattedObject::HorizAlignment() const {
  return static_cast<TCellHorizAlignment>(Body().Alignment & kAlignHorizMask);
}
TCellVertAlignment TFormattedObject::VertAlignment() const {
  return static_cast<TCellVertAlignment>(Field(Body().Alignment, kAlignVertShift, 0x07));
}
TExcelFillPattern TFormattedObject::FillPattern() const {
  return static_cast<TExcelFillPattern>(Field(Body().BorderColorsFill, kPatternShift, 0x3F));
}

// --- setters ---

void TFormattedObject::SetFillBackColor(TExcelColor value) {
  uint32_t v = value & kColorMask;
  if (FillBackColor() == v) return;
  Modify([&](TCellFormat& c) {
    SetField(c.Body.FillColors, kFillBackShift, kColorMask, v);
    UpdatePatternBitByColors(c.Body);
  });
}

void TFormattedObject::SetFillForeColor(TExcelColor value) {
  uint32_t v = value & kColorMask;
  if (FillForeColor() == v) return;
  Modify([&](TCellFormat& c) {
    SetField(c.Body.FillColors, kFillForeShift, kColorMask, v);
    UpdatePatternBitByColors(c.Body);
    if (v != kAutomaticColor) {
      // A coloured fill needs a pattern to show; applied to the same copy, so one format change.
      SetFillPatternField(c.Body, fpPattern1);
      SetField(c.Body.FillColors, kFillBackShift, kColorMask, kSolidBackColor);
      UpdatePatternBitByColors(c.Body);
    }
  });
}

void TFormattedObject::SetBorderBottomColor(TExcelColor value) {
  uint32_t v = value & kColorMask;
  if (BorderBottomColor() == v) return;
  Modify([&](TCellFormat& c) { SetField(c.Body.BorderColorsFill, kBottomColorShift, kColorMask, v); });
}

void TFormattedObject::SetBorderBottomStyle(TCellBorderStyle value) {
  uint32_t v = value & kStyleMask;
  if (BorderBottomStyle() == v) return;
  Modify([&](TCellFormat& c) {
    SetField(c.Body.BorderStyles, kBottomStyleShift, kStyleMask, v);
    UpdateBorderBit(c.Body);
  });
}

void TFormattedObject::SetBorderDiagColor(TExcelColor value) {
  uint32_t v = value & kColorMask;
  if (BorderDiagColor() == v) return;
  Modify([&](TCellFormat& c) { SetField(c.Body.BorderColorsFill, kDiagColorShift, kColorMask, v); });
}

void TFormattedObject::SetBorderDiagLines(TDiagLines value) {
  uint32_t v = value & 0x03u;
  if (BorderDiagLines() == v) return;
  Modify([&](TCellFormat& c) { SetField(c.Body.BorderColors, kDiagLinesShift, 0x03, v); });
}

void TFormattedObject::SetBorderDiagStyle(TCellBorderStyle value) {
  uint32_t v = value & kStyleMask;
  if (BorderDiagStyle() == v) return;
  Modify([&](TCellFormat& c) {
    SetField(c.Body.BorderColorsFill, kDiagStyleShift, kStyleMask, v);
    UpdateBorderBit(c.Body);
  });
}

void TFormattedObject::SetBorderLeftColor(TExcelColor value) {
  uint32_t v = value & kColorMask;
  if (BorderLeftColor() == v) return;
  Modify([&](TCellFormat& c) { SetField(c.Body.BorderColors, kLeftColorShift, kColorMask, v); });
}

void TFormattedObject::SetBorderLeftStyle(TCellBorderStyle value) {
  uint32_t v = value & kStyleMask;
  if (BorderLeftStyle() == v) return;
  Modify([&](TCellFormat& c) {
    SetField(c.Body.BorderStyles, kLeftStyleShift, kStyleMask, v);
    UpdateBorderBit(c.Body);
  });
}

void TFormattedObject::SetBorderRightColor(TExcelColor value) {
  uint32_t v = value & kColorMask;
  if (BorderRightColor() == v) return;
  Modify([&](TCellFormat& c) { SetField(c.Body.BorderColors, kRightColorShift, kColorMask, v); });
}

void TFormattedObject::SetBorderRightStyle(TCellBorderStyle value) {
  uint32_t v = value & kStyleMask;
  if (BorderRightStyle() == v) return;
  Modify([&](TCellFormat& c) {
    SetField(c.Body.BorderStyles, kRightStyleShift, kStyleMask, v);
    UpdateBorderBit(c.Body);
  });
}

void TFormattedObject::SetBorderTopColor(TExcelColor value) {
  uint32_t v = value & kColorMask;
  if (BorderTopColor() == v) return;
  Modify([&](TCellFormat& c) { SetField(c.Body.BorderColorsFill, kTopColorShift, kColorMask, v); });
}

void TFormattedObject::SetBorderTopStyle(TCellBorderStyle value) {
  uint32_t v = value & kStyleMask;
  if (BorderTopStyle() == v) return;
  Modify([&](TCellFormat& c) {
    SetField(c.Body.BorderStyles, kTopStyleShift, kStyleMask, v);
    UpdateBorderBit(c.Body);
  });
}

void TFormattedObject::SetFormatOptions(TFormatOptions value) {
  TFormatOptions v = value & (foWrapText | foShrinkToFit);
  if (FormatOptions() == v) return;
  Modify([&](TCellFormat& c) {
    SetFlag(c.Body.Alignment, kAlignWrap, (v & foWrapText) != 0);
    SetFlag(c.Body.IndentOptions, kShrinkToFit, (v & foShrinkToFit) != 0);
    SetFlag(c.Body.Alignment, kAlignJustifyLast, false);
    UpdateAlignmentBit(c.Body, false);
  });
}

void TFormattedObject::SetIndent(uint8_t value) {
  uint8_t v = value & kIndentMask;
  if (Indent() == v) return;
  Modify([&](TCellFormat& c) {
    c.Body.IndentOptions = static_cast<uint8_t>((c.Body.IndentOptions & ~kIndentMask) | v);
  });
}

void TFormattedObject::SetNumberFormat(std::u16string_view text) {
  if (NumberFormat() == text) return;
  Modify([&](TCellFormat& c) { c.SetNumberFormatText(text); });
}

void TFormattedObject::SetProtection(TCellProtection value) {
  uint16_t v = value & kProtectionMask;
  if (Protection() == v) return;
  Modify([&](TCellFormat& c) {
    c.Body.Protection = static_cast<uint16_t>((c.Body.Protection & ~kProtectionMask) | v);
  });
}

void TFormattedObject::SetRotation(int32_t angle) {
  uint8_t v = StoredRotation(angle);
  if (Body().Rotation == v) return;
  Modify([&](TCellFormat& c) { c.Body.Rotation = v; });
}

void TFormattedObject::SetHorizAlignment(TCellHorizAlignment value) {
  uint8_t v = value & kAlignHorizMask;
  if (HorizAlignment() == v) return;
  Modify([&](TCellFormat& c) {
    c.Body.Alignment = static_cast<uint8_t>((c.Body.Alignment & ~kAlignHorizMask) | v);
    UpdateAlignmentBit(c.Body, true);
  });
}

void TFormattedObject::SetVertAlignment(TCellVertAlignment value) {
  uint32_t v = value & 0x07u;
  if (VertAlignment() == v) return;
  Modify([&](TCellFormat& c) {
    SetField(c.Body.Alignment, kAlignVertShift, 0x07, v);
    UpdateAlignmentBit(c.Body, true);
  });
}

void TFormattedObject::SetFillPattern(TExcelFillPattern value) {
  uint32_t v = value & 0x3Fu;
  if (FillPattern() == v) return;
  Modify([&](TCellFormat& c) { SetFillPatternField(c.Body, v); });
}

void TFormattedObject::SetFontCharset(uint8_t value) {
  if (FontCharset() == value) return;
  ModifyFont([&](TXFont& f) { f.Charset = value; });
}

void TFormattedObject::SetFontColor(TExcelColor value) {
  if (FontColor() == value) return;
  ModifyFont([&](TXFont& f) { f.Color = value; });
}

void TFormattedObject::SetFontFamily(uint8_t value) {
  if (FontFamily() == value) return;
  ModifyFont([&](TXFont& f) { f.Family = value; });
}

void TFormattedObject::SetFontName(std::u16string_view value) {
  if (FontName() == value) return;
  ModifyFont([&](TXFont& f) { f.Name = value; });
}

void TFormattedObject::SetFontSize(int32_t points) {
  // Sizes that cannot be written are ignored like sizes of 0 or less.
  if (points <= 0 || points > kMaxFontSizePoints) return;
  int32_t twentieths = points * 20;
  if (FontSize20() == twentieths) return;
  ModifyFont([&](TXFont& f) { f.Size20 = twentieths; });
}

void TFormattedObject::SetFontSize20(int32_t twentieths) {
  if (FontSize20() == twentieths) return;
  ModifyFont([&](TXFont& f) { f.Size20 = twentieths; });
}

void TFormattedObject::SetFontSubSuperScript(TXSubSuperscript value) {
  if (FontSubSuperScript() == value) return;
  ModifyFont([&](TXFont& f) { f.SubSuperScript = value; });
}

void TFormattedObject::SetFontUnderline(TXUnderline value) {
  if (FontUnderline() == value) return;
  ModifyFont([&](TXFont& f) { f.Underline = value; });
}

void TFormattedObject::SetFontStyle(TXFontStyles value) {
  if (FontStyle() == value) return;
  ModifyFont([&](TXFont& f) { f.Style = value; });
}

// --- TFormattedObjectNotify ---

template <typename Setter>
void TFormattedObjectNotify::Notifying(Setter&& setter) {
  const TCellFormat* before = Format();
  uint32_t handle = before ? before->Handle() : kNoFormatHandle;
  setter();
  TCellFormat* after = Format();
  if (after && after->Handle() != handle && onChange_) onChange_(after, NotifyNumber());
  AfterChange();
}

void TFormattedObjectNotify::SetFillBackColor(TExcelColor value) {
  Notifying([&] { TFormattedObject::SetFillBackColor(value); });
}
void TFormattedObjectNotify::SetFillForeColor(TExcelColor value) {
  Notifying([&] { TFormattedObject::SetFillForeColor(value); });
}
void TFormattedObjectNotify::SetBorderBottomColor(TExcelColor value) {
  Notifying([&] { TFormattedObject::SetBorderBottomColor(value); });
}
void TFormattedObjectNotify::SetBorderBottomStyle(TCellBorderStyle value) {
  Notifying([&] { TFormattedObject::SetBorderBottomStyle(value); });
}
void TFormattedObjectNotify::SetBorderDiagColor(TExcelColor value) {
  Notifying([&] { TFormattedObject::SetBorderDiagColor(value); });
}
void TFormattedObjectNotify::SetBorderDiagLines(TDiagLines value) {
  Notifying([&] { TFormattedObject::SetBorderDiagLines(value); });
}
void TFormattedObjectNotify::SetBorderDiagStyle(TCellBorderStyle value) {
  Notifying([&] { TFormattedObject::SetBorderDiagStyle(value); });
}
void TFormattedObjectNotify::SetBorderLeftColor(TExcelColor value) {
  Notifying([&] { TFormattedObject::SetBorderLeftColor(value); });
}
void TFormattedObjectNotify::SetBorderLeftStyle(TCellBorderStyle value) {
  Notifying([&] { TFormattedObject::SetBorderLeftStyle(value); });
}
void TFormattedObjectNotify::SetBorderRightColor(TExcelColor value) {
  Notifying([&] { TFormattedObject::SetBorderRightColor(value); });
}
void TFormattedObjectNotify::SetBorderRightStyle(TCellBorderStyle value) {
  Notifying([&] { TFormattedObject::SetBorderRightStyle(value); });
}
void TFormattedObjectNotify::SetBorderTopColor(TExcelColor value) {
  Notifying([&] { TFormattedObject::SetBorderTopColor(value); });
}
void TFormattedObjectNotify::SetBorderTopStyle(TCellBorderStyle value) {
  Notifying([&] { TFormattedObject::SetBorderTopStyle(value); });
}
void TFormattedObjectNotify::SetFormatOptions(TFormatOptions value) {
  Notifying([&] { TFormattedObject::SetFormatOptions(value); });
}
void TFormattedObjectNotify::SetIndent(uint8_t value) {
  Notifying([&] { TFormattedObject::SetIndent(value); });
}
void TFormattedObjectNotify::SetNumberFormat(std::u16string_view text) {
  Notifying([&] { TFormattedObject::SetNumberFormat(text); });
}
void TFormattedObjectNotify::SetProtection(TCellProtection value) {
  Notifying([&] { TFormattedObject::SetProtection(value); });
}
void TFormattedObjectNotify::SetRotation(int32_t angle) {
  Notifying([&] { TFormattedObject::SetRotation(angle); });
}
void TFormattedObjectNotify::SetHorizAlignment(TCellHorizAlignment value) {
  Notifying([&] { TFormattedObject::SetHorizAlignment(value); });
}
void TFormattedObjectNotify::SetVertAlignment(TCellVertAlignment value) {
  Notifying([&] { TFormattedObject::SetVertAlignment(value); });
}
void TFormattedObjectNotify::SetFillPattern(TExcelFillPattern value) {
  Notifying([&] { TFormattedObject::SetFillPattern(value); });
}
void TFormattedObjectNotify::SetFontCharset(uint8_t value) {
  Notifying([&] { TFormattedObject::SetFontCharset(value); });
}
void TFormattedObjectNotify::SetFontColor(TExcelColor value) {
  Notifying([&] { TFormattedObject::SetFontColor(value); });
}
void TFormattedObjectNotify::SetFontFamily(uint8_t value) {
  Notifying([&] { TFormattedObject::SetFontFamily(value); });
}
void TFormattedObjectNotify::SetFontName(std::u16string_view value) {
  Notifying([&] { TFormattedObject::SetFontName(value); });
}
void TFormattedObjectNotify::SetFontSize(int32_t points) {
  Notifying([&] { TFormattedObject::SetFontSize(points); });
}
void TFormattedObjectNotify::SetFontSize20(int32_t twentieths) {
  Notifying([&] { TFormattedObject::SetFontSize20(twentieths); });
}
void TFormattedObjectNotify::SetFontSubSuperScript(TXSubSuperscript value) {
  Notifying([&] { TFormattedObject::SetFontSubSuperScript(value); });
}
void TFormattedObjectNotify::SetFontUnderline(TXUnderline value) {
  Notifying([&] { TFormattedObject::SetFontUnderline(value); });
}
void TFormattedObjectNotify::SetFontStyle(TXFontStyles value) {
  Notifying([&] { TFormattedObject::SetFontStyle(value); });
}

}  // namespace plicato
