#include "biff/CodePage.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>

#include "biff/BIFFRecs.h"

namespace plicato {

namespace {

// Every code page a BIFF file may declare, with the glibc iconv converter that decodes it. glibc has no
// converter for six of the Mac code pages; each takes the one that decodes most of its letters the same:
// Mac Arabic and Mac Hebrew keep their letters where ISO 8859-6 and ISO 8859-8 have them, Mac Thai where
// TIS-620 has them, and Mac Turkish and Mac Croatian differ from Mac Roman in a few letters only. Mac Greek
// has no near converter: Mac Roman decodes its Latin letters, not its Greek ones.
constexpr TCodePageConverter kConverters[] = {
    {367, "ASCII"},
    {437, "CP437"},
    {737, "CP737"},
    {775, "CP775"},
    {850, "CP850"},
    {852, "CP852"},
    {855, "CP855"},
    {857, "CP857"},
    {860, "CP860"},
    {861, "CP861"},
    {862, "CP862"},
    {863, "CP863"},
    {864, "CP864"},
    {865, "CP865"},
    {866, "CP866"},
    {869, "CP869"},
    {874, "CP874"},
    {932, "CP932"},
    {936, "CP936"},
    {949, "CP949"},
    {950, "CP950"},
    {1200, "UTF-16LE"},
    {1250, "CP1250"},
    {1251, "CP1251"},
    {1252, "CP1252"},
    {1253, "CP1253"},
    {1254, "CP1254"},
    {1255, "CP1255"},
    {1256, "CP1256"},
    {1257, "CP1257"},
    {1258, "CP1258"},
    {10000, "MACINTOSH"},
    {10001, "SHIFT_JIS"},   // Mac Japanese
    {10002, "BIG5"},        // Mac Traditional Chinese
    {10003, "EUC-KR"},      // Mac Korean
    {10004, "ISO-8859-6"},  // Mac Arabic: nearest
    {10005, "ISO-8859-8"},  // Mac Hebrew: nearest
    {10006, "MACINTOSH"},   // Mac Greek: Latin letters only
    {10007, "MAC-CYRILLIC"},
    {10008, "EUC-CN"},   // Mac Simplified Chinese (GB 2312)
    {10021, "TIS-620"},  // Mac Thai: nearest
    {10029, "MAC-CENTRALEUROPE"},
    {10079, "MAC-IS"},     // an older form of Mac Icelandic: a few letters sit elsewhere
    {10081, "MACINTOSH"},  // Mac Turkish: nearest
    {10082, "MACINTOSH"},  // Mac Croatian: nearest
    {32768, "MACINTOSH"},  // Mac Roman, as BIFF2-4 files name it
    {32769, "CP1252"},     // Windows 1252, as BIFF2-4 files name it
};

// The converter of a declared code page; code pages outside the table decode as 1252.
const char* IconvName(uint16_t codePage) {
  for (const TCodePageConverter& c : kConverters)
    if (c.codePage == codePage) return c.iconvName;
  return "CP1252";
}

// One converter per code page, opened once; iconv descriptors are not thread-safe, so each use is under
// the lock (conversion of old files' short texts is far from any hot path).
struct Converters {
  std::mutex lock;
  std::unordered_map<uint16_t, iconv_t> open;
  ~Converters() {
    for (auto& [cp, cd] : open)
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
};

Converters& TheConverters() {
  static Converters converters;
  return converters;
}

iconv_t ConverterFor(Converters& c, uint16_t codePage) {
  auto it = c.open.find(codePage);
  if (it != c.open.end()) {
    if (it->second == reinterpret_cast<iconv_t>(-1) && codePage != kDefaultCodePage)
      return ConverterFor(c, kDefaultCodePage);
    return it->second;
  }
  iconv_t cd = iconv_open("UTF-16LE", IconvName(codePage));
  c.open[codePage] = cd;  // a failed open is remembered too, so it is not retried
  if (cd == reinterpret_cast<iconv_t>(-1) && codePage != kDefaultCodePage)
    return ConverterFor(c, kDefaultCodePage);
  return cd;
}

}  // namespace

std::span<const TCodePageConverter> KnownCodePages() {
  return kConverters;
}

uint16_t CodePageOfFontCharset(uint8_t charset) {
  switch (charset) {
    case 128:  // Shift-JIS
      return 932;
    case 129:  // Hangul
      return 949;
    case 134:  // GB 2312
      return 936;
    case 136:  // Big5
      return 950;
    case 161:  // Greek
      return 1253;
    case 162:  // Turkish
      return 1254;
    case 177:  // Hebrew
      return 1255;
    case 178:  // Arabic
      return 1256;
    case 186:  // Baltic
      return 1257;
    case 204:  // Cyrillic
      return 1251;
    case 222:  // Thai
      return 874;
    case 238:  // Central European
      return 1250;
    default:
      return kUndeclaredCodePage;
  }
}

char16_t UpperChar16(char16_t c) {
  if (c < u'a') return c;
  if (c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c < 0x180) {
    // Latin Extended-A pairs capital and small letters: even/odd below 0x138 and from 0x14A to 0x177,
    // odd/even from 0x139 to 0x148 and from 0x179 to 0x17E. Dotless i, kra and n-apostrophe have no pair.
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    bool evenCapital = c < 0x138 || (c >= 0x14A && c <= 0x177);
    bool isSmall = evenCapital ? (c & 1) == 1 : (c & 1) == 0;
    return isSmall ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);
  return c;
}

std::u16string DecodeLatin1(const uint8_t* data, size_t size) {
  std::u16string text(size, u'\0');
  for (size_t i = 0; i < size; ++i) text[i] = data[i];
  return text;
}

std::u16string DecodeCodePage(const uint8_t* data, size_t size, uint16_t codePage) {
  if (size == 0) return {};
  bool ascii = true;
  for (size_t i = 0; i < size && ascii; ++i) ascii = data[i] < 0x80;
  if (ascii || codePage == kCodePageUtf16) return DecodeLatin1(data, size);

  Converters& c = TheConverters();
  std::lock_guard<std::mutex> guard(c.lock);
  iconv_t cd = ConverterFor(c, codePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) return DecodeLatin1(data, size);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);

  std::u16string text;
  text.reserve(size);
  char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
  size_t inLeft = size;
  char16_t buffer[256];
  while (inLeft > 0) {
    char* out = reinterpret_cast<char*>(buffer);
    size_t outLeft = sizeof buffer;
    size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
    text.append(buffer, (sizeof buffer - outLeft) / 2);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // An invalid or incomplete sequence: one replacement character for the byte, then go on.
      text.push_back(u'\uFFFD');
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return text;
}

std::u16string_view WithoutLoneSurrogates(std::u16string_view text, std::u16string& scratch) {
  bool replaced = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    size_t units = 1;
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        units = 2;
      } else {
        if (!replaced) scratch.assign(text.substr(0, i));
        replaced = true;
        scratch.push_back(u'\uFFFD');
        continue;
      }
    }
    if (replaced) scratch.append(text.substr(i, units));
    i += units - 1;
  }
  return replaced ? std::u16string_view(scratch) : text;
}

void AppendUtf8(std::string& out, std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(out, text);
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    uint8_t b = static_cast<uint8_t>(text[i]);
    uint32_t c;
    size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    }
    if (!ok) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

namespace {

// The length of the well-formed UTF-8 sequence at text[i] (shortest form, no surrogates, at most
// U+10FFFF), or 0 when there is none.
size_t Utf8SequenceLength(std::string_view text, size_t i) {
  auto at = [&](size_t k) { return static_cast<uint8_t>(text[i + k]); };
  const uint8_t b = at(0);
  if (b < 0x80) return 1;
  size_t length;
  uint8_t low = 0x80, high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (at(1) < low || at(1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if ((at(k) & 0xC0) != 0x80) return 0;
  return length;
}

}  // namespace

std::u16string FileNameFromPath(const std::filesystem::path& path) {
  const std::string_view bytes = path.native();
  std::u16string name;
  name.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = Utf8SequenceLength(bytes, i);
    if (length == 0) {
      name.push_back(static_cast<char16_t>(0xDC00 + static_cast<uint8_t>(bytes[i])));
      ++i;
    } else {
      name += FromUtf8(bytes.substr(i, length));
      i += length;
    }
  }
  return name;
}

std::filesystem::path PathFromFileName(std::u16string_view name) {
  std::string bytes;
  bytes.reserve(name.size());
  size_t plain = 0;  // start of the text not yet converted
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    const bool afterHigh = i > 0 && name[i - 1] >= 0xD800 && name[i - 1] <= 0xDBFF;
    if (c >= 0xDC80 && c <= 0xDCFF && !afterHigh) {
      bytes += ToUtf8(name.substr(plain, i - plain));
      bytes.push_back(static_cast<char>(c - 0xDC00));
      plain = i + 1;
    }
  }
  bytes += ToUtf8(name.substr(plain));
  return std::filesystem::path(std::move(bytes));
}

}  // namespace plicato
