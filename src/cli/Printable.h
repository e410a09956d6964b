// Text on its way to a terminal: what a file holds, or a file's name, could otherwise begin a line of its
// own or steer the terminal with escape sequences.
#pragma once

#include <string>
#include <string_view>

namespace plicato {

// text for a terminal: a control character (C0, DEL, C1) or a byte that is not UTF-8 becomes an escape
// (\n, \t, \x1b, \u009b), so that a file name cannot begin a line of its own or steer the terminal
// with escape sequences. With indent, the engine's line separator CR starts an indented line instead.
std::string Printable(std::string_view text, bool indent = false);

// A message's lines (the engine separates them with CR) on lines of their own, indented after the first.
std::string Indented(const std::string& message);

}  // namespace plicato
