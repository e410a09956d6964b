// The reader's substreams: where each begins (BOF: the globals, a worksheet, a chart sheet, a nested
// chart or object) and ends (EOF), a sheet's state set up and finished, and a chart sheet's records
// kept as they are.
#include "xls/XLSReader.h"

#include <optional>
#include <utility>

#include "biff/BIFFString.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace rec = BIFFRecs;

namespace {

constexpr uint32_t kMaxGlobalsBOFSize = 256;
// What Excel allows on a protected sheet unless told otherwise: selecting locked and unlocked cells.
constexpr uint16_t kDefaultProtectionAllowances = 0x4400;

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

}  // namespace plicato
