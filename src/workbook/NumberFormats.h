// The workbook's number formats: the 50 built-in formats (ids 0-49) and those a file defines or a cell
// format asks for. An XF names a number format by id; the list finds formats by id (binary search once
// sorted) and by text (hash first, then the text), so that equal texts share one id.
//
// Use counts: a built-in nobody asked for has -1 and is never written; every other format is written
// as a FORMAT record. Ids of 50 and above are counted and removed when their last use goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "workbook/XLSFonts.h"  // TByteTextDecoder

namespace plicato {

class TXLSStream;

constexpr int32_t kBuiltInNumberFormats = 50;   // ids 0..49
constexpr int32_t kMaxNumberFormatId = 0xFFFF;  // an XF carries the id in 16 bits
// Ids 50..163 are built-ins of particular Excel languages (East Asian dates and times); files from those
// versions name them in XFs without defining them. A file's own formats start at 164.
constexpr int32_t kFirstCustomNumberFormatId = 164;

// Rotate left by 5 within 16 bits, then XOR each byte of the UTF-16LE text into the low byte.
uint16_t FormatTextHash(std::u16string_view text);
// The built-in text of ids 0..49 (empty for 0 and 23..36); empty for any other id.
std::u16string_view BuiltInNumberFormatText(int32_t id);

class TNumberFormat {
 public:
  TNumberFormat(std::u16string_view text, int32_t id, int32_t useCount)
      : Hash(FormatTextHash(text)), Text(text), Id(id), UseCount(useCount) {}

  void SetText(std::u16string_view text) {
    Text = text;
    Hash = FormatTextHash(text);
  }

  uint16_t Hash;
  std::u16string Text;
  int32_t Id;
  int32_t UseCount;  // -1: a built-in nobody asked for
};

class TNumberFormats {
 public:
  TNumberFormats();  // the 50 built-ins
  ~TNumberFormats();
  TNumberFormats(const TNumberFormats&) = delete;
  TNumberFormats& operator=(const TNumberFormats&) = delete;

  // Empties the list and adds the built-ins (ids 0..49, use count -1); highest id 49.
  void ResetNumberFormats();
  // Empties the list (no built-ins); highest id 0.
  void Clear();

  // A FORMAT record's definition: replaces the text of an existing id (its use count becomes uses when
  // it was negative, else grows by uses) or appends a new format. Position 0 (General) is never
  // replaced; a definition of id 0 is appended.
  TNumberFormat* AddNumberFormatWithId(std::u16string_view text, int32_t id, int32_t uses);
  // The format with this text, its use count grown by one, or a new format under the next free id with
  // use count 1. The empty text is General (id 0).
  TNumberFormat* FindOrAddNumberFormat(std::u16string_view text);
  // Position of the format with this text (exact, case-sensitive), 0 for the empty text, -1 if none.
  int32_t FindNumberFormatText(std::u16string_view text) const;
  // EListError ("List index out of bounds (%d)" with the id) when there is no such id.
  TNumberFormat* NumberFormatById(int32_t id) const;
  // Null when there is no such id.
  TNumberFormat* FindNumberFormatById(int32_t id) const;
  // Ids below 50 are ignored; "Can not find number format# %d" for a missing id.
  void AddNumberFormatUse(int32_t id);
  // Ids of 49 or less are ignored; "Can not find number format# %d" for a missing id; a negative use
  // count is left alone; the format is removed when its count falls below 1.
  void ReleaseNumberFormat(int32_t id);
  void SortNumberFormats();

  int32_t Count() const { return static_cast<int32_t>(formats_.size()); }
  TNumberFormat* Item(int32_t index) const;  // EListError outside 0..Count-1
  int32_t HighestId() const { return highestId_; }
  bool Sorted() const { return sorted_; }

  // FORMAT record bodies. BIFF8: id, 16-bit count, option byte (bit 0: 16-bit characters), characters.
  // BIFF5: id, 8-bit count, 8-bit characters (decoded by decoder, Latin-1 when none). Both add the
  // format with AddNumberFormatWithId(text, id, 1). A truncated body raises EXLSError.
  void ReadFormatRecord(const uint8_t* body, uint32_t length);
  void ReadFormatRecordBiff5(const uint8_t* body, uint32_t length, const TByteTextDecoder& decoder = {});
  // One FORMAT record (BIFF8) for every format but position 0 whose use count is 0 or more. A built-in
  // id with an empty text is skipped: the record would replace a language's built-in with nothing.
  void WriteFormatRecords(TXLSStream& stream) const;

 private:
  int32_t PositionOfId(int32_t id) const;  // -1 when absent
  int32_t NextFreeId();

  void Appended();

  std::vector<std::unique_ptr<TNumberFormat>> formats_;
  int32_t highestId_ = 0;
  bool sorted_ = true;
  // The position of each text (the first, where two formats share one), built when a search needs it and
  // kept as formats are appended; a format that leaves, a sort or a text replaced drops it. A search of
  // the list for each of 70,000 new formats was the whole time of an output that holds them.
  mutable std::unordered_map<std::u16string_view, int32_t> positions_;
  mutable bool positionsValid_ = false;
};

}  // namespace plicato
