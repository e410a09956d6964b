// TFormattedObject: something that has a cell format (a cell, a row, a column). It never changes the
// shared list item: every setter builds a private copy of the current format, changes the copy and
// adopts an equal list item or appends the copy (copy-on-write with interning), so that a run of
// equally formatted objects shares one XF.
//
// Where the current format lives is up to the subclass: by default in a member, but a view over a
// compact cell keeps only the format's handle in the cell and overrides CurrentFormat and
// SetCurrentFormat. Every operation goes through those two.
//
// Use counting: adopting a counted format adds a use; leaving one releases it (see TCellFormats). The
// new format is always adopted before the old one is released, since releasing may delete the old
// item and renumber every later one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "workbook/CellFormats.h"
#include "workbook/XLSFonts.h"

namespace plicato {

enum TCellBorderStyle : uint8_t {
  cbsNone,
  cbsThin,
  cbsMedium,
  cbsDashed,
  cbsDotted,
  cbsThick,
  cbsDouble,
  cbsHair,
  cbsMediumDashed,
  cbsDashDot,
  cbsMediumDashDot,
  cbsDashDotDot,
  cbsMediumDashDotDot,
  cbsSlantedDashDot,
};

// Pattern 1 is solid.
enum TExcelFillPattern : uint8_t {
  fpNone,
  fpPattern1,
  fpPattern2,
  fpPattern3,
  fpPattern4,
  fpPattern5,
  fpPattern6,
  fpPattern7,
  fpPattern8,
  fpPattern9,
  fpPattern10,
  fpPattern11,
  fpPattern12,
  fpPattern13,
  fpPattern14,
  fpPattern15,
  fpPattern16,
  fpPattern17,
  fpPattern18,
};

enum TCellHorizAlignment : uint8_t {
  chaGeneral,
  chaLeft,
  chaCenter,
  chaRight,
  chaFill,
  chaJustify,
  chaCenterAcross,
  chaDistributed,
};

enum TCellVertAlignment : uint8_t { cvaTop, cvaCenter, cvaBottom, cvaJustify, cvaDistributed };

enum TFormatOption : uint8_t { foWrapText = 1, foShrinkToFit = 2 };
using TFormatOptions = uint8_t;  // set of TFormatOption bits

enum TCellProtectionFlag : uint8_t { cpLocked = 1, cpHidden = 2 };
using TCellProtection = uint8_t;  // set of TCellProtectionFlag bits

enum TDiagLine : uint8_t { dlDown = 1, dlUp = 2 };
using TDiagLines = uint8_t;  // set of TDiagLine bits

class TFormattedObject {
 public:
  // Adopts item index, or the default cell format when index names no item (TCellFormats::
  // AdoptableIndex); no use is counted. formats must outlive the object.
  TFormattedObject(TCellFormats* formats, int32_t index);
  virtual ~TFormattedObject() = default;

  TCellFormats* Formats() const { return formats_; }
  TCellFormat* Format() const { return CurrentFormat(); }
  int32_t FormatIndex() const;
  // Adopts item index (EListError outside the list) with one use counted, then releases the old one.
  void SetFormatIndex(int32_t index);
  // Adopts the list item equal to copy (one more use) or a new item made from it (use count 1), then
  // releases the old format.
  void ApplyFormat(const TCellFormat& copy);
  // font: the changed copy of the current font. Adopts an equal font of the list (or a new one) and
  // the format naming it. "No Fonts" when the format list has no font list.
  void ChangeFont(const TXFont& font);

  // The 30 properties. A setter whose value equals the current one (after masking to the field's
  // width) changes nothing.
  virtual void SetFillBackColor(TExcelColor value);
  // Any colour but 64 also makes the pattern solid and the background colour 9.
  virtual void SetFillForeColor(TExcelColor value);
  virtual void SetBorderBottomColor(TExcelColor value);
  virtual void SetBorderBottomStyle(TCellBorderStyle value);
  virtual void SetBorderDiagColor(TExcelColor value);
  virtual void SetBorderDiagLines(TDiagLines value);
  virtual void SetBorderDiagStyle(TCellBorderStyle value);
  virtual void SetBorderLeftColor(TExcelColor value);
  virtual void SetBorderLeftStyle(TCellBorderStyle value);
  virtual void SetBorderRightColor(TExcelColor value);
  virtual void SetBorderRightStyle(TCellBorderStyle value);
  virtual void SetBorderTopColor(TExcelColor value);
  virtual void SetBorderTopStyle(TCellBorderStyle value);
  virtual void SetFormatOptions(TFormatOptions value);
  virtual void SetIndent(uint8_t value);
  virtual void SetNumberFormat(std::u16string_view text);
  virtual void SetProtection(TCellProtection value);
  // 0..90 kept; 91..254 gives 90; 255 and above 255 (vertical); -90..-1 gives 90 - angle; below -90
  // gives 180.
  virtual void SetRotation(int32_t angle);
  virtual void SetHorizAlignment(TCellHorizAlignment value);
  virtual void SetVertAlignment(TCellVertAlignment value);
  virtual void SetFillPattern(TExcelFillPattern value);
  virtual void SetFontCharset(uint8_t value);
  virtual void SetFontColor(TExcelColor value);
  virtual void SetFontFamily(uint8_t value);
  virtual void SetFontName(std::u16string_view value);
  virtual void SetFontSize(int32_t points);  // 0 or less is ignored
  virtual void SetFontSize20(int32_t twentieths);
  virtual void SetFontSubSuperScript(TXSubSuperscript value);
  virtual void SetFontUnderline(TXUnderline value);
  virtual void SetFontStyle(TXFontStyles value);

  TExcelColor FillBackColor() const;
  TExcelColor FillForeColor() const;
  TExcelColor BorderBottomColor() const;
  TCellBorderStyle BorderBottomStyle() const;
  TExcelColor BorderDiagColor() const;
  TDiagLines BorderDiagLines() const;
  TCellBorderStyle BorderDiagStyle() const;
  TExcelColor BorderLeftColor() const;
  TCellBorderStyle BorderLeftStyle() const;
  TExcelColor BorderRightColor() const;
  TCellBorderStyle BorderRightStyle() const;
  TExcelColor BorderTopColor() const;
  TCellBorderStyle BorderTopStyle() const;
  TFormatOptions FormatOptions() const;
  uint8_t Indent() const;
  std::u16string NumberFormat() const;
  TCellProtection Protection() const;
  // The stored value for 0..90 and 255; a negative angle (90 - stored) for the values between.
  int32_t Rotation() const;
  TCellHorizAlignment HorizAlignment() const;
  TCellVertAlignment VertAlignment() const;
  TExcelFillPattern FillPattern() const;
  // The font the format names; "No Fonts" without a font list, EListError for an index outside it.
  TXFont* Font() const;
  uint8_t FontCharset() const { return Font()->Charset; }
  TExcelColor FontColor() const { return Font()->Color; }
  uint8_t FontFamily() const { return Font()->Family; }
  std::u16string FontName() const { return Font()->Name; }
  int32_t FontSize() const { return Font()->Size(); }
  int32_t FontSize20() const { return Font()->Size20; }
  TXSubSuperscript FontSubSuperScript() const { return Font()->SubSuperScript; }
  TXUnderline FontUnderline() const { return Font()->Underline; }
  TXFontStyles FontStyle() const { return Font()->Style; }

 protected:
  // For subclasses that keep the format elsewhere and override the two operations below.
  explicit TFormattedObject(TCellFormats* formats);

  virtual TCellFormat* CurrentFormat() const { return format_; }
  virtual void SetCurrentFormat(TCellFormat* format) { format_ = format; }

 private:
  // The current format; "[int] Object has no cell format" when there is none.
  const TXFBody& Body() const;
  // Copies the current format, lets change edit the copy's body, and applies the copy.
  template <typename Change>
  void Modify(Change&& change);
  template <typename Change>
  void ModifyFont(Change&& change);

  TCellFormats* formats_;
  TCellFormat* format_ = nullptr;
};

// A formatted object that tells its owner when a property change gives it a different format (rows and
// columns, whose sheet then reformats their cells).
class TFormattedObjectNotify : public TFormattedObject {
 public:
  using TChangeHandler = std::function<void(TCellFormat* format, int number)>;

  TFormattedObjectNotify(TCellFormats* formats, int32_t index) : TFormattedObject(formats, index) {}

  void SetOnChange(TChangeHandler handler) { onChange_ = std::move(handler); }

  // The object's own number (row or column index), passed to the change handler.
  virtual int NotifyNumber() const = 0;
  // Runs after every property setter, whether it changed anything or not.
  virtual void AfterChange() {}

  void SetFillBackColor(TExcelColor value) override;
  void SetFillForeColor(TExcelColor value) override;
  void SetBorderBottomColor(TExcelColor value) override;
  void SetBorderBottomStyle(TCellBorderStyle value) override;
  void SetBorderDiagColor(TExcelColor value) override;
  void SetBorderDiagLines(TDiagLines value) override;
  void SetBorderDiagStyle(TCellBorderStyle value) override;
  void SetBorderLeftColor(TExcelColor value) override;
  void SetBorderLeftStyle(TCellBorderStyle value) override;
  void SetBorderRightColor(TExcelColor value) override;
  void SetBorderRightStyle(TCellBorderStyle value) override;
  void SetBorderTopColor(TExcelColor value) override;
  void SetBorderTopStyle(TCellBorderStyle value) override;
  void SetFormatOptions(TFormatOptions value) override;
  void SetIndent(uint8_t value) override;
  void SetNumberFormat(std::u16string_view text) override;
  void SetProtection(TCellProtection value) override;
  void SetRotation(int32_t angle) override;
  void SetHorizAlignment(TCellHorizAlignment value) override;
  void SetVertAlignment(TCellVertAlignment value) override;
  void SetFillPattern(TExcelFillPattern value) override;
  void SetFontCharset(uint8_t value) override;
  void SetFontColor(TExcelColor value) override;
  void SetFontFamily(uint8_t value) override;
  void SetFontName(std::u16string_view value) override;
  void SetFontSize(int32_t points) override;
  void SetFontSize20(int32_t twentieths) override;
  void SetFontSubSuperScript(TXSubSuperscript value) override;
  void SetFontUnderline(TXUnderline value) override;
  void SetFontStyle(TXFontStyles value) override;

 private:
  // Runs the inherited setter; reports when the object ends on a different list item. Items are
  // compared by handle, not index: the old item may be deleted and the new one take its index.
  template <typename Setter>
  void Notifying(Setter&& setter);

  TChangeHandler onChange_;
};

}  // namespace plicato
