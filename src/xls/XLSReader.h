// TXLSReader: turns one .xls file into the in-memory workbook. It opens the file through TXLSStream,
// walks the record stream once from start to end and hands each record to the part of the model that
// owns it: cells to the worksheets, the shared string table, fonts, number formats, cell formats and the
// colour table to the workbook, ROW and COLINFO to the sheet's rows and columns, workbook and sheet
// settings to the stored record lists. Records the model does not interpret are appended raw to the
// current record list, in file order, so that they survive a read and write.
//
// A reader lives for one read. It reads BIFF8 and BIFF5 workbooks and BIFF2-4 worksheet files; the
// 8-bit text of files before BIFF8 is decoded with the code page the file declares.
//
// Damage is a failure, never a read past a buffer: every field is checked against the record that holds
// it, and every failure raised while one record is handled reaches the caller as
//   "Error on reading record # <n>, <id> Offs: <offset>" CR <the failure's own message>.
// What was read before a failure stays in the workbook.
#pragma once

#include <bitset>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "biff/RecordStorage.h"
#include "biff/XLSStream.h"
#include "workbook/Cell.h"

namespace plicato {

class TXLSWorkbook;
class TSheet;
class TCellFormat;

// Rewrites the relative references of a shared formula's tokens (tRefN, tAreaN) into the references
// they stand for in the cell at (row, column), as a cell formula needs them. biff8 selects the token
// layouts of BIFF8, else those of BIFF5. Tokens it does not know end the walk: the tokens before them are
// converted, the rest are left as they are.
void ConvertSharedFormulaTokens(uint8_t* tokens, size_t size, uint32_t row, uint32_t column, bool biff8);

// "A1"-style name of a cell (column letters, then the row counted from 1).
std::string CellA1Name(uint32_t column, uint32_t row);

class TXLSReader {
 public:
  explicit TXLSReader(TXLSWorkbook& workbook);
  ~TXLSReader();
  TXLSReader(const TXLSReader&) = delete;
  TXLSReader& operator=(const TXLSReader&) = delete;

  // Reads the file named by the workbook's Filename, or the in-memory file image when source is given
  // (it must outlive the call), into the workbook, which the caller has emptied. Sets the workbook's
  // version.
  void ReadWorkbook(const std::vector<uint8_t>* source = nullptr);

  // Only the cells of the rows above rows are kept; the cell records of the other rows are passed over
  // undecoded. The whole stream is still walked, so a top row whose records come after lower ones is read
  // whole. For a look at the top of a file's sheets, much cheaper than the whole read.
  void KeepRowsAbove(uint32_t rows) { rowLimit_ = rows; }
  // Whether a cell record was passed over for KeepRowsAbove.
  bool RowsLeftOut() const { return rowsLeftOut_; }

 private:
  // What the records of the current substream go to.
  enum class TSubstream : uint8_t {
    ssNone,     // between substreams: records are dropped
    ssGlobals,  // workbook globals
    ssSheet,    // a worksheet, module or macro sheet
    ssChart,    // a chart sheet: kept whole, as raw records
    ssSkip,     // an unknown substream (or a chart sheet before BIFF8): read past, nothing kept
  };

  // One BOUNDSHEET entry: the sheet name as the file holds it, decoded when its sheet's BOF arrives
  // (the code page is known by then).
  struct TBoundSheet {
    std::vector<uint8_t> name;  // the characters as stored
    bool wide = false;          // BIFF8, flag 1: UTF-16LE characters
    bool biff8 = false;         // BIFF8 compressed characters are Latin-1; BIFF5 ones use the code page
    uint8_t visibility = 0;
  };

  // The head of every cell record, checked against the record's length: row, column and XF (BIFF2
  // records carry attribute bytes instead, and their cells take the default format).
  struct TCellHead {
    uint32_t row = 0;
    uint32_t column = 0;
    int xf = 0;
  };

  // How a BIFF5-8 FORMULA record's cell is formed: by its own tokens, by the tokens of a shared
  // formula, as the first cell of an array formula (which carries the ARRAY record), or as another
  // cell of that array. (Data-table cells, tTbl, are read as plain formulas.)
  enum class TFormulaForm { ffPlain, ffShared, ffArrayAnchor, ffArrayMember };

  // Where the fields of a BIFF2-4 FORMULA record are: the same fields as in BIFF5-8, at other offsets.
  struct TOldFormulaLayout {
    bool withXF;
    uint32_t result;
    bool byteTokenCount;
    uint32_t tokens;
  };

  struct TSharedFormula {
    uint16_t firstRow, lastRow;
    uint8_t firstColumn, lastColumn;
    uint16_t tokenCount;
    std::vector<uint8_t> tokens;
  };

  // --- opening ---
  TExcelVersion Open(const std::vector<uint8_t>* source);
  TExcelVersion VersionOfFirstBOF(TExcelVersion byStreamName);
  // The version the cell format records after a BOF of no known version show; otherwise when there are
  // none.
  TExcelVersion VersionOfRecords(TExcelVersion otherwise);
  [[noreturn]] void FailNotAWorkbook();
  std::string CompoundDocumentDetail(const std::vector<uint8_t>* source) const;

  // --- the record loop ---
  void ReadRecords();
  // Hands the current record to its handler. Every handler decodes the body through the reader it is
  // given and returns whether the record is also kept raw in the current record list.
  bool Dispatch();
  bool OnNestedRecord(uint16_t id);
  // A cell record (its body at body) of a row below the rows kept (KeepRowsAbove).
  bool BelowRowsKept(uint16_t id, const uint8_t* body);
  void ReadBody();
  [[noreturn]] void Short(uint32_t needed) const;
  void KeepRaw();
  // Reads the record after the current one into aux_ (header into auxHeader_).
  void ReadNextRecord();
  void ReportProgress();
  void LookAhead();

  // --- substreams ---
  bool OnBOF(TByteReader& r);
  void BeginSheet(uint16_t type, const uint8_t* body, uint32_t length);
  void BeginChartSheet();
  // Appends the current record to the chart sheet being read; its EOF ends the substream.
  bool OnChartSheetRecord();
  std::u16string BoundSheetName(const TBoundSheet& entry) const;
  bool OnEOF(TByteReader& r);
  void FinishSubstream(bool withRecord);
  void FinishSheet(const uint8_t* body, uint16_t length);
  void ResetSheetState();

  // --- stored records ---
  void Store(uint16_t id, const uint8_t* body, uint32_t length);
  void StoreBOF(uint16_t type, const uint8_t* body, uint32_t length);
  void Placeholder(uint16_t id);
  // A placeholder's bit in globalsPlaceholders_ and sheetPlaceholders_.
  static constexpr uint32_t PlaceholderBit(uint16_t id) { return 1u << (id & 0x1F); }
  const TStoredRecord* DefaultRecord(uint16_t id) const;
  bool InSheet() const { return substream_ == TSubstream::ssSheet && sheet_ != nullptr; }
  bool InGlobals() const { return substream_ == TSubstream::ssGlobals; }

  // --- records ---
  bool StoreAlways();
  bool StoreFromBiff5();
  bool OnDimensions(TByteReader& r);
  bool OnCodePage(TByteReader& r);
  bool OnWsBool();
  bool OnCountry();
  bool OnWindow1();
  bool OnWindow2(TByteReader& r);
  bool OnBookBool();
  bool OnUsersViewBegin();
  bool OnFileSharing(TByteReader& r);
  bool OnBoundSheet(TByteReader& r);
  bool OnWriteAccess(TByteReader& r);
  void FixOldWriteAccess();
  bool OnFilePass(TByteReader& r);
  bool OnXct(TByteReader& r);
  bool OnHeaderFooter(TByteReader& r);
  bool OnMargin(TByteReader& r);
  bool OnPageBreaks(TByteReader& r);
  bool OnFont(TByteReader& r);
  bool OnFormat(TByteReader& r);
  bool OnXF(TByteReader& r);
  bool OnStyle(TByteReader& r);
  bool OnPalette(TByteReader& r);
  bool OnColInfo(TByteReader& r);
  bool OnRow(TByteReader& r);
  bool OnSelection(TByteReader& r);
  bool OnSheetExt(TByteReader& r);
  bool OnFeatHdr(TByteReader& r);
  bool OnSST();
  void FormatsPlaceholder();
  // BIFF2-4: a cell format's number format by its place among the FORMAT records; the cell format of
  // a BIFF2 cell by its attribute byte that holds that place.
  void SetOldNumberFormat(TCellFormat& format, size_t place);
  int OldCellFormat(uint8_t attribute);

  // --- cells ---
  // The sheet that cell records go to, with the placeholder of the cells set; null outside a worksheet.
  TSheet* CellSheet();
  void EnsureFormats();
  TSheet* Vacate(TSheet& sheet, uint32_t column, uint32_t row);
  uint32_t FormatHandle(int xf);
  uint32_t LookUpFormatHandle(int xf);
  template <class Make>
  void PutCell(TSheet& sheet, uint32_t column, uint32_t row, int xf, Make make);
  // Raises the short-record failure unless the record holds size bytes, then reads the head.
  TCellHead ReadCellHead(TByteReader& r, uint32_t size, bool withXF = true);
  void PutBoolErr(TSheet& sheet, const TCellHead& h, TByteReader& r);
  // The sheet the cell goes to (see CellSheet); null when the column is beyond 255.
  TSheet* CellTarget(const TCellHead& head);
  bool OnBlank(TByteReader& r);
  bool OnMulBlank(TByteReader& r);
  bool OnNumber(TByteReader& r);
  bool OnRK(TByteReader& r);
  bool OnMulRK(TByteReader& r);
  bool OnBoolErr(TByteReader& r);
  bool OnLabelSST(TByteReader& r);
  bool OnLabel(TByteReader& r);
  bool OnInteger2(TByteReader& r);
  bool OnNumber2(TByteReader& r);
  bool OnBlank2(TByteReader& r);
  bool OnBoolErr2(TByteReader& r);
  bool OnLabel2(TByteReader& r);
  bool OnSharedFormula(TByteReader& r);
  bool OnArray(TByteReader& r);
  bool OnFormula(TByteReader& r);
  bool OnFormula3(TByteReader& r);
  bool OnFormula2(TByteReader& r);
  bool OnOldFormula(TByteReader& r, const TOldFormulaLayout& layout);
  // Decides the form from the tokens (read ahead: SHRFMLA and ARRAY records that follow the cell).
  TFormulaForm FormulaForm(const TCellHead& h, TByteReader tokens, uint16_t options,
                           const TSharedFormula*& shared);
  void TakeSharedTokens(const TSharedFormula& shared, const TCellHead& h, TFormulaData& data);
  void PutArrayFormulaCell(const TCellHead& h, bool member, std::unique_ptr<TFormulaData> data);
  // The text of a STRING record following a string-result formula; false when none follows.
  bool ReadFormulaString(std::u16string& text);
  // The cached result of a formula whose result bytes mark a non-numeric result; false: no cell.
  bool NonNumericResult(uint8_t type, uint8_t value, TCellKind& kind, TFormulaData& data);
  void PutFormulaCell(const TCellHead& h, TCellKind kind, std::unique_ptr<TFormulaData> data);
  const TSharedFormula* FindSharedFormula(uint32_t row, uint32_t column) const;
  void AddSharedFormula(const uint8_t* body, uint32_t length);
  void SetLastArray(const uint8_t* body, uint32_t length);

  // 8-bit text of this file: BIFF8 compressed text is Latin-1, older files use their code page.
  std::u16string Text8(const uint8_t* chars, size_t count) const;
  std::u16string CodePageText(const uint8_t* chars, size_t count) const;

  TXLSWorkbook& workbook_;
  TXLSStream stream_;
  TExcelVersion version_ = xvNone;

  // The current record's body and a record read ahead by a handler: in place in the stream's buffer
  // where the stream hands them out so, else copied into buffer_ / aux_.
  const uint8_t* body_ = nullptr;
  const uint8_t* auxBody_ = nullptr;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> aux_;
  TRecordHeader header_;
  TRecordHeader auxHeader_;
  uint64_t recordOffset_ = 0;  // stream offset of the current record's header
  uint32_t recordCount_ = 0;   // records dispatched before the current one
  uint64_t ahead_ = 0;         // stream offset of the next record LookAhead looks at
  bool stop_ = false;
  uint32_t rowLimit_ = UINT32_MAX;
  bool rowsLeftOut_ = false;
  int progressHigh_ = -1;
  uint64_t progressAt_ = 0;  // the stream position from which the percentage read passes progressHigh_

  TSubstream substream_ = TSubstream::ssNone;
  int nested_ = 0;          // depth of substreams embedded in the current one (charts in a sheet)
  int chartDepth_ = 0;      // depth of substreams embedded in the chart sheet being read
  bool nestedRaw_ = false;  // the embedded substream is kept raw (else skipped)
  bool inCustomView_ = false;
  TRecordStorageDefault* storage_ = nullptr;
  TSheet* sheet_ = nullptr;

  std::vector<TBoundSheet> boundSheets_;
  int boundIndex_ = -1;
  int sheetIndex_ = -1;
  uint32_t sheetLowestVersion_ = 0;
  bool signatureFile_ = false;

  // Per storage: the placeholders set (bit = code & 0x1F), and the first SELECTION / WINDOW1 taken.
  uint32_t globalsPlaceholders_ = 0;
  uint32_t sheetPlaceholders_ = 0;
  bool window1Stored_ = false;
  bool selectionStored_ = false;
  bool protectionRead_ = false;
  // Identifiers appended raw inside an embedded substream of the current sheet: the record lists
  // find records by identifier, so a sheet record with one of them must not be taken for the raw one.
  std::bitset<65536> nestedIds_;
  bool anyNestedIds_ = false;

  // Vacate's record of the sheet cells go to: with keysAscending_, the sheet holds no cell at or above
  // nextFreeKey_.
  TSheet* keySheet_ = nullptr;
  bool keysAscending_ = false;
  uint32_t nextFreeKey_ = 0;
  // FormatHandle's cache: XF index -> format handle + 1 (0: not looked up), for a list of
  // xfHandlesFor_ formats.
  std::vector<uint32_t> xfHandles_;
  int32_t xfHandlesFor_ = -1;

  // BIFF2-4 number formats have no ids: the XF records and BIFF2 cells name them by their place among the
  // FORMAT records, whose texts are kept here in file order.
  std::vector<std::u16string> oldFormats_;
  std::vector<int> oldCellFormats_;  // BIFF2: place -> index + 1 of the cell format made for it (0: none)

  std::vector<TSharedFormula> shared_;
  uint64_t sharedBytes_ = 0;                             // tokens copied into shared formula cells so far
  std::unordered_map<uint32_t, size_t> sharedByAnchor_;  // cell key of the range's first cell -> entry
  bool hasArray_ = false;
  std::vector<uint8_t> lastArray_;
  uint16_t arrayFirstRow_ = 0, arrayLastRow_ = 0;
  uint8_t arrayFirstColumn_ = 0, arrayLastColumn_ = 0;

  // Default records, for padding short records read from files to the layout the model writes.
  TRecordStorageGlobals globalsDefaults_;
  TRecordStorageSheet sheetDefaults_;
};

}  // namespace plicato
