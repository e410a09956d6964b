#include "xls/XLSReader.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

#include "biff/BIFFString.h"
#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/CompoundFile.h"
#include "biff/Errors.h"
#include "biff/RK.h"
#include "biff/Settings.h"
#include "workbook/CellFormats.h"
#include "workbook/ColorTable.h"
#include "workbook/Columns.h"
#include "workbook/NumberFormats.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSFonts.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace rec = BIFFRecs;

namespace {

// Every record body fits: the length field has 16 bits.
constexpr size_t kRecordBufferSize = 0x10000;
constexpr uint32_t kMaxGlobalsBOFSize = 256;
// What Excel allows on a protected sheet unless told otherwise: selecting locked and unlocked cells.
constexpr uint16_t kDefaultProtectionAllowances = 0x4400;
// Excel encrypts read-only-recommended workbooks with this password and opens them without asking.
constexpr char16_t kDefaultPassword[] = u"VelvetSweatshop";
constexpr char kNotAWorkbook[] = "The file is not an Excel workbook";

// BIFF2-4 FORMULA: where the token count is.
constexpr size_t kOldFormulaTokenCount = 16;
// Bound on the tokens copied into the cells of shared formulas: a multiple of the workbook stream.
constexpr uint64_t kSharedExpansionFactor = 16;
constexpr uint64_t kSharedExpansionAllowance = 64u << 20;

// Use count of a number format an XF names without a FORMAT record: far enough below 0 that the uses
// counted for it never make it a format to write.
constexpr int32_t kUndefinedFormatUses = -(1 << 30);

constexpr uint32_t PlaceholderBit(uint16_t id) {
  return 1u << (id & 0x1F);
}

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
// Shared formulas

namespace {

// Bytes that follow the token byte, or 0 with ok = false for a token the walk does not know.
size_t TokenOperandSize(const uint8_t* t, size_t p, size_t size, bool biff8, bool& ok) {
  ok = true;
  const uint8_t ptg = t[p];
  if (ptg < 0x20) {
    switch (ptg) {
      case 0x01:  // tExp
      case 0x02:  // tTbl
        return 4;
      case 0x1C:  // tErr
      case 0x1D:  // tBool
        return 1;
      case 0x1E:  // tInt
        return 2;
      case 0x1F:  // tNum
        return 8;
      case 0x17:  // tStr: count, (BIFF8: option byte), characters
        if (p + 1 >= size) break;
        if (!biff8) return 1 + size_t{t[p + 1]};
        if (p + 2 >= size) break;
        return 2 + size_t{t[p + 1]} * ((t[p + 2] & 0x01) ? 2 : 1);
      case 0x19:  // tAttr: options, 16-bit value; tAttrChoose adds a jump table of value + 1 entries
        if (p + 3 >= size) break;
        return 3 + ((t[p + 1] & 0x04) ? 2 * (size_t{DecodeFixed16(t + p + 2)} + 1) : 0);
      default:
        if (ptg >= 0x03 && ptg <= 0x16) return 0;  // operators, parentheses, missing argument
        break;
    }
    ok = false;
    return 0;
  }
  switch ((ptg & 0x1F) | 0x20) {
    case 0x20:  // tArray (its constants follow the whole expression)
      return 7;
    case 0x21:  // tFunc
      return 2;
    case 0x22:  // tFuncVar
      return 3;
    case 0x23:  // tName
      return biff8 ? 4 : 14;
    case 0x24:  // tRef
    case 0x2A:  // tRefErr
    case 0x2C:  // tRefN
      return biff8 ? 4 : 3;
    case 0x25:  // tArea
    case 0x2B:  // tAreaErr
    case 0x2D:  // tAreaN
      return biff8 ? 8 : 6;
    case 0x26:  // tMemArea
    case 0x27:  // tMemErr
    case 0x28:  // tMemNoMem
      return 6;
    case 0x29:  // tMemFunc
    case 0x2E:  // tMemAreaN
    case 0x2F:  // tMemNoMemN
      return 2;
    case 0x39:  // tNameX
      return biff8 ? 6 : 24;
    case 0x3A:  // tRef3d
    case 0x3C:  // tRefErr3d
      return biff8 ? 6 : 17;
    case 0x3B:  // tArea3d
    case 0x3D:  // tAreaErr3d
      return biff8 ? 10 : 20;
    default:
      ok = false;
      return 0;
  }
}

// BIFF8: 16-bit row; 16-bit column word with bit 15 = row relative, bit 14 = column relative. A relative
// part is an offset from the cell, taken modulo the sheet size.
void FixRowBiff8(uint8_t* rowField, uint16_t columnWord, uint32_t row) {
  if (columnWord & 0x8000) EncodeFixed16(rowField, static_cast<uint16_t>(DecodeFixed16(rowField) + row));
}
void FixColumnBiff8(uint8_t* columnField, uint32_t column) {
  const uint16_t word = DecodeFixed16(columnField);
  if (word & 0x4000)
    EncodeFixed16(columnField, static_cast<uint16_t>((word & 0xC000) | ((word + column) & 0xFF)));
}
// BIFF5: 16-bit row word with the two flags in bits 15 and 14 and a 14-bit row; 8-bit column.
void FixRowBiff5(uint8_t* rowField, uint8_t* columnField, uint32_t row, uint32_t column) {
  const uint16_t word = DecodeFixed16(rowField);
  if (word & 0x8000)
    EncodeFixed16(rowField, static_cast<uint16_t>((word & 0xC000) | ((word + row) & 0x3FFF)));
  if (word & 0x4000) *columnField = static_cast<uint8_t>(*columnField + column);
}

}  // namespace

void ConvertSharedFormulaTokens(uint8_t* tokens, size_t size, uint32_t row, uint32_t column, bool biff8) {
  size_t p = 0;
  while (p < size) {
    bool ok;
    const size_t operand = TokenOperandSize(tokens, p, size, biff8, ok);
    if (!ok || operand > size - p - 1) return;
    const uint8_t ptg = tokens[p];
    uint8_t* o = tokens + p + 1;
    if (ptg >= 0x20 && ((ptg & 0x1F) | 0x20) == 0x2C) {  // tRefN -> tRef
      if (biff8) {
        FixRowBiff8(o, DecodeFixed16(o + 2), row);
        FixColumnBiff8(o + 2, column);
      } else {
        FixRowBiff5(o, o + 2, row, column);
      }
      tokens[p] = static_cast<uint8_t>(ptg - 8);
    } else if (ptg >= 0x20 && ((ptg & 0x1F) | 0x20) == 0x2D) {  // tAreaN -> tArea
      if (biff8) {
        FixRowBiff8(o, DecodeFixed16(o + 4), row);
        FixRowBiff8(o + 2, DecodeFixed16(o + 6), row);
        FixColumnBiff8(o + 4, column);
        FixColumnBiff8(o + 6, column);
      } else {
        FixRowBiff5(o, o + 4, row, column);
        FixRowBiff5(o + 2, o + 5, row, column);
      }
      tokens[p] = static_cast<uint8_t>(ptg - 8);
    }
    p += 1 + operand;
  }
}

std::string CellA1Name(uint32_t column, uint32_t row) {
  std::string name;
  column &= 0xFF;
  if (column >= 26) name += static_cast<char>('A' + column / 26 - 1);
  name += static_cast<char>('A' + column % 26);
  return name + std::to_string(row + 1);
}

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
  return byStreamName;
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
  inCustomView_ = false;
  sharedBytes_ = 0;
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

void TXLSReader::ReadRecords() {
  ahead_ = 0;
  for (;;) {
    // Only a stream in clear can be looked into, and only a read string table gives anything to fetch.
    const bool lookAhead = !stream_.Decrypting() && workbook_.SST().FileIndexCount() > 0;
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
// order), so the file index entry of a LABELSST record is seldom in the cache, and waiting for it costs
// more than the rest of the cell. A cursor kept a few records ahead of the one being read has the table
// fetch the entries of the LABELSST records it passes; it moves one record per record read, and starts
// again from the current record when the reader has passed it (after a seek or a read-ahead).
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
  if (!workbook_.OnProgress) return;
  const uint64_t size = stream_.StreamSize();
  if (size == 0) return;
  const int percent = static_cast<int>((stream_.Position() * 100 + size / 2) / size);
  if (percent > progressHigh_) {
    progressHigh_ = percent;
    workbook_.OnProgress(percent);
  }
}

std::u16string TXLSReader::CodePageText(const uint8_t* chars, size_t count) const {
  return DecodeCodePage(chars, count, workbook_.CodePage);
}

std::u16string TXLSReader::Text8(const uint8_t* chars, size_t count) const {
  return version_ >= xvExcel97 ? DecodeLatin1(chars, count) : CodePageText(chars, count);
}

inline TSheet* TXLSReader::CellSheet() {
  if (substream_ != TSubstream::ssSheet) return nullptr;
  if (!(sheetPlaceholders_ & PlaceholderBit(rec::PH_CELLS))) {
    Placeholder(rec::PH_CELLS);
    EnsureFormats();
  }
  return sheet_;
}

// A cell record for a place that already holds a cell (overlapping records) replaces that cell with
// the format the new record names: the last record is the one that counts, as in Excel. (Storing over
// a cell would keep the old cell's format, and the old text's reference.)
//
// Cells mostly come in ascending key order, row by row: while every cell of the sheet was stored by this
// read below the next free key, a cell at or above it cannot meet an old one and needs no lookup.
inline TSheet* TXLSReader::Vacate(TSheet& sheet, uint32_t column, uint32_t row) {
  const uint32_t key = CellKey(column, row);
  if (&sheet != keySheet_) {
    keySheet_ = &sheet;
    keysAscending_ = sheet.Cells().IsEmpty();
    nextFreeKey_ = 0;
  }
  if (key >= nextFreeKey_) {
    nextFreeKey_ = key + 1;
    if (keysAscending_) return &sheet;
  }
  if (TCell* old = sheet.Cells().LookupKey(key)) {
    // The old text gives back its reference, but its entry stays in the table even at count 0 (as
    // entries read from a file do): the file index may name it again for a later LABELSST. The count
    // may dip below 0 until the references gathered per file index reach it at the end of the read.
    if (old->kind == ckString) workbook_.SST().DropReference(old->entry);
    sheet.Cells().DeleteAtKey(key);
  }
  return &sheet;
}

// What TSheet::HandleForIndex gives for the XF index, looked up once per index while the format list
// keeps its length and its use counting is suspended (as it is from a sheet's first cell on: see
// EnsureFormats): then a format takes no use for a cell, and an index always names the same format.
inline uint32_t TXLSReader::FormatHandle(int xf) {
  const auto index = static_cast<size_t>(xf);
  if (index < xfHandles_.size() && xfHandles_[index] != 0) {
    const TCellFormats& formats = workbook_.CellFormats();
    if (formats.Count() == xfHandlesFor_ && formats.InitialCount() == INT32_MAX) return xfHandles_[index] - 1;
  }
  return LookUpFormatHandle(xf);
}

uint32_t TXLSReader::LookUpFormatHandle(int xf) {
  TCellFormats& formats = workbook_.CellFormats();
  TCellFormat* format = formats.Item(formats.AdoptableIndex(xf < 0 ? kDefaultCellFormatIndex : xf));
  formats.AddUse(format);
  if (formats.InitialCount() == INT32_MAX && xf >= 0) {
    if (formats.Count() != xfHandlesFor_) {
      xfHandles_.clear();
      xfHandlesFor_ = formats.Count();
    }
    const auto index = static_cast<size_t>(xf);
    if (index >= xfHandles_.size()) xfHandles_.resize(index + 1, 0);
    xfHandles_[index] = format->Handle() + 1;
  }
  return format->Handle();
}

// Stores a cell made with the format handle of its XF at a place Vacate cleared; the position is valid
// (a 16-bit row, a column CellTarget or the caller kept within 255).
template <class Make>
inline void TXLSReader::PutCell(TSheet& sheet, uint32_t column, uint32_t row, int xf, Make make) {
  Vacate(sheet, column, row);
  sheet.Cells().InsertAtKey(CellKey(column, row), make(FormatHandle(xf)));
}

void TXLSReader::EnsureFormats() {
  // Cells, rows and columns name a cell format; a file without XF records before them gets the
  // default formats, so that every index has a format to fall back on.
  TCellFormats& formats = workbook_.CellFormats();
  if (formats.Count() == 0) formats.AddDefaultFormats();
  // The file's formats and fonts are the workbook's initial ones from here on (they become so after the
  // read anyway). Counted, a format whose last user went - a cell stored twice, a column replaced -
  // would be deleted and every later format renumbered, so that the XF indexes of the cells still to
  // come would name the wrong formats.
  formats.SuspendUseCounting();
  workbook_.Fonts().SuspendUseCounting();
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
// Number, blank and boolean cells
//
// Rows are 16-bit in every cell record and so always in the sheet. A column beyond 255 cannot exist in
// an .xls sheet (and would land in another column of the cell key): such a cell is left out, since one
// stray cell is no reason to refuse the whole file.

inline TXLSReader::TCellHead TXLSReader::ReadCellHead(TByteReader& r, uint32_t size, bool withXF) {
  if (r.Size() < size) Short(size);
  // Checked once against the record: the fields are decoded in place.
  const uint8_t* p = r.Current();
  TCellHead head;
  head.row = DecodeFixed16(p);
  head.column = DecodeFixed16(p + 2);
  head.xf = withXF ? DecodeFixed16(p + 4) : kDefaultCellFormatIndex;
  r.Skip(withXF ? 6 : 4);
  return head;
}

inline TSheet* TXLSReader::CellTarget(const TCellHead& head) {
  TSheet* sheet = CellSheet();
  return sheet && head.column <= 0xFF ? sheet : nullptr;
}

bool TXLSReader::OnBlank(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 6);
  if (TSheet* sheet = CellTarget(h)) PutCell(*sheet, h.column, h.row, h.xf, MakeBlankCell);
  return false;
}

bool TXLSReader::OnMulBlank(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 6, false);  // the first column, then one XF per column
  TSheet* sheet = CellSheet();
  if (!sheet) return false;
  const uint32_t count = static_cast<uint32_t>(r.Size() - 6) / 2;
  const uint8_t* p = r.Current();
  for (uint32_t i = 0; i < count && h.column + i <= 0xFF; ++i)
    PutCell(*sheet, h.column + i, h.row, DecodeFixed16(p + 2 * i), MakeBlankCell);
  return false;
}

bool TXLSReader::OnNumber(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 14);
  if (TSheet* sheet = CellTarget(h)) {
    const double value = DecodeDouble(r.Current());
    PutCell(*sheet, h.column, h.row, h.xf, [value](uint32_t format) { return MakeFloatCell(format, value); });
  }
  return false;
}

bool TXLSReader::OnRK(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 10);
  if (TSheet* sheet = CellTarget(h)) {
    const double value = DecodeRK(DecodeFixed32(r.Current()));
    PutCell(*sheet, h.column, h.row, h.xf, [value](uint32_t format) { return MakeFloatCell(format, value); });
  }
  return false;
}

bool TXLSReader::OnMulRK(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 6, false);  // the first column, then XF and RK value per column
  TSheet* sheet = CellSheet();
  if (!sheet) return false;
  const uint32_t count = static_cast<uint32_t>(r.Size() - 6) / 6;
  const uint8_t* p = r.Current();
  for (uint32_t i = 0; i < count && h.column + i <= 0xFF; ++i, p += 6) {
    const double value = DecodeRK(DecodeFixed32(p + 2));
    PutCell(*sheet, h.column + i, h.row, DecodeFixed16(p),
            [value](uint32_t format) { return MakeFloatCell(format, value); });
  }
  return false;
}

// The value byte, then the byte that tells an error (1) from a boolean.
void TXLSReader::PutBoolErr(TSheet& sheet, const TCellHead& h, TByteReader& r) {
  const uint8_t value = r.GetU8();
  if (r.GetU8() == 1)
    Vacate(sheet, h.column, h.row)->PutError(h.column, h.row, ErrorFromBiff(value), h.xf);
  else
    Vacate(sheet, h.column, h.row)->PutBoolean(h.column, h.row, value != 0, h.xf);
}

bool TXLSReader::OnBoolErr(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 8);
  TSheet* sheet = CellTarget(h);
  if (!sheet) return false;
  PutBoolErr(*sheet, h, r);
  return false;
}

// BIFF2 cells: row, column, three attribute bytes, then the value; the cell takes the default format.

bool TXLSReader::OnInteger2(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 9, false);
  r.Skip(3);
  if (TSheet* sheet = CellTarget(h))
    Vacate(*sheet, h.column, h.row)->PutFloat(h.column, h.row, r.GetU16(), h.xf);
  return false;
}

bool TXLSReader::OnNumber2(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 15, false);
  r.Skip(3);
  if (TSheet* sheet = CellTarget(h))
    Vacate(*sheet, h.column, h.row)->PutFloat(h.column, h.row, r.GetDouble(), h.xf);
  return false;
}

bool TXLSReader::OnBlank2(TByteReader& r) {
  if (version_ > xvExcel21) return true;  // not a record of later versions: kept as it is
  const TCellHead h = ReadCellHead(r, 7, false);
  if (TSheet* sheet = CellTarget(h)) Vacate(*sheet, h.column, h.row)->PutBlank(h.column, h.row, h.xf);
  return false;
}

bool TXLSReader::OnBoolErr2(TByteReader& r) {
  if (version_ > xvExcel21) return true;
  const TCellHead h = ReadCellHead(r, 9, false);
  TSheet* sheet = CellTarget(h);
  if (!sheet) return false;
  r.Skip(3);
  PutBoolErr(*sheet, h, r);
  return false;
}

bool TXLSReader::OnSharedFormula(TByteReader& r) {
  if (InSheet()) AddSharedFormula(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

bool TXLSReader::OnArray(TByteReader& r) {
  if (InSheet()) SetLastArray(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
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

bool TXLSReader::OnDimensions(TByteReader& r) {
  if (version_ < xvExcel50 || !InSheet()) return false;
  if (header_.id == rec::DIMENSIONS_2 && (version_ == xvExcel50 || signatureFile_)) return false;
  const size_t length = r.Size();
  if (length >= 14) {
    Store(rec::DIMENSIONS, r.Current(), header_.length);
  } else if (length >= 8) {
    // Rows of 16 bits (BIFF5): widened to the BIFF8 layout. The writer recomputes the values anyway.
    uint8_t wide[14] = {};
    EncodeFixed32(wide, r.GetU16());
    EncodeFixed32(wide + 4, r.GetU16());
    EncodeFixed16(wide + 8, r.GetU16());
    EncodeFixed16(wide + 10, r.GetU16());
    if (length >= 10) EncodeFixed16(wide + 12, r.GetU16());
    Store(rec::DIMENSIONS, wide, sizeof wide);
  }
  return false;
}

bool TXLSReader::OnCodePage(TByteReader& r) {
  if (r.Size() >= 2) workbook_.CodePage = r.GetU16();
  return StoreFromBiff5();
}

bool TXLSReader::OnWsBool() {
  if (version_ < xvExcel50 || !InSheet()) return true;
  return StoreAlways();
}

bool TXLSReader::OnCountry() {
  if (version_ >= xvExcel97 && !signatureFile_) Store(header_.id, body_, header_.length);
  return false;
}

bool TXLSReader::OnWindow1() {
  // The first is the workbook window; further windows on the same workbook stay raw.
  if (version_ < xvExcel50) return false;
  if (!InGlobals() || window1Stored_) return true;
  window1Stored_ = true;
  return StoreAlways();
}

bool TXLSReader::OnWindow2(TByteReader& r) {
  if (version_ < xvExcel50) return false;
  if (r.Size() >= kWindow2Size) return StoreAlways();
  uint8_t full[kWindow2Size] = {};
  r.GetBytes(full, r.Size());
  Store(header_.id, full, kWindow2Size);
  return false;
}

bool TXLSReader::OnBookBool() {
  StoreAlways();
  FormatsPlaceholder();
  return false;
}

bool TXLSReader::OnUsersViewBegin() {
  inCustomView_ = true;
  return false;
}

bool TXLSReader::OnFileSharing(TByteReader& r) {
  workbook_.FileSharing().Assign(r.Current(), static_cast<uint16_t>(r.Size()));
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Fonts, formats, colours

bool TXLSReader::OnFont(TByteReader& r) {
  FormatsPlaceholder();
  TXFonts& fonts = workbook_.Fonts();
  if (version_ >= xvExcel97) {
    fonts.ReadFontRecord(r.Current(), static_cast<uint32_t>(r.Size()));
  } else {
    // A file that declares no code page writes its text in that of its fonts' script: the first font
    // naming one (BIFF5: character set at offset 12) decides, before its own name is decoded and before
    // the number formats and sheets that follow the fonts.
    if (workbook_.CodePage == kUndeclaredCodePage && version_ == xvExcel50 && r.Size() > 12)
      workbook_.CodePage = CodePageOfFontCharset(r.Current()[12]);
    fonts.ReadFontRecordOld(
        r.Current(), static_cast<uint32_t>(r.Size()), version_,
        [this](const uint8_t* chars, size_t count) { return CodePageText(chars, count); });
  }
  return false;
}

bool TXLSReader::OnXF(TByteReader& r) {
  FormatsPlaceholder();
  TCellFormats& formats = workbook_.CellFormats();
  if (!formats.NumberFormats().Sorted()) formats.NumberFormats().SortNumberFormats();
  if (version_ < xvExcel50) {
    formats.AddOldVersionXF();
    return false;
  }
  // An XF may name a number format the file never defines: one of the locale's own built-in formats
  // (ids 50-58 of East Asian versions), or damage. The id is kept, under an empty text, rather than
  // making the whole file unreadable; its use count stays negative (a built-in nobody asked for), so
  // that no FORMAT record is written for it either and the id means what it meant.
  if (r.Size() >= 4) {
    TNumberFormats& numberFormats = formats.NumberFormats();
    r.Skip(2);
    const uint16_t format = r.GetU16();
    if (format >= kBuiltInNumberFormats && !numberFormats.FindNumberFormatById(format)) {
      numberFormats.AddNumberFormatWithId(u"", format, kUndefinedFormatUses);
      numberFormats.SortNumberFormats();
    }
  }
  if (version_ >= xvExcel97)
    formats.ReadXFRecord(body_, header_.length);
  else
    formats.ReadXFRecordBiff5(body_, header_.length);
  return false;
}

bool TXLSReader::OnPalette(TByteReader& r) {
  // The writer writes the palette from the colour table at the formats' place; a raw copy as well would
  // give the file two palettes.
  FormatsPlaceholder();
  workbook_.Colors().ReadPaletteRecord(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Rows and columns

bool TXLSReader::OnColInfo(TByteReader& r) {
  if (version_ < xvExcel50 || !InSheet()) return true;
  Placeholder(rec::PH_COLINFO);
  EnsureFormats();
  sheet_->Columns().ReadColInfo(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

bool TXLSReader::OnRow(TByteReader& r) {
  if (TSheet* sheet = CellSheet()) sheet->Rows().ReadRow(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

bool TXLSReader::OnSheetExt(TByteReader& r) {
  if (InSheet() && r.Size() >= 17) {
    r.Skip(16);
    sheet_->TabColor = r.GetU8() & 0x7F;
  }
  return true;  // also kept raw: the writer has no record of its own for it
}

// ---------------------------------------------------------------------------------------------------
// Substreams

namespace {

// The fields of a BIFF8 BOF after version and type: build, year, file history flags, lowest version.
struct TBOFHistory {
  uint16_t build = 0;
  uint16_t year = 0;
  uint32_t history = 0;
  uint32_t lowestVersion = 0;
};

// Null for a shorter body (older versions end after the year, or earlier).
std::optional<TBOFHistory> ReadBOFHistory(const uint8_t* body, uint32_t length) {
  if (length < 16) return std::nullopt;
  TByteReader r(body, length);
  r.Skip(4);  // version, substream type
  TBOFHistory bof;
  bof.build = r.GetU16();
  bof.year = r.GetU16();
  bof.history = r.GetU32();
  bof.lowestVersion = r.GetU32();
  return bof;
}

// The globals BOF of a signature file (year 1998, no history, lowest version 6): see signatureFile_.
bool IsSignatureBOF(const uint8_t* body, uint32_t length) {
  const std::optional<TBOFHistory> bof = ReadBOFHistory(body, length);
  return bof && bof->year == 1998 && bof->history == 0 && bof->lowestVersion == 6;
}

uint32_t BOFLowestVersion(const uint8_t* body, uint32_t length) {
  const std::optional<TBOFHistory> bof = ReadBOFHistory(body, length);
  return bof ? bof->lowestVersion : 0;
}

}  // namespace

bool TXLSReader::OnBOF(TByteReader& r) {
  const uint8_t* b = r.Current();
  const uint32_t length = header_.length;
  if (length < 4) Short(4);
  r.Skip(2);
  const uint16_t type = r.GetU16();

  if (substream_ != TSubstream::ssNone) {
    if (type == rec::BOF_CHART) {
      // A chart embedded in the substream's drawing: its records stay with the drawing, in order.
      nested_ = 1;
      nestedRaw_ = substream_ != TSubstream::ssSkip;
      if (!nestedRaw_) return false;
      nestedIds_.set(header_.id);
      anyNestedIds_ = true;
      return true;
    }
    // The substream before ended without its EOF.
    FinishSubstream(false);
  }
  shared_.clear();
  sharedByAnchor_.clear();
  hasArray_ = false;

  switch (type) {
    case rec::BOF_GLOBALS:
      if (length > kMaxGlobalsBOFSize) throw EXLSError("Invalid BOF size");
      substream_ = TSubstream::ssGlobals;
      storage_ = &workbook_.Globals();
      signatureFile_ = IsSignatureBOF(b, length);
      StoreBOF(type, b, length);
      return false;
    case rec::BOF_WORKSHEET:
    case rec::BOF_MODULE:
    case rec::BOF_MACROSHEET:
      BeginSheet(type, b, length);
      return false;
    case rec::BOF_CHART:
      BeginChartSheet();
      return false;
    case rec::BOF_WORKSPACE:
      throw EXLSError("BIFF4 Workbook unhandled", ekUnsupported);
    default:
      // A substream of a kind the model does not know: read past.
      substream_ = TSubstream::ssSkip;
      return false;
  }
  return false;
}

void TXLSReader::BeginSheet(uint16_t type, const uint8_t* body, uint32_t length) {
  ++boundIndex_;
  ++sheetIndex_;
  const uint8_t kind = type == rec::BOF_WORKSHEET ? 0 : type == rec::BOF_MODULE ? 1 : 2;
  TSheet& sheet = workbook_.Sheets().Add(kind);
  sheet_ = &sheet;
  storage_ = &sheet.Records();
  substream_ = TSubstream::ssSheet;
  ResetSheetState();
  if (version_ >= xvExcel50) {
    if (boundIndex_ < static_cast<int>(boundSheets_.size())) {
      const TBoundSheet& entry = boundSheets_[static_cast<size_t>(boundIndex_)];
      sheet.SetNameUnchecked(BoundSheetName(entry));
      sheet.Hidden = entry.visibility;
    }
  } else {
    sheet.SetNameUnchecked(u"Sheet1");
  }
  sheetLowestVersion_ = BOFLowestVersion(body, length);
  StoreBOF(type, body, length);
}

std::u16string TXLSReader::BoundSheetName(const TBoundSheet& entry) const {
  TByteReader name(entry.name.data(), entry.name.size());
  const size_t size = entry.name.size();
  return entry.biff8 ? GetBiffChars(name, entry.wide ? size / 2 : size, entry.wide)
                     : CodePageText(entry.name.data(), size);
}

void TXLSReader::BeginChartSheet() {
  ++boundIndex_;
  // Only BIFF8 records can go into the BIFF8 output, and only a sheet with a BOUNDSHEET has a name to
  // go under: other chart sheets are read past.
  if (version_ < xvExcel97 || boundIndex_ >= static_cast<int>(boundSheets_.size())) {
    substream_ = TSubstream::ssSkip;
    return;
  }
  const TBoundSheet& entry = boundSheets_[static_cast<size_t>(boundIndex_)];
  TChartSheet chart;
  chart.position = boundIndex_;
  chart.name = BoundSheetName(entry);
  chart.visibility = entry.visibility;
  workbook_.ChartSheets().push_back(std::move(chart));
  substream_ = TSubstream::ssChart;
  chartDepth_ = 0;
  OnChartSheetRecord();
}

bool TXLSReader::OnChartSheetRecord() {
  if (chartDepth_ > 0 && rec::IsBOF(header_.id) && header_.length >= 4 &&
      DecodeFixed16(body_ + 2) != rec::BOF_CHART) {
    // A sheet begins inside a chart sheet that was never closed: the chart sheet ends here.
    FinishSubstream(false);
    TByteReader r(body_, header_.length);
    return OnBOF(r);
  }
  std::vector<uint8_t>& records = workbook_.ChartSheets().back().records;
  PutFixed16(records, header_.id);
  PutFixed16(records, header_.length);
  records.insert(records.end(), body_, body_ + header_.length);
  if (rec::IsBOF(header_.id)) {
    ++chartDepth_;
  } else if (header_.id == rec::EOF_ && --chartDepth_ == 0) {
    substream_ = TSubstream::ssNone;
    if (boundSheets_.empty() || boundIndex_ >= static_cast<int>(boundSheets_.size()) - 1) stop_ = true;
  }
  return false;
}

void TXLSReader::ResetSheetState() {
  sheetPlaceholders_ = 0;
  keySheet_ = nullptr;
  selectionStored_ = false;
  protectionRead_ = false;
  nested_ = 0;
  nestedRaw_ = false;
  if (anyNestedIds_) {
    nestedIds_.reset();
    anyNestedIds_ = false;
  }
  shared_.clear();
  sharedByAnchor_.clear();
  hasArray_ = false;
  lastArray_.clear();
  sheetLowestVersion_ = 0;
}

bool TXLSReader::OnEOF(TByteReader& /*r*/) {
  shared_.clear();
  sharedByAnchor_.clear();
  hasArray_ = false;
  if (substream_ == TSubstream::ssNone) return false;  // a stray EOF between substreams
  FinishSubstream(true);
  // The globals are followed by every sheet substream in file order; after the last one, or after
  // globals that name no sheet, nothing more is read.
  if (boundSheets_.empty() || boundIndex_ >= static_cast<int>(boundSheets_.size()) - 1) stop_ = true;
  return false;
}

void TXLSReader::FinishSubstream(bool withRecord) {
  const uint8_t* body = withRecord ? body_ : nullptr;
  const uint16_t length = withRecord ? header_.length : 0;
  switch (substream_) {
    case TSubstream::ssGlobals:
      Store(rec::EOF_, body, length);
      break;
    case TSubstream::ssSheet:
      FinishSheet(body, length);
      break;
    case TSubstream::ssChart: {
      // A chart sheet the file never closed: closed here, or the sheets written after it would be
      // read as part of it.
      std::vector<uint8_t>& records = workbook_.ChartSheets().back().records;
      for (; chartDepth_ > 0; --chartDepth_) {
        PutFixed16(records, rec::EOF_);
        PutFixed16(records, 0);
      }
      break;
    }
    default:
      break;
  }
  substream_ = TSubstream::ssNone;
  sheet_ = nullptr;
  nested_ = 0;
}

void TXLSReader::FinishSheet(const uint8_t* body, uint16_t length) {
  TRecordStorageSheet& records = sheet_->Records();
  if (!(anyNestedIds_ && nestedIds_.test(rec::EOF_))) {
    Store(rec::EOF_, body, length);
  } else {
    // An embedded chart's EOF is in the list already, and the list finds records by identifier: take
    // the remaining defaults over one by one, then append the sheet's own EOF.
    const TBaseRecordStorage& defaults = records.Defaults();
    std::vector<uint8_t> copy;
    for (int i = 0; i < defaults.Count(); ++i) {
      const TStoredRecord* entry = defaults.EntryAt(i);
      if (!entry || entry->Id() == rec::EOF_) continue;
      const uint16_t id = entry->Id();
      if (id >= 0x8000) {
        Placeholder(id);
      } else if (!nestedIds_.test(id)) {
        copy.assign(entry->Data(), entry->Data() + entry->Length());
        records.SetRecord(id, static_cast<uint16_t>(copy.size()), copy.data());
      }
    }
    records.AddRecord(rec::EOF_, length, body);
  }
  // A protected sheet without a protection feature record keeps Excel's default allowances, so that
  // the writer (which takes "everything allowed" for "not protected") keeps the sheet protected.
  if (!protectionRead_ && records.Protect() == 1 && sheet_->Protection == kAllProtectionFlags)
    sheet_->Protection = kDefaultProtectionAllowances;
}

// ---------------------------------------------------------------------------------------------------
// Stored records

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

// ---------------------------------------------------------------------------------------------------
// Workbook records

bool TXLSReader::OnBoundSheet(TByteReader& r) {
  if (!InGlobals() || version_ < xvExcel50) return false;
  Placeholder(rec::PH_BOUNDSHEETS);
  r.Skip(4);  // stream position of the sheet's BOF: the sheets are read in file order instead
  TBoundSheet entry;
  // The visibility is the low byte of the options in BIFF5 as in BIFF8 (the high byte is the type).
  entry.visibility = r.GetU8() & 0x03;
  r.Skip(1);
  const size_t count = r.GetU8();
  size_t bytes = count;
  if (version_ >= xvExcel97) {
    entry.biff8 = true;
    entry.wide = (r.GetU8() & 0x01) != 0;
    if (entry.wide) bytes = 2 * count;
  }
  r.Require(bytes);
  entry.name.assign(r.Current(), r.Current() + bytes);
  boundSheets_.push_back(std::move(entry));
  return false;
}

bool TXLSReader::OnWriteAccess(TByteReader& r) {
  if (!InGlobals()) return true;  // kept raw
  std::vector<uint8_t> body;
  if (version_ >= xvExcel97) {
    body.assign(r.Current(), r.Current() + r.Size());
  } else if (r.Size() > 0) {
    // 8-bit count, characters: the BIFF8 string header (16-bit count, flag 0) in front of them.
    body = {r.GetU8(), 0, 0};
    body.insert(body.end(), r.Current(), r.Current() + r.Remaining());
  }
  if (body.size() < 3) body.assign(3, 0);  // no name
  if (body.size() < kWriteAccessSize) body.resize(kWriteAccessSize, 0x20);
  Store(rec::WRITEACCESS, body.data(), static_cast<uint32_t>(body.size()));
  return false;
}

void TXLSReader::FixOldWriteAccess() {
  // An older file's user name is 8-bit text in its code page, known only once CODEPAGE was read (it
  // comes after WRITEACCESS): written back as the characters it stands for.
  if (version_ >= xvExcel97) return;
  TRecordStorageGlobals& globals = workbook_.Globals();
  if (globals.Defaults().IndexOf(rec::WRITEACCESS) >= 0) return;  // the file had none
  TStoredRecord* record = globals.Current(rec::WRITEACCESS);
  if (!record || record->Length() < 3 || record->Data()[2] != 0) return;
  TByteReader stored(record->Data(), record->Length());
  const size_t count = std::min<size_t>(stored.GetU16(), record->Length() - 3);
  stored.Skip(1);  // the flag, 0: checked above
  const std::u16string name = CodePageText(stored.Current(), count);
  const bool wide = std::any_of(name.begin(), name.end(), [](char16_t c) { return c > 0xFF; });
  const size_t fit = wide ? (kWriteAccessSize - 3) / 2 : kWriteAccessSize - 3;
  const size_t n = std::min(name.size(), fit);
  std::vector<uint8_t> body;
  PutFixed16(body, static_cast<uint16_t>(n));
  PutFixed8(body, wide ? 1 : 0);  // the width of the whole name, even when its wide part is cut off
  PutBiffChars(body, std::u16string_view(name).substr(0, n), wide);
  body.resize(std::max<size_t>(kWriteAccessSize, record->Length()), 0x20);
  record->Assign(static_cast<uint16_t>(body.size()), body.data());
}

bool TXLSReader::OnFilePass(TByteReader& r) {
  if (stream_.Decrypting()) return false;
  // The stream knows the layouts of the encryption headers: it is handed the whole body.
  const uint8_t* b = r.Current();
  const auto length = static_cast<uint32_t>(r.Remaining());
  // XOR obfuscation and RC4, with standard or CryptoAPI keys, are read (the stream knows their layouts).
  const bool biff8 = version_ >= xvExcel97;
  if (!TXLSStream::CanDecrypt(b, length, biff8))
    throw EXLSError("Can not read file, unknown type of encryption.", ekUnsupported);
  // Read-only-recommended workbooks are encrypted with Excel's built-in password: they open without asking.
  if (stream_.CheckPassword(b, length, kDefaultPassword, biff8)) return false;

  std::u16string password = workbook_.Password;
  const bool asked = static_cast<bool>(workbook_.OnPassword);
  if (asked && !workbook_.OnPassword(password)) {
    workbook_.Aborted = true;
    return false;
  }
  if (workbook_.Aborted) return false;
  if (!password.empty() && stream_.CheckPassword(b, length, password, biff8)) return false;
  if (!password.empty()) throw EXLSError("Invalid password", ekWrongPassword);
  if (!asked) throw EXLSError("File is encrypted. Password required.", ekEncrypted);
  throw EXLSError("Password is missing.", ekEncrypted);
  return false;
}

bool TXLSReader::OnXct(TByteReader& r) {
  // The CRN records that the XCT announces follow it; they are read here so that none of them is
  // mistaken for anything else, and kept raw with it.
  if (r.Size() < 2) Short(2);
  uint32_t count = r.GetU16();
  if (count >= 0xF000) count = 0x10000 - count;
  KeepRaw();
  for (uint32_t i = 0; i < count; ++i) {
    if (stream_.PeekId() != rec::CRN) throw EXLSError("CRN record missing");
    ReadNextRecord();
    storage_->AddRecord(auxHeader_.id, auxHeader_.length, auxBody_);
  }
  return false;
}

bool TXLSReader::OnSST() {
  if (!InGlobals() || nested_ > 0) return false;  // its body was read: a stray SST is dropped
  Placeholder(rec::PH_SST);
  const uint64_t end = stream_.Position() + header_.length;
  workbook_.SST().ReadSST(stream_, header_.length);
  // Go on after the last record the table read from, whatever of it the table left unread.
  const uint64_t reached = stream_.Position();
  uint64_t next = end;
  while (next < reached) {
    stream_.Seek(static_cast<int64_t>(next), TSeekOrigin::soBeginning);
    TRecordHeader continued;
    if (stream_.ReadHeader(continued) < kRecordHeaderSize) break;
    next += kRecordHeaderSize + continued.length;
  }
  stream_.Seek(static_cast<int64_t>(std::max(next, reached)), TSeekOrigin::soBeginning);
  // CONTINUE records the table did not need still belong to the SST.
  while (stream_.PeekId() == rec::CONTINUE) {
    TRecordHeader continued;
    stream_.ReadHeader(continued);
    stream_.Seek(continued.length, TSeekOrigin::soCurrent);
  }
  return false;
}

bool TXLSReader::OnFormat(TByteReader& r) {
  FormatsPlaceholder();
  const uint8_t* b = r.Current();
  const auto length = static_cast<uint32_t>(r.Size());
  TNumberFormats& formats = workbook_.NumberFormats();
  // Some writers count one character more than they store: the text is cut to what the record holds
  // (a number format's text is not worth refusing the file for).
  std::vector<uint8_t> repaired;
  if (version_ >= xvExcel97) {
    if (length >= 5) {
      r.Skip(2);  // the format's id
      const uint16_t count = r.GetU16();
      const size_t width = (r.GetU8() & 0x01) ? 2 : 1;
      const size_t held = r.Remaining() / width;
      if (count > held) {
        repaired.assign(b, b + 5 + held * width);
        EncodeFixed16(repaired.data() + 2, static_cast<uint16_t>(held));
      }
    }
    if (!repaired.empty())
      formats.ReadFormatRecord(repaired.data(), static_cast<uint32_t>(repaired.size()));
    else
      formats.ReadFormatRecord(b, length);
    return false;
  }
  if (length >= 3) {
    r.Skip(2);  // the format's id
    if (r.GetU8() > r.Remaining()) {
      repaired.assign(b, b + length);
      repaired[2] = static_cast<uint8_t>(length - 3);
    }
  }
  const auto decoder = [this](const uint8_t* chars, size_t count) { return CodePageText(chars, count); };
  if (!repaired.empty())
    formats.ReadFormatRecordBiff5(repaired.data(), static_cast<uint32_t>(repaired.size()), decoder);
  else
    formats.ReadFormatRecordBiff5(b, length, decoder);
  return false;
}

bool TXLSReader::OnStyle(TByteReader& r) {
  // BIFF2-4 XF records are not converted, so their styles would name the wrong formats.
  if (version_ < xvExcel50 || !InGlobals()) return false;
  FormatsPlaceholder();
  const uint8_t* b = r.Current();
  const auto length = static_cast<uint32_t>(r.Size());
  TStyles& styles = workbook_.Styles();
  if (version_ >= xvExcel97) {
    styles.Add(b, static_cast<uint16_t>(length));
    return false;
  }
  if (length < 2) Short(2);
  const uint16_t xf = r.GetU16();
  if (xf & 0x8000) {  // built-in style: XF, style number, outline level
    if (length < 4) Short(4);
    styles.Add(b, 4);
    return false;
  }
  // A user-defined style's name: BIFF5 8-bit text becomes a BIFF8 string.
  if (length < 3) Short(3);
  const size_t count = r.GetU8();
  if (length < 3 + count) Short(static_cast<uint32_t>(3 + count));
  std::vector<uint8_t> body;
  PutFixed16(body, xf);
  PutBiffString(body, CodePageText(r.Current(), count), /*shortCount=*/false, /*allowNarrow=*/true);
  styles.Add(body.data(), static_cast<uint16_t>(body.size()));
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Sheet records

bool TXLSReader::OnHeaderFooter(TByteReader& r) {
  if (version_ < xvExcel50) {
    return false;
  }
  if (!InSheet()) return true;  // kept raw
  Placeholder(rec::PH_HEADERFOOTER);
  std::u16string text;
  const uint32_t length = header_.length;
  if (length > 0) {
    if (version_ >= xvExcel97) {
      text = GetBiffStringBody(r, r.GetU16());
    } else {
      const size_t count = r.GetU8();
      r.Require(count);
      text = CodePageText(r.Current(), count);
    }
  }
  TPrintSettings& settings = sheet_->PrintSettings();
  if (header_.id == rec::HEADER)
    settings.SetHeader(std::move(text));
  else
    settings.SetFooter(std::move(text));
  return false;
}

bool TXLSReader::OnMargin(TByteReader& r) {
  if (version_ < xvExcel50) {
    return false;
  }
  if (!InSheet()) return true;
  if (r.Size() < 8) Short(8);
  Placeholder(rec::PH_MARGINS);
  const double inches = r.GetDouble();
  TPrintSettings& settings = sheet_->PrintSettings();
  switch (header_.id) {
    case rec::LEFTMARGIN:
      settings.SetMarginLeft(inches);
      break;
    case rec::RIGHTMARGIN:
      settings.SetMarginRight(inches);
      break;
    case rec::TOPMARGIN:
      settings.SetMarginTop(inches);
      break;
    default:
      settings.SetMarginBottom(inches);
      break;
  }
  return false;
}

bool TXLSReader::OnPageBreaks(TByteReader& r) {
  if (!InSheet()) return true;
  Placeholder(rec::PH_PAGEBREAKS);
  const bool horizontal = header_.id == rec::HORIZONTALPAGEBREAKS;
  TPrintSettings& settings = sheet_->PrintSettings();
  TPageBreaks& breaks = horizontal ? settings.HorizPagebreaks() : settings.VertPagebreaks();
  const size_t count = r.GetU16();
  if (version_ >= xvExcel97) {
    // Each: the row (column) after the break, and the first and last column (row) it spans.
    r.Require(6 * count);
    for (size_t i = 0; i < count; ++i) {
      TPageBreak pageBreak;
      pageBreak.position = r.GetU16();
      pageBreak.start = r.GetU16();
      pageBreak.end = r.GetU16();
      breaks.push_back(pageBreak);
    }
  } else {
    // Only the position: the break spans the whole sheet.
    r.Require(2 * count);
    for (size_t i = 0; i < count; ++i) {
      TPageBreak pageBreak;
      pageBreak.position = r.GetU16();
      pageBreak.start = 0;
      pageBreak.end = horizontal ? 0xFF : 0xFFFF;
      breaks.push_back(pageBreak);
    }
  }
  return false;
}

bool TXLSReader::OnSelection(TByteReader& r) {
  if (version_ < xvExcel50) {
    return false;
  }
  // Only the first selection is the sheet's: with split panes each pane has its own, kept raw after it.
  if (!InSheet() || selectionStored_) return true;
  selectionStored_ = true;
  Store(rec::SELECTION, r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

bool TXLSReader::OnFeatHdr(TByteReader& r) {
  // The shared-feature header: frtHeader (12 bytes), the feature type, a reserved byte, the header data
  // size, then for sheet protection the flags of what stays allowed.
  if (!InSheet() || r.Size() < kSheetProtectionSize) return true;
  r.Skip(12);
  if (r.GetU16() != kFeatureProtection) return true;
  // The writer takes every protection option other than "everything allowed" for a protected sheet,
  // so the options of a sheet that is not protected are kept raw rather than taken.
  if (sheet_->Records().Protect() != 1) return true;
  protectionRead_ = true;
  r.Skip(5);
  sheet_->Protection = r.GetU16() & kAllProtectionFlags;
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Text cells

bool TXLSReader::OnLabelSST(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 10);
  TSheet* sheet = CellTarget(h);
  if (!sheet) return false;
  const uint32_t index = r.GetU32();
  TSST& sst = workbook_.SST();
  if (index >= sst.FileIndexCount()) {
    // A string the table declares but does not hold (the file's count is wrong, the strings there were
    // kept): the cell is there, its text is lost, so it reads as empty text. An index past even the
    // declared count is a damaged reference to nothing.
    if (index >= sst.DeclaredCount())
      throw EXLSError(FormatMessage("Read error at %.8d", static_cast<int>(stream_.Position())));
    Vacate(*sheet, h.column, h.row)->PutTextFormatted(h.column, h.row, std::u16string(), h.xf);
    return false;
  }
  TSSTEntry* entry = sst.ReferenceAtFileIndex(index);
  PutCell(*sheet, h.column, h.row, h.xf, [entry](uint32_t format) { return MakeStringCell(format, entry); });
  return false;
}

bool TXLSReader::OnLabel(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 8);
  TSheet* sheet = CellTarget(h);
  if (!sheet) return false;
  const size_t count = r.GetU16();
  const uint32_t length = header_.length;
  const uint8_t flag = length >= 9 ? r.Current()[0] : 0xFF;
  std::u16string text;
  if (version_ >= xvExcel97 && (flag == 0 || flag == 1)) {
    r.Skip(1);
    const size_t bytes = flag ? 2 * count : count;
    if (length < 9 + bytes) Short(static_cast<uint32_t>(9 + bytes));
    text = GetBiffChars(r, count, flag == 1);
  } else {
    if (length < 8 + count) Short(static_cast<uint32_t>(8 + count));
    text = Text8(r.Current(), count);
  }
  Vacate(*sheet, h.column, h.row)->PutTextFormatted(h.column, h.row, text, h.xf);
  return false;
}

bool TXLSReader::OnLabel2(TByteReader& r) {
  // Row, column, three attribute bytes, the count byte, then the characters in the file's code page.
  if (r.Size() < 8) Short(8);
  const size_t count = r.Current()[7];
  const TCellHead h = ReadCellHead(r, static_cast<uint32_t>(8 + count), false);
  r.Skip(4);
  if (TSheet* sheet = CellTarget(h))
    Vacate(*sheet, h.column, h.row)
        ->PutTextFormatted(h.column, h.row, CodePageText(r.Current(), count), h.xf);
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Formula cells

bool TXLSReader::ReadFormulaString(std::u16string& text) {
  const uint16_t next = stream_.PeekId();
  if (next != rec::STRING && next != rec::STRING_2) return false;
  ReadNextRecord();
  TByteReader r(auxBody_, auxHeader_.length);
  if (auxHeader_.id == rec::STRING_2) {
    const size_t count = r.GetU8();
    r.Require(count);
    text = CodePageText(r.Current(), count);
    return true;
  }
  const size_t count = r.GetU16();
  if (version_ < xvExcel97) {
    r.Require(count);
    text = CodePageText(r.Current(), count);
    return true;
  }
  text.clear();
  if (count == 0) return true;
  bool wide = (r.GetU8() & 0x01) != 0;
  text.reserve(count);
  for (;;) {
    text += GetBiffChars(r, std::min(count - text.size(), wide ? r.Remaining() / 2 : r.Remaining()), wide);
    if (text.size() == count) return true;
    // A long text goes on in CONTINUE records, each starting with the width of its characters.
    if (stream_.PeekId() != rec::CONTINUE)
      throw EXLSError(FormatMessage("The text of a STRING record is cut short (%zu of %zu characters)",
                                    text.size(), count));
    ReadNextRecord();
    r = TByteReader(auxBody_, auxHeader_.length);
    wide = (r.GetU8() & 0x01) != 0;
  }
}

bool TXLSReader::NonNumericResult(uint8_t type, uint8_t value, TCellKind& kind, TFormulaData& data) {
  switch (type) {
    case 0: {  // text, in the STRING record that follows
      const uint16_t next = stream_.PeekId();
      if (next == rec::SHRFMLA || next == rec::SHRFMLA_OLD) throw EXLSError("Unxepected SHRFMLA");
      if (!ReadFormulaString(data.text)) return false;
      kind = ckStringFormula;
      return true;
    }
    case 1:
      kind = ckBooleanFormula;
      data.small = value != 0 ? 1 : 0;
      return true;
    case 2:
      kind = ckErrorFormula;
      data.small = ErrorFromBiff(value);
      return true;
    case 3:  // empty text
      kind = ckStringFormula;
      data.text.clear();
      return true;
    default:
      return false;
  }
}

void TXLSReader::PutFormulaCell(const TCellHead& h, TCellKind kind, std::unique_ptr<TFormulaData> data) {
  if (TSheet* sheet = CellTarget(h))
    Vacate(*sheet, h.column, h.row)
        ->PutFormula(static_cast<int>(h.column), static_cast<int>(h.row), kind, h.xf, std::move(data));
}

const TXLSReader::TSharedFormula* TXLSReader::FindSharedFormula(uint32_t row, uint32_t column) const {
  // The tExp token names the first cell of the shared range; overlapping ranges are told apart by it.
  if (auto it = sharedByAnchor_.find(CellKey(column, row)); it != sharedByAnchor_.end())
    return &shared_[it->second];
  for (const TSharedFormula& formula : shared_) {
    if (row >= formula.firstRow && row <= formula.lastRow && column >= formula.firstColumn &&
        column <= formula.lastColumn)
      return &formula;
  }
  return nullptr;
}

void TXLSReader::AddSharedFormula(const uint8_t* body, uint32_t length) {
  TByteReader r(body, length);
  TSharedFormula formula;
  formula.firstRow = r.GetU16();
  formula.lastRow = r.GetU16();
  formula.firstColumn = r.GetU8();
  formula.lastColumn = r.GetU8();
  r.Skip(2);
  formula.tokenCount = r.GetU16();
  r.Require(formula.tokenCount);
  formula.tokens.assign(r.Current(), r.Current() + formula.tokenCount);
  sharedByAnchor_[CellKey(formula.firstColumn, formula.firstRow)] = shared_.size();
  shared_.push_back(std::move(formula));
}

void TXLSReader::SetLastArray(const uint8_t* body, uint32_t length) {
  if (length < 6) throw EXLSError(FormatMessage("ARRAY record too short: %u bytes", length));
  arrayFirstRow_ = DecodeFixed16(body);
  arrayLastRow_ = DecodeFixed16(body + 2);
  arrayFirstColumn_ = body[4];
  arrayLastColumn_ = body[5];
  lastArray_.assign(body, body + length);
  hasArray_ = true;
}

TXLSReader::TFormulaForm TXLSReader::FormulaForm(const TCellHead& h, TByteReader tokens, uint16_t options,
                                                 const TSharedFormula*& shared) {
  shared = nullptr;
  // tExp: the cell belongs to a shared formula or an array formula whose first cell it names.
  if (tokens.Remaining() < 5 || tokens.GetU8() != 0x01) return TFormulaForm::ffPlain;
  const uint32_t expRow = tokens.GetU16(), expColumn = tokens.GetU8();
  const uint16_t next = stream_.PeekId();
  if ((options & 0x0008) || next == rec::SHRFMLA || next == rec::SHRFMLA_OLD) {
    if (next == rec::SHRFMLA || next == rec::SHRFMLA_OLD) {
      ReadNextRecord();
      AddSharedFormula(auxBody_, auxHeader_.length);
    }
    shared = FindSharedFormula(expRow, expColumn);
    if (!shared)
      throw EXLSError(FormatMessage("Fixup error in shared formula at C=%d,R=%d (%s)",
                                    static_cast<int>(h.column), static_cast<int>(h.row),
                                    CellA1Name(h.column, h.row).c_str()));
    return TFormulaForm::ffShared;
  }
  if (next == rec::ARRAY) {
    ReadNextRecord();
    SetLastArray(auxBody_, auxHeader_.length);
    return TFormulaForm::ffArrayAnchor;
  }
  if (hasArray_ && h.row >= arrayFirstRow_ && h.row <= arrayLastRow_ && h.column >= arrayFirstColumn_ &&
      h.column <= arrayLastColumn_)
    return TFormulaForm::ffArrayMember;
  if ((shared = FindSharedFormula(expRow, expColumn)) != nullptr)
    return TFormulaForm::ffShared;  // a shared formula cell whose flag was not set
  hasArray_ = false;
  lastArray_.clear();
  return TFormulaForm::ffPlain;
}

void TXLSReader::TakeSharedTokens(const TSharedFormula& shared, const TCellHead& h, TFormulaData& data) {
  // Every cell of a shared formula gets its own copy of the tokens; their total is bounded by the
  // file's size, so that a file cannot make a few bytes per cell into a large claim on memory.
  sharedBytes_ += shared.tokens.size();
  if (sharedBytes_ > kSharedExpansionFactor * stream_.StreamSize() + kSharedExpansionAllowance)
    throw EXLSError(
        FormatMessage("Shared formulas expand to more than %llu bytes, too much for a workbook "
                      "stream of %llu bytes",
                      static_cast<unsigned long long>(sharedBytes_ - shared.tokens.size()),
                      static_cast<unsigned long long>(stream_.StreamSize())));
  data.expression = shared.tokens;
  data.tokenLength = shared.tokenCount;
  ConvertSharedFormulaTokens(data.expression.data(), data.expression.size(), h.row, h.column,
                             version_ >= xvExcel97);
}

void TXLSReader::PutArrayFormulaCell(const TCellHead& h, bool member, std::unique_ptr<TFormulaData> data) {
  const uint8_t* result = data->result;
  const bool marked = result[6] == 0xFF && result[7] == 0xFF;
  TCellKind kind = ckNumberArrayFormula;
  if (marked && (result[0] == 1 || result[0] == 2)) {
    // A boolean or error result: the plain formula kind of that result, holding the ARRAY record all
    // the same, so that it reads as its value and not as a number made of the marker bytes.
    NonNumericResult(result[0], result[2], kind, *data);
  } else if (ReadFormulaString(data->text) || (marked && result[0] == 3)) {
    kind = ckStringArrayFormula;
  }
  // The first cell writes the ARRAY record. The other cells keep only its fixed part (range, options,
  // token count): a copy of the whole body in every cell would let a small file claim a huge memory.
  if (member)
    data->arrayBody.assign(lastArray_.begin(),
                           lastArray_.begin() + std::min<size_t>(lastArray_.size(), kArrayFixedSize));
  else
    data->arrayBody = lastArray_;
  data->arrayFlag = member ? 1 : 0;
  PutFormulaCell(h, kind, std::move(data));
}

bool TXLSReader::OnFormula(TByteReader& r) {
  // Row, column, XF, the cached result, options, 4 unused bytes, the token count, the tokens.
  const TCellHead h = ReadCellHead(r, 22);
  if (!InSheet()) return false;
  auto data = std::make_unique<TFormulaData>();
  r.GetBytes(data->result, sizeof data->result);
  const uint16_t options = r.GetU16();
  r.Skip(4);
  const uint16_t tokenCount = r.GetU16();
  if (tokenCount > r.Remaining()) Short(22u + tokenCount);
  data->tokenLength = tokenCount;
  const uint8_t* result = data->result;
  const bool nonNumeric = result[6] == 0xFF && result[7] == 0xFF;
  const uint8_t resultType = result[0], resultValue = result[2];

  const TSharedFormula* shared = nullptr;
  TFormulaForm form = FormulaForm(h, TByteReader(r.Current(), tokenCount), options, shared);
  if (form == TFormulaForm::ffShared)
    TakeSharedTokens(*shared, h, *data);
  else
    data->expression.assign(r.Current(), r.Current() + r.Remaining());

  // An array member with a boolean or error result: the model's array formulas hold numbers and text
  // only. A member writes no ARRAY record, so as a plain formula cell it keeps both its value and its
  // file form. (The first cell must stay an array formula to carry the ARRAY record; its result bytes
  // are kept as they are.)
  if (form == TFormulaForm::ffArrayMember && nonNumeric && (resultType == 1 || resultType == 2))
    form = TFormulaForm::ffPlain;
  if (form == TFormulaForm::ffArrayAnchor || form == TFormulaForm::ffArrayMember) {
    PutArrayFormulaCell(h, form == TFormulaForm::ffArrayMember, std::move(data));
    return false;
  }
  // The first cell of a data table (tTbl) is followed by its TABLE record, and a text result's STRING
  // only after that: the cell keeps the record, which the writer puts back after it.
  if (tokenCount >= 1 && *r.Current() == 0x02 && stream_.PeekId() == rec::TABLE) {
    ReadNextRecord();
    data->tableBody.assign(auxBody_, auxBody_ + auxHeader_.length);
  }
  TCellKind kind = ckNumberFormula;
  if (nonNumeric ? NonNumericResult(resultType, resultValue, kind, *data) : tokenCount != 0)
    PutFormulaCell(h, kind, std::move(data));
  return false;
}

bool TXLSReader::OnOldFormula(TByteReader& r, const TOldFormulaLayout& layout) {
  const TCellHead h = ReadCellHead(r, layout.tokens, layout.withXF);
  if (!InSheet()) return false;
  auto data = std::make_unique<TFormulaData>();
  r.Seek(layout.result);
  r.GetBytes(data->result, sizeof data->result);
  r.Seek(kOldFormulaTokenCount);
  data->tokenLength = layout.byteTokenCount ? r.GetU8() : r.GetU16();
  r.Seek(layout.tokens);
  data->expression.assign(r.Current(), r.Current() + r.Remaining());
  const uint8_t* result = data->result;
  TCellKind kind = ckNumberFormula;
  // A numeric result makes a cell even without tokens, unlike in BIFF5-8.
  if (result[6] == 0xFF && result[7] == 0xFF && !NonNumericResult(result[0], result[2], kind, *data))
    return false;
  PutFormulaCell(h, kind, std::move(data));
  return false;
}

bool TXLSReader::OnFormula3(TByteReader& r) {
  // BIFF3-4: row, column, XF, result (6), options (14), token count (16), tokens (18).
  return OnOldFormula(r, {.withXF = true, .result = 6, .byteTokenCount = false, .tokens = 18});
}

bool TXLSReader::OnFormula2(TByteReader& r) {
  // BIFF2: row, column, 3 attribute bytes, result (7), recalculation flag, token count (16), tokens (17).
  return OnOldFormula(r, {.withXF = false, .result = 7, .byteTokenCount = true, .tokens = 17});
}

}  // namespace plicato
