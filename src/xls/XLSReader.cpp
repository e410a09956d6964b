// The reader's frame: opening the file, the record loop and its dispatch, and the stored record lists.
// The substreams (BOF, EOF, sheets, chart sheets) and the records' handlers live beside it, by concern:
// XLSReaderSubstreams.cpp, XLSReaderGlobals.cpp, XLSReaderSheetRecords.cpp, XLSReaderCells.cpp,
// XLSReaderFormulas.cpp.
#include "xls/XLSReader.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

#include "biff/BIFFString.h"
#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/CompoundFile.h"
#include "biff/Errors.h"
#include "workbook/CellFormats.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace rec = BIFFRecs;

namespace {

// Every record body fits: the length field has 16 bits.
constexpr size_t kRecordBufferSize = 0x10000;
constexpr char kNotAWorkbook[] = "The file is not an Excel workbook";

bool Contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

std::string AsciiLowerBytes(const uint8_t* data, size_t size) {
  std::string s(reinterpret_cast<const char*>(data), size);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// True when the bytes look like text: no control characters other than tab, CR, LF and form feed.
bool LooksLikeText(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const uint8_t c = data[i];
    if (c < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f') return false;
  }
  return true;
}

// What a plain file that is not a BIFF2-4 worksheet is, told from its first bytes.
std::string PlainFileDetail(const uint8_t* data, size_t size, uint64_t fileSize) {
  if (fileSize == 0) return "The file is empty";
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  if (raw.substr(0, 4) == std::string_view("PK\x03\x04", 4)) {
    if (Contains(raw, "xl/")) return "The file is an Excel 2007+ (.xlsx) workbook, not an .xls file";
    if (Contains(raw, "word/")) return "The file is a Word 2007+ (.docx) document, not an .xls file";
    return "The file is a zip archive, not an .xls file";
  }
  if (raw.substr(0, 5) == "%PDF-") return "The file is a PDF document, not an .xls file";
  std::string lower = AsciiLowerBytes(data, size);
  size_t start = 0;
  if (lower.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  while (start < lower.size() &&
         (lower[start] == ' ' || lower[start] == '\t' || lower[start] == '\r' || lower[start] == '\n'))
    ++start;
  const std::string_view text = std::string_view(lower).substr(start);
  if (Contains(text, "urn:schemas-microsoft-com:office:spreadsheet"))
    return "The file is an XML Spreadsheet 2003 document, not an .xls file";
  if (text.substr(0, 5) == "<html" || text.substr(0, 14) == "<!doctype html" || Contains(text, "<html") ||
      text.substr(0, 6) == "<table")
    return "The file is an HTML document (a web page), not an .xls file";
  if (text.substr(0, 5) == "<?xml") return "The file is an XML document, not an .xls file";
  if (size >= kRecordHeaderSize && DecodeFixed16(data) == rec::BOF)
    return "The file holds BIFF records without the compound document that should contain them";
  if (LooksLikeText(data, size)) return "The file is a text file (such as CSV), not an .xls file";
  return "The file does not begin with an Excel record";
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Creation and opening

TXLSReader::TXLSReader(TXLSWorkbook& workbook)
    : workbook_(workbook), buffer_(kRecordBufferSize), aux_(kRecordBufferSize) {
  body_ = buffer_.data();
  auxBody_ = aux_.data();
  stream_.SetPreserveMacros(workbook.PreserveMacros);
}

TXLSReader::~TXLSReader() = default;

TExcelVersion TXLSReader::Open(const std::vector<uint8_t>* source) {
  stream_.SetExtraObjects(&workbook_.ExtraObjects());
  stream_.SetSourceMemory(source);
  stream_.SetPreserveMacros(workbook_.PreserveMacros);
  try {
    return stream_.OpenRead(PathFromFileName(workbook_.Filename));
  } catch (const EXLSError& e) {
    // A compound document without a workbook stream: say what it is, where that can be told.
    if (e.Kind() == ekNotAWorkbook) {
      const std::string detail = CompoundDocumentDetail(source);
      if (!detail.empty()) throw EXLSError(std::string(kNotAWorkbook) + ". " + detail, ekNotAWorkbook);
    }
    throw;
  }
}

std::string TXLSReader::CompoundDocumentDetail(const std::vector<uint8_t>* source) const {
  try {
    cfb::TCompoundDocument document =
        source ? cfb::TCompoundDocument::OpenMemory(*source, cfb::TCompoundDocument::TLoading::OnDemand)
               : cfb::TCompoundDocument::OpenFile(PathFromFileName(workbook_.Filename),
                                                  cfb::TCompoundDocument::TLoading::OnDemand);
    std::string names;
    bool encryptedPackage = false, word = false, powerPoint = false;
    for (const auto& element : document.Root().Elements()) {
      const std::u16string& name = element->Name();
      encryptedPackage = encryptedPackage || name == u"EncryptedPackage";
      word = word || name == u"WordDocument";
      powerPoint = powerPoint || name == u"PowerPoint Document";
      if (!names.empty()) names += ", ";
      names += ToUtf8(name);
    }
    if (encryptedPackage)
      return "The file is an encrypted Excel 2007+ (.xlsx) workbook or another encrypted Office document, "
             "not an .xls file";
    if (word) return "The file is a Word document, not an .xls file";
    if (powerPoint) return "The file is a PowerPoint presentation, not an .xls file";
    if (names.empty()) return "The compound document is empty";
    return "The compound document holds no Workbook or Book stream (it holds: " + names + ")";
  } catch (const std::exception&) {
    return {};
  }
}

TExcelVersion TXLSReader::VersionOfFirstBOF(TExcelVersion byStreamName) {
  // Some writers put a BIFF8 stream under the name "Book" (or the reverse): the BOF's version field
  // tells what the records really are.
  uint8_t head[kRecordHeaderSize + 2];
  const uint32_t n = stream_.ReadPlain(head, sizeof head);
  stream_.Seek(0, TSeekOrigin::soBeginning);
  if (n < sizeof head || DecodeFixed16(head) != rec::BOF || DecodeFixed16(head + 2) < 2) return byStreamName;
  const uint16_t biff = DecodeFixed16(head + kRecordHeaderSize);
  if (biff == 0x0600) return xvExcel97;
  if (biff == 0x0500) return xvExcel50;
  return VersionOfRecords(byStreamName);
}

TExcelVersion TXLSReader::VersionOfRecords(TExcelVersion otherwise) {
  // Some exporters head BIFF3-4 records with the later BOF record and a version field of 0: the cell
  // formats tell, their records having a layout and an identifier of their own in each version. Only
  // the first substream is looked at: the formats come there.
  constexpr int kRecordsLookedAt = 4096;
  TExcelVersion found = otherwise;
  uint8_t head[kRecordHeaderSize];
  for (int i = 0; i < kRecordsLookedAt && stream_.ReadPlain(head, sizeof head) == sizeof head; ++i) {
    const uint16_t id = DecodeFixed16(head);
    if (id == rec::XF_4 || id == rec::XF_3 || id == rec::XF) {
      found = id == rec::XF_4 ? xvExcel40 : id == rec::XF_3 ? xvExcel30 : otherwise;
      break;
    }
    const uint16_t length = DecodeFixed16(head + 2);
    if ((i > 0 && rec::IsBOF(id)) || length > stream_.StreamSize() - stream_.Position()) break;
    stream_.Seek(length, TSeekOrigin::soCurrent);
  }
  stream_.Seek(0, TSeekOrigin::soBeginning);
  return found;
}

void TXLSReader::FailNotAWorkbook() {
  uint8_t head[1024];
  stream_.Seek(0, TSeekOrigin::soBeginning);
  const uint32_t n = stream_.ReadPlain(head, sizeof head);
  throw EXLSError(std::string(kNotAWorkbook) + ". " + PlainFileDetail(head, n, stream_.StreamSize()),
                  ekNotAWorkbook);
}

// ---------------------------------------------------------------------------------------------------
// The record loop

void TXLSReader::ReadWorkbook(const std::vector<uint8_t>* source) {
  // The stream is released whatever happens; reading writes nothing.
  struct TStreamGuard {
    TXLSStream& stream;
    ~TStreamGuard() { stream.Abandon(); }
  } guard{stream_};

  boundSheets_.clear();
  boundIndex_ = -1;
  sheetIndex_ = -1;
  substream_ = TSubstream::ssNone;
  sheet_ = nullptr;
  storage_ = &workbook_.Globals();
  globalsPlaceholders_ = 0;
  window1Stored_ = false;
  signatureFile_ = false;
  stop_ = false;
  recordCount_ = 0;
  progressHigh_ = 0;
  progressAt_ = 0;
  inCustomView_ = false;
  sharedBytes_ = 0;
  oldFormats_.clear();
  oldCellFormats_.clear();
  ResetSheetState();
  workbook_.CodePage = kUndeclaredCodePage;

  version_ = Open(source);
  if (version_ == xvExcel50 || version_ == xvExcel97) version_ = VersionOfFirstBOF(version_);
  workbook_.SetVersion(version_);
  if (version_ == xvNone) FailNotAWorkbook();
  // BIFF2 cells carry no XF index the model can use: they take format 15, which must exist.
  if (version_ <= xvExcel21)
    for (int i = 0; i < 16; ++i) workbook_.CellFormats().AddFormat();

  if (workbook_.OnProgress) workbook_.OnProgress(0);
  ReadRecords();
  if (workbook_.CodePage == kUndeclaredCodePage) workbook_.CodePage = kDefaultCodePage;
  if (workbook_.Aborted) return;
  FixOldWriteAccess();
  stream_.Close();
  if (workbook_.OnProgress) workbook_.OnProgress(100);
}

// The strings from which a file's string table is looked ahead into (see LookAhead): a smaller table's
// file index (16 bytes a string) stays in the cache anyway.
constexpr size_t kLookAheadStrings = 16384;

void TXLSReader::ReadRecords() {
  ahead_ = 0;
  for (;;) {
    // Only a stream in clear can be looked into, and only a string table too large to stay in the cache
    // gives anything worth fetching.
    const bool lookAhead = !stream_.Decrypting() && workbook_.SST().FileIndexCount() > kLookAheadStrings;
    recordOffset_ = stream_.Position();
    if (stream_.ReadHeader(header_) < kRecordHeaderSize) break;
    if (workbook_.Aborted) return;  // the workbook keeps what was read
    const uint16_t id = header_.id;
    if (inCustomView_) {
      // A custom view repeats sheet settings for that view only: its records are neither dispatched nor
      // kept. A substream boundary ends an unclosed block.
      if (!rec::IsBOF(id) && id != rec::EOF_) {
        stream_.Seek(header_.length, TSeekOrigin::soCurrent);
        if (id == rec::USERSVIEWEND) inCustomView_ = false;
        continue;
      }
      inCustomView_ = false;
    }
    // A stream in clear shows a cell's row before the body is taken: the cells of rows not kept, most of
    // a large sheet's records, are passed over with no other work.
    if (rowLimit_ != UINT32_MAX && !stream_.Decrypting() && nested_ == 0) {
      const std::span<const uint8_t> bytes = stream_.Bytes();
      const uint64_t at = stream_.Position();
      if (bytes.size() - at >= header_.length && BelowRowsKept(id, bytes.data() + at)) {
        stream_.Seek(header_.length, TSeekOrigin::soCurrent);
        ++recordCount_;
        continue;
      }
    }
    try {
      if (id & 0x8000) throw EXLSError("Bad record in file");
      // The shared string table reads its record (and the CONTINUE records after it) itself.
      if (id != rec::SST || substream_ != TSubstream::ssGlobals || nested_ > 0) ReadBody();
      if (substream_ == TSubstream::ssSheet && lookAhead) LookAhead();
      ReportProgress();
      if (Dispatch()) KeepRaw();
    } catch (const std::exception& e) {
      throw EXLSError(
          FormatMessage("Error on reading record # %d, %.4X Offs: %.8X", static_cast<int>(recordCount_),
                        static_cast<unsigned>(id), static_cast<unsigned>(recordOffset_)) +
              "\r" + e.what(),
          KindOf(e));
    }
    ++recordCount_;
    if (stop_) return;
  }
  // The stream ended inside a substream: close it, so that its record list is complete.
  if (substream_ != TSubstream::ssNone) FinishSubstream(false);
}

void TXLSReader::ReadBody() {
  const uint16_t id = header_.id;
  const uint32_t length = header_.length;
  // Records whose identifier merely shares the BOF's low byte (chart records) are encrypted like any.
  uint32_t n = 0;
  body_ = stream_.ViewBody(length, n);
  if (!body_) {
    n = (rec::HasBOFLowByte(id) && !rec::IsBOF(id)) ? stream_.ReadBody(buffer_.data(), length)
                                                    : stream_.ReadRecordBody(id, buffer_.data(), length);
    body_ = buffer_.data();
  }
  if (n < length)
    throw EXLSError(
        FormatMessage("The record runs past the end of the file (%u of %u bytes present)", n, length));
}

void TXLSReader::ReadNextRecord() {
  if (stream_.ReadHeader(auxHeader_) < kRecordHeaderSize) throw EXLSError("Unexpected end of file");
  const uint16_t id = auxHeader_.id;
  const uint32_t length = auxHeader_.length;
  uint32_t n = 0;
  auxBody_ = stream_.ViewBody(length, n);
  if (!auxBody_) {
    n = (rec::HasBOFLowByte(id) && !rec::IsBOF(id)) ? stream_.ReadBody(aux_.data(), length)
                                                    : stream_.ReadRecordBody(id, aux_.data(), length);
    auxBody_ = aux_.data();
  }
  if (n < length)
    throw EXLSError(FormatMessage("The record %.4X runs past the end of the file (%u of %u bytes present)",
                                  static_cast<unsigned>(id), n, length));
}

void TXLSReader::Short(uint32_t needed) const {
  throw EXLSError(FormatMessage("Record data too short: %u bytes needed, the record has %u", needed,
                                static_cast<unsigned>(header_.length)));
}

void TXLSReader::KeepRaw() {
  storage_->AddRecord(header_.id, header_.length, body_);
}

// Cells name the strings of the table in no particular order (our own files write the table in hash
// order), so the file index entry of a LABELSST record of a large table is seldom in the cache, and waiting
// for it costs more than the rest of the cell. A cursor kept a few records ahead of the one being read has
// the table fetch the entries of the LABELSST records it passes; it moves one record per record read, and
// starts again from the current record when the reader has passed it (after a seek or a read-ahead).
void TXLSReader::LookAhead() {
  constexpr int kLookAheadRecords = 16;
  const std::span<const uint8_t> bytes = stream_.Bytes();
  const uint64_t pos = stream_.Position();
  int steps = 1;
  if (ahead_ < pos) {
    ahead_ = pos;
    steps = kLookAheadRecords;
  }
  const TSST& sst = workbook_.SST();
  for (; steps > 0 && ahead_ + kRecordHeaderSize <= bytes.size(); --steps) {
    const uint8_t* at = bytes.data() + ahead_;
    const uint16_t length = DecodeFixed16(at + 2);
    if (DecodeFixed16(at) == rec::LABELSST && length >= 10 && ahead_ + kRecordHeaderSize + 10 <= bytes.size())
      sst.PrefetchFileIndex(DecodeFixed32(at + kRecordHeaderSize + 6));
    ahead_ += kRecordHeaderSize + length;
  }
}

void TXLSReader::ReportProgress() {
  if (!workbook_.OnProgress || stream_.Position() < progressAt_) return;
  const uint64_t size = stream_.StreamSize();
  if (size == 0) return;
  const int percent = static_cast<int>((stream_.Position() * 100 + size / 2) / size);
  if (percent > progressHigh_) {
    progressHigh_ = percent;
    workbook_.OnProgress(percent);
  }
  // Called for every record: the percentage is worked out again only once the position can pass it,
  // from ceil(((high + 1) * size - size / 2) / 100) on.
  const uint64_t next = static_cast<uint64_t>(progressHigh_ + 1) * size - size / 2;
  progressAt_ = progressHigh_ >= 100 ? UINT64_MAX : (next + 99) / 100;
}

std::u16string TXLSReader::CodePageText(const uint8_t* chars, size_t count) const {
  return DecodeCodePage(chars, count, workbook_.CodePage);
}

std::u16string TXLSReader::Text8(const uint8_t* chars, size_t count) const {
  return version_ >= xvExcel97 ? DecodeLatin1(chars, count) : CodePageText(chars, count);
}

// Long on purpose: one line per record the reader knows, so the switch is the list of those records.
bool TXLSReader::BelowRowsKept(uint16_t id, const uint8_t* body) {
  switch (id) {
    case rec::BLANK:
    case rec::MULBLANK:
    case rec::NUMBER:
    case rec::RK:
    case rec::RK_OLD:
    case rec::MULRK:
    case rec::LABELSST:
    case rec::LABEL:
    case rec::RSTRING:
    case rec::BOOLERR:
    case rec::FORMULA:
    case rec::FORMULA_3:
    case rec::FORMULA_4:
    case rec::INTEGER_2:
    case rec::NUMBER_2:
    case rec::LABEL_2:
    case rec::BLANK_2:
    case rec::BOOLERR_2:
      break;
    default:
      return false;
  }
  // Every cell record, of every version, begins with its row. A record too short for it is left to its
  // handler, which reports it. The STRING, SHRFMLA or ARRAY record after a formula passed over is then
  // met on its own, which leaves the reader as the whole read leaves it.
  if (!InSheet() || header_.length < 2 || DecodeFixed16(body) < rowLimit_) return false;
  rowsLeftOut_ = true;
  return true;
}

bool TXLSReader::Dispatch() {
  const uint16_t id = header_.id;
  if (substream_ == TSubstream::ssChart) return OnChartSheetRecord();
  if (nested_ > 0) return OnNestedRecord(id);
  TByteReader r(body_, header_.length);
  if (rec::IsBOF(id)) return OnBOF(r);
  if (id == rec::EOF_) return OnEOF(r);
  // Outside any substream, or in one that is read past.
  if (substream_ == TSubstream::ssNone || substream_ == TSubstream::ssSkip) return false;

  if (rowLimit_ != UINT32_MAX && stream_.Decrypting() && BelowRowsKept(id, body_)) return false;

  // One line per record: the table reads like the list of records the reader knows.
  // clang-format off
  switch (id) {
    // --- cells ---
    case rec::BLANK: return OnBlank(r);
    case rec::MULBLANK: return OnMulBlank(r);
    case rec::NUMBER: return OnNumber(r);
    case rec::RK: return OnRK(r);
    case rec::RK_OLD: return OnRK(r);
    case rec::MULRK: return OnMulRK(r);
    case rec::LABELSST: return OnLabelSST(r);
    case rec::LABEL: return OnLabel(r);
    case rec::RSTRING: return OnLabel(r);  // the formatting runs after the text are dropped
    case rec::BOOLERR: return OnBoolErr(r);
    case rec::FORMULA: return version_ <= xvExcel21 ? OnFormula2(r) : OnFormula(r);
    case rec::FORMULA_3: return sheetLowestVersion_ == 6 ? OnFormula(r) : OnFormula3(r);
    case rec::FORMULA_4: return sheetLowestVersion_ == 6 ? OnFormula(r) : OnFormula3(r);
    case rec::INTEGER_2: return OnInteger2(r);
    case rec::NUMBER_2: return OnNumber2(r);
    case rec::LABEL_2: return OnLabel2(r);
    case rec::BLANK_2: return OnBlank2(r);
    case rec::BOOLERR_2: return OnBoolErr2(r);
    // Records that belong to a formula cell and are read with it. Met on their own they have lost
    // their cell: a shared formula or array range is still remembered for the cells that follow.
    case rec::STRING: return false;
    case rec::STRING_2: return false;
    case rec::SHRFMLA: return OnSharedFormula(r);
    case rec::SHRFMLA_OLD: return OnSharedFormula(r);
    case rec::ARRAY: return OnArray(r);

    // --- stored records ---
    case rec::DIMENSIONS: return OnDimensions(r);
    case rec::DIMENSIONS_2: return OnDimensions(r);
    case rec::CODEPAGE: return OnCodePage(r);
    case rec::CALCCOUNT: return StoreFromBiff5();
    case rec::CALCMODE: return StoreFromBiff5();
    case rec::PRECISION: return StoreFromBiff5();
    case rec::REFMODE: return StoreFromBiff5();
    case rec::DELTA: return StoreFromBiff5();
    case rec::ITERATION: return StoreFromBiff5();
    case rec::DATEMODE: return StoreFromBiff5();
    case rec::PRINTHEADERS: return StoreFromBiff5();
    case rec::PRINTGRIDLINES: return StoreFromBiff5();
    case rec::BACKUP: return StoreFromBiff5();
    case rec::DEFCOLWIDTH: return StoreFromBiff5();
    case rec::SAVERECALC: return StoreFromBiff5();
    case rec::HIDEOBJ: return StoreFromBiff5();
    case rec::WINDOWPROTECT: return StoreFromBiff5();
    case rec::SETUP: return StoreFromBiff5();
    case rec::DEFAULTROWHEIGHT: return StoreFromBiff5();
    case rec::GUTS: return StoreFromBiff5();
    case rec::GRIDSET: return StoreFromBiff5();
    case rec::HCENTER: return StoreFromBiff5();
    case rec::VCENTER: return StoreFromBiff5();
    case rec::PROTECT: return StoreAlways();
    case rec::FNGROUPCOUNT: return StoreAlways();
    case rec::DSF: return StoreAlways();
    case rec::PROT4REV: return StoreAlways();
    case rec::REFRESHALL: return StoreAlways();
    case rec::RECALCID: return StoreAlways();
    case rec::PASSWORD: return StoreAlways();  // the sheet lists have no PASSWORD: there it is kept raw
    case rec::TABID: return StoreAlways();     // the writer fills an empty TABID, so the file's one stays
    case rec::WSBOOL: return OnWsBool();
    case rec::COUNTRY: return OnCountry();
    case rec::WINDOW1: return OnWindow1();
    case rec::WINDOW2: return OnWindow2(r);
    case rec::WRITEACCESS: return OnWriteAccess(r);
    case rec::BOOKBOOL: return OnBookBool();
    case rec::BOUNDSHEET: return OnBoundSheet(r);
    case rec::SST: return OnSST();
    case rec::EXTSST: return false;  // the writer builds it with the SST

    // --- fonts, formats, colours ---
    case rec::FONT: return OnFont(r);
    case rec::FONT_3: return OnFont(r);
    case rec::FORMAT: return OnFormat(r);
    case rec::FORMAT_2: return version_ >= xvExcel50 || OnFormat(r);
    case rec::XF: return OnXF(r);
    case rec::XF_3: return OnXF(r);
    case rec::XF_4: return OnXF(r);
    case rec::STYLE: return OnStyle(r);
    case rec::PALETTE: return OnPalette(r);

    // --- sheet settings ---
    case rec::HEADER: return OnHeaderFooter(r);
    case rec::FOOTER: return OnHeaderFooter(r);
    case rec::LEFTMARGIN: return OnMargin(r);
    case rec::RIGHTMARGIN: return OnMargin(r);
    case rec::TOPMARGIN: return OnMargin(r);
    case rec::BOTTOMMARGIN: return OnMargin(r);
    case rec::VERTICALPAGEBREAKS: return OnPageBreaks(r);
    case rec::HORIZONTALPAGEBREAKS: return OnPageBreaks(r);
    case rec::COLINFO: return OnColInfo(r);
    case rec::ROW: return OnRow(r);
    case rec::SELECTION: return OnSelection(r);
    case rec::SHEETEXT: return OnSheetExt(r);
    case rec::FEATHDR: return OnFeatHdr(r);

    // --- dropped ---
    case rec::INDEX: return false;
    case rec::DBCELL: return false;
    case rec::MSODRAWINGSELECTION: return false;
    case rec::USERBVIEW: return false;
    case rec::USERSVIEWEND: return false;
    case rec::USERSVIEWBEGIN: return OnUsersViewBegin();
    case rec::EXTERNSHEET: return !signatureFile_;
    case rec::NOTE: return version_ >= xvExcel50;
    case rec::FILTERMODE: return version_ >= xvExcel97;
    case rec::AUTOFILTERINFO: return version_ >= xvExcel97;

    // --- workbook ---
    case rec::FILEPASS: return OnFilePass(r);
    case rec::FILESHARING: return OnFileSharing(r);
    case rec::XCT: return OnXct(r);

    // Names, drawings, panes, merged cells, notes, validations, hyperlinks, conditional formats and
    // every record the model does not know: kept raw, in file order.
    default: return true;
  }
  // clang-format on
}

bool TXLSReader::OnNestedRecord(uint16_t id) {
  // Inside a substream embedded in the current one (a chart in a worksheet's drawing): kept raw in
  // order when the outer substream is kept, else read past.
  if (rec::IsBOF(id)) ++nested_;
  if (id == rec::EOF_) --nested_;
  if (!nestedRaw_) return false;
  nestedIds_.set(id);
  anyNestedIds_ = true;
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Stored records

bool TXLSReader::StoreAlways() {
  Store(header_.id, body_, header_.length);
  return false;
}

bool TXLSReader::StoreFromBiff5() {
  if (version_ >= xvExcel50) Store(header_.id, body_, header_.length);
  return false;
}

const TStoredRecord* TXLSReader::DefaultRecord(uint16_t id) const {
  if (storage_ == &workbook_.Globals()) return globalsDefaults_.Current(id);
  return sheetDefaults_.Current(id);
}

void TXLSReader::Store(uint16_t id, const uint8_t* body, uint32_t length) {
  TRecordStorageDefault& storage = *storage_;
  if (!storage.HasTypedField(id)) {
    // Not a record of this list (a sheet setting in the globals, or the reverse): kept as it is.
    storage.AddRecord(id, static_cast<uint16_t>(length), body);
    return;
  }
  // A record shorter than the layout the model reads and writes gets the default's remaining bytes, so
  // that every field the model touches exists.
  std::vector<uint8_t> padded;
  if (const TStoredRecord* def = DefaultRecord(id); def && length < def->Length()) {
    padded.assign(body, body + length);
    padded.insert(padded.end(), def->Data() + length, def->Data() + def->Length());
    body = padded.data();
    length = static_cast<uint32_t>(padded.size());
  }
  if (storage.Defaults().IndexOf(id) >= 0) {
    // The first of its kind: it takes the default's place in the list (and the defaults before it,
    // which the file lacks, come along). A raw record of the same identifier from an embedded
    // substream would be taken for it, so then this one stays raw as well.
    if (anyNestedIds_ && nestedIds_.test(id))
      storage.AddRecord(id, static_cast<uint16_t>(length), body);
    else
      storage.SetRecord(id, static_cast<uint16_t>(length), body);
    return;
  }
  // Already in the list (from the file, or a default taken over by a later record): replaced in place.
  // A different length is accepted: repeated records are legal, and refusing the file for one would
  // lose everything.
  TStoredRecord* current = storage.Current(id);
  if (!current) {
    storage.AddRecord(id, static_cast<uint16_t>(length), body);
  } else if (current->Length() == length) {
    if (length > 0) std::memcpy(current->Data(), body, length);
  } else {
    current->Assign(static_cast<uint16_t>(length), body);
  }
}

void TXLSReader::StoreBOF(uint16_t type, const uint8_t* body, uint32_t length) {
  if (version_ >= xvExcel97) {
    Store(rec::BOF, body, length);
    return;
  }
  // The lists are written as BIFF8: an older file's BOF gives way to a BIFF8 BOF of the same type.
  const TStoredRecord* def = DefaultRecord(rec::BOF);
  std::vector<uint8_t> biff8(def->Data(), def->Data() + def->Length());
  EncodeFixed16(biff8.data() + 2, type);
  Store(rec::BOF, biff8.data(), static_cast<uint32_t>(biff8.size()));
}

void TXLSReader::Placeholder(uint16_t id) {
  uint32_t& set = storage_ == &workbook_.Globals() ? globalsPlaceholders_ : sheetPlaceholders_;
  const uint32_t bit = PlaceholderBit(id);
  if (set & bit) return;
  storage_->SetPlaceholder(id);
  set |= bit;
}

void TXLSReader::FormatsPlaceholder() {
  if (InGlobals()) Placeholder(rec::PH_FORMATS);
}
}  // namespace plicato
