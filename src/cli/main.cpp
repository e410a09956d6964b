// plicato-cli: the command-line front end of the engine.
//   dump   prints a worksheet of a workbook as CSV, or its stored cells one per line
//   merge  merges a worksheet of each of many workbooks into one, as the window does
//   copy   reads a workbook and writes it back through the engine
// Here only the options before the command, and the last word on a failure; the commands have files of
// their own.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/CommandLine.h"
#include "cli/Printable.h"
#include "cli/Wording.h"
#include "merge/MergeEngine.h"

int main(int argc, char** argv) {
  using namespace plicato;
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    // The options before the command; the command and all after it are left to RunCommand (so that a
    // path named like a command is just a path).
    CLI::App app("", "plicato-cli");
    app.set_version_flag("--version", std::string("plicato-cli ") + PLICATO_VERSION);
    app.prefix_command();
    try {
      app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
      std::fputs(kUsage, stdout);
      return 0;
    } catch (const CLI::CallForVersion& version) {
      std::printf("%s\n", version.what());
      return 0;
    } catch (const CLI::ParseError& e) {
      return UsageError(e.what());
    }
    std::vector<std::string> rest = app.remaining();
    if (rest.empty()) return UsageError("no command given");
    if (!rest.front().empty() && rest.front()[0] == '-')
      return UsageError("unknown option \"" + rest.front() + "\"");
    const std::string command = rest.front();
    rest.erase(rest.begin());
    return RunCommand(command, std::move(rest));
  } catch (const EMergeError& e) {
    // The merge says what ended it as facts; these are its words.
    std::cerr << "plicato-cli: " << Printable(RunFailureWords(e.Facts()), true) << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "plicato-cli: " << Printable(e.what(), true) << "\n";
    return 1;
  } catch (...) {
    std::cerr << "plicato-cli: unexpected failure\n";
    return 1;
  }
}
