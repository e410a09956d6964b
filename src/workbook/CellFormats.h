// The workbook's cell formats (XF records). List position i is XF index i in the file. Formats are
// shared: an object that changes one property builds a private copy and then adopts an equal item of
// the list or appends the copy (see TFormattedObject). Items at or above the count of initial formats
// are use-counted and removed when their last user lets go; initial items never are.
//
// Because a deletion renumbers every later item, holders that must survive deletions (the compact
// cells) keep a handle instead of an index or a pointer: a 32-bit number given to a format when it
// enters the list and kept until it leaves it. ByHandle is one vector lookup.
//
// Each list item holds one use of its number format (ids of 50 and above are counted). A list item
// that an object's format change appended also holds one use of its font when the font is not an
// initial one; the font goes when the last such item goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "workbook/NumberFormats.h"
#include "workbook/XLSFonts.h"

namespace plicato {

class TXLSStream;
class TCellFormats;

constexpr int32_t kDefaultCellFormats = 21;
constexpr int32_t kDefaultCellFormatIndex = 15;  // the one cell XF among the defaults
constexpr uint32_t kXFBodySize = 20;
constexpr uint32_t kNoFormatHandle = UINT32_MAX;
constexpr size_t kMaxNumberFormatText = 255;

// Used-attribute bits (XF offset 9).
constexpr uint8_t kXFUsedNumberFormat = 0x04;
constexpr uint8_t kXFUsedFont = 0x08;
constexpr uint8_t kXFUsedAlignment = 0x10;
constexpr uint8_t kXFUsedBorder = 0x20;
constexpr uint8_t kXFUsedPattern = 0x40;
constexpr uint8_t kXFUsedProtection = 0x80;

// The 20-byte BIFF8 XF body, field by field in file order. Two bodies are equal when all 20 bytes are.
struct TXFBody {
  uint16_t FontIndex = 0;
  uint16_t NumberFormatId = 0;
  uint16_t Protection = 0x0001;            // bit 0 locked, 1 hidden, 2 style XF, 3 prefix, 4-15 parent XF
  uint8_t Alignment = 0x20;                // 0-2 horizontal, 3 wrap, 4-6 vertical, 7 justify last line
  uint8_t Rotation = 0;                    // 0-90 up, 91-180 down (90 + angle), 255 vertical
  uint8_t IndentOptions = 0;               // 0-3 indent, 4 shrink to fit, 6-7 reading order
  uint8_t UsedAttributes = 0;              // kXFUsed* bits
  uint16_t BorderStyles = 0;               // 0-3 left, 4-7 right, 8-11 top, 12-15 bottom
  uint16_t BorderColors = 0x2040;          // 0-6 left, 7-13 right, 14 diagonal down, 15 diagonal up
  uint32_t BorderColorsFill = 0x00102040;  // 0-6 top, 7-13 bottom, 14-20 diagonal, 21-24 diagonal style,
                                           // 26-31 fill pattern
  uint16_t FillColors = 0x20C0;            // 0-6 pattern colour, 7-13 pattern background colour

  bool operator==(const TXFBody&) const = default;

  void Encode(uint8_t* out) const;           // 20 bytes
  static TXFBody Decode(const uint8_t* in);  // 20 bytes, unchecked
};

class TCellFormat {
 public:
  // A format created on its own (not in the list): the defaults of TXFBody.
  explicit TCellFormat(TCellFormats* owner);
  // A copy of item index of the list (not in the list); adds one use to its number format directly,
  // built-ins included. EListError for an index outside the list.
  TCellFormat(TCellFormats* owner, int32_t index);
  // Releases this format's use of its number format.
  ~TCellFormat();
  TCellFormat(const TCellFormat&) = delete;
  TCellFormat& operator=(const TCellFormat&) = delete;

  // Position in the list, -1 for a format outside it. Falls when an earlier item is deleted.
  int32_t Index() const { return index_; }
  // Stable while the format is in the list; kNoFormatHandle outside it.
  uint32_t Handle() const { return handle_; }

  // Copies the 20 bytes; the format takes a use of the number format now named and gives back the use
  // of the one it named before.
  void AssignBody(const TCellFormat& source);

  // The text of its number format (empty without a list or for an unknown id).
  std::u16string NumberFormatText() const;
  // "CellFormat has no parent" without a list; "Format string more than 255 characthers" for a text
  // of 256 or more characters (nothing changes). The empty text is id 0; any other text is found or
  // added in the number formats. The use of the previous number format is given back.
  void SetNumberFormatText(std::u16string_view text);

  // The body. Changing NumberFormatId directly bypasses the use count: use SetNumberFormatText or
  // AssignBody, or count the use yourself.
  TXFBody Body;
  int32_t UseCount = 0;

 private:
  friend class TCellFormats;
  void ReleaseNumberFormatUse() noexcept;

  TCellFormats* owner_;
  int32_t index_ = -1;
  uint32_t handle_ = kNoFormatHandle;
  bool holdsFontUse_ = false;
};

class TCellFormats {
 public:
  // fonts is not owned, may be null (no font use counting then) and must outlive the list. Creates the
  // number formats with their built-ins and the 21 default formats, all initial.
  explicit TCellFormats(TXFonts* fonts);
  ~TCellFormats();
  TCellFormats(const TCellFormats&) = delete;
  TCellFormats& operator=(const TCellFormats&) = delete;

  TXFonts* Fonts() const { return fonts_; }
  TNumberFormats& NumberFormats() { return numberFormats_; }
  const TNumberFormats& NumberFormats() const { return numberFormats_; }

  // Frees every format and empties the number formats (no built-ins; ResetNumberFormats restores
  // them). The count of initial formats is left as it was.
  void Clear();
  // Clear, the built-in number formats, the 21 default formats, initial count 21 (a cleared workbook).
  void ResetDefaults();
  // "Add default formats when not empty." when the list has items.
  void AddDefaultFormats();
  // Appends a format with the defaults of a format created on its own; no use is counted.
  TCellFormat* AddFormat();
  // Index of the first item whose body equals the format's, -1 if none.
  int32_t FindFormat(const TCellFormat& format) const;
  // Removes and frees the item (releasing its number format and any font it holds); later items move
  // down by one. EListError for an index outside the list.
  void DeleteFormat(int32_t index);
  void MarkInitialFormats() { initialCount_ = Count(); }
  // While a file is read every format counts as initial: a format that loses its last user then (a
  // cell stored twice) must not be deleted, or the XF indexes still to come would name the wrong
  // formats. The read ends with MarkInitialFormats.
  void SuspendUseCounting() { initialCount_ = INT32_MAX; }

  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  int32_t InitialCount() const { return initialCount_; }
  // EListError outside 0..Count-1.
  TCellFormat* Item(int32_t index) const {
    if (index < 0 || index >= Count()) ThrowNoItem(index);
    return items_[static_cast<size_t>(index)].get();
  }

  // The index an object created with this index adopts: the index itself when it names an item, else
  // 15 (the default cell format), or 0 in a list of fewer than 16 items. EListError for an empty list.
  int32_t AdoptableIndex(int32_t index) const {
    return index >= 0 && index < Count() ? index : FallbackIndex(index);
  }

  // Handles.
  TCellFormat* ByHandle(uint32_t handle) const {
    return handle < handles_.size() ? handles_[handle] : nullptr;
  }
  uint32_t HandleOfIndex(int32_t index) const { return Item(index)->Handle(); }

  // Use counting for holders of a format (cells, rows, columns). Formats below the initial count are
  // never counted.
  void AddUse(TCellFormat* format) {
    if (format && format->index_ >= initialCount_ && format->UseCount < INT32_MAX) ++format->UseCount;
  }
  // Lowers the use count of a counted format and deletes it when the count reaches 0.
  void ReleaseFormat(TCellFormat* format);
  // As count calls of AddUse or ReleaseFormat, for holders made or destroyed in bulk.
  void AddUses(TCellFormat* format, int32_t count);
  void ReleaseFormatUses(TCellFormat* format, int32_t count);
  // Whether ReleaseFormat would count the format down (it is this list's, and not an initial one).
  bool IsCounted(const TCellFormat* format) const {
    return format && format->owner_ == this && format->index_ >= 0 && format->index_ >= initialCount_;
  }

  // The item equal to the copy, with one more use, or a new item with the copy's body and use count 1.
  // A new item takes a use of its font (see the file comment).
  TCellFormat* FindOrAddCounted(const TCellFormat& copy);
  // The new item of FindOrAddCounted, without the search: for a caller that knows no item is equal (its
  // body holds a number format no item uses).
  TCellFormat* AddCounted(const TCellFormat& copy);
  // Gives back one use of a font that is not initial and not a chart's. When its count falls below 1
  // the font is deleted and every format naming a later font moves down with it (positions up to the
  // placeholder 4 are kept, so that no later font moves onto it). Also for other holders of fonts.
  void ReleaseFontAt(int32_t fontIndex);

  // XF records. Before the first XF of a read the number formats are put in id order.
  // BIFF8: a new format from the 20-byte body; a number format id of 164 or more must exist ("Can not
  // find number format# %d") and gains a use. An undefined id of 50..163 is a language's built-in: it
  // is added with an empty text and use count -1 (never written, never counted), as files from East
  // Asian Excel versions need. Reading counts no font use.
  TCellFormat* ReadXFRecord(const uint8_t* body, uint32_t length);
  // BIFF5 (16-byte body): converted into the BIFF8 layout: font, number format, type and protection,
  // alignment (orientation becomes rotation 0, 255, 90 or 180), used attributes, the 3-bit line styles
  // and 7-bit colours of the four borders, fill pattern and colours. Counted like a BIFF8 XF.
  TCellFormat* ReadXFRecordBiff5(const uint8_t* body, uint32_t length);
  // BIFF3-4: the layout is not converted; the XF becomes a format with the defaults of a format created
  // on its own, so that XF indexes keep their positions.
  TCellFormat* AddOldVersionXF() { return AddFormat(); }
  // One XF record (0x00E0, 20 bytes) per item in list order.
  void WriteXFRecords(TXLSStream& stream) const;
  // The six STYLE records of a workbook not read from a file.
  static void WriteDefaultStyles(TXLSStream& stream);

 private:
  friend class TCellFormat;
  TCellFormat* AppendItem(std::unique_ptr<TCellFormat> format);
  [[noreturn]] static void ThrowNoItem(int32_t index);
  int32_t FallbackIndex(int32_t index) const;
  void PrepareXFRead();
  void CountXFNumberFormat(uint16_t id);
  void TakeFontUse(TCellFormat* format);
  void ReleaseFontUse(TCellFormat* format);

  TXFonts* fonts_;
  TNumberFormats numberFormats_;  // declared before the items, which release into it when freed
  std::vector<std::unique_ptr<TCellFormat>> items_;
  int32_t initialCount_ = 0;

  std::vector<TCellFormat*> handles_;  // handle -> item, null when free
  std::vector<uint32_t> freeHandles_;
};

}  // namespace plicato
