// The values of a sheet's cells as Office Open XML writes them: cell references, numbers, ISO 8601 dates,
// times and durations, error names, the _xHHHH_ escapes and the text of a string item. Pure functions of
// their input, shared by the shared strings' parse and the sheet's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "workbook/Cell.h"

namespace plicato::xlsx {

// Excel writes characters XML cannot carry as _xHHHH_ (and a literal "_x" as _x005F_x).
std::u16string DecodeEscapes(std::u16string text);

// Collects the visible text of a string item (<si>, <is>, or <sstItem> of the 2007 pre-release): plain
// <t> and the <t> of rich runs, joined; phonetic runs (<rPh>) are readings, not text. An item of more
// than kMaxItemBytes of UTF-8 is refused by the caller (Characters says so), so that one cell never takes
// gigabytes.
inline constexpr size_t kMaxItemBytes = 64 * 1024 * 1024;
class TStringItem {
 public:
  // Starts an item. bare: an item without child elements has its own character data as its text (as a
  // pre-release <sstItem> may); its first child element makes it an item of <t> elements after all.
  void Begin(bool bare) {
    Reset();
    bare_ = bare;
  }
  void Start(const char* element);
  void End(const char* element);
  // False when the item has grown past kMaxItemBytes.
  bool Characters(const char* text, int length);
  std::u16string Take();
  // Appends the text to out and starts anew: a sheet's inline strings reuse one buffer.
  void TakeInto(std::u16string& out);

 private:
  void Reset();

  std::string utf8_;
  int phonetic_ = 0;
  bool collecting_ = false, bare_ = false;
};

// "AB12" (or "ab12") as a 0-based column and row; nullopt, with the reason in failure, for anything else.
struct TCellRef {
  uint32_t column, row;
};
std::optional<TCellRef> ParseCellRef(const char* text, const char*& failure);

// A number as written in <v>: white space around it and a leading '+' are allowed. One past a double's
// range is 0 or an infinity.
bool ParseNumber(std::string_view text, double& value);

// What an ISO 8601 value of a date cell (t="d") holds, for the format it is shown with when its style has
// no date format.
enum TDateShape : uint8_t { dsDate, dsDateTime, dsTime, dsDuration };

// An ISO 8601 date, date-time or time ("2024-03-01", "2024-03-01T12:30:00.5", "10:10:10") as the serial
// number spreadsheet programs show for it, or a duration ("PT1H30M", "P2DT3H") as days. date1904: the 1904
// date system. dateCompatibility: the 1900 system counts the non-existent 1900-02-29, so a date before
// 1900-03-01 is one day less than its distance from 1899-12-30 (1900-01-01 is 1, 1899-12-31 is day 0);
// without it (a workbook that says dateCompatibility="0") every date counts from 1899-12-30. A time
// alone is a fraction of a day. A zone offset is ignored: the value is the local time as written.
bool ParseIsoDate(std::string_view text, bool date1904, bool dateCompatibility, double& value,
                  TDateShape& shape);

// The error value of "#DIV/0!" and the like, as the text it is written with; ceNone for any other.
TCellError ErrorValue(std::u16string_view text, std::u16string_view& name);

// The t attribute of a cell; an unknown type is refused rather than guessed.
enum TCellType : uint8_t { ctNumber, ctShared, ctString, ctInline, ctBoolean, ctError, ctDate };
bool ParseCellType(const char* t, TCellType& type);

}  // namespace plicato::xlsx
