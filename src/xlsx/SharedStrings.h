// The shared string table of a workbook, held for the whole read: cells of type "s" are views into it.
// All texts are in one UTF-16 buffer with a 32-bit end offset each, so that a table of millions of short
// strings costs their characters and four bytes apiece, not an allocation each. The table and its growth
// are held within SharedStringsBudget(); a table that would need more is refused with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "xlsx/XlsxValues.h"
#include "xlsx/XmlPart.h"

namespace plicato::xlsx {

// The memory one input's shared strings may take: two bytes a character and four a string, counted as
// reserved (1 GB, as the README states; tests set less).
size_t SharedStringsBudget();
void SetSharedStringsBudget(size_t bytes);

class TSharedStrings {
 public:
  size_t Count() const { return ends_.size(); }
  std::u16string_view At(size_t i) const {
    const size_t start = i == 0 ? 0 : ends_[i - 1];
    return std::u16string_view(texts_).substr(start, ends_[i] - start);
  }
  // False when the string does not fit in the budget (the table is left as it was).
  bool Add(std::u16string_view text);
  size_t Reserved() const {
    return texts_.capacity() * sizeof(char16_t) + ends_.capacity() * sizeof(uint32_t);
  }

 private:
  std::u16string texts_;
  std::vector<uint32_t> ends_;  // end of string i in texts_; it starts where string i - 1 ends
};

// The shared strings part: <si> items (and <sstItem> of 2007 pre-release files).
class TSharedStringsPart : public TXmlPart {
 public:
  using TXmlPart::TXmlPart;
  TSharedStrings strings;

 protected:
  void StartElement(const char* name, const char**) override;
  void EndElement(const char* name) override;
  void Characters(const char* text, int length) override;

 private:
  TStringItem item_;
  bool inItem_ = false;
};

}  // namespace plicato::xlsx
