#include "biff/Settings.h"

#include "biff/BIFFRecs.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"

namespace plicato {

namespace {

// WINDOW1 body offsets.
constexpr size_t kW1Left = 0;
constexpr size_t kW1Top = 2;
constexpr size_t kW1Width = 4;
constexpr size_t kW1Height = 6;
constexpr size_t kW1Options = 8;
constexpr size_t kW1SelectedTab = 10;

struct TOptionBit {
  TWorkbookOption option;
  uint16_t bit;
};
constexpr TOptionBit kWorkbookOptionBits[] = {
    {woHidden, 0x0001}, {woIconized, 0x0002}, {woHScroll, 0x0008}, {woVScroll, 0x0010}, {woTabs, 0x0020},
};

// SETUP body offsets.
constexpr size_t kSetupPaperSize = 0;
constexpr size_t kSetupScale = 2;
constexpr size_t kSetupStartPage = 4;
constexpr size_t kSetupFitWidth = 6;
constexpr size_t kSetupFitHeight = 8;
constexpr size_t kSetupOptions = 10;
constexpr size_t kSetupResolution = 12;
constexpr size_t kSetupHeaderMargin = 16;
constexpr size_t kSetupFooterMargin = 24;
constexpr size_t kSetupCopies = 32;

constexpr uint16_t kSetupUseStartPage = 0x0080;

struct TSetupBit {
  TPrintSetupOption option;
  uint16_t bit;
};
constexpr TSetupBit kSetupOptionBits[] = {
    {psoLeftToRight, 0x0001},  {psoPortrait, 0x0002}, {psoNoColor, 0x0008},
    {psoDraftQuality, 0x0010}, {psoNotes, 0x0020},
};

struct TSetupRecord {
  TPrintSetupOption option;
  uint16_t id;
};
constexpr TSetupRecord kSetupOptionRecords[] = {
    {psoRowColHeading, BIFFRecs::PRINTHEADERS},
    {psoGridlines, BIFFRecs::PRINTGRIDLINES},
    {psoHorizCenter, BIFFRecs::HCENTER},
    {psoVertCenter, BIFFRecs::VCENTER},
};

constexpr uint16_t kCalcManual = 0;
constexpr uint16_t kCalcAutomatic = 1;
constexpr uint16_t kCalcAutoExTables = 0xFFFF;

uint16_t ClampToWord(int64_t value) {
  return value < 0 || value > 0xFFFF ? 0 : static_cast<uint16_t>(value);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// TWorkbookData

uint16_t TWorkbookData::Left() const {
  return globals_.FieldU16(BIFFRecs::WINDOW1, kW1Left);
}
void TWorkbookData::SetLeft(uint16_t value) {
  globals_.SetFieldU16(BIFFRecs::WINDOW1, kW1Left, value);
}
uint16_t TWorkbookData::Top() const {
  return globals_.FieldU16(BIFFRecs::WINDOW1, kW1Top);
}
void TWorkbookData::SetTop(uint16_t value) {
  globals_.SetFieldU16(BIFFRecs::WINDOW1, kW1Top, value);
}
uint16_t TWorkbookData::Width() const {
  return globals_.FieldU16(BIFFRecs::WINDOW1, kW1Width);
}
void TWorkbookData::SetWidth(uint16_t value) {
  globals_.SetFieldU16(BIFFRecs::WINDOW1, kW1Width, value);
}
uint16_t TWorkbookData::Height() const {
  return globals_.FieldU16(BIFFRecs::WINDOW1, kW1Height);
}
void TWorkbookData::SetHeight(uint16_t value) {
  globals_.SetFieldU16(BIFFRecs::WINDOW1, kW1Height, value);
}
uint16_t TWorkbookData::SelectedTab() const {
  return globals_.FieldU16(BIFFRecs::WINDOW1, kW1SelectedTab);
}
void TWorkbookData::SetSelectedTab(uint16_t value) {
  globals_.SetFieldU16(BIFFRecs::WINDOW1, kW1SelectedTab, value);
}

TWorkbookOptions TWorkbookData::Options() const {
  uint16_t word = globals_.FieldU16(BIFFRecs::WINDOW1, kW1Options);
  TWorkbookOptions options;
  for (const TOptionBit& b : kWorkbookOptionBits) {
    if (word & b.bit) options.Include(b.option);
  }
  return options;
}

void TWorkbookData::SetOptions(TWorkbookOptions options) {
  uint16_t word = 0;
  for (const TOptionBit& b : kWorkbookOptionBits) {
    if (options.Contains(b.option)) word |= b.bit;
  }
  globals_.SetFieldU16(BIFFRecs::WINDOW1, kW1Options, word);
}

bool TWorkbookData::Date1904() const {
  return globals_.DateMode();
}
void TWorkbookData::SetDate1904(bool on) {
  globals_.SetDateMode(on);
}

// ---------------------------------------------------------------------------------------------------------
// TOptionsDialog

void TOptionsDialog::SetCalcCount(int count) {
  if (count == 0) {
    calcCount_ = 1;
  } else if (count < 0 || count > 32767) {
    calcCount_ = 32767;
  } else {
    calcCount_ = count;
  }
}

bool TOptionsDialog::PrecisionAsDisplayed() const {
  return !globals_.Precision();
}
void TOptionsDialog::SetPrecisionAsDisplayed(bool on) {
  globals_.SetPrecision(!on);
}
bool TOptionsDialog::SaveExtLinkVal() const {
  return !globals_.BookBool();
}
void TOptionsDialog::SetSaveExtLinkVal(bool on) {
  globals_.SetBookBool(!on);
}

TShowObjects TOptionsDialog::ShowObjects() const {
  switch (globals_.HideObj()) {
    case 1:
      return soPlaceholders;
    case 2:
      return soHideAll;
    default:
      return soShowAll;
  }
}

void TOptionsDialog::SetShowObjects(TShowObjects value) {
  globals_.SetHideObj(static_cast<uint16_t>(value));
}

void TOptionsDialog::CopyFromSheet(const TRecordStorageSheet& sheet) {
  switch (sheet.CalcMode()) {
    case kCalcManual:
      calcMode_ = cmManual;
      break;
    case kCalcAutoExTables:
      calcMode_ = cmAutoExTables;
      break;
    default:
      calcMode_ = cmAutomatic;
      break;
  }
  // CALCCOUNT is a signed 16-bit count in the format; SetCalcCount mends 0 and negative counts.
  SetCalcCount(static_cast<int16_t>(sheet.CalcCount()));
  delta_ = sheet.Delta();
  iteration_ = sheet.Iteration();
  r1c1Mode_ = sheet.RefMode() == 0;
  saveRecalc_ = sheet.SaveRecalc();
}

void TOptionsDialog::CopyToSheet(TRecordStorageSheet& sheet) const {
  uint16_t mode = kCalcAutomatic;
  if (calcMode_ == cmManual) mode = kCalcManual;
  if (calcMode_ == cmAutoExTables) mode = kCalcAutoExTables;
  sheet.SetCalcMode(mode);
  sheet.SetCalcCount(static_cast<uint16_t>(calcCount_));
  sheet.SetRefMode(r1c1Mode_ ? 0 : 1);
  sheet.SetIteration(iteration_);
  sheet.SetSaveRecalc(saveRecalc_);
  // Delta is a calculation setting like the others; without this a changed Delta would never be saved.
  sheet.SetDelta(delta_);
}

// ---------------------------------------------------------------------------------------------------------
// TStyles

void TStyles::Add(const uint8_t* body, uint16_t length) {
  bodies_.emplace_back(body, body + length);
}

const std::vector<uint8_t>& TStyles::Item(int index) const {
  if (index < 0 || index >= Count()) throw EListError(index);
  return bodies_[static_cast<size_t>(index)];
}

void TStyles::Write(TXLSStream& stream) const {
  for (const std::vector<uint8_t>& body : bodies_) {
    stream.WriteRecord(BIFFRecs::STYLE, body.data(), static_cast<uint16_t>(body.size()));
  }
}

// ---------------------------------------------------------------------------------------------------------
// TFileSharing

bool TFileSharing::RecomendReadOnly() const {
  return data_.size() > 1 && data_[0] == 1;
}

void TFileSharing::SetRecomendReadOnly(bool on) {
  if (on) {
    if (data_.size() < 2) data_.assign(6, 0);
    data_[0] = 1;
  } else if (data_.size() > 1) {
    data_[0] = 0;
    bool allZero = true;
    for (uint8_t b : data_) allZero = allZero && b == 0;
    if (allZero) data_.clear();
  }
}

// ---------------------------------------------------------------------------------------------------------
// TPrintSettings

void TPrintSettings::Reset() {
  SetStartingPage(1);
  SetOptions({psoPortrait});
  marginLeft_ = 0.75;
  marginRight_ = 0.75;
  marginTop_ = 1.0;
  marginBottom_ = 1.0;
  horizPagebreaks_.clear();
  vertPagebreaks_.clear();
}

TPaperSize TPrintSettings::PaperSize() const {
  uint16_t code = PaperSizeCode();
  return code > 0xFF ? psNone : static_cast<TPaperSize>(code);
}
uint16_t TPrintSettings::PaperSizeCode() const {
  return sheet_.FieldU16(BIFFRecs::SETUP, kSetupPaperSize);
}
void TPrintSettings::SetPaperSize(TPaperSize size) {
  sheet_.SetFieldU16(BIFFRecs::SETUP, kSetupPaperSize, size);
}
uint16_t TPrintSettings::ScalingFactor() const {
  return sheet_.FieldU16(BIFFRecs::SETUP, kSetupScale);
}
void TPrintSettings::SetScalingFactor(uint16_t value) {
  sheet_.SetFieldU16(BIFFRecs::SETUP, kSetupScale, value);
}
uint16_t TPrintSettings::StartingPage() const {
  return sheet_.FieldU16(BIFFRecs::SETUP, kSetupStartPage);
}

void TPrintSettings::SetStartingPage(uint16_t value) {
  uint16_t options = sheet_.FieldU16(BIFFRecs::SETUP, kSetupOptions);
  options = value == 1 ? options & ~kSetupUseStartPage : options | kSetupUseStartPage;
  // The options word lies beyond the page number: a record too short for it fails before any change.
  sheet_.SetFieldU16(BIFFRecs::SETUP, kSetupOptions, options);
  sheet_.SetFieldU16(BIFFRecs::SETUP, kSetupStartPage, value);
}

uint16_t TPrintSettings::FitWidth() const {
  return sheet_.FieldU16(BIFFRecs::SETUP, kSetupFitWidth);
}
void TPrintSettings::SetFitWidth(int64_t value) {
  sheet_.SetFieldU16(BIFFRecs::SETUP, kSetupFitWidth, ClampToWord(value));
}
uint16_t TPrintSettings::FitHeight() const {
  return sheet_.FieldU16(BIFFRecs::SETUP, kSetupFitHeight);
}
void TPrintSettings::SetFitHeight(int64_t value) {
  sheet_.SetFieldU16(BIFFRecs::SETUP, kSetupFitHeight, ClampToWord(value));
}
uint16_t TPrintSettings::Resolution() const {
  return sheet_.FieldU16(BIFFRecs::SETUP, kSetupResolution);
}
void TPrintSettings::SetResolution(uint16_t value) {
  sheet_.SetFieldU16(BIFFRecs::SETUP, kSetupResolution, value);
}
uint16_t TPrintSettings::Copies() const {
  return sheet_.FieldU16(BIFFRecs::SETUP, kSetupCopies);
}
void TPrintSettings::SetCopies(uint16_t value) {
  sheet_.SetFieldU16(BIFFRecs::SETUP, kSetupCopies, value);
}

double TPrintSettings::HeaderMargin() const {
  return sheet_.FieldDouble(BIFFRecs::SETUP, kSetupHeaderMargin);
}
void TPrintSettings::SetHeaderMargin(double inches) {
  sheet_.SetFieldDouble(BIFFRecs::SETUP, kSetupHeaderMargin, inches);
}
double TPrintSettings::FooterMargin() const {
  return sheet_.FieldDouble(BIFFRecs::SETUP, kSetupFooterMargin);
}
void TPrintSettings::SetFooterMargin(double inches) {
  sheet_.SetFieldDouble(BIFFRecs::SETUP, kSetupFooterMargin, inches);
}

TPrintSetupOptions TPrintSettings::Options() const {
  uint16_t word = sheet_.FieldU16(BIFFRecs::SETUP, kSetupOptions);
  TPrintSetupOptions options;
  for (const TSetupBit& b : kSetupOptionBits) {
    if (word & b.bit) options.Include(b.option);
  }
  for (const TSetupRecord& r : kSetupOptionRecords) {
    if (sheet_.Flag(r.id)) options.Include(r.option);
  }
  return options;
}

void TPrintSettings::SetOptions(TPrintSetupOptions options) {
  // The use-first-page-number bit stays as StartingPage set it: dropping it here would silently turn
  // a sheet's own first page number back into automatic numbering.
  uint16_t word = sheet_.FieldU16(BIFFRecs::SETUP, kSetupOptions) & kSetupUseStartPage;
  for (const TSetupBit& b : kSetupOptionBits) {
    if (options.Contains(b.option)) word |= b.bit;
  }
  sheet_.SetFieldU16(BIFFRecs::SETUP, kSetupOptions, word);
  for (const TSetupRecord& r : kSetupOptionRecords) sheet_.SetFlag(r.id, options.Contains(r.option));
}

}  // namespace plicato
