#include "workbook/XLSWorkbook.h"

#include <langinfo.h>
#include <locale.h>

#include "biff/Errors.h"
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "biff/XLSStream.h"
#include "workbook/CellFormats.h"
#include "workbook/ColorTable.h"
#include "workbook/NumberFormats.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/XLSFonts.h"

namespace plicato {

TPaperSize LocalePaperSize() {
#ifdef _NL_PAPER_HEIGHT
  // The locale's paper in millimetres (LC_PAPER), read without touching the process's own locale.
  locale_t paper = newlocale(LC_PAPER_MASK, "", static_cast<locale_t>(0));
  if (paper == static_cast<locale_t>(0)) return psA4;
  union {
    const char* text;
    intptr_t value;
  } height{nl_langinfo_l(_NL_PAPER_HEIGHT, paper)}, width{nl_langinfo_l(_NL_PAPER_WIDTH, paper)};
  intptr_t h = height.value, w = width.value;
  freelocale(paper);
  if (w == 216 && h == 279) return psLetter;
  if (w == 216 && h == 356) return psLegal;
  if (w == 297 && h == 420) return psA3;
  return psA4;
#else
  return psA4;
#endif
}

TXLSWorkbook::TXLSWorkbook() : defaultPaperSize_(LocalePaperSize()) {
  CreateParts();
}

TXLSWorkbook::~TXLSWorkbook() {
  // Worksheets first: their cells refer to the string table and the formats.
  sheets_.reset();
}

void TXLSWorkbook::CreateParts() {
  globals_ = std::make_unique<TRecordStorageGlobals>();
  PreserveMacros = true;
  IsMac = false;
  workbookData_ = std::make_unique<TWorkbookData>(*globals_);
  optionsDialog_ = std::make_unique<TOptionsDialog>(*globals_);
  fonts_ = std::make_unique<TXFonts>();
  cellFormats_ = std::make_unique<TCellFormats>(fonts_.get());
  colors_ = std::make_unique<TColorTable>();
  sst_ = std::make_unique<TSST>(fonts_.get());
  StrTRUE = u"TRUE";
  StrFALSE = u"FALSE";
  styles_ = std::make_unique<TStyles>();
  fileSharing_ = std::make_unique<TFileSharing>();
  extraObjects_ = std::make_unique<TExtraObjects>();
  sheets_ = std::make_unique<TSheets>(*this);
  sheets_->Add(0);
  optionsDialog_->CopyFromSheet(sheets_->Item(0).Records());
  SetVersion(xvExcel97);
}

void TXLSWorkbook::SetVersion(TExcelVersion version) {
  version_ = version;
  sst_->MaxRecordData = MaxRecordDataFor(version);
}

TNumberFormats& TXLSWorkbook::NumberFormats() {
  return cellFormats_->NumberFormats();
}

TXFont* TXLSWorkbook::Font() {
  return fonts_->Count() > 0 ? fonts_->Item(0) : nullptr;
}

void TXLSWorkbook::SetFont(const TXFont& font) {
  if (fonts_->Count() > 0) fonts_->Item(0)->AssignProperties(font);
}

std::u16string TXLSWorkbook::UserName() const {
  return globals_->UserName();
}
void TXLSWorkbook::SetUserName(std::u16string_view name) {
  globals_->SetUserName(name);
}
bool TXLSWorkbook::BookProtected() const {
  return globals_->Protect() != 0;
}
void TXLSWorkbook::SetBookProtected(bool value) {
  globals_->SetProtect(value ? 1 : 0);
}
bool TXLSWorkbook::Backup() const {
  return globals_->Backup();
}
void TXLSWorkbook::SetBackup(bool value) {
  globals_->SetBackup(value);
}
bool TXLSWorkbook::RefreshAll() const {
  return globals_->RefreshAll();
}
void TXLSWorkbook::SetRefreshAll(bool value) {
  globals_->SetRefreshAll(value);
}
bool TXLSWorkbook::RecomendReadOnly() const {
  return fileSharing_->RecomendReadOnly();
}
void TXLSWorkbook::SetRecomendReadOnly(bool value) {
  fileSharing_->SetRecomendReadOnly(value);
}

// Empties every part. The default fonts and cell formats are made only when asked for: a read replaces
// them at once.
void TXLSWorkbook::ClearParts(bool defaultFormats) {
  // Cells refer to string entries and formats: the worksheets go first.
  sheets_->Clear();
  sst_->Clear();
  globals_->ResetDefaults();
  cellFormats_->Clear();
  fonts_->Clear();
  if (defaultFormats) {
    fonts_->AddDefaultFonts();
    cellFormats_->ResetDefaults();
  }
  colors_->ResetDefaults();
  styles_->Clear();
  fileSharing_->Clear();
  extraObjects_->Clear();
  chartSheets_.clear();
  CodePage = 1252;
}

void TXLSWorkbook::ClearWorkbook() {
  ClearParts(true);
  notRead_ = true;
  sheets_->Add(0);
  optionsDialog_->CopyFromSheet(sheets_->Item(0).Records());
}

namespace {
// The records of a new worksheet, whose calculation options a workbook without worksheets shows. Made
// once: they never change.
const TRecordStorageSheet& DefaultSheetRecords() {
  static const TRecordStorageSheet records;
  return records;
}
}  // namespace

void TXLSWorkbook::ResetForRead() {
  // ClearWorkbook, without the default fonts, formats and worksheet that the read replaces at once: a
  // merge of many small files reads one workbook per file.
  ClearParts(false);
  optionsDialog_->CopyFromSheet(DefaultSheetRecords());
  Aborted = false;
  notRead_ = false;
  cellFormats_->NumberFormats().ResetNumberFormats();
  cellFormats_->SuspendUseCounting();
  fonts_->SuspendUseCounting();
}

void TXLSWorkbook::FinishRead() {
  sst_->ClearFileIndex();
  fonts_->MarkInitialFonts();
  cellFormats_->MarkInitialFormats();
  if (sheets_->Count() == 0) {
    // Nothing was built: the workbook holds one default worksheet (and its default formats).
    ClearWorkbook();
    notRead_ = false;
    return;
  }
  if (cellFormats_->Count() == 0) {
    // A file without XF records: the default formats give every cell a format to refer to.
    cellFormats_->AddDefaultFormats();
    cellFormats_->MarkInitialFormats();
  }
  optionsDialog_->CopyFromSheet(sheets_->Item(0).Records());
  for (int i = 0; i < sheets_->Count(); ++i) sheets_->Item(i).Rows().SortRows();
}

}  // namespace plicato
