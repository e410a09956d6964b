#include "biff/CodePage.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>

namespace plicato {

namespace {

std::string IconvName(uint16_t codePage) {
  switch (codePage) {
    case 367:
      return "ASCII";
    case 1200:  // UTF-16: not an 8-bit code page
    case 1201:
    case 0:
      return "CP1252";
    case 32768:
    case 10000:
      return "MACINTOSH";
    case 32769:
      return "CP1252";
    default:
      return "CP" + std::to_string(codePage);
  }
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
  iconv_t cd = iconv_open("UTF-16LE", IconvName(codePage).c_str());
  c.open[codePage] = cd;  // a failed open is remembered too, so it is not retried
  if (cd == reinterpret_cast<iconv_t>(-1) && codePage != kDefaultCodePage)
    return ConverterFor(c, kDefaultCodePage);
  return cd;
}

}  // namespace

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
  if (ascii) return DecodeLatin1(data, size);

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

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
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
