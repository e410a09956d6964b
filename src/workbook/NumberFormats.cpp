#include "workbook/NumberFormats.h"

#include <algorithm>

#include "biff/BIFFRecs.h"
#include "biff/BIFFString.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"

namespace plicato {

namespace {

// Texts of the built-in ids; nullptr where the built-in text is empty (0 and 23..36).
const char16_t* const kBuiltInTexts[kBuiltInNumberFormats] = {
    nullptr,
    u"0",
    u"0.00",
    u"#,##0",
    u"#,##0.00",
    u"_($#,##0_);($#,##0)",
    u"_($#,##0_);[Red]($#,##0)",
    u"_($#,##0.00_);($#,##0.00)",
    u"_($#,##0.00_);[Red]($#,##0.00)",
    u"0%",
    u"0.00%",
    u"0.00E+00",
    u"# ?/?",
    u"# ?\?/??",  // "??/" would be a trigraph in older dialects; the text is "# ??/??"
    u"m/d/yy",
    u"d-mmm-y",
    u"d-mmm",
    u"mmmm-yy",
    u"h:mm AM/PM",
    u"h:mm:ss AM/PM",
    u"h:mm",
    u"h:mm:SS",
    u"m/d/yy h:mm",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,  // 23..29
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,  // 30..36
    u"#,##0_);(#,##0)",
    u"#,##0_);[Red](#,##0)",
    u"#,##0.00_);(#,##0.00)",
    u"#,##0.00_);[Red](#,##0.00)",
    u"_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)",
    u"_($* #,##0_);_($* (#,##0);_($* \"-\"_);_(@_)",
    u"_(* #,##0.00_);_(* (#,##0.00);_(* \"-\"?\?_);_(@_)",
    u"_($* #,##0.00_);_($* (#,##0.00);_($* \"-\"?\?_);_(@_)",
    u"mm:ss",
    u"[h]:mm:ss",
    u"mm:ss.0",
    u"# #0.0E+0",
    u"@",
};

constexpr uint32_t kMaxFormatRecordBody = kMaxRecordDataBiff8;

}  // namespace

uint16_t FormatTextHash(std::u16string_view text) {
  uint16_t h = 0;
  auto mix = [&h](uint8_t b) {
    h = static_cast<uint16_t>((h << 5) | (h >> 11));
    h ^= b;
  };
  for (char16_t c : text) {
    mix(static_cast<uint8_t>(c & 0xFF));
    mix(static_cast<uint8_t>(c >> 8));
  }
  return h;
}

std::u16string_view BuiltInNumberFormatText(int32_t id) {
  if (id < 0 || id >= kBuiltInNumberFormats || kBuiltInTexts[id] == nullptr) return {};
  return kBuiltInTexts[id];
}

TNumberFormats::TNumberFormats() {
  ResetNumberFormats();
}

TNumberFormats::~TNumberFormats() = default;

void TNumberFormats::Clear() {
  formats_.clear();
  positionsValid_ = false;
  highestId_ = 0;
  sorted_ = true;
}

void TNumberFormats::ResetNumberFormats() {
  Clear();
  // Appended in id order, each id new: no search for an existing one (every workbook made or read
  // starts here).
  formats_.reserve(kBuiltInNumberFormats);
  for (int32_t id = 0; id < kBuiltInNumberFormats; ++id)
    formats_.push_back(std::make_unique<TNumberFormat>(BuiltInNumberFormatText(id), id, -1));
  highestId_ = kBuiltInNumberFormats - 1;
  sorted_ = true;
}

int32_t TNumberFormats::PositionOfId(int32_t id) const {
  if (sorted_) {
    auto it = std::lower_bound(formats_.begin(), formats_.end(), id,
                               [](const std::unique_ptr<TNumberFormat>& f, int32_t v) { return f->Id < v; });
    if (it != formats_.end() && (*it)->Id == id) return static_cast<int32_t>(it - formats_.begin());
    return -1;
  }
  // Until the list is sorted again (FORMAT records need not come in id order) a binary search could
  // miss an id that is present and make a duplicate; the list is short, so search it all.
  for (size_t i = 0; i < formats_.size(); ++i) {
    if (formats_[i]->Id == id) return static_cast<int32_t>(i);
  }
  return -1;
}

TNumberFormat* TNumberFormats::AddNumberFormatWithId(std::u16string_view text, int32_t id, int32_t uses) {
  int32_t pos = PositionOfId(id);
  sorted_ = false;
  TNumberFormat* f;
  if (pos > 0) {
    f = formats_[static_cast<size_t>(pos)].get();
    f->SetText(text);
    positionsValid_ = false;
    if (f->UseCount < 0) {
      f->UseCount = uses;
    } else {
      f->UseCount += uses;
    }
  } else {
    formats_.push_back(std::make_unique<TNumberFormat>(text, id, uses));
    Appended();
    f = formats_.back().get();
  }
  highestId_ = std::max(highestId_, id);
  return f;
}

int32_t TNumberFormats::FindNumberFormatText(std::u16string_view text) const {
  if (text.empty()) return formats_.empty() ? -1 : 0;
  if (!positionsValid_) {
    positions_.clear();
    for (size_t i = 0; i < formats_.size(); ++i) positions_.emplace(formats_[i]->Text, static_cast<int32_t>(i));
    positionsValid_ = true;
  }
  const auto found = positions_.find(text);
  return found == positions_.end() ? -1 : found->second;
}

// The last format was appended: the positions known stay right.
void TNumberFormats::Appended() {
  if (positionsValid_) positions_.emplace(formats_.back()->Text, static_cast<int32_t>(formats_.size() - 1));
}

int32_t TNumberFormats::NextFreeId() {
  if (highestId_ < kMaxNumberFormatId) return ++highestId_;
  // The ids ran out at the top (a file defined id 65535): take the lowest free one instead of an id an
  // XF could not carry.
  std::vector<bool> used(static_cast<size_t>(kMaxNumberFormatId) + 1, false);
  for (const auto& f : formats_) {
    if (f->Id >= 0 && f->Id <= kMaxNumberFormatId) used[static_cast<size_t>(f->Id)] = true;
  }
  for (int32_t id = kBuiltInNumberFormats; id <= kMaxNumberFormatId; ++id) {
    if (!used[static_cast<size_t>(id)]) return id;
  }
  throw EXLSError("Too many number formats");
}

TNumberFormat* TNumberFormats::FindOrAddNumberFormat(std::u16string_view text) {
  int32_t pos = FindNumberFormatText(text);
  if (pos >= 0) {
    TNumberFormat* f = formats_[static_cast<size_t>(pos)].get();
    if (f->UseCount < INT32_MAX) ++f->UseCount;
    return f;
  }
  int32_t id = NextFreeId();
  bool keepsOrder = formats_.empty() || formats_.back()->Id < id;
  formats_.push_back(std::make_unique<TNumberFormat>(text, id, 1));
  Appended();
  if (!keepsOrder) sorted_ = false;
  return formats_.back().get();
}

TNumberFormat* TNumberFormats::FindNumberFormatById(int32_t id) const {
  int32_t pos = PositionOfId(id);
  return pos < 0 ? nullptr : formats_[static_cast<size_t>(pos)].get();
}

TNumberFormat* TNumberFormats::NumberFormatById(int32_t id) const {
  TNumberFormat* f = FindNumberFormatById(id);
  if (!f) throw EListError(id);
  return f;
}

void TNumberFormats::AddNumberFormatUse(int32_t id) {
  if (id < kBuiltInNumberFormats) return;
  TNumberFormat* f = FindNumberFormatById(id);
  if (!f) throw EXLSError(FormatMessage("Can not find number format# %d", id));
  if (f->UseCount < INT32_MAX) ++f->UseCount;
}

void TNumberFormats::ReleaseNumberFormat(int32_t id) {
  if (id < kBuiltInNumberFormats) return;
  int32_t pos = PositionOfId(id);
  if (pos < 0) throw EXLSError(FormatMessage("Can not find number format# %d", id));
  TNumberFormat* f = formats_[static_cast<size_t>(pos)].get();
  if (f->UseCount < 0) return;
  if (--f->UseCount < 1) {
    formats_.erase(formats_.begin() + pos);
    positionsValid_ = false;
  }
}

void TNumberFormats::SortNumberFormats() {
  // Stable, so that a file's own definition of id 0 stays behind the built-in General at position 0.
  std::stable_sort(formats_.begin(), formats_.end(),
                   [](const std::unique_ptr<TNumberFormat>& a, const std::unique_ptr<TNumberFormat>& b) {
                     return a->Id < b->Id;
                   });
  sorted_ = true;
  positionsValid_ = false;
}

TNumberFormat* TNumberFormats::Item(int32_t index) const {
  if (index < 0 || index >= Count()) throw EListError(index);
  return formats_[static_cast<size_t>(index)].get();
}

void TNumberFormats::ReadFormatRecord(const uint8_t* body, uint32_t length) {
  TByteReader r(body, length);
  uint16_t id = r.GetU16();
  uint16_t count = r.GetU16();
  AddNumberFormatWithId(GetBiffStringBody(r, count), id, 1);
}

void TNumberFormats::ReadFormatRecordBiff5(const uint8_t* body, uint32_t length,
                                           const TByteTextDecoder& decoder) {
  TByteReader r(body, length);
  uint16_t id = r.GetU16();
  uint8_t count = r.GetU8();
  r.Require(count);
  AddNumberFormatWithId(DecodeByteText(r.Current(), count, decoder), id, 1);
}

void TNumberFormats::WriteFormatRecords(TXLSStream& stream) const {
  std::vector<uint8_t> data;
  for (size_t i = 1; i < formats_.size(); ++i) {
    const TNumberFormat& f = *formats_[i];
    if (f.UseCount < 0) continue;
    if (f.Text.empty() && f.Id < kFirstCustomNumberFormatId) continue;
    uint64_t size = 5 + 2 * static_cast<uint64_t>(f.Text.size());
    if (size > kMaxFormatRecordBody) {
      throw EXLSError(
          FormatMessage("Number format# %d is too long to write (%zu characters)", f.Id, f.Text.size()));
    }
    data.assign(2, 0);
    EncodeFixed16(data.data(), static_cast<uint16_t>(f.Id));
    PutBiffString(data, f.Text);
    stream.AppendRecord(BIFFRecs::FORMAT, data);
  }
}

}  // namespace plicato
