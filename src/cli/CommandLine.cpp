#include "cli/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "cli/CopyCommand.h"
#include "cli/DumpCommand.h"
#include "cli/MergeCommand.h"
#include "cli/Printable.h"

namespace plicato {

const char kUsage[] =
    "Usage:\n"
    "  plicato-cli dump [--password PW] [--sheet N] [--cells] FILE\n"
    "      Prints worksheet N (counted from 1; default 1, the first) as CSV (UTF-8), every cell as the\n"
    "      workbook renders it, from row 0 and column 0 to the last used row and column. With --cells,\n"
    "      one line per stored cell: row,col,kind,text (kinds: 1 blank, 4 number, 5 text, 6 boolean,\n"
    "      7 error, 8-13 formulas).\n"
    "  plicato-cli merge [--values] [--header-rows N [--match-columns]] [--source] [--sheet N|NAME|all]\n"
    "                    [--mark-rows] [--xlsx] [--csv] [--encoding NAME] [--delimiter C]\n"
    "                    [--skip-unreadable] [--password PW]... [--quiet] -o OUT PATH...\n"
    "      Merges the rows of the first worksheet of every file into OUT. OUT's extension chooses the\n"
    "      format: .xls (65,536 rows an output, then OUT-1.xls, ...), .xlsx (1,048,576 rows, then\n"
    "      OUT-1.xlsx, ...) or .csv (UTF-8, never split); without one, .xls is added. A PATH that is a\n"
    "      folder is searched for *.xls files, sub-folders included (with --xlsx also *.xlsx and *.xlsm\n"
    "      files, with --csv also *.csv and *.tsv files); a file is taken as it is and read by its\n"
    "      content, as CSV when it is named .csv or .tsv or has no extension and is no workbook.\n"
    "      A CSV file is UTF-8 or GB18030 (GBK), or as its byte-order mark says; --encoding NAME (an\n"
    "      iconv name, such as BIG5 or CP1252) reads files without a mark in another encoding. Its\n"
    "      separator (comma, tab, semicolon or |) is found from its first lines; --delimiter C (or tab)\n"
    "      sets it. In a classic merge its fields are texts; with --values plain numbers and ISO dates\n"
    "      become values (not leading zeros, '+' or more than 15 digits).\n"
    "      By default (the classic merge) a sheet's rows are taken from the top down to its first row\n"
    "      without text, every value as text, numbers rounded to whole numbers; a file that stops early\n"
    "      or gives no rows is named at the end. --values keeps every cell's type and number format\n"
    "      (dates stay dates) and takes every row that holds a value. --header-rows N (0-10) copies the\n"
    "      first N rows of the first file once, atop every output, and skips them in the other files.\n"
    "      --match-columns lays each file's columns out by the names in its last header row: the\n"
    "      output has every name any file has, and a file's remark names the columns it lacks or adds.\n"
    "      --source adds a first column naming each row's file (\"Source\" on the header). --sheet picks\n"
    "      the sheet: a number counted from 1 as the tabs show them (--sheet 1 is the first), a name\n"
    "      (any letter case), or all (every worksheet, each as a file of its own). --mark-rows puts each\n"
    "      file's row count in a column of its first row.\n"
    "      --skip-unreadable passes over a file that cannot be read (or lacks the sheet) and lists it at\n"
    "      the end (exit status 3). --password PW (repeatable) is tried on each encrypted file, in turn.\n"
    "      Progress goes to stderr (one line redrawn on a terminal, none otherwise), then a summary;\n"
    "      --quiet leaves only errors. Ctrl-C stops before the next file (or at a split) and writes\n"
    "      what was merged. No file to merge: exit status 1. `plicato-cli merge --help` lists the\n"
    "      options with their meanings.\n"
    "  plicato-cli copy [--password PW] IN.xls OUT.xls\n"
    "      Reads IN.xls and writes it back as OUT.xls through the engine, to repair or re-save a legacy\n"
    "      workbook. An encrypted IN.xls (opened with --password) is written decrypted.\n"
    "  plicato-cli [COMMAND] --help | --version\n";

std::string Usage(const std::string& command) {
  const std::string usage = kUsage;
  const size_t start = command.empty() ? std::string::npos : usage.find("  plicato-cli " + command + " ");
  if (start == std::string::npos) return usage;
  return "Usage:\n" + usage.substr(start, usage.find("\n  plicato-cli ", start) + 1 - start);
}

int UsageError(const std::string& message, const std::string& command) {
  std::cerr << "plicato-cli: " << Printable(message) << "\n" << Usage(command);
  return 2;
}

CLI::Option* AddValue(CLI::App& command, const char* name, std::string& field, const char* type,
                      const char* meaning) {
  return command.add_option(name, field, meaning)
      ->type_name(type)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

int RunCommand(const std::string& name, std::vector<std::string> args) {
  CLI::App command("", "plicato-cli " + name);
  command.allow_extras();
  TDumpArgs dump;
  TMergeArgs merge;
  TCopyArgs copy;
  if (name == "dump") {
    AddValue(command, "--password", dump.password, "PW", "");
    AddValue(command, "--sheet", dump.sheet, "N", "");
    command.add_flag("--cells", dump.cells);
    command.add_option("FILE", dump.files);
  } else if (name == "merge") {
    AddMergeOptions(command, merge);
  } else if (name == "copy") {
    AddValue(command, "--password", copy.password, "PW", "");
    command.add_option("FILE", copy.files);
  } else {
    return UsageError("unknown command \"" + name + "\"");
  }
  try {
    std::reverse(args.begin(), args.end());  // CLI11 takes the arguments last first
    command.parse(args);
  } catch (const CLI::CallForHelp&) {
    std::fputs(name == "merge" ? command.help().c_str() : Usage(name).c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what(), name);
  }
  // "--" stays among the extras; it is no unknown option.
  for (const std::string& extra : command.remaining())
    if (extra != "--") return UsageError("unknown option \"" + extra + "\"", name);
  if (name == "dump") return Dump(dump);
  if (name == "copy") return Copy(copy);
  merge.sheetGiven = merge.sheetOption->count() > 0;
  return Merge(merge);
}

}  // namespace plicato
