// Text conversions: 8-bit text of old files in the code page the file declares (CODEPAGE record, or the
// character set of its fonts), the format's own Latin-1 compressed strings, and UTF-8 for file names and
// the window's texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace plicato {

// The code page assumed when a file has no CODEPAGE record or names no 8-bit code page.
constexpr uint16_t kDefaultCodePage = 1252;
// The workbook's code page while reading, until a CODEPAGE record (or, in an older file, a font's
// character set) declares one; it decodes as the default.
constexpr uint16_t kUndeclaredCodePage = 0;

// Decodes 8-bit text in a Windows code page (the CODEPAGE record's value: 1252, 936, 32768 = Mac Roman,
// 32769 = 1252, ...). 8-bit text of UTF-16 (1200) is compressed UTF-16, so each byte is its own code
// point; unknown code pages fall back to 1252. Bytes that do not decode become U+FFFD; the conversion
// never fails.
std::u16string DecodeCodePage(const uint8_t* data, size_t size, uint16_t codePage);

// A code page a file may declare and the name of the iconv converter that decodes it.
struct TCodePageConverter {
  uint16_t codePage;
  const char* iconvName;
};
// Every code page DecodeCodePage knows, in ascending order.
std::span<const TCodePageConverter> KnownCodePages();

// The code page a font's character set (FONT record) implies for a file that declares none;
// kUndeclaredCodePage for the character sets that imply none (ANSI, default, symbol, Mac, OEM).
uint16_t CodePageOfFontCharset(uint8_t charset);

// Widens each byte to the character of the same number (BIFF8's compressed strings).
std::u16string DecodeLatin1(const uint8_t* data, size_t size);

// The capital of a letter of Latin-1, Latin Extended-A, Greek, Cyrillic or full-width Latin; other
// characters unchanged. Enough for names compared without regard to case (sheets, storage elements).
char16_t UpperChar16(char16_t c);

std::string ToUtf8(std::u16string_view text);                 // a lone surrogate becomes U+FFFD
void AppendUtf8(std::string& out, std::u16string_view text);  // ToUtf8, appended to out
std::u16string FromUtf8(std::string_view text);               // malformed sequences become U+FFFD
// The text with each lone surrogate as U+FFFD, as a file that must hold well-formed UTF-16 takes it: the
// text itself when it has none, else its copy in scratch.
std::u16string_view WithoutLoneSurrogates(std::u16string_view text, std::u16string& scratch);

// File names are bytes on Linux and need not be UTF-8. A workbook keeps its name as 16-bit text, so a
// byte outside valid UTF-8 is carried as the lone surrogate U+DC00 + byte, which no UTF-8 text yields:
// the two conversions give back exactly the bytes of the name.
std::u16string FileNameFromPath(const std::filesystem::path& path);
std::filesystem::path PathFromFileName(std::u16string_view name);

}  // namespace plicato
