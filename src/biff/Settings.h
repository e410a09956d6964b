// The workbook's file-level settings as small objects over the stored records: the workbook window
// (TWorkbookData), the calculation settings (TOptionsDialog), the kept STYLE records (TStyles), the
// file-sharing data (TFileSharing) and, per worksheet, the print settings (TPrintSettings).
//
// Apart from the calculation settings, the print margins and the header and footer texts, no object
// keeps a value of its own: each property reads and writes a field of a stored record, so a value read
// from a file is written back unchanged and a new workbook has the values of the default records.
// The objects refer to a storage owned by the workbook or worksheet, which must outlive them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "biff/RecordStorage.h"

namespace plicato {

class TXLSStream;

// A set of the members of a small enumeration (at most 32 members, numbered from 0).
template <typename E>
class TSmallSet {
 public:
  constexpr TSmallSet() = default;
  constexpr TSmallSet(std::initializer_list<E> members) {
    for (E m : members) Include(m);
  }
  constexpr bool Contains(E m) const { return (bits_ >> static_cast<unsigned>(m)) & 1u; }
  constexpr TSmallSet& Include(E m) {
    bits_ |= 1u << static_cast<unsigned>(m);
    return *this;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  friend constexpr bool operator==(TSmallSet a, TSmallSet b) { return a.bits_ == b.bits_; }

 private:
  uint32_t bits_ = 0;
};

// ---------------------------------------------------------------------------------------------------------
// Workbook window (WINDOW1) and the 1904 date system (DATEMODE).

enum TWorkbookOption : uint8_t { woHidden, woIconized, woHScroll, woVScroll, woTabs };
using TWorkbookOptions = TSmallSet<TWorkbookOption>;

class TWorkbookData {
 public:
  explicit TWorkbookData(TRecordStorageGlobals& globals) : globals_(globals) {}

  uint16_t Left() const;
  void SetLeft(uint16_t value);
  uint16_t Top() const;
  void SetTop(uint16_t value);
  uint16_t Width() const;
  void SetWidth(uint16_t value);
  uint16_t Height() const;
  void SetHeight(uint16_t value);
  uint16_t SelectedTab() const;
  void SetSelectedTab(uint16_t value);
  // WINDOW1 options bits 0x0001, 0x0002, 0x0008, 0x0010, 0x0020. Setting replaces the whole options word.
  TWorkbookOptions Options() const;
  void SetOptions(TWorkbookOptions options);
  bool Date1904() const;
  void SetDate1904(bool on);

 private:
  TRecordStorageGlobals& globals_;
};

// ---------------------------------------------------------------------------------------------------------
// Calculation settings.

enum TCalcMode : uint8_t { cmManual, cmAutomatic, cmAutoExTables };
enum TShowObjects : uint8_t { soShowAll, soPlaceholders, soHideAll };

// The calculation values live in every worksheet's records; the workbook keeps one copy here, taken from
// worksheet 0 (CopyFromSheet) and given to every worksheet when it is written (CopyToSheet).
class TOptionsDialog {
 public:
  explicit TOptionsDialog(TRecordStorageGlobals& globals) : globals_(globals) {}

  TCalcMode CalcMode() const { return calcMode_; }
  void SetCalcMode(TCalcMode mode) { calcMode_ = mode; }
  // 0 is stored as 1; a negative value, and one above the signed 16-bit range, as 32767.
  int CalcCount() const { return calcCount_; }
  void SetCalcCount(int count);
  double Delta() const { return delta_; }
  void SetDelta(double delta) { delta_ = delta; }
  bool Iteration() const { return iteration_; }
  void SetIteration(bool on) { iteration_ = on; }
  bool R1C1Mode() const { return r1c1Mode_; }
  void SetR1C1Mode(bool on) { r1c1Mode_ = on; }
  bool RecalcBeforeSave() const { return recalcBeforeSave_; }
  void SetRecalcBeforeSave(bool on) { recalcBeforeSave_ = on; }
  bool SaveRecalc() const { return saveRecalc_; }
  void SetSaveRecalc(bool on) { saveRecalc_ = on; }
  bool Uncalced() const { return uncalced_; }
  void SetUncalced(bool on) { uncalced_ = on; }

  // Kept in the globals records. PRECISION and BOOKBOOL state the opposite of these options in the file
  // format (PRECISION 1 = full precision, BOOKBOOL 1 = external link values not saved), so each option
  // is true when its record holds 0.
  bool PrecisionAsDisplayed() const;
  void SetPrecisionAsDisplayed(bool on);
  bool SaveExtLinkVal() const;
  void SetSaveExtLinkVal(bool on);
  // HIDEOBJ 0, 1, 2; an unknown value reads as soShowAll.
  TShowObjects ShowObjects() const;
  void SetShowObjects(TShowObjects value);

  // Takes the calculation values from a worksheet's records: CALCMODE (0 manual, 0xFFFF automatic
  // except tables, anything else automatic), CALCCOUNT, DELTA, ITERATION, REFMODE (0 = R1C1) and
  // SAVERECALC.
  void CopyFromSheet(const TRecordStorageSheet& sheet);
  // Stores them into a worksheet's records: CALCMODE 0, 1 or 0xFFFF, CALCCOUNT, REFMODE (1 = A1),
  // ITERATION, SAVERECALC and DELTA.
  void CopyToSheet(TRecordStorageSheet& sheet) const;

 private:
  TRecordStorageGlobals& globals_;
  // Until the first CopyFromSheet: the values of the default worksheet records.
  TCalcMode calcMode_ = cmAutomatic;
  int calcCount_ = 100;
  double delta_ = 0.001;
  bool iteration_ = false;
  bool r1c1Mode_ = false;
  bool recalcBeforeSave_ = false;
  bool saveRecalc_ = true;
  bool uncalced_ = false;
};

// ---------------------------------------------------------------------------------------------------------
// STYLE records kept from a file that was read, written back unchanged (built-in styles have 4-byte
// bodies, user-defined ones are longer).

class TStyles {
 public:
  void Add(const uint8_t* body, uint16_t length);
  int Count() const { return static_cast<int>(bodies_.size()); }
  // Raises EListError for an index outside the list.
  const std::vector<uint8_t>& Item(int index) const;
  void Clear() { bodies_.clear(); }
  // One STYLE (0x0293) record per kept body, in order.
  void Write(TXLSStream& stream) const;

 private:
  std::vector<std::vector<uint8_t>> bodies_;
};

// ---------------------------------------------------------------------------------------------------------
// The FILESHARING body of the file that was read (empty for a new workbook). The writer writes it after
// WRITEACCESS when it holds more than 1 byte.

class TFileSharing {
 public:
  const std::vector<uint8_t>& Data() const { return data_; }
  void Assign(const uint8_t* data, uint16_t length) { data_.assign(data, data + length); }
  void Clear() { data_.clear(); }
  // True when there are more than 1 byte and the first is 1.
  bool RecomendReadOnly() const;
  // True: 6 zero bytes when fewer than 2 were held, then the first byte 1. False (when more than 1
  // byte is held): the first byte 0, and the data emptied when every byte is then 0.
  void SetRecomendReadOnly(bool on);

 private:
  std::vector<uint8_t> data_;
};

// ---------------------------------------------------------------------------------------------------------
// Print settings of one worksheet.

// The paper-size codes of the SETUP record. The record's field is 16-bit; codes above 255 (printer
// driver forms) are read through PaperSizeCode.
enum TPaperSize : uint8_t {
  psNone = 0,
  psLetter,
  psLetterSmall,
  psTabloid,
  psLedger,
  psLegal,
  psStatement,
  psExecutive,
  psA3,
  psA4,
  psA4Small,
  psA5,
  psB4,
  psB5,
  psFolio,
  psQuarto,
  ps10x14,
  ps11x17,
  psNote,
  psEnv9,
  psEnv10,
  psEnv11,
  psEnv12,
  psEnv14,
  psCSheet,
  psDSheet,
  psESheet,
  psEnvDL,
  psEnvC5,
  psEnvC3,
  psEnvC4,
  psEnvC6,
  psEnvC65,
  psEnvB4,
  psEnvB5,
  psEnvB6,
  psEnvItaly,
  psEnvMonarch,
  psEnvPersonal,
  psFanfoldUS,
  psFanfoldStdGerman,
  psFanfoldLglGerman,
  psISOB4,
  psJapanesePostcard,
  ps9x11,
  ps10x11,
  ps15x11,
  psEnvInvite,
  psReserved48,
  psReserved49,
  psLetterExtra,
  psLegalExtra,
  psTabloidExtra,
  psA4Extra,
  psLetterTransverse,
  psA4Transverse,
  psLetterExtraTransverse,
  psAPlus,
  psBPlus,
  psLetterPlus,
  psA4Plus,
  psA5Transverse,
  psB5Transverse,
  psA3Extra,
  psA5Extra,
  psB5Extra,
  psA2,
  psA3Transverse,
  psA3ExtraTransverse,
  psDblJapanesePostcard,
  psA6,
  psJEnvKaku2,
  psJEnvKaku3,
  psJEnvChou3,
  psJEnvChou4,
  psLetterRotated,
  psA3Rotated,
  psA4Rotated,
  psA5Rotated,
  psB4JISRotated,
  psB5JISRotated,
  psJapanesePostcardRotated,
  psDblJapanesePostcardRotated,
  psA6Rotated,
  psJEnvKaku2Rotated,
  psJEnvKaku3Rotated,
  psJEnvChou3Rotated,
  psJEnvChou4Rotated,
  psB6JIS,
  psB6JISRotated,
  ps12x11,
};

enum TPrintSetupOption : uint8_t {
  psoLeftToRight,    // SETUP options 0x0001
  psoPortrait,       // 0x0002
  psoNoColor,        // 0x0008
  psoDraftQuality,   // 0x0010
  psoNotes,          // 0x0020
  psoRowColHeading,  // PRINTHEADERS
  psoGridlines,      // PRINTGRIDLINES
  psoHorizCenter,    // HCENTER
  psoVertCenter,     // VCENTER
};
using TPrintSetupOptions = TSmallSet<TPrintSetupOption>;

// A manual page break at a row (horizontal) or column (vertical), spanning start to end.
struct TPageBreak {
  uint16_t position = 0;
  uint16_t start = 0;
  uint16_t end = 0;
  friend bool operator==(const TPageBreak&, const TPageBreak&) = default;
};
using TPageBreaks = std::vector<TPageBreak>;

class TPrintSettings {
 public:
  // The settings of a new worksheet (Reset) are not applied here: the worksheet calls Reset and then
  // SetPaperSize with the workbook's default paper size.
  explicit TPrintSettings(TRecordStorageSheet& sheet) : sheet_(sheet) {}

  static constexpr double kCmPerInch = 2.54;

  // New print settings: StartingPage 1, Options {psoPortrait}, margins 0.75, 0.75, 1.0, 1.0 inches,
  // both page-break lists emptied. Paper size, header and footer texts are left alone.
  void Reset();

  // psNone for a code above 255.
  TPaperSize PaperSize() const;
  void SetPaperSize(TPaperSize size);
  uint16_t PaperSizeCode() const;
  uint16_t ScalingFactor() const;
  void SetScalingFactor(uint16_t value);
  // Setting 1 clears the use-first-page-number bit 0x0080 of the SETUP options; any other value sets it.
  uint16_t StartingPage() const;
  void SetStartingPage(uint16_t value);
  // A value outside 0..65535 is stored as 0.
  uint16_t FitWidth() const;
  void SetFitWidth(int64_t value);
  uint16_t FitHeight() const;
  void SetFitHeight(int64_t value);
  uint16_t Resolution() const;
  void SetResolution(uint16_t value);
  uint16_t Copies() const;
  void SetCopies(uint16_t value);

  // In the SETUP record, inches.
  double HeaderMargin() const;
  void SetHeaderMargin(double inches);
  double FooterMargin() const;
  void SetFooterMargin(double inches);
  double HeaderMarginCm() const { return HeaderMargin() * kCmPerInch; }
  void SetHeaderMarginCm(double cm) { SetHeaderMargin(cm / kCmPerInch); }
  double FooterMarginCm() const { return FooterMargin() * kCmPerInch; }
  void SetFooterMarginCm(double cm) { SetFooterMargin(cm / kCmPerInch); }

  // Held here, inches; written as LEFTMARGIN .. BOTTOMMARGIN when 0 or more.
  double MarginLeft() const { return marginLeft_; }
  void SetMarginLeft(double inches) { marginLeft_ = inches; }
  double MarginRight() const { return marginRight_; }
  void SetMarginRight(double inches) { marginRight_ = inches; }
  double MarginTop() const { return marginTop_; }
  void SetMarginTop(double inches) { marginTop_ = inches; }
  double MarginBottom() const { return marginBottom_; }
  void SetMarginBottom(double inches) { marginBottom_ = inches; }
  double MarginLeftCm() const { return marginLeft_ * kCmPerInch; }
  void SetMarginLeftCm(double cm) { marginLeft_ = cm / kCmPerInch; }
  double MarginRightCm() const { return marginRight_ * kCmPerInch; }
  void SetMarginRightCm(double cm) { marginRight_ = cm / kCmPerInch; }
  double MarginTopCm() const { return marginTop_ * kCmPerInch; }
  void SetMarginTopCm(double cm) { marginTop_ = cm / kCmPerInch; }
  double MarginBottomCm() const { return marginBottom_ * kCmPerInch; }
  void SetMarginBottomCm(double cm) { marginBottom_ = cm / kCmPerInch; }

  // SETUP options bits of the first five members, PRINTHEADERS, PRINTGRIDLINES, HCENTER and VCENTER.
  // Setting writes the four records as 0 or 1 and makes the SETUP options word the bits of its members;
  // the other bits become 0, except the use-first-page-number bit, which belongs to StartingPage.
  TPrintSetupOptions Options() const;
  void SetOptions(TPrintSetupOptions options);

  TPageBreaks& HorizPagebreaks() { return horizPagebreaks_; }
  const TPageBreaks& HorizPagebreaks() const { return horizPagebreaks_; }
  TPageBreaks& VertPagebreaks() { return vertPagebreaks_; }
  const TPageBreaks& VertPagebreaks() const { return vertPagebreaks_; }

  const std::u16string& Header() const { return header_; }
  void SetHeader(std::u16string text) { header_ = std::move(text); }
  const std::u16string& Footer() const { return footer_; }
  void SetFooter(std::u16string text) { footer_ = std::move(text); }

 private:
  TRecordStorageSheet& sheet_;
  double marginLeft_ = 0.75;
  double marginRight_ = 0.75;
  double marginTop_ = 1.0;
  double marginBottom_ = 1.0;
  TPageBreaks horizPagebreaks_;
  TPageBreaks vertPagebreaks_;
  std::u16string header_;
  std::u16string footer_;
};

}  // namespace plicato
