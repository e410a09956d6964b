#include "biff/RecordStorage.h"

#include <algorithm>
#include <cstring>

#include "biff/BIFFString.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"

namespace plicato {

// ---------------------------------------------------------------------------------------------------------
// TStoredRecord

TStoredRecord::TStoredRecord(uint16_t id, uint16_t length, const uint8_t* body) : id_(id) {
  Assign(length, body);
}

void TStoredRecord::Assign(uint16_t length, const uint8_t* body) {
  if (body) {
    body_.assign(body, body + length);
  } else {
    body_.assign(length, 0);
  }
}

// ---------------------------------------------------------------------------------------------------------
// TBaseRecordStorage

TBaseRecordStorage::~TBaseRecordStorage() = default;

TStoredRecord* TBaseRecordStorage::AddRecord(uint16_t id, uint16_t length, const uint8_t* body) {
  return Append(std::make_unique<TStoredRecord>(id, length, body));
}

TStoredRecord* TBaseRecordStorage::Append(std::unique_ptr<TStoredRecord> entry) {
  entries_.push_back(std::move(entry));
  return entries_.back().get();
}

void TBaseRecordStorage::Clear() {
  entries_.clear();
}

int TBaseRecordStorage::IndexOf(uint16_t id) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i] && entries_[i]->Id() == id) return static_cast<int>(i);
  }
  return -1;
}

void TBaseRecordStorage::CheckPosition(int pos) const {
  if (pos < 0 || pos >= Count()) throw EListError(pos);
}

TStoredRecord* TBaseRecordStorage::EntryAt(int pos) {
  CheckPosition(pos);
  return entries_[static_cast<size_t>(pos)].get();
}

const TStoredRecord* TBaseRecordStorage::EntryAt(int pos) const {
  CheckPosition(pos);
  return entries_[static_cast<size_t>(pos)].get();
}

void TBaseRecordStorage::WriteEntry(int pos, TXLSStream& stream) const {
  const TStoredRecord* entry = EntryAt(pos);
  if (entry) stream.WriteRecord(entry->Id(), entry->Data(), entry->Length());
}

void TBaseRecordStorage::WriteAll(TXLSStream& stream) const {
  for (int i = 0; i < Count(); ++i) WriteEntry(i, stream);
}

uint32_t TBaseRecordStorage::TotalSize() const {
  uint32_t total = 0;
  for (const auto& entry : entries_) {
    if (entry) total += entry->Length() + kRecordHeaderSize;
  }
  return total;
}

void TBaseRecordStorage::ResizeEntry(int pos, uint16_t newLength, const uint8_t* body) {
  TStoredRecord* entry = EntryAt(pos);
  if (!entry) throw EXLSError(FormatMessage("[int] Record slot %d is empty", pos));
  entry->Assign(newLength, body);
}

void TBaseRecordStorage::CopyTo(TBaseRecordStorage& other) const {
  for (const auto& entry : entries_) {
    if (entry) other.AddRecord(entry->Id(), entry->Length(), entry->Data());
  }
}

std::unique_ptr<TStoredRecord> TBaseRecordStorage::TakeAt(int pos) {
  CheckPosition(pos);
  return std::move(entries_[static_cast<size_t>(pos)]);
}

// ---------------------------------------------------------------------------------------------------------
// TRecordStorageDefault

namespace {

bool IsPlaceholder(uint16_t id) {
  return id >= 0x8000;
}

// Identifiers that share one typed field: every BOF identifier is the BOF.
bool SameRecord(uint16_t a, uint16_t b) {
  return a == b || (BIFFRecs::HasBOFLowByte(a) && BIFFRecs::HasBOFLowByte(b));
}

int FirstIndexOfRecord(const TBaseRecordStorage& list, uint16_t id) {
  for (int i = 0; i < list.Count(); ++i) {
    const TStoredRecord* entry = list.EntryAt(i);
    if (entry && SameRecord(entry->Id(), id)) return i;
  }
  return -1;
}

}  // namespace

TRecordStorageDefault::~TRecordStorageDefault() = default;

TStoredRecord* TRecordStorageDefault::AddDefault(uint16_t id, uint16_t length) {
  return defaults_.AddRecord(id, length, nullptr);
}

TStoredRecord* TRecordStorageDefault::AddDefaultWord(uint16_t id, uint16_t value) {
  TStoredRecord* entry = AddDefault(id, 2);
  EncodeFixed16(entry->Data(), value);
  return entry;
}

int TRecordStorageDefault::FieldSlot(uint16_t id) const {
  const std::vector<TDefaultRecord>& table = DefaultTable();
  for (size_t i = 0; i < table.size(); ++i) {
    if (SameRecord(table[i].id, id)) return static_cast<int>(i);
  }
  return -1;
}

void TRecordStorageDefault::ResetDefaults() {
  TBaseRecordStorage::Clear();
  defaults_.Clear();
  const std::vector<TDefaultRecord>& table = DefaultTable();
  fields_.assign(table.size(), nullptr);
  for (size_t i = 0; i < table.size(); ++i) {
    TStoredRecord* entry = AddDefault(table[i].id, static_cast<uint16_t>(table[i].body.size()));
    if (!table[i].body.empty()) std::memcpy(entry->Data(), table[i].body.data(), table[i].body.size());
    fields_[i] = entry;
  }
}

void TRecordStorageDefault::SetRecord(uint16_t id, uint16_t length, const uint8_t* body) {
  if (FieldSlot(id) < 0) throw EXLSError(FormatMessage("[int] Unknown default record %.4X", id));
  TakeOver(id, length, body);
}

void TRecordStorageDefault::SetPlaceholder(uint16_t id) {
  if (!IsPlaceholder(id) || FieldSlot(id) < 0) {
    throw EXLSError(FormatMessage("[int] Unknown int. default record %.4X", id));
  }
  TakeOver(id, 0, nullptr);
}

void TRecordStorageDefault::TakeOver(uint16_t id, uint16_t length, const uint8_t* body) {
  // A record that arrives again replaces the one taken over before, in place.
  int written = FirstIndexOfRecord(*this, id);
  if (written >= 0) {
    TStoredRecord* entry = EntryAt(written);
    if (entry->Length() != length) throw EXLSError("Size missmatch on default record");
    if (length > 0 && body) std::memcpy(entry->Data(), body, length);
    return;
  }
  int last = FirstIndexOfRecord(defaults_, id);
  if (last < 0) throw EXLSError(FormatMessage("Excpected default record %.4X not found.", id));
  // Defaults before this one that the file lacks keep their order and come before it.
  try {
    for (int i = 0; i <= last; ++i) {
      if (!defaults_.EntryAt(i)) continue;
      std::unique_ptr<TStoredRecord> taken = defaults_.TakeAt(i);
      TStoredRecord* appended;
      if (i == last) {
        appended = AddRecord(id, length, body);
      } else {
        appended = Append(std::move(taken));
      }
      RecordMoved(appended);
    }
  } catch (...) {
    // A record taken that could not be appended (out of memory) is gone: no field may point to it.
    RelinkFields();
    throw;
  }
}

void TRecordStorageDefault::RecordMoved(TStoredRecord* entry) {
  int slot = entry ? FieldSlot(entry->Id()) : -1;
  if (slot < 0) {
    throw EXLSError(FormatMessage("[int] Unknown move default record %.4X", entry ? entry->Id() : 0u));
  }
  fields_[static_cast<size_t>(slot)] = entry;
}

void TRecordStorageDefault::MaterializeDefaults() {
  TBaseRecordStorage::Clear();
  defaults_.CopyTo(*this);
  RelinkFields();
}

void TRecordStorageDefault::Clear() {
  TBaseRecordStorage::Clear();
  RelinkFields();
}

void TRecordStorageDefault::RelinkFields() {
  const std::vector<TDefaultRecord>& table = DefaultTable();
  fields_.assign(table.size(), nullptr);
  for (size_t slot = 0; slot < table.size(); ++slot) {
    int pos = FirstIndexOfRecord(*this, table[slot].id);
    if (pos >= 0) {
      fields_[slot] = EntryAt(pos);
    } else {
      pos = FirstIndexOfRecord(defaults_, table[slot].id);
      if (pos >= 0) fields_[slot] = defaults_.EntryAt(pos);
    }
  }
}

TStoredRecord* TRecordStorageDefault::Current(uint16_t id) {
  int slot = FieldSlot(id);
  return slot < 0 ? nullptr : fields_[static_cast<size_t>(slot)];
}

const TStoredRecord* TRecordStorageDefault::Current(uint16_t id) const {
  int slot = FieldSlot(id);
  return slot < 0 ? nullptr : fields_[static_cast<size_t>(slot)];
}

bool TRecordStorageDefault::DefaultBytes(uint16_t id, size_t offset, size_t size,
                                         const uint8_t*& bytes) const {
  int slot = FieldSlot(id);
  if (slot < 0) return false;
  const std::vector<uint8_t>& body = DefaultTable()[static_cast<size_t>(slot)].body;
  if (offset > body.size() || size > body.size() - offset) return false;
  bytes = body.data() + offset;
  return true;
}

const uint8_t* TRecordStorageDefault::ReadField(uint16_t id, size_t offset, size_t size) const {
  if (FieldSlot(id) < 0) throw EXLSError(FormatMessage("[int] Unknown default record %.4X", id));
  const TStoredRecord* entry = Current(id);
  if (entry && entry->Holds(offset, size)) return entry->Data() + offset;
  const uint8_t* bytes = nullptr;
  return DefaultBytes(id, offset, size, bytes) ? bytes : nullptr;
}

uint8_t* TRecordStorageDefault::WriteField(uint16_t id, size_t offset, size_t size) {
  if (FieldSlot(id) < 0) throw EXLSError(FormatMessage("[int] Unknown default record %.4X", id));
  TStoredRecord* entry = Current(id);
  if (!entry) throw EXLSError(FormatMessage("Record %.4X is missing", id));
  if (!entry->Holds(offset, size)) {
    throw EXLSError(FormatMessage("Record %.4X is too short (%u bytes) for a field at offset %zu", id,
                                  static_cast<unsigned>(entry->Length()), offset));
  }
  return entry->Data() + offset;
}

uint16_t TRecordStorageDefault::FieldU16(uint16_t id, size_t offset) const {
  const uint8_t* p = ReadField(id, offset, 2);
  return p ? DecodeFixed16(p) : 0;
}

double TRecordStorageDefault::FieldDouble(uint16_t id, size_t offset) const {
  const uint8_t* p = ReadField(id, offset, 8);
  return p ? DecodeDouble(p) : 0.0;
}

void TRecordStorageDefault::SetFieldU16(uint16_t id, size_t offset, uint16_t value) {
  EncodeFixed16(WriteField(id, offset, 2), value);
}

void TRecordStorageDefault::SetFieldU32(uint16_t id, size_t offset, uint32_t value) {
  EncodeFixed32(WriteField(id, offset, 4), value);
}

void TRecordStorageDefault::SetFieldDouble(uint16_t id, size_t offset, double value) {
  EncodeDouble(WriteField(id, offset, 8), value);
}

// ---------------------------------------------------------------------------------------------------------
// Default tables

namespace {

TDefaultRecord Word(uint16_t id, uint16_t value) {
  TDefaultRecord r{id, {}};
  PutFixed16(r.body, value);
  return r;
}

TDefaultRecord Empty(uint16_t id) {
  return TDefaultRecord{id, {}};
}

std::vector<uint8_t> BofBody(uint16_t type) {
  std::vector<uint8_t> b;
  PutFixed16(b, 0x0600);  // BIFF8
  PutFixed16(b, type);
  PutFixed16(b, 0x18AF);      // build
  PutFixed16(b, 0x07CD);      // build year
  PutFixed32(b, 0x000080C9);  // file history flags
  PutFixed32(b, 0x00000106);  // lowest version that can read all records
  return b;
}

constexpr size_t kUserNameMax = 109;

// Character count, flag 0 (8-bit characters), the name, spaces to the full length.
std::vector<uint8_t> WriteAccessBody(std::u16string_view name) {
  std::vector<uint8_t> chars;
  for (size_t i = 0; i < name.size() && chars.size() < kUserNameMax; ++i) {
    char16_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      ++i;  // one character outside the 8-bit range, one '?'
      c = u'?';
    }
    chars.push_back(c <= 0xFF ? static_cast<uint8_t>(c) : static_cast<uint8_t>('?'));
  }
  std::vector<uint8_t> b;
  PutBiffString(b, std::u16string(chars.begin(), chars.end()), /*shortCount=*/false, /*allowNarrow=*/true);
  b.resize(kWriteAccessSize, 0x20);
  return b;
}

const std::vector<TDefaultRecord>& GlobalsTable() {
  static const std::vector<TDefaultRecord> table = [] {
    namespace R = BIFFRecs;
    std::vector<TDefaultRecord> t;
    t.push_back({R::BOF, BofBody(R::BOF_GLOBALS)});
    t.push_back({R::WRITEACCESS, WriteAccessBody(u"")});
    t.push_back(Word(R::CODEPAGE, kCodePageUtf16));
    t.push_back(Word(R::DSF, 0));
    t.push_back(Empty(R::TABID));
    t.push_back(Word(R::FNGROUPCOUNT, 14));
    t.push_back(Word(R::WINDOWPROTECT, 0));
    t.push_back(Word(R::PROTECT, 0));
    t.push_back(Word(R::PASSWORD, 0));
    t.push_back(Word(R::PROT4REV, 0));
    TDefaultRecord window1{R::WINDOW1, {}};
    for (uint16_t v : {100, 100, 10000, 7000, 0x0038, 0, 0, 1, 600}) PutFixed16(window1.body, v);
    t.push_back(window1);
    t.push_back(Word(R::BACKUP, 0));
    t.push_back(Word(R::HIDEOBJ, 0));
    t.push_back(Word(R::DATEMODE, 0));
    t.push_back(Word(R::PRECISION, 1));
    t.push_back(Word(R::REFRESHALL, 0));
    t.push_back(Word(R::BOOKBOOL, 0));
    t.push_back(Empty(R::PH_FORMATS));
    t.push_back(Empty(R::PH_BOUNDSHEETS));
    TDefaultRecord country{R::COUNTRY, {}};
    PutFixed16(country.body, 1);   // default country
    PutFixed16(country.body, 46);  // system country
    t.push_back(country);
    TDefaultRecord recalc{R::RECALCID, {}};
    PutFixed16(recalc.body, R::RECALCID);
    PutFixed16(recalc.body, 0);
    PutFixed32(recalc.body, 0x00FFFFFF);
    t.push_back(recalc);
    t.push_back(Empty(R::PH_NAMES));
    t.push_back(Empty(R::PH_DRAWINGGROUP));
    t.push_back(Empty(R::PH_SST));
    t.push_back(Empty(R::EOF_));
    return t;
  }();
  return table;
}

const std::vector<TDefaultRecord>& SheetTable() {
  static const std::vector<TDefaultRecord> table = [] {
    namespace R = BIFFRecs;
    std::vector<TDefaultRecord> t;
    t.push_back({R::BOF, BofBody(R::BOF_WORKSHEET)});
    t.push_back(Word(R::CALCMODE, 1));
    t.push_back(Word(R::CALCCOUNT, 100));
    t.push_back(Word(R::REFMODE, 1));
    t.push_back(Word(R::ITERATION, 0));
    TDefaultRecord delta{R::DELTA, {}};
    PutDouble(delta.body, 0.001);
    t.push_back(delta);
    t.push_back(Word(R::SAVERECALC, 1));
    t.push_back(Word(R::PRINTGRIDLINES, 0));
    t.push_back(Word(R::PRINTHEADERS, 0));
    t.push_back(Word(R::GRIDSET, 1));
    t.push_back({R::GUTS, std::vector<uint8_t>(8, 0)});
    TDefaultRecord rowHeight{R::DEFAULTROWHEIGHT, {}};
    PutFixed16(rowHeight.body, 0);    // options
    PutFixed16(rowHeight.body, 255);  // height in twips
    t.push_back(rowHeight);
    t.push_back(Word(R::WSBOOL, 0x04C1));
    t.push_back(Empty(R::PH_PAGEBREAKS));
    t.push_back(Empty(R::PH_HEADERFOOTER));
    t.push_back(Empty(R::PH_MARGINS));
    t.push_back(Word(R::HCENTER, 0));
    t.push_back(Word(R::VCENTER, 0));
    TDefaultRecord setup{R::SETUP, {}};
    for (uint16_t v : {0, 100, 1, 1, 1, 0x06B6, 600, 600}) PutFixed16(setup.body, v);
    PutDouble(setup.body, 0.5);  // header margin
    PutDouble(setup.body, 0.5);  // footer margin
    PutFixed16(setup.body, 0);   // copies
    t.push_back(setup);
    t.push_back(Word(R::PROTECT, 0));
    t.push_back(Word(R::DEFCOLWIDTH, 8));
    t.push_back({R::DIMENSIONS, std::vector<uint8_t>(14, 0)});
    t.push_back(Empty(R::PH_COLINFO));
    t.push_back(Empty(R::PH_CELLS));
    TDefaultRecord window2{R::WINDOW2, {}};
    for (uint16_t v : {0x04B6, 0, 0}) PutFixed16(window2.body, v);
    PutFixed32(window2.body, 64);  // grid-line colour index
    PutFixed16(window2.body, 0);   // page-break-preview zoom
    PutFixed16(window2.body, 0);   // normal zoom
    PutFixed32(window2.body, 0);
    t.push_back(window2);
    t.push_back(Empty(R::PH_SHEETEXTRAS));
    TDefaultRecord selection{R::SELECTION, {}};
    PutFixed8(selection.body, 3);   // pane
    PutFixed16(selection.body, 1);  // active row
    PutFixed16(selection.body, 1);  // active column
    PutFixed16(selection.body, 0);  // active range index
    PutFixed16(selection.body, 1);  // range count
    PutFixed16(selection.body, 1);  // first row
    PutFixed16(selection.body, 1);  // last row
    PutFixed8(selection.body, 1);   // first column
    PutFixed8(selection.body, 1);   // last column
    t.push_back(selection);
    t.push_back(Empty(R::EOF_));
    return t;
  }();
  return table;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// TRecordStorageGlobals

// The descendants are final, so the class's table is in place when the constructor builds the lists.
TRecordStorageGlobals::TRecordStorageGlobals() {
  ResetDefaults();
}

const std::vector<TDefaultRecord>& TRecordStorageGlobals::DefaultTable() const {
  return GlobalsTable();
}

bool TRecordStorageGlobals::Backup() const {
  return Flag(BIFFRecs::BACKUP);
}
void TRecordStorageGlobals::SetBackup(bool on) {
  SetFlag(BIFFRecs::BACKUP, on);
}
bool TRecordStorageGlobals::BookBool() const {
  return Flag(BIFFRecs::BOOKBOOL);
}
void TRecordStorageGlobals::SetBookBool(bool on) {
  SetFlag(BIFFRecs::BOOKBOOL, on);
}
bool TRecordStorageGlobals::Precision() const {
  return Flag(BIFFRecs::PRECISION);
}
void TRecordStorageGlobals::SetPrecision(bool on) {
  SetFlag(BIFFRecs::PRECISION, on);
}
bool TRecordStorageGlobals::RefreshAll() const {
  return Flag(BIFFRecs::REFRESHALL);
}
void TRecordStorageGlobals::SetRefreshAll(bool on) {
  SetFlag(BIFFRecs::REFRESHALL, on);
}
bool TRecordStorageGlobals::DateMode() const {
  return Flag(BIFFRecs::DATEMODE);
}
void TRecordStorageGlobals::SetDateMode(bool on) {
  SetFlag(BIFFRecs::DATEMODE, on);
}
uint16_t TRecordStorageGlobals::HideObj() const {
  return FieldU16(BIFFRecs::HIDEOBJ, 0);
}
void TRecordStorageGlobals::SetHideObj(uint16_t value) {
  SetFieldU16(BIFFRecs::HIDEOBJ, 0, value);
}
uint16_t TRecordStorageGlobals::Protect() const {
  return FieldU16(BIFFRecs::PROTECT, 0);
}
void TRecordStorageGlobals::SetProtect(uint16_t value) {
  SetFieldU16(BIFFRecs::PROTECT, 0, value);
}

std::u16string TRecordStorageGlobals::UserName() const {
  const TStoredRecord* entry = Current(BIFFRecs::WRITEACCESS);
  std::u16string name;
  if (!entry || entry->Length() <= 3) return name;
  const uint8_t* body = entry->Data();
  size_t available = entry->Length() - 3;
  if (body[2] == 1) {
    // Files written with 16-bit characters (Excel does so for names outside the 8-bit range).
    size_t count = std::min<size_t>({DecodeFixed16(body), available / 2, kUserNameMax});
    for (size_t i = 0; i < count; ++i) name.push_back(static_cast<char16_t>(DecodeFixed16(body + 3 + 2 * i)));
  } else {
    size_t count = std::min(available, kUserNameMax);
    for (size_t i = 0; i < count; ++i) name.push_back(static_cast<char16_t>(body[3 + i]));
  }
  // Trimmed like the padding it is: spaces and control characters at both ends.
  size_t first = 0;
  while (first < name.size() && name[first] <= u' ') ++first;
  size_t end = name.size();
  while (end > first && name[end - 1] <= u' ') --end;
  return name.substr(first, end - first);
}

void TRecordStorageGlobals::SetUserName(std::u16string_view name) {
  TStoredRecord* entry = Current(BIFFRecs::WRITEACCESS);
  if (!entry) throw EXLSError(FormatMessage("Record %.4X is missing", BIFFRecs::WRITEACCESS));
  // The whole body is defined by the name, so the record takes the default length here.
  std::vector<uint8_t> body = WriteAccessBody(name);
  entry->Assign(static_cast<uint16_t>(body.size()), body.data());
}

// ---------------------------------------------------------------------------------------------------------
// TRecordStorageSheet

TRecordStorageSheet::TRecordStorageSheet() {
  ResetDefaults();
}

const std::vector<TDefaultRecord>& TRecordStorageSheet::DefaultTable() const {
  return SheetTable();
}

bool TRecordStorageSheet::Iteration() const {
  return Flag(BIFFRecs::ITERATION);
}
void TRecordStorageSheet::SetIteration(bool on) {
  SetFlag(BIFFRecs::ITERATION, on);
}
bool TRecordStorageSheet::SaveRecalc() const {
  return Flag(BIFFRecs::SAVERECALC);
}
void TRecordStorageSheet::SetSaveRecalc(bool on) {
  SetFlag(BIFFRecs::SAVERECALC, on);
}

uint16_t TRecordStorageSheet::CalcMode() const {
  return FieldU16(BIFFRecs::CALCMODE, 0);
}
void TRecordStorageSheet::SetCalcMode(uint16_t value) {
  SetFieldU16(BIFFRecs::CALCMODE, 0, value);
}
uint16_t TRecordStorageSheet::CalcCount() const {
  return FieldU16(BIFFRecs::CALCCOUNT, 0);
}
void TRecordStorageSheet::SetCalcCount(uint16_t value) {
  SetFieldU16(BIFFRecs::CALCCOUNT, 0, value);
}
uint16_t TRecordStorageSheet::RefMode() const {
  return FieldU16(BIFFRecs::REFMODE, 0);
}
void TRecordStorageSheet::SetRefMode(uint16_t value) {
  SetFieldU16(BIFFRecs::REFMODE, 0, value);
}
uint16_t TRecordStorageSheet::WsBool() const {
  return FieldU16(BIFFRecs::WSBOOL, 0);
}
uint16_t TRecordStorageSheet::Protect() const {
  return FieldU16(BIFFRecs::PROTECT, 0);
}
void TRecordStorageSheet::SetProtect(uint16_t value) {
  SetFieldU16(BIFFRecs::PROTECT, 0, value);
}
double TRecordStorageSheet::Delta() const {
  return FieldDouble(BIFFRecs::DELTA, 0);
}
void TRecordStorageSheet::SetDelta(double value) {
  SetFieldDouble(BIFFRecs::DELTA, 0, value);
}

void TRecordStorageSheet::SetDimensions(uint32_t firstRow, uint32_t lastRowPlus1, uint16_t firstCol,
                                        uint16_t lastColPlus1) {
  // The last field first: a short record fails before any field has changed.
  SetFieldU16(BIFFRecs::DIMENSIONS, 12, 0);
  SetFieldU32(BIFFRecs::DIMENSIONS, 0, firstRow);
  SetFieldU32(BIFFRecs::DIMENSIONS, 4, lastRowPlus1);
  SetFieldU16(BIFFRecs::DIMENSIONS, 8, firstCol);
  SetFieldU16(BIFFRecs::DIMENSIONS, 10, lastColPlus1);
}

}  // namespace plicato
