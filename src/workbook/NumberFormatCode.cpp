#include "workbook/NumberFormatCode.h"

#include <algorithm>
#include <charconv>

#include "biff/CodePage.h"

namespace plicato::numfmt {

namespace {

char16_t Lower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

}  // namespace

bool StartsWithNoCase(std::u16string_view text, size_t at, std::u16string_view prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[at + i]) != Lower(prefix[i])) return false;
  return true;
}

namespace {

void AddLiteral(std::vector<TToken>& tokens, std::u16string_view text) {
  if (!tokens.empty() && tokens.back().kind == tkLiteral) {
    tokens.back().text += ToUtf8(text);
  } else {
    TToken t{tkLiteral};
    t.text = ToUtf8(text);
    tokens.push_back(std::move(t));
  }
}

std::optional<TCondition> ParseCondition(std::u16string_view inside) {
  TCondition c{};
  size_t at = 0;
  if (inside.substr(0, 2) == u"<=")
    c.op = TCondition::opLessEqual, at = 2;
  else if (inside.substr(0, 2) == u">=")
    c.op = TCondition::opGreaterEqual, at = 2;
  else if (inside.substr(0, 2) == u"<>")
    c.op = TCondition::opNotEqual, at = 2;
  else if (inside.substr(0, 1) == u"<")
    c.op = TCondition::opLess, at = 1;
  else if (inside.substr(0, 1) == u">")
    c.op = TCondition::opGreater, at = 1;
  else if (inside.substr(0, 1) == u"=")
    c.op = TCondition::opEqual, at = 1;
  else
    return std::nullopt;
  const std::string number = ToUtf8(inside.substr(at));
  const char* begin = number.data();
  if (!number.empty() && number[0] == '+') ++begin;
  const auto r = std::from_chars(begin, number.data() + number.size(), c.value);
  if (r.ec != std::errc() || r.ptr != number.data() + number.size()) return std::nullopt;
  return c;
}

// What a bracket of a section holds: elapsed time ([h] [mm] [ss]), a currency's text ([$USD-409]), a
// condition ([<0]). Colours, [DBNum1] and other switches change nothing in the text.
void AddBracketed(TSection& section, std::u16string_view inside) {
  std::vector<TToken>& tokens = section.tokens;
  if (!inside.empty() && (Lower(inside[0]) == u'h' || Lower(inside[0]) == u'm' || Lower(inside[0]) == u's') &&
      std::all_of(inside.begin(), inside.end(), [&](char16_t x) { return Lower(x) == Lower(inside[0]); })) {
    TToken t{Lower(inside[0]) == u'h'   ? tkElapsedHours
             : Lower(inside[0]) == u'm' ? tkElapsedMinutes
                                        : tkElapsedSeconds};
    t.count = static_cast<int>(inside.size());
    tokens.push_back(t);
  } else if (!inside.empty() && inside[0] == u'$') {
    const size_t dash = inside.find(u'-');
    AddLiteral(tokens, inside.substr(1, (dash == std::u16string_view::npos ? inside.size() : dash) - 1));
  } else if (auto condition = ParseCondition(inside)) {
    section.condition = condition;
  }
}

// One section of a format code (the text between semicolons) as tokens.
// Long on purpose: one branch per kind of character a code holds, tried in the order that decides
// between them (General and AM/PM before the letters of dates).
TSection ParseSection(std::u16string_view s) {
  TSection section;
  std::vector<TToken>& tokens = section.tokens;
  for (size_t i = 0; i < s.size();) {
    const char16_t c = s[i];
    if (c == u'"') {
      const size_t end = s.find(u'"', i + 1);
      const size_t stop = end == std::u16string_view::npos ? s.size() : end;
      AddLiteral(tokens, s.substr(i + 1, stop - i - 1));
      i = stop + 1;
    } else if (c == u'\\') {
      if (i + 1 < s.size()) AddLiteral(tokens, s.substr(i + 1, 1));
      i += 2;
    } else if (c == u'_') {
      AddLiteral(tokens, u" ");
      i += 2;
    } else if (c == u'*') {
      i += 2;  // a fill to the cell's width: no width here
    } else if (c == u'[') {
      const size_t end = s.find(u']', i + 1);
      const size_t stop = end == std::u16string_view::npos ? s.size() : end;
      AddBracketed(section, s.substr(i + 1, stop - i - 1));
      i = stop + 1;
    } else if (StartsWithNoCase(s, i, u"General")) {
      tokens.push_back(TToken{tkGeneral});
      i += 7;
    } else if (StartsWithNoCase(s, i, u"AM/PM") || StartsWithNoCase(s, i, u"A/P") ||
               s.substr(i, 5) == u"上午/下午") {
      // The texts before and after noon; the case of AM/PM and A/P is the format's.
      const bool chinese = s[i] == u'上', full = !chinese && s[i + 1] != u'/', lower = s[i] == u'a';
      TToken t{tkAmPm};
      t.text = chinese ? "上午" : full ? (lower ? "am" : "AM") : (lower ? "a" : "A");
      t.pm = chinese ? "下午" : full ? (lower ? "pm" : "PM") : (lower ? "p" : "P");
      tokens.push_back(std::move(t));
      i += chinese || full ? 5 : 3;
    } else {
      const char16_t l = Lower(c);
      size_t run = 1;
      while (i + run < s.size() && Lower(s[i + run]) == l) ++run;
      if (l == u'y' || l == u'm' || l == u'd' || l == u'h' || l == u's' ||
          (l == u'a' && (run == 3 || run == 4))) {
        TToken t{l == u'y'   ? tkYear
                 : l == u'm' ? tkMonthOrMinute
                 : l == u'd' ? tkDay
                 : l == u'h' ? tkHour
                 : l == u's' ? tkSecond
                             : tkChineseDay};
        t.count = static_cast<int>(run);
        tokens.push_back(t);
        i += run;
      } else if (l == u'e' && i + 1 < s.size() && (s[i + 1] == u'+' || s[i + 1] == u'-')) {
        TToken t{tkExponent};
        t.ch = c;
        t.sign = s[i + 1];
        tokens.push_back(t);
        i += 2;
      } else if (l == u'e') {
        TToken t{tkYear};
        t.count = 4;
        tokens.push_back(t);
        i += 1;
      } else if (c == u'0' || c == u'#' || c == u'?') {
        TToken t{tkDigit};
        t.ch = c;
        tokens.push_back(t);
        ++i;
      } else if (c == u'.') {
        tokens.push_back(TToken{tkPoint});
        ++i;
      } else if (c == u',') {
        tokens.push_back(TToken{tkComma});
        ++i;
      } else if (c == u'%') {
        tokens.push_back(TToken{tkPercent});
        ++i;
      } else if (c == u'@') {
        section.text = true;  // the text of a text cell: the section is for texts only
        ++i;
      } else {
        AddLiteral(tokens, s.substr(i, 1));
        ++i;
      }
    }
  }
  for (const TToken& t : tokens) {
    section.empty = false;
    if ((t.kind >= tkYear && t.kind <= tkAmPm)) section.date = true;
  }
  return section;
}

}  // namespace

std::vector<TSection> ParseFormat(std::u16string_view format) {
  std::vector<TSection> sections;
  size_t start = 0;
  bool quoted = false, bracket = false;
  for (size_t i = 0; i <= format.size(); ++i) {
    if (i == format.size() || (!quoted && !bracket && format[i] == u';')) {
      sections.push_back(ParseSection(format.substr(start, i - start)));
      start = i + 1;
      continue;
    }
    const char16_t c = format[i];
    if (quoted) {
      quoted = c != u'"';
    } else if (bracket) {
      bracket = c != u']';
    } else if (c == u'"') {
      quoted = true;
    } else if (c == u'[') {
      bracket = true;
    } else if ((c == u'\\' || c == u'_' || c == u'*') && i + 1 < format.size()) {
      ++i;
    }
  }
  return sections;
}

}  // namespace plicato::numfmt
