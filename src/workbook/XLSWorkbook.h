// TXLSWorkbook: the in-memory workbook through which the rest of the system reads an .xls file,
// inspects and changes its cells, and writes a file (the xls layer's ReadWorkbook and WriteWorkbook fill
// and write it). It owns its worksheets, shared string table, cell formats, fonts, number formats,
// colour table, stored workbook records and settings.
//
// A workbook and everything it owns is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "biff/BIFFRecs.h"
#include "workbook/SheetData.h"

namespace plicato {

class TSST;
class TXFonts;
class TXFont;
class TCellFormats;
class TNumberFormats;
class TColorTable;
class TRecordStorageGlobals;
class TWorkbookData;
class TOptionsDialog;
class TStyles;
class TFileSharing;
class TExtraObjects;
enum TPaperSize : uint8_t;

// A chart sheet of a workbook read from a file. The model does not interpret charts: it keeps the
// sheet's substream, from its BOF to its EOF, so that the writer puts it back where it stood and every
// sheet index the file's records hold (TABID, EXTERNSHEET, formulas) still names the same sheet.
struct TChartSheet {
  std::u16string name;
  uint8_t visibility = 0;        // 0 visible, 1 hidden, 2 very hidden
  int position = 0;              // place among all sheets (BOUNDSHEET order), worksheets included
  std::vector<uint8_t> records;  // the substream's records, headers and bodies, as read (decrypted)
};

class TXLSWorkbook {
 public:
  TXLSWorkbook();
  ~TXLSWorkbook();
  TXLSWorkbook(const TXLSWorkbook&) = delete;
  TXLSWorkbook& operator=(const TXLSWorkbook&) = delete;

  // --- properties ---
  TExcelVersion Version() const { return version_; }
  // Also fixes the largest record body (8,224 bytes for BIFF8, 2,080 before) for the string table.
  void SetVersion(TExcelVersion version);
  uint32_t MaxRecordData() const { return MaxRecordDataFor(version_); }

  TSheets& Sheets() { return *sheets_; }
  TWorkbookData& Workbook() { return *workbookData_; }
  TOptionsDialog& OptionsDialog() { return *optionsDialog_; }
  TXFont* Font();  // font 0; null (with no message box here) when there are no fonts
  void SetFont(const TXFont& font);

  std::u16string UserName() const;
  void SetUserName(std::u16string_view name);
  bool BookProtected() const;
  void SetBookProtected(bool value);
  bool Backup() const;
  void SetBackup(bool value);
  bool RefreshAll() const;
  void SetRefreshAll(bool value);
  bool RecomendReadOnly() const;
  void SetRecomendReadOnly(bool value);

  std::u16string StrTRUE = u"TRUE";
  std::u16string StrFALSE = u"FALSE";
  bool ShowFormulas = false;
  std::u16string Filename;
  bool IsMac = false;
  bool PreserveMacros = true;
  std::u16string Password;  // for reading an encrypted file, and for writing one when set
  std::function<void(int percent)> OnProgress;
  // Asked for a password when a file is encrypted; may change it. Returning false aborts the read.
  std::function<bool(std::u16string& password)> OnPassword;
  bool Aborted = false;  // set to stop a read between records

  // Resets to an empty workbook with one default worksheet.
  void ClearWorkbook();

  // --- the model's side of a read, which ReadWorkbook runs around the reader ---
  // Clears the workbook for a reader to fill: no worksheets, fonts or formats, and no use counting of
  // fonts and formats until FinishRead. Filename, Password and the notifications stay.
  void ResetForRead();
  // Settles what a read left, after it ends either way: the initial fonts and formats are marked, a
  // file without formats gets the default ones, and a workbook left without worksheets gets one.
  void FinishRead();

  // --- owned parts ---
  TSST& SST() { return *sst_; }
  TXFonts& Fonts() { return *fonts_; }
  TCellFormats& CellFormats() { return *cellFormats_; }
  TNumberFormats& NumberFormats();
  TColorTable& Colors() { return *colors_; }
  TRecordStorageGlobals& Globals() { return *globals_; }
  TStyles& Styles() { return *styles_; }
  TFileSharing& FileSharing() { return *fileSharing_; }
  TExtraObjects& ExtraObjects() { return *extraObjects_; }
  // In ascending position.
  std::vector<TChartSheet>& ChartSheets() { return chartSheets_; }

  TPaperSize DefaultPaperSize() const { return defaultPaperSize_; }
  // True for a workbook that was not read from a file (it writes the default STYLE records).
  bool NotRead() const { return notRead_; }
  // The code page of the file read (CODEPAGE record), for old files' 8-bit text.
  uint16_t CodePage = 1252;
  // The folder of the file read, for external references.
  std::u16string FileFolder;

 private:
  void CreateParts();
  void ClearParts(bool defaultFormats);

  TExcelVersion version_ = xvExcel97;
  TPaperSize defaultPaperSize_;
  bool notRead_ = true;

  std::unique_ptr<TRecordStorageGlobals> globals_;
  std::unique_ptr<TWorkbookData> workbookData_;
  std::unique_ptr<TOptionsDialog> optionsDialog_;
  std::unique_ptr<TXFonts> fonts_;
  std::unique_ptr<TCellFormats> cellFormats_;
  std::unique_ptr<TColorTable> colors_;
  std::unique_ptr<TSST> sst_;
  std::unique_ptr<TStyles> styles_;
  std::unique_ptr<TFileSharing> fileSharing_;
  std::unique_ptr<TExtraObjects> extraObjects_;
  std::unique_ptr<TSheets> sheets_;
  std::vector<TChartSheet> chartSheets_;
};

// The locale's default paper size: LC_PAPER where the C library has it (letter, legal, A3, A4), else A4.
TPaperSize LocalePaperSize();

}  // namespace plicato
