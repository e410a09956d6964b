#include "cli/Printable.h"

#include <cstdio>

namespace plicato {

std::string Printable(std::string_view text, bool indent) {
  std::string shown;
  shown.reserve(text.size());
  char hex[8];
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && indent) {
      shown += "\n    ";
    } else if (c == '\n' || c == '\t' || c == '\r') {
      shown += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    } else if (c >= 0x80) {
      // The length of a well-formed UTF-8 sequence here, or 0.
      const size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                            : c >= 0xE0 && c <= 0xEF ? 3
                            : c >= 0xF0 && c <= 0xF4 ? 4
                                                     : 0;
      bool wellFormed = length > 0 && i + length <= text.size();
      for (size_t k = 1; wellFormed && k < length; ++k) wellFormed = (text[i + k] & 0xC0) == 0x80;
      if (!wellFormed) {
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        shown += hex;
      } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
        std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
        shown += hex;
        ++i;
      } else {
        shown.append(text.substr(i, length));
        i += length - 1;
      }
    } else {
      shown += static_cast<char>(c);
    }
    ++i;
  }
  return shown;
}

std::string Indented(const std::string& message) {
  return Printable(message, true);
}

}  // namespace plicato
