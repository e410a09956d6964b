// Stored record lists. A workbook keeps its file-level records of fixed shape (BOF, WINDOW1, CALCMODE,
// SETUP, WINDOW2, ...), every record the model does not interpret, and placeholders marking where the
// writer generates records from the model, as ordered lists of raw records: one list for the workbook
// globals and one per worksheet. The order of a list is the order of the records in the written file.
//
// A list starts from the fixed default records of its kind. Reading a file merges the file's records into
// it by identifier (SetRecord, SetPlaceholder): a file's own record replaces the default, and defaults the
// file lacks keep their values and are placed where the next record the file does have arrives.
// Settings objects and the workbook read and change single fields through typed access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "biff/BIFFRecs.h"

namespace plicato {

class TXLSStream;

// One record in the layout of the file: identifier, 16-bit length, body. A placeholder (identifier
// 0x8000 and above) has an empty body and is never written as it is.
class TStoredRecord {
 public:
  TStoredRecord(uint16_t id, uint16_t length, const uint8_t* body);

  uint16_t Id() const { return id_; }
  uint16_t Length() const { return static_cast<uint16_t>(body_.size()); }
  uint8_t* Data() { return body_.data(); }
  const uint8_t* Data() const { return body_.data(); }
  // Replaces the body, and so the length (body may be null: zero bytes).
  void Assign(uint16_t length, const uint8_t* body);

  // True when the body holds size bytes at offset.
  bool Holds(size_t offset, size_t size) const {
    return offset <= body_.size() && size <= body_.size() - offset;
  }

 private:
  uint16_t id_;
  std::vector<uint8_t> body_;
};

// An owning, ordered list of stored records. A slot may be empty: the default list of a
// TRecordStorageDefault leaves one behind for every record taken over; empty slots are skipped by
// IndexOf, WriteAll, TotalSize and CopyTo, and EntryAt returns null for them.
class TBaseRecordStorage {
 public:
  TBaseRecordStorage() = default;
  virtual ~TBaseRecordStorage();
  TBaseRecordStorage(const TBaseRecordStorage&) = delete;
  TBaseRecordStorage& operator=(const TBaseRecordStorage&) = delete;

  // Appends a record; body may be null, giving length zero bytes.
  TStoredRecord* AddRecord(uint16_t id, uint16_t length, const uint8_t* body);
  virtual void Clear();
  int Count() const { return static_cast<int>(entries_.size()); }
  // First position holding that identifier, or -1.
  int IndexOf(uint16_t id) const;
  // The entry at a position (null for an emptied slot); a position outside the list raises EListError.
  TStoredRecord* EntryAt(int pos);
  const TStoredRecord* EntryAt(int pos) const;
  // Header, then body. An emptied slot writes nothing.
  void WriteEntry(int pos, TXLSStream& stream) const;
  void WriteAll(TXLSStream& stream) const;
  // Sum over the entries of length + 4.
  uint32_t TotalSize() const;
  // Replaces the body of the entry at pos with a body of a new length (body may be null: zeros).
  void ResizeEntry(int pos, uint16_t newLength, const uint8_t* body);
  // Appends a copy of every entry to the other storage.
  void CopyTo(TBaseRecordStorage& other) const;

 protected:
  // The default storage moves entries out of its default list into itself.
  friend class TRecordStorageDefault;
  TStoredRecord* Append(std::unique_ptr<TStoredRecord> entry);
  // Removes the entry from its slot, leaving the slot empty.
  std::unique_ptr<TStoredRecord> TakeAt(int pos);

 private:
  void CheckPosition(int pos) const;

  std::vector<std::unique_ptr<TStoredRecord>> entries_;
};

// A default record of a storage class: identifier and body.
struct TDefaultRecord {
  uint16_t id;
  std::vector<uint8_t> body;
};

// The written list (this storage itself) together with the default list of the records that have not
// been taken over yet. Every identifier of the class's default table has a typed field that refers to
// the current record of that identifier: the default entry until it is taken over, then the written one.
// Any BOF identifier (low byte 0x09) counts as the BOF of the table.
//
// Field access (FieldU16 and the like) is bounds-checked. A record read from a file may be shorter than
// the default one: reading a field it does not hold gives the field's value in the default record (0
// beyond that), because a missing field means "not stated" rather than damage. Writing a field the
// record does not hold raises EXLSError: a record's length is never changed behind the caller's back.
class TRecordStorageDefault : public TBaseRecordStorage {
 public:
  ~TRecordStorageDefault() override;

  // Appends a default entry of that length, zero-filled, for the caller to fill.
  TStoredRecord* AddDefault(uint16_t id, uint16_t length);
  TStoredRecord* AddDefaultWord(uint16_t id, uint16_t value);

  // Clears both lists and builds the default list from the class's table, pointing every typed field at
  // its default entry.
  virtual void ResetDefaults();
  // Takes a record with a typed field over from the file (used by the reader). Raises "[int] Unknown
  // default record %.4X" for an identifier without a typed field, "Size missmatch on default record"
  // when the record is already in the written list with another length, and "Excpected default record
  // %.4X not found." when it is in neither list.
  virtual void SetRecord(uint16_t id, uint16_t length, const uint8_t* body);
  // Takes a placeholder over at the place the file has the records it stands for. Raises "[int] Unknown
  // int. default record %.4X" for an identifier that is not a placeholder of the class's table.
  virtual void SetPlaceholder(uint16_t id);
  // Points the typed field of the entry's identifier at the entry; raises "[int] Unknown move default
  // record %.4X" for an identifier without a typed field.
  virtual void RecordMoved(TStoredRecord* entry);

  // Replaces the written list with a copy of every remaining default entry, in order (the writer does
  // this for a list that is still empty). The typed fields are then pointed at the copies, so that
  // changes made through them afterwards (a second write of the same workbook) reach the written list.
  void MaterializeDefaults();

  // Empties the written list; typed fields that referred to it fall back to a remaining default entry,
  // or to none.
  void Clear() override;

  // The default records not yet taken over (slots of taken records are empty).
  const TBaseRecordStorage& Defaults() const { return defaults_; }
  bool HasTypedField(uint16_t id) const { return FieldSlot(id) >= 0; }
  // The current record of an identifier with a typed field; null for other identifiers, and when the
  // record has been removed from both lists (after Clear).
  TStoredRecord* Current(uint16_t id);
  const TStoredRecord* Current(uint16_t id) const;

  // Fields of the current record of id, at a byte offset of its body.
  uint16_t FieldU16(uint16_t id, size_t offset) const;
  double FieldDouble(uint16_t id, size_t offset) const;
  void SetFieldU16(uint16_t id, size_t offset, uint16_t value);
  void SetFieldU32(uint16_t id, size_t offset, uint32_t value);
  void SetFieldDouble(uint16_t id, size_t offset, double value);
  // A flag record: true when its 16-bit value is 1; written as 0 or 1.
  bool Flag(uint16_t id) const { return FieldU16(id, 0) == 1; }
  void SetFlag(uint16_t id, bool on) { SetFieldU16(id, 0, on ? 1 : 0); }

 protected:
  TRecordStorageDefault() = default;

  // The class's default records in list order; each identifier has a typed field.
  virtual const std::vector<TDefaultRecord>& DefaultTable() const = 0;

 private:
  // Position of the identifier in the default table (any BOF identifier matches the BOF), or -1.
  int FieldSlot(uint16_t id) const;
  // The default body bytes of a field, for reading a field beyond a short record; false when the
  // default record does not hold it either.
  bool DefaultBytes(uint16_t id, size_t offset, size_t size, const uint8_t*& bytes) const;
  const uint8_t* ReadField(uint16_t id, size_t offset, size_t size) const;
  uint8_t* WriteField(uint16_t id, size_t offset, size_t size);
  // Points every typed field at the first matching written entry, else the first default entry.
  void RelinkFields();
  void TakeOver(uint16_t id, uint16_t length, const uint8_t* body);

  TBaseRecordStorage defaults_;
  std::vector<TStoredRecord*> fields_;  // one per default-table row; null when the record is gone
};

// The workbook globals list (25 default records).
class TRecordStorageGlobals final : public TRecordStorageDefault {
 public:
  TRecordStorageGlobals();

  // Record bodies (null only after the record was cleared away).
  TStoredRecord* BOF() { return Current(BIFFRecs::BOF); }
  TStoredRecord* Window1() { return Current(BIFFRecs::WINDOW1); }

  bool Backup() const;
  void SetBackup(bool on);
  bool BookBool() const;
  void SetBookBool(bool on);
  bool Precision() const;
  void SetPrecision(bool on);
  bool RefreshAll() const;
  void SetRefreshAll(bool on);
  bool DateMode() const;
  void SetDateMode(bool on);
  uint16_t HideObj() const;
  void SetHideObj(uint16_t value);
  uint16_t Protect() const;
  void SetProtect(uint16_t value);

  // WRITEACCESS. Reading takes the 109 characters after the 3-byte string header, trimmed; a header
  // whose flag byte is 1 holds 16-bit characters and is read as such. Writing makes the 112-byte body of
  // the default record: character count, flag 0, the name as 8-bit characters, spaces up to 112 bytes;
  // the name is cut to 109 characters. Characters up to U+00FF are stored as their Latin-1 byte, every
  // other character as '?' (the 8-bit form has no room for them).
  std::u16string UserName() const;
  void SetUserName(std::u16string_view name);

 protected:
  const std::vector<TDefaultRecord>& DefaultTable() const override;
};

// One worksheet's list (28 default records).
class TRecordStorageSheet final : public TRecordStorageDefault {
 public:
  TRecordStorageSheet();

  TStoredRecord* BOF() { return Current(BIFFRecs::BOF); }
  TStoredRecord* DefaultRowHeight() { return Current(BIFFRecs::DEFAULTROWHEIGHT); }
  TStoredRecord* Setup() { return Current(BIFFRecs::SETUP); }
  TStoredRecord* Dimensions() { return Current(BIFFRecs::DIMENSIONS); }
  TStoredRecord* Window2() { return Current(BIFFRecs::WINDOW2); }
  TStoredRecord* Selection() { return Current(BIFFRecs::SELECTION); }

  bool Iteration() const;
  void SetIteration(bool on);
  bool SaveRecalc() const;
  void SetSaveRecalc(bool on);

  // CALCMODE: 0 manual, 1 automatic, 0xFFFF automatic except tables.
  uint16_t CalcMode() const;
  void SetCalcMode(uint16_t value);
  uint16_t CalcCount() const;
  void SetCalcCount(uint16_t value);
  // REFMODE: 1 = A1 references, 0 = R1C1.
  uint16_t RefMode() const;
  void SetRefMode(uint16_t value);
  uint16_t WsBool() const;
  uint16_t Protect() const;
  void SetProtect(uint16_t value);
  double Delta() const;
  void SetDelta(double value);

  // DIMENSIONS: first row, last row + 1 (32-bit), first column, last column + 1, reserved 0.
  void SetDimensions(uint32_t firstRow, uint32_t lastRowPlus1, uint16_t firstCol, uint16_t lastColPlus1);

 protected:
  const std::vector<TDefaultRecord>& DefaultTable() const override;
};

}  // namespace plicato
