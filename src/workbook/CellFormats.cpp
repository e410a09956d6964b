#include "workbook/CellFormats.h"

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"

namespace plicato {

namespace {

struct TDefaultXF {
  uint16_t font;
  uint16_t numberFormat;
  uint16_t protection;
  uint8_t used;
};

// The 21 formats of a new workbook: 0-14 and 16-20 are style XFs, 15 is the default cell format.
// Alignment 0x20 and fill colours 0x20C0 for all; every other byte 0 (border colours included).
constexpr TDefaultXF kDefaultXFs[kDefaultCellFormats] = {
    {0, 0, 0xFFF5, 0x00},  {1, 0, 0xFFF5, 0xF4},  {1, 0, 0xFFF5, 0xF4},  {2, 0, 0xFFF5, 0xF4},
    {2, 0, 0xFFF5, 0xF4},  {0, 0, 0xFFF5, 0xF4},  {0, 0, 0xFFF5, 0xF4},  {0, 0, 0xFFF5, 0xF4},
    {0, 0, 0xFFF5, 0xF4},  {0, 0, 0xFFF5, 0xF4},  {0, 0, 0xFFF5, 0xF4},  {0, 0, 0xFFF5, 0xF4},
    {0, 0, 0xFFF5, 0xF4},  {0, 0, 0xFFF5, 0xF4},  {0, 0, 0xFFF5, 0xF4},  {0, 0, 0x0001, 0x00},
    {0, 42, 0xFFF5, 0x00}, {0, 43, 0xFFF5, 0x00}, {0, 44, 0xFFF5, 0x00}, {0, 45, 0xFFF5, 0x00},
    {0, 9, 0xFFF5, 0x00},
};

// STYLE bodies of a new workbook: XF word (bit 15 built-in, bits 0-11 XF), built-in style, level.
constexpr uint8_t kDefaultStyles[6][4] = {
    {0x10, 0x80, 0x03, 0xFF},  // XF 16, comma
    {0x11, 0x80, 0x06, 0xFF},  // XF 17, comma without decimals
    {0x12, 0x80, 0x04, 0xFF},  // XF 18, currency
    {0x13, 0x80, 0x07, 0xFF},  // XF 19, currency without decimals
    {0x00, 0x80, 0x00, 0xFF},  // XF 0, normal
    {0x14, 0x80, 0x05, 0xFF},  // XF 20, percent
};

constexpr uint32_t kXFBodySizeBiff5 = 16;

void AddUseDirect(TNumberFormats& formats, int32_t id) {
  TNumberFormat* nf = formats.FindNumberFormatById(id);
  if (nf && nf->UseCount < INT32_MAX) ++nf->UseCount;
}

}  // namespace

void TXFBody::Encode(uint8_t* out) const {
  EncodeFixed16(out + 0, FontIndex);
  EncodeFixed16(out + 2, NumberFormatId);
  EncodeFixed16(out + 4, Protection);
  out[6] = Alignment;
  out[7] = Rotation;
  out[8] = IndentOptions;
  out[9] = UsedAttributes;
  EncodeFixed16(out + 10, BorderStyles);
  EncodeFixed16(out + 12, BorderColors);
  EncodeFixed32(out + 14, BorderColorsFill);
  EncodeFixed16(out + 18, FillColors);
}

TXFBody TXFBody::Decode(const uint8_t* in) {
  TXFBody b;
  b.FontIndex = DecodeFixed16(in + 0);
  b.NumberFormatId = DecodeFixed16(in + 2);
  b.Protection = DecodeFixed16(in + 4);
  b.Alignment = in[6];
  b.Rotation = in[7];
  b.IndentOptions = in[8];
  b.UsedAttributes = in[9];
  b.BorderStyles = DecodeFixed16(in + 10);
  b.BorderColors = DecodeFixed16(in + 12);
  b.BorderColorsFill = DecodeFixed32(in + 14);
  b.FillColors = DecodeFixed16(in + 18);
  return b;
}

// --- TCellFormat ---

TCellFormat::TCellFormat(TCellFormats* owner) : owner_(owner) {}

TCellFormat::TCellFormat(TCellFormats* owner, int32_t index) : owner_(owner) {
  if (!owner) throw EXLSError("CellFormat has no parent");
  Body = owner->Item(index)->Body;
  AddUseDirect(owner->NumberFormats(), Body.NumberFormatId);
}

TCellFormat::~TCellFormat() {
  ReleaseNumberFormatUse();
}

void TCellFormat::ReleaseNumberFormatUse() noexcept {
  if (!owner_ || Body.NumberFormatId < kBuiltInNumberFormats) return;
  try {
    // A missing id (the number formats were cleared first) has nothing left to release.
    if (owner_->NumberFormats().FindNumberFormatById(Body.NumberFormatId)) {
      owner_->NumberFormats().ReleaseNumberFormat(Body.NumberFormatId);
    }
  } catch (...) {
  }
}

void TCellFormat::AssignBody(const TCellFormat& source) {
  if (owner_) AddUseDirect(owner_->NumberFormats(), source.Body.NumberFormatId);
  ReleaseNumberFormatUse();
  Body = source.Body;
}

std::u16string TCellFormat::NumberFormatText() const {
  if (!owner_) return {};
  const TNumberFormat* nf = owner_->NumberFormats().FindNumberFormatById(Body.NumberFormatId);
  return nf ? nf->Text : std::u16string();
}

void TCellFormat::SetNumberFormatText(std::u16string_view text) {
  if (!owner_) throw EXLSError("CellFormat has no parent");
  uint16_t id = 0;
  if (!text.empty()) {
    if (text.size() > kMaxNumberFormatText) throw EXLSError("Format string more than 255 characthers");
    id = static_cast<uint16_t>(owner_->NumberFormats().FindOrAddNumberFormat(text)->Id);
  }
  ReleaseNumberFormatUse();
  Body.NumberFormatId = id;
}

// --- TCellFormats ---

TCellFormats::TCellFormats(TXFonts* fonts) : fonts_(fonts) {
  AddDefaultFormats();
  MarkInitialFormats();
}

TCellFormats::~TCellFormats() {
  Clear();
}

void TCellFormats::Clear() {
  // Items first: each gives its number format use back into the list that is emptied next. Fonts are
  // left alone; their owner clears them with this list.
  while (!items_.empty()) items_.pop_back();
  handles_.clear();
  freeHandles_.clear();
  numberFormats_.Clear();
}

void TCellFormats::ResetDefaults() {
  Clear();
  numberFormats_.ResetNumberFormats();
  AddDefaultFormats();
  MarkInitialFormats();
}

void TCellFormats::AddDefaultFormats() {
  if (!items_.empty()) throw EXLSError("Add default formats when not empty.");
  for (const TDefaultXF& d : kDefaultXFs) {
    auto f = std::make_unique<TCellFormat>(this);
    f->Body.FontIndex = d.font;
    f->Body.NumberFormatId = d.numberFormat;
    f->Body.Protection = d.protection;
    f->Body.UsedAttributes = d.used;
    f->Body.BorderColors = 0;
    f->Body.BorderColorsFill = 0;
    if (d.numberFormat != 0) {
      // A use count of 1 makes the writer emit the FORMAT record of each default's number format.
      TNumberFormat* nf = numberFormats_.FindNumberFormatById(d.numberFormat);
      if (nf) {
        nf->UseCount = 1;
      } else {
        numberFormats_.AddNumberFormatWithId(BuiltInNumberFormatText(d.numberFormat), d.numberFormat, 1);
      }
    }
    AppendItem(std::move(f));
  }
}

TCellFormat* TCellFormats::AppendItem(std::unique_ptr<TCellFormat> format) {
  uint32_t handle;
  if (!freeHandles_.empty()) {
    handle = freeHandles_.back();
    freeHandles_.pop_back();
  } else {
    handle = static_cast<uint32_t>(handles_.size());
    handles_.push_back(nullptr);
  }
  format->owner_ = this;
  format->index_ = Count();
  format->handle_ = handle;
  handles_[handle] = format.get();
  items_.push_back(std::move(format));
  return items_.back().get();
}

TCellFormat* TCellFormats::AddFormat() {
  return AppendItem(std::make_unique<TCellFormat>(this));
}

int32_t TCellFormats::FindFormat(const TCellFormat& format) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i]->Body == format.Body) return static_cast<int32_t>(i);
  }
  return -1;
}

void TCellFormats::DeleteFormat(int32_t index) {
  if (index < 0 || index >= Count()) throw EListError(index);
  std::unique_ptr<TCellFormat> gone = std::move(items_[static_cast<size_t>(index)]);
  items_.erase(items_.begin() + index);
  for (size_t i = static_cast<size_t>(index); i < items_.size(); ++i)
    items_[i]->index_ = static_cast<int32_t>(i);
  handles_[gone->handle_] = nullptr;
  freeHandles_.push_back(gone->handle_);
  gone->index_ = -1;
  gone->handle_ = kNoFormatHandle;
  ReleaseFontUse(gone.get());
  // gone's destructor gives back its number format use.
}

void TCellFormats::ThrowNoItem(int32_t index) {
  throw EListError(index);
}

int32_t TCellFormats::FallbackIndex(int32_t index) const {
  if (Count() > kDefaultCellFormatIndex) return kDefaultCellFormatIndex;
  if (Count() > 0) return 0;
  throw EListError(index);
}

void TCellFormats::ReleaseFormat(TCellFormat* format) {
  if (!IsCounted(format)) return;
  if (--format->UseCount <= 0) DeleteFormat(format->index_);
}

void TCellFormats::AddUses(TCellFormat* format, int32_t count) {
  if (!format || format->index_ < initialCount_ || count <= 0) return;
  // Saturating, as that many single uses would.
  format->UseCount = format->UseCount >= INT32_MAX - count ? INT32_MAX : format->UseCount + count;
}

void TCellFormats::ReleaseFormatUses(TCellFormat* format, int32_t count) {
  if (!IsCounted(format) || count <= 0) return;
  // The first use given back that reaches 0 deletes the format; the rest find no format any more.
  format->UseCount = format->UseCount < INT32_MIN + count ? INT32_MIN : format->UseCount - count;
  if (format->UseCount <= 0) DeleteFormat(format->index_);
}

TCellFormat* TCellFormats::FindOrAddCounted(const TCellFormat& copy) {
  int32_t found = FindFormat(copy);
  if (found >= 0) {
    TCellFormat* f = items_[static_cast<size_t>(found)].get();
    AddUse(f);
    return f;
  }
  return AddCounted(copy);
}

TCellFormat* TCellFormats::AddCounted(const TCellFormat& copy) {
  TCellFormat* f = AddFormat();
  f->AssignBody(copy);
  f->UseCount = 1;
  TakeFontUse(f);
  return f;
}

void TCellFormats::TakeFontUse(TCellFormat* format) {
  if (!fonts_) return;
  int32_t fi = format->Body.FontIndex;
  if (fi < fonts_->InitialCount() || fi >= fonts_->Count()) return;
  TXFont* font = fonts_->Item(fi);
  if (font->ChartFont) return;
  if (font->UseCount < INT32_MAX) ++font->UseCount;
  format->holdsFontUse_ = true;
}

void TCellFormats::ReleaseFontUse(TCellFormat* format) {
  if (!format->holdsFontUse_) return;
  format->holdsFontUse_ = false;
  ReleaseFontAt(format->Body.FontIndex);
}

void TCellFormats::ReleaseFontAt(int32_t fontIndex) {
  if (!fonts_ || fontIndex < 0 || fontIndex >= fonts_->Count()) return;
  TXFont* font = fonts_->Item(fontIndex);
  if (font->ChartFont || fontIndex < fonts_->InitialCount()) return;
  if (--font->UseCount >= 1) return;
  // Positions up to the placeholder stay: removing one would move a later font onto position 4, which
  // is never written.
  if (fontIndex <= TXFonts::kPlaceholderIndex) return;
  fonts_->DeleteFont(fontIndex);
  for (auto& item : items_) {
    if (item->Body.FontIndex > fontIndex) --item->Body.FontIndex;
  }
}

void TCellFormats::PrepareXFRead() {
  if (!numberFormats_.Sorted()) numberFormats_.SortNumberFormats();
}

void TCellFormats::CountXFNumberFormat(uint16_t id) {
  if (id >= kBuiltInNumberFormats && id < kFirstCustomNumberFormatId) {
    TNumberFormat* nf = numberFormats_.FindNumberFormatById(id);
    if (!nf) {
      numberFormats_.AddNumberFormatWithId(u"", id, -1);
      numberFormats_.SortNumberFormats();
      return;
    }
    if (nf->UseCount < 0) return;
  }
  numberFormats_.AddNumberFormatUse(id);
}

TCellFormat* TCellFormats::ReadXFRecord(const uint8_t* body, uint32_t length) {
  PrepareXFRead();
  TByteReader r(body, length);
  r.Require(kXFBodySize);
  TXFBody b = TXFBody::Decode(r.Current());
  // Checked before the list changes.
  CountXFNumberFormat(b.NumberFormatId);
  TCellFormat* f = AddFormat();
  f->Body = b;
  return f;
}

TCellFormat* TCellFormats::ReadXFRecordBiff5(const uint8_t* body, uint32_t length) {
  PrepareXFRead();
  TByteReader r(body, length);
  r.Require(kXFBodySizeBiff5);
  uint16_t font = r.GetU16();
  uint16_t numberFormat = r.GetU16();
  uint16_t protection = r.GetU16();
  uint8_t alignment = r.GetU8();
  uint8_t orientationUsed = r.GetU8();
  uint32_t area = r.GetU32();
  uint32_t lines = r.GetU32();

  TXFBody b;
  b.FontIndex = font;
  b.NumberFormatId = numberFormat;
  b.Protection = protection;
  b.Alignment = alignment;
  switch (orientationUsed & 0x03) {
    case 1:
      b.Rotation = 255;  // letters stacked
      break;
    case 2:
      b.Rotation = 90;  // turned counterclockwise
      break;
    case 3:
      b.Rotation = 180;  // turned clockwise
      break;
    default:
      b.Rotation = 0;
  }
  b.IndentOptions = 0;
  b.UsedAttributes = static_cast<uint8_t>(orientationUsed & 0xFC);  // same six flags, same bits

  uint16_t patternColor = area & 0x7F;
  uint16_t backColor = (area >> 7) & 0x7F;
  uint32_t pattern = (area >> 16) & 0x3F;
  uint32_t bottomStyle = (area >> 22) & 0x07;
  uint32_t bottomColor = (area >> 25) & 0x7F;
  uint32_t topStyle = lines & 0x07;
  uint32_t leftStyle = (lines >> 3) & 0x07;
  uint32_t rightStyle = (lines >> 6) & 0x07;
  uint32_t topColor = (lines >> 9) & 0x7F;
  uint32_t leftColor = (lines >> 16) & 0x7F;
  uint32_t rightColor = (lines >> 23) & 0x7F;

  b.BorderStyles =
      static_cast<uint16_t>(leftStyle | (rightStyle << 4) | (topStyle << 8) | (bottomStyle << 12));
  b.BorderColors = static_cast<uint16_t>(leftColor | (rightColor << 7));
  b.BorderColorsFill = topColor | (bottomColor << 7) | (pattern << 26);
  b.FillColors = static_cast<uint16_t>(patternColor | (backColor << 7));

  CountXFNumberFormat(b.NumberFormatId);
  TCellFormat* f = AddFormat();
  f->Body = b;
  return f;
}

void TCellFormats::WriteXFRecords(TXLSStream& stream) const {
  std::vector<uint8_t> data(kXFBodySize);
  for (const auto& item : items_) {
    item->Body.Encode(data.data());
    stream.AppendRecord(BIFFRecs::XF, data);
  }
}

void TCellFormats::WriteDefaultStyles(TXLSStream& stream) {
  for (const auto& style : kDefaultStyles) stream.AppendRecord(BIFFRecs::STYLE, {style, style + 4});
}

}  // namespace plicato
