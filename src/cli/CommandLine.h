// The command line itself: the usage text, how a command line that cannot be run is answered, and the
// parsing of a command's arguments (CLI11) before the command runs.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace plicato {

// Every command's lines, shown by --help and with a usage error.
extern const char kUsage[];

// The lines of the usage that are command's, or all of it when command is not one of them.
std::string Usage(const std::string& command);

// A command line that cannot be run: the reason, then the usage of the command (exit status 2).
int UsageError(const std::string& message, const std::string& command = "");

// Given twice, an option's last value counts, as it always has. The type name is the value's name in the
// usage, which the message of a missing value shows.
CLI::Option* AddValue(CLI::App& command, const char* name, std::string& field, const char* type,
                      const char* meaning);

// Each option binds a field of its command's arguments; values are checked by the command itself, with
// messages of its own. An option that takes a value always takes the next argument, even one that begins
// with a dash (a password "--help"); "--" ends the options; options and paths mix in any order. Unknown
// options are collected rather than thrown, to be named the way this program names them.
int RunCommand(const std::string& name, std::vector<std::string> args);

}  // namespace plicato
