#include "xls/XLSWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>

#include "biff/BIFFString.h"
#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/RK.h"
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "biff/XLSStream.h"
#include "workbook/CellFormats.h"
#include "workbook/CellStorage.h"
#include "workbook/ColorTable.h"
#include "workbook/Columns.h"
#include "workbook/NumberFormats.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSFonts.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace {

namespace R = BIFFRecs;

constexpr uint32_t kMaxBody = kMaxRecordDataBiff8;

// Fixed record sizes.
constexpr uint16_t kFilePassLength = TXLSStream::kFilePassSize;

// Kept records whose layout is the same in BIFF5 (or before) and BIFF8. INTERFACEHDR is converted.
bool SameLayoutInBiff8(uint16_t id) {
  switch (id) {
    case R::WINDOW1:  // further windows on the workbook
    case R::SELECTION:
    case R::PANE:
    case R::SCL:
    case R::PASSWORD:
    case R::WSBOOL:
    case R::OBJPROTECT:
    case R::SCENPROTECT:
    case R::STANDARDWIDTH:
    case R::INTERFACEHDR:
    case R::MMS:
    case R::INTERFACEEND:
      return true;
    default:
      return false;
  }
}

// Picks the entries of a stored list of a workbook read from a file before BIFF8 that go out (see the
// class comment), in list order. A substream embedded in the list (a chart of a sheet's drawing, kept
// between its own BOF and EOF) goes with the drawing objects it belongs to, which are left out too.
//
// The list's own BOF is its first BOF and its own EOF its last EOF, which is always written. An embedded
// substream that a damaged file never closed takes the records after it: of those only the ones the
// reader added for the list itself when the list ended go out (placeholders, and the typed records the
// list refers to).
class TOldRecordFilter {
 public:
  explicit TOldRecordFilter(const TRecordStorageDefault& list) : list_(list) {
    for (int pos = list.Count() - 1; pos >= 0; --pos) {
      const TStoredRecord* entry = list.EntryAt(pos);
      if (entry && entry->Id() == R::EOF_) {
        ownEOF_ = pos;
        break;
      }
    }
  }

  bool Keeps(int pos, const TStoredRecord& entry) {
    const uint16_t id = entry.Id();
    if (R::IsBOF(id)) {
      if (!ownBOF_) {
        ownBOF_ = true;
        return true;
      }
      ++depth_;
      return false;
    }
    if (id == R::EOF_) {
      if (pos == ownEOF_) return true;
      if (depth_ > 0) --depth_;
      return false;  // an embedded substream's, or a stray one that would end the list early
    }
    if ((id & 0x8000) != 0) return true;  // placeholders: generated from the model
    if (depth_ > 0) return list_.HasTypedField(id) && list_.Current(id) == &entry;
    return list_.HasTypedField(id) || SameLayoutInBiff8(id);
  }

 private:
  const TRecordStorageDefault& list_;
  int ownEOF_ = -1;
  bool ownBOF_ = false;
  int depth_ = 0;
};

}  // namespace

std::string TXLSWriter::WrapMessage(int number, const std::exception& failure) {
  return FormatMessage("Error on writing record # %d", number) + "\r" + failure.what();
}

int TXLSWriter::WrittenFormatIndex(const TSheet& /*sheet*/, TExcelVersion /*version*/, int formatIndex) {
  return formatIndex < 0 ? kDefaultCellFormatIndex : formatIndex;
}

// ---------------------------------------------------------------------------------------------------------
// The writer

TXLSWriter::TXLSWriter(TXLSWorkbook& workbook)
    : workbook_(workbook), stream_(std::make_unique<TXLSStream>()) {}

TXLSWriter::~TXLSWriter() = default;

void TXLSWriter::WriteWordRecord(uint16_t id, uint16_t value) {
  std::vector<uint8_t> body;
  PutFixed16(body, value);
  stream_->AppendRecord(id, body);
}

void TXLSWriter::WriteWorkbook(std::vector<uint8_t>* destination) {
  TXLSStream& stream = *stream_;
  sheetList_.clear();
  try {
    BuildSheetList();
    stream.SetExtraObjects(&workbook_.ExtraObjects());
    stream.SetDestMemory(destination);
    stream.SetPreserveMacros(workbook_.PreserveMacros);
    stream.OpenWrite(PathFromFileName(workbook_.Filename), xvExcel97);

    if (workbook_.Globals().Count() == 0) workbook_.Globals().MaterializeDefaults();
    WriteGlobals();
    // In BOUNDSHEET order: a chart sheet's substream stands where its sheet stands.
    for (const TBoundsheetData& entry : sheetList_) {
      if (entry.kind == 1)
        WriteChartSheet(entry);
      else
        WriteSheet(entry.index);
    }

    // The stream encrypts what it hands on from the FILEPASS written after the first BOF on.
    if (!workbook_.Password.empty() && !stream.Encrypting())
      throw EXLSError("[int] No encryption key: the FILEPASS record was not made");
    // The macro project of a file read is carried with its other parts; this writes one only when the
    // stream was given a project object.
    if (workbook_.PreserveMacros) stream.WriteVbaStorage();
    stream.Close();
  } catch (...) {
    // The output replaces the target only on Close: abandoning drops the partial workbook and leaves
    // any existing file untouched. A failure of the output itself (a full disk) is reported as such,
    // not as a failure of the record whose write it interrupted.
    const std::exception_ptr outputFailure = stream.OutputFailure();
    stream.Abandon();
    sheetList_.clear();
    if (outputFailure) std::rethrow_exception(outputFailure);
    throw;
  }
  sheetList_.clear();
}

void TXLSWriter::BuildSheetList() {
  // The worksheets in order, with the chart sheets of a workbook read from a file put back at their
  // places among them (those beyond the last worksheet after it).
  TSheets& sheets = workbook_.Sheets();
  const std::vector<TChartSheet>& charts = workbook_.ChartSheets();
  size_t chart = 0;
  auto addCharts = [&](int upTo) {
    for (; chart < charts.size() && charts[chart].position <= upTo; ++chart) {
      TBoundsheetData entry;
      entry.kind = 1;
      entry.index = static_cast<int32_t>(chart);
      entry.name = charts[chart].name;
      entry.visibility = charts[chart].visibility;
      sheetList_.push_back(std::move(entry));
    }
  };
  const int selectedTab = workbook_.Workbook().SelectedTab();
  for (int i = 0; i < sheets.Count(); ++i) {
    addCharts(static_cast<int>(sheetList_.size()));
    const int position = static_cast<int>(sheetList_.size());  // the tab order counts chart sheets
    TSheet& sheet = sheets.Item(i);
    if (TStoredRecord* window2 = sheet.Records().Window2(); window2 && window2->Holds(0, 2)) {
      uint16_t options = DecodeFixed16(window2->Data());
      if (sheet.PaneKind == 1) options |= kWindow2FrozenPanes | kWindow2FrozenNoSplit;
      if (position == selectedTab)
        options |= kWindow2Selected;
      else
        options &= static_cast<uint16_t>(~kWindow2Selected);
      EncodeFixed16(window2->Data(), options);
    }
    TBoundsheetData entry;
    switch (sheet.Kind()) {
      case 1:
        entry.kind = 2;
        break;  // VB module
      case 2:
        entry.kind = 3;
        break;  // macro sheet
      default:
        entry.kind = 0;
        break;
    }
    entry.index = i;
    entry.name = sheet.Name();
    entry.visibility = sheet.Hidden;
    sheetList_.push_back(std::move(entry));
  }
  addCharts(INT32_MAX);
}

// ---------------------------------------------------------------------------------------------------------
// Globals

bool TXLSWriter::OldSource() const {
  return workbook_.Version() < xvExcel97;
}

void TXLSWriter::WriteGlobals() {
  TRecordStorageGlobals& globals = workbook_.Globals();
  const bool old = OldSource();
  TOldRecordFilter filter(globals);
  for (int pos = 0; pos < globals.Count(); ++pos) {
    if (old) {
      const TStoredRecord* entry = globals.EntryAt(pos);
      if (!entry || !filter.Keeps(pos, *entry)) continue;
    }
    try {
      WriteGlobalsEntry(pos);
    } catch (const std::exception& failure) {
      throw EXLSError(WrapMessage(pos, failure), KindOf(failure));
    }
  }
}

void TXLSWriter::WriteGlobalsEntry(int pos) {
  TRecordStorageGlobals& globals = workbook_.Globals();
  const TStoredRecord* entry = globals.EntryAt(pos);
  if (!entry) return;
  switch (entry->Id()) {
    case R::WRITEACCESS: {
      globals.WriteEntry(pos, *stream_);
      const std::vector<uint8_t>& sharing = workbook_.FileSharing().Data();
      if (sharing.size() > 1) {
        if (sharing.size() > kMaxBody)
          throw EXLSError(FormatMessage("File sharing data of %zu bytes is too long", sharing.size()));
        if (OldSource())
          WriteOldFileSharing(sharing);
        else
          stream_->AppendRecord(R::FILESHARING, sharing);
      }
      break;
    }
    case R::CODEPAGE:
    case R::INTERFACEHDR:
      // An older file names its 8-bit code page; the texts of the BIFF8 output are all Unicode. (An
      // older INTERFACEHDR is empty, a BIFF8 one names the code page.)
      if (OldSource())
        WriteWordRecord(entry->Id(), kCodePageUtf16);
      else
        globals.WriteEntry(pos, *stream_);
      break;
    case R::OBPROJ:
      // OBPROJ announces a macro project: written only where the project goes along, since Excel
      // reports a file that announces a project it lacks as damaged.
      if (workbook_.PreserveMacros && stream_->CarriesVbaStorage()) globals.WriteEntry(pos, *stream_);
      break;
    case R::TABID:
      // A macro project with modules would add OBPROJ here; this system keeps none.
      WriteTabId(pos);
      break;
    case R::BOF:
      globals.WriteEntry(pos, *stream_);
      if (entry->Holds(2, 2) && DecodeFixed16(entry->Data() + 2) == R::BOF_GLOBALS &&
          !workbook_.Password.empty())
        WriteFilePass();
      break;
    case R::FILEPASS:
      // The encryption of the file that was read says nothing about this one: a password set for
      // writing brings its own FILEPASS after the BOF, and a kept one would claim an encryption that
      // is not there.
      break;
    case R::PH_FORMATS:
      WriteFormatRecords();
      break;
    case R::PH_BOUNDSHEETS:
      WriteBoundsheets();
      break;
    case R::PH_NAMES:         // external references and names: this system keeps none
    case R::PH_DRAWINGGROUP:  // drawings: none either
      break;
    case R::PH_SST:
      workbook_.SST().WriteSST(*stream_);
      break;
    default:
      // Placeholders are never written themselves; everything else goes out byte for byte.
      if ((entry->Id() & 0x8000) == 0) globals.WriteEntry(pos, *stream_);
      break;
  }
}

void TXLSWriter::WriteOldFileSharing(const std::vector<uint8_t>& data) {
  // Before BIFF8: read-only flag, password hash, then the user name as a 16-bit count and 8-bit
  // characters in the file's code page. BIFF8 puts the string's flag byte before the characters.
  if (data.size() < 6 || DecodeFixed16(data.data() + 4) == 0) {
    stream_->AppendRecord(
        R::FILESHARING, std::vector<uint8_t>(data.begin(), data.begin() + std::min<size_t>(data.size(), 6)));
    return;
  }
  const size_t count = std::min<size_t>(DecodeFixed16(data.data() + 4), data.size() - 6);
  const std::u16string name = DecodeCodePage(data.data() + 6, count, workbook_.CodePage);
  const size_t length = 7 + (FitsIn8Bits(name) ? name.size() : 2 * name.size());
  if (length > kMaxBody) throw EXLSError(FormatMessage("File sharing data of %zu bytes is too long", length));
  std::vector<uint8_t> body(data.begin(), data.begin() + 4);
  PutBiffString(body, name, /*shortCount=*/false, /*allowNarrow=*/true);
  stream_->AppendRecord(R::FILESHARING, body);
}

void TXLSWriter::WriteFilePass() {
  std::vector<uint8_t> filePass(kFilePassLength);
  stream_->MakeFilePass(filePass.data(), workbook_.Password);
  stream_->AppendRecord(R::FILEPASS, filePass);
  if (workbook_.Globals().IndexOf(R::INTERFACEHDR) < 0) {
    WriteWordRecord(R::INTERFACEHDR, kCodePageUtf16);
    WriteWordRecord(R::MMS, 0);
    stream_->AppendRecord(R::INTERFACEEND, {});
  }
}

void TXLSWriter::WriteTabId(int pos) {
  TRecordStorageGlobals& globals = workbook_.Globals();
  if (globals.EntryAt(pos)->Length() > 0) {
    globals.WriteEntry(pos, *stream_);
    return;
  }
  const int count = static_cast<int>(sheetList_.size());
  std::vector<uint8_t> body;
  for (int i = 0; i < count; ++i) PutFixed16(body, static_cast<uint16_t>(i + 1));
  // More sheets than one record holds go on in CONTINUE records.
  stream_->AppendRecord(R::TABID, body);
}

void TXLSWriter::WriteFormatRecords() {
  TXLSStream& stream = *stream_;
  workbook_.Fonts().WriteFontRecords(stream);
  workbook_.NumberFormats().WriteFormatRecords(stream);
  workbook_.CellFormats().WriteXFRecords(stream);
  if (workbook_.NotRead())
    TCellFormats::WriteDefaultStyles(stream);
  else
    workbook_.Styles().Write(stream);
  workbook_.Colors().WritePaletteRecord(stream);
}

void TXLSWriter::WriteBoundsheets() {
  for (TBoundsheetData& entry : sheetList_) {
    const size_t chars = entry.name.size();
    if (chars > 255) throw EXLSError(FormatMessage("Sheet name of %zu characters is too long", chars));
    std::vector<uint8_t> body;
    PutFixed32(body, 0);  // the sheet's stream position, patched when its BOF is written
    PutFixed8(body, entry.visibility);
    PutFixed8(body, kBoundsheetType[entry.kind & 0x03]);
    PutBiffString(body, entry.name, /*shortCount=*/true);  // always 16-bit characters
    entry.position = static_cast<int64_t>(stream_->Position() + kRecordHeaderSize);
    stream_->AppendRecord(R::BOUNDSHEET, body);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Worksheets

void TXLSWriter::WriteSheet(int sheetIndex) {
  sheetIndex_ = sheetIndex;
  TSheet& sheet = workbook_.Sheets().Item(sheetIndex);
  TRecordStorageSheet& records = sheet.Records();

  records.SetProtect(sheet.Protection == kAllProtectionFlags ? 0 : 1);
  TCellStorage& cells = sheet.Cells();
  std::optional<TCellBounds> bounds;
  if (sheetIndex == recordsSheet_)
    bounds = cellRecords_->Bounds();
  else if (!cells.IsEmpty())
    bounds = cells.CalcBounds();
  if (!bounds) {
    records.SetDimensions(0, 0, 0, 0);
    progressRows_ = 1;
  } else {
    const TCellBounds& b = *bounds;
    records.SetDimensions(static_cast<uint32_t>(b.firstRow), static_cast<uint32_t>(b.lastRow) + 1,
                          static_cast<uint16_t>(b.firstColumn), static_cast<uint16_t>(b.lastColumn + 1));
    progressRows_ = static_cast<uint32_t>(b.lastRow) + 1;
  }
  if (!sheet.RecordsFilled) {
    // A list that already holds records (taken over from a file) must not be replaced by defaults.
    if (records.Count() == 0) records.MaterializeDefaults();
    sheet.RecordsFilled = true;
  }

  PatchBoundsheetPosition(sheetIndex);
  const bool old = OldSource();
  TOldRecordFilter filter(records);
  for (int pos = 0; pos < records.Count(); ++pos) {
    if (old) {
      const TStoredRecord* entry = records.EntryAt(pos);
      if (!entry || !filter.Keeps(pos, *entry)) continue;
    }
    WriteSheetEntry(sheet, pos);
  }
}

void TXLSWriter::WriteChartSheet(const TBoundsheetData& entry) {
  PatchPosition(entry);
  // Kept as read, record by record (the stream encrypts them like any other when asked to).
  const std::vector<uint8_t>& records = workbook_.ChartSheets()[static_cast<size_t>(entry.index)].records;
  for (size_t at = 0; at < records.size();) {
    if (records.size() - at < kRecordHeaderSize) throw EXLSError("[int] A chart sheet ends inside a record");
    const uint16_t id = DecodeFixed16(&records[at]);
    const uint16_t length = DecodeFixed16(&records[at + 2]);
    at += kRecordHeaderSize;
    if (records.size() - at < length) throw EXLSError("[int] A chart sheet ends inside a record");
    stream_->WriteRecord(id, &records[at], length);
    at += length;
  }
}

void TXLSWriter::PatchPosition(const TBoundsheetData& entry) {
  if (entry.position < 0) return;  // the globals list had no place for BOUNDSHEET records
  const uint64_t bof = stream_->Position();
  if (bof > UINT32_MAX) throw EXLSError("The workbook stream is too large");
  // The BOUNDSHEET records may have gone out to the file long since: the stream writes there.
  uint8_t position[4];
  EncodeFixed32(position, static_cast<uint32_t>(bof));
  stream_->Patch(static_cast<uint64_t>(entry.position), position, sizeof position);
}

void TXLSWriter::PatchBoundsheetPosition(int sheetIndex) {
  for (const TBoundsheetData& entry : sheetList_) {
    if (entry.kind != 1 && entry.index == sheetIndex) {
      PatchPosition(entry);
      return;
    }
  }
}

void TXLSWriter::WriteSheetEntry(TSheet& sheet, int pos) {
  TRecordStorageSheet& records = sheet.Records();
  const TStoredRecord* entry = records.EntryAt(pos);
  if (!entry) return;
  switch (entry->Id()) {
    case R::SELECTION:
      // With a pane the selections belong to the pane's records.
      if (sheet.PaneKind == 0) records.WriteEntry(pos, *stream_);
      break;
    case R::DEFCOLWIDTH:
      records.WriteEntry(pos, *stream_);  // auto-filters would follow; this system keeps none
      break;
    case R::WINDOW2:
      if (OldSource())
        WriteOldWindow2(*entry);
      else
        records.WriteEntry(pos, *stream_);
      if (sheet.Zoom != 0 && sheet.Zoom != 100) {
        std::vector<uint8_t> scl;
        PutFixed16(scl, sheet.Zoom);
        PutFixed16(scl, 100);
        stream_->AppendRecord(R::SCL, scl);
      }
      break;
    case R::PH_PAGEBREAKS:
      WritePageBreaks(sheet);
      break;
    case R::PH_HEADERFOOTER:
      WriteHeaderFooter(sheet);
      break;
    case R::PH_MARGINS:
      WriteMargins(sheet);
      break;
    case R::PH_COLINFO:
      sheet.Columns().WriteColInfo(*stream_);
      break;
    case R::PH_CELLS:
      WriteRows(sheet);
      if (sheetIndex_ == recordsSheet_)
        cellRecords_->WriteTo(*stream_);
      else
        WriteCells(sheet, xvExcel97, *stream_);
      break;
    case R::PH_SHEETEXTRAS:
      // Drawings, panes, merged cells, conditional formats, hyperlinks and validations would come
      // first; this system keeps none of them.
      WriteSheetProtection(sheet);
      break;
    default:
      if ((entry->Id() & 0x8000) == 0) records.WriteEntry(pos, *stream_);
      break;
  }
}

void TXLSWriter::WriteOldWindow2(const TStoredRecord& window2) {
  // Before BIFF8 the gridline colour is an RGB value (offset 6, 4 bytes, kept when the reader widened
  // the record); BIFF8 has a palette index and a reserved word there. The default colour stands in.
  std::vector<uint8_t> body(window2.Data(), window2.Data() + window2.Length());
  if (window2.Holds(6, 4)) {
    EncodeFixed16(body.data() + 6, kWindow2DefaultGridColor);
    EncodeFixed16(body.data() + 8, 0);
  }
  stream_->AppendRecord(R::WINDOW2, body);
}

void TXLSWriter::WritePageBreaks(TSheet& sheet) {
  const TPrintSettings& print = sheet.PrintSettings();
  const std::pair<uint16_t, const TPageBreaks*> lists[2] = {
      {R::HORIZONTALPAGEBREAKS, &print.HorizPagebreaks()}, {R::VERTICALPAGEBREAKS, &print.VertPagebreaks()}};
  for (const auto& [id, breaks] : lists) {
    if (breaks->empty()) continue;
    if (breaks->size() > (kMaxBody - 2) / 6)
      throw EXLSError(FormatMessage("%zu page breaks do not fit in one record", breaks->size()));
    std::vector<uint8_t> body;
    PutFixed16(body, static_cast<uint16_t>(breaks->size()));
    for (const TPageBreak& pageBreak : *breaks) {
      PutFixed16(body, pageBreak.position);
      PutFixed16(body, pageBreak.start);
      PutFixed16(body, pageBreak.end);
    }
    stream_->AppendRecord(id, body);
  }
}

void TXLSWriter::WriteHeaderFooter(TSheet& sheet) {
  const TPrintSettings& print = sheet.PrintSettings();
  for (const auto& [id, text] : {std::pair<uint16_t, const std::u16string*>{R::HEADER, &print.Header()},
                                 std::pair<uint16_t, const std::u16string*>{R::FOOTER, &print.Footer()}}) {
    if (text->size() > (kMaxBody - 3) / 2)
      throw EXLSError(FormatMessage("Header or footer of %zu characters is too long", text->size()));
    std::vector<uint8_t> body;
    if (!text->empty()) PutBiffString(body, *text);  // an empty text: an empty record
    stream_->AppendRecord(id, body);
  }
}

void TXLSWriter::WriteMargins(TSheet& sheet) {
  const TPrintSettings& print = sheet.PrintSettings();
  const std::pair<uint16_t, double> margins[4] = {{R::LEFTMARGIN, print.MarginLeft()},
                                                  {R::RIGHTMARGIN, print.MarginRight()},
                                                  {R::TOPMARGIN, print.MarginTop()},
                                                  {R::BOTTOMMARGIN, print.MarginBottom()}};
  for (const auto& [id, inches] : margins) {
    if (!(inches >= 0)) continue;  // a negative margin means "not stated"
    std::vector<uint8_t> body;
    PutDouble(body, inches);
    stream_->AppendRecord(id, body);
  }
}

void TXLSWriter::WriteRows(TSheet& sheet) {
  TXLSRows& rows = sheet.Rows();
  rows.SortRows();
  std::vector<uint8_t> body(kRowSize);
  for (int pos = 0; pos < rows.Count(); ++pos) {
    rows.FillRowRecord(pos, body.data());
    stream_->AppendRecord(R::ROW, body);
  }
}

void TXLSWriter::WriteSheetProtection(TSheet& sheet) {
  if (sheet.Protection == kAllProtectionFlags) return;
  // The shared-feature header of the protection feature: frtHeader (record id, flags 0, 8 reserved
  // bytes), the feature type, a reserved byte 1, header data size -1, then the flags of what stays
  // allowed and 2 reserved bytes.
  std::vector<uint8_t> body(kSheetProtectionSize, 0);
  uint8_t* p = body.data();
  EncodeFixed16(p, R::SHEETPROTECTION);
  EncodeFixed16(p + 12, kFeatureProtection);
  p[14] = 1;
  EncodeFixed32(p + 15, 0xFFFFFFFFu);
  EncodeFixed16(p + 19, sheet.Protection);
  stream_->AppendRecord(R::SHEETPROTECTION, body);
}

}  // namespace plicato
