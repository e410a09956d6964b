#include "xlsx/XlsxStyles.h"

#include <charconv>
#include <cstring>
#include <map>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "workbook/NumberFormats.h"
#include "xlsx/XlsxErrors.h"

namespace plicato::xlsx {

namespace {

// Cell formats and number formats a styles part may define: Excel's own limits are 64,000 and 250 or
// so; these only keep a hostile part from taking memory without end.
constexpr size_t kMaxCellFormats = 1 << 20;
constexpr size_t kMaxFormatBytes = 16 << 20;

// East Asian built-ins have a code per language; the users of this tool read the Chinese (PRC) one.
constexpr const char16_t* kChineseFormats[] = {
    u"yyyy\"年\"m\"月\"",
    u"m\"月\"d\"日\"",
    u"m\"月\"d\"日\"",
    u"m-d-yy",
    u"yyyy\"年\"m\"月\"d\"日\"",
    u"h\"时\"mm\"分\"",
    u"h\"时\"mm\"分\"ss\"秒\"",
    u"上午/下午h\"时\"mm\"分\"",
    u"上午/下午h\"时\"mm\"分\"ss\"秒\"",
    u"yyyy\"年\"m\"月\"",  // 36
};
constexpr const char16_t* kChineseFormats50[] = {
    u"yyyy\"年\"m\"月\"",
    u"m\"月\"d\"日\"",
    u"yyyy\"年\"m\"月\"",
    u"m\"月\"d\"日\"",
    u"m\"月\"d\"日\"",
    u"上午/下午h\"时\"mm\"分\"",
    u"上午/下午h\"时\"mm\"分\"ss\"秒\"",
    u"yyyy\"年\"m\"月\"",
    u"m\"月\"d\"日\"",  // 58
};

bool ParseId(const char* text, uint32_t& id) {
  if (!text) return false;
  const auto result = std::from_chars(text, text + std::strlen(text), id);
  return result.ec == std::errc() && *result.ptr == '\0';
}

}  // namespace

std::u16string_view BuiltInFormatCode(uint32_t id) {
  if (id >= 27 && id <= 36) return kChineseFormats[id - 27];
  if (id >= 50 && id <= 58) return kChineseFormats50[id - 50];
  return BuiltInNumberFormatText(static_cast<int32_t>(id));
}

bool IsDateFormat(std::u16string_view code) {
  for (size_t i = 0; i < code.size(); ++i) {
    const char16_t c = code[i];
    if (c == u'"') {
      const size_t end = code.find(u'"', i + 1);
      if (end == std::u16string_view::npos) return false;
      i = end;
    } else if (c == u'\\' || c == u'_' || c == u'*') {
      ++i;  // the next character is shown as it is, or only gives a width or a fill
    } else if (c == u'[') {
      const size_t end = code.find(u']', i + 1);
      if (end == std::u16string_view::npos) return false;
      const std::u16string_view inside = code.substr(i + 1, end - i - 1);
      // [h], [mm], [ss]: elapsed time; anything else in brackets is a colour, condition or locale.
      if (!inside.empty() && inside.find_first_not_of(inside[0]) == std::u16string_view::npos &&
          std::u16string_view(u"hHmMsS").find(inside[0]) != std::u16string_view::npos)
        return true;
      i = end;
    } else if (std::u16string_view(u"dDmMyYhHsS").find(c) != std::u16string_view::npos) {
      return true;
    }
  }
  return false;
}

std::u16string_view DateShapeFormat(TDateShape shape) {
  switch (shape) {
    case dsDateTime:
      return u"yyyy-mm-dd hh:mm:ss";
    case dsTime:
      return u"hh:mm:ss";
    case dsDuration:
      return u"[h]:mm:ss";
    default:
      return u"yyyy-mm-dd";
  }
}

void TStylesPart::StartElement(const char* name, const char** attributes) {
  if (std::strcmp(name, "cellXfs") == 0) {
    inCellXfs_ = true;
  } else if (std::strcmp(name, "numFmts") == 0) {
    inNumFmts_ = true;
  } else if (inCellXfs_ && std::strcmp(name, "xf") == 0) {
    if (xfIds_.size() >= kMaxCellFormats) throw EXlsxError(Where() + ": too many cell formats");
    uint32_t id = 0;
    // A format without a number format, or with a number that is not one, shows General.
    if (!ParseId(Attribute(attributes, "numFmtId"), id)) id = 0;
    xfIds_.push_back(id);
  } else if (inNumFmts_ && std::strcmp(name, "numFmt") == 0) {
    uint32_t id = 0;
    const char* code = Attribute(attributes, "formatCode");
    if (!ParseId(Attribute(attributes, "numFmtId"), id) || !code) return;
    customBytes_ += std::strlen(code);
    if (customBytes_ > kMaxFormatBytes) throw EXlsxError(Where() + ": too many number formats");
    custom_[id] = FromUtf8(code);
  }
}

void TStylesPart::EndElement(const char* name) {
  if (std::strcmp(name, "cellXfs") == 0) inCellXfs_ = false;
  if (std::strcmp(name, "numFmts") == 0) inNumFmts_ = false;
}

TCellStyles TStylesPart::Take() {
  TCellStyles styles;
  std::map<uint32_t, uint32_t> codeOfId;
  styles.xfs_.reserve(xfIds_.size());
  for (uint32_t id : xfIds_) {
    auto [at, added] = codeOfId.emplace(id, static_cast<uint32_t>(styles.codes_.size()));
    if (added) {
      const auto custom = custom_.find(id);
      // General as a custom code is General.
      std::u16string code(custom != custom_.end() ? std::u16string_view(custom->second)
                                                  : BuiltInFormatCode(id));
      if (code == u"General" || code == u"general") code.clear();
      const bool date = IsDateFormat(code);
      styles.codes_.push_back({std::move(code), date});
    }
    styles.xfs_.push_back(at->second);
  }
  return styles;
}

}  // namespace plicato::xlsx
