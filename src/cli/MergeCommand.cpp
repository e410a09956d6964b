#include "cli/MergeCommand.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string_view>
#include <utility>

#include <CLI/CLI.hpp>

#include "biff/CodePage.h"
#include "biff/CompoundFile.h"
#include "cli/CommandLine.h"
#include "cli/ConsoleHost.h"
#include "cli/Printable.h"
#include "cli/Signals.h"
#include "cli/Wording.h"
#include "merge/CsvReader.h"
#include "merge/FileSearch.h"
#include "merge/MergeEngine.h"

namespace plicato {
namespace {

// A folder the search could not read, and why.
using TUnreadableFolders = std::vector<std::pair<std::filesystem::path, std::string>>;

// The usage error of merge's options that the run itself would refuse, or 0. The run checks them again;
// here they are said as the options that were given.
int OptionsUsageError(const TMergeOptions& options) {
  switch (FindOptionsProblem(options)) {
    case TOptionsProblem::headerRows:
      return UsageError("--header-rows needs a number from 0 to " + std::to_string(kMaxHeaderRows), "merge");
    case TOptionsProblem::sheetNumber:
      return UsageError("--sheet: sheet numbers count from 1 (1 is the first sheet)", "merge");
    case TOptionsProblem::delimiter:
      return UsageError("--delimiter needs one character other than a quote or a line break", "merge");
    case TOptionsProblem::matchColumns:
      return UsageError(
          "--match-columns needs --header-rows N (1 or more): the last header row names the columns",
          "merge");
    case TOptionsProblem::none:
    case TOptionsProblem::noFiles:  // said once the folders have been searched
    case TOptionsProblem::sourceNames:
      return 0;
  }
  return 0;
}

// The run's options from the command line, each checked as the option that was given; a usage error's
// exit status, or 0. The files are left to GatherFiles.
int ReadOptions(const TMergeArgs& args, TMergeOptions& options) {
  options.savePath = args.out;
  options.values = args.values;
  options.sourceColumn = args.source;
  options.markRows = args.mark;
  options.skipUnreadable = args.skip;
  const std::string& n = args.headerRows;
  if (n.size() > 2 || n.empty() ||
      !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return UsageError("--header-rows needs a number from 0 to " + std::to_string(kMaxHeaderRows), "merge");
  options.headerRows = std::stoi(n);
  options.matchColumns = args.matchColumns;
  if (args.sheetGiven) {
    if (args.sheet.empty()) return UsageError("--sheet needs a number, a name or all", "merge");
    const std::optional<TSheetChoice> sheet = ParseSheetChoice(FromUtf8(args.sheet));
    if (!sheet) return UsageError("--sheet: sheet numbers count from 1 (1 is the first sheet)", "merge");
    options.sheet = *sheet;
  }
  options.csvEncoding = args.encoding;
  if (!args.encoding.empty() && !CsvEncodingKnown(args.encoding))
    return UsageError("--encoding: the encoding \"" + args.encoding + "\" is not known (see iconv --list)",
                      "merge");
  if (!args.delimiter.empty()) {
    const std::u16string delimiter =
        args.delimiter == "tab" || args.delimiter == "\\t" ? u"\t" : FromUtf8(args.delimiter);
    if (delimiter.size() != 1)
      return UsageError("--delimiter needs one character other than a quote or a line break", "merge");
    options.csvDelimiter = delimiter[0];
  }
  if (const int error = OptionsUsageError(options)) return error;
  for (const std::string& password : args.passwords) options.passwords.push_back(FromUtf8(password));
  if (options.savePath.empty()) return UsageError("merge needs -o OUT (.xls, .xlsx or .csv)", "merge");
  if (args.paths.empty()) return UsageError("merge needs at least one folder or file", "merge");
  return 0;
}

// The files to merge, in the order of the paths given, a folder's found by the search, and the names the
// source column gives them; the exit status 1 when there is nothing to merge or a path cannot be, or 0.
// The folders the search could not read go to unreadableFolders.
int GatherFiles(const TMergeArgs& args, TMergeOptions& options, TUnreadableFolders& unreadableFolders) {
  const std::vector<std::filesystem::path> paths(args.paths.begin(), args.paths.end());
  std::vector<std::filesystem::path>& files = options.files;
  // The source column names a file found in a folder by its path below that folder, any other as given.
  std::vector<std::filesystem::path>& names = options.sourceNames;
  for (const std::filesystem::path& p : paths) {
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      const std::string& folder = p.native();
      SearchFiles(
          folder, WorkbookPatterns(args.xlsx, args.csv), true,
          [&](const std::string& f) {
            files.push_back(f);
            size_t start = folder.size();
            if (start < f.size() && f[start] == '/') ++start;
            names.push_back(f.compare(0, folder.size(), folder) == 0 ? f.substr(start) : f);
            return true;
          },
          nullptr,
          [&](const std::string& unreadable, const std::string& reason) {
            unreadableFolders.emplace_back(unreadable, reason);
          });
    } else if (std::filesystem::is_regular_file(p, ec)) {
      files.push_back(p);
      names.push_back(p);
    } else {
      try {
        cfb::TInputFile check(p);  // says what the path is instead
      } catch (const std::exception& e) {
        std::cerr << "plicato-cli: " << Indented(e.what()) << "\n";
        return 1;
      }
      std::cerr << "plicato-cli: \"" << Printable(p.string()) << "\" is not a regular file\n";
      return 1;
    }
  }
  // Files the search could not see would be missing from the merge without a word: the run stops
  // unless unreadable inputs may be passed over, and then they are listed with the skipped files.
  if (!unreadableFolders.empty() && !options.skipUnreadable) {
    std::cerr << "plicato-cli: cannot read the folder \""
              << Printable(unreadableFolders.front().first.string())
              << "\": " << Printable(unreadableFolders.front().second)
              << ". Nothing was merged; --skip-unreadable merges the files that can be read.\n";
    return 1;
  }
  if (files.empty()) {
    std::string under;
    for (const std::filesystem::path& p : paths) under += (under.empty() ? "" : ", ") + Printable(p.string());
    std::cerr << "plicato-cli: no files to merge under " << under << "; nothing was written\n";
    return 1;
  }
  return 0;
}

// The run itself, which a stop signal asks to stop while it lasts.
TMergeReport RunMerge(TConsoleHost& host, TMergeOptions options) {
  StopOnSignal(&host);
  try {
    TMergeReport report = MergeFiles(host, std::move(options));
    StopOnSignal(nullptr);
    return report;
  } catch (...) {
    StopOnSignal(nullptr);
    host.EndLine();
    throw;
  }
}

// What the run passed over, and unless quiet the summary; the exit status.
int ReportRun(const TMergeReport& report, TConsoleHost& host, const TUnreadableFolders& unreadableFolders,
              bool quiet) {
  // What was passed over is an error, shown even when quiet: the exit status alone would not say which.
  std::string passedOver;
  if (!report.skipped.empty()) {
    passedOver = std::to_string(report.skipped.size()) + " of " + std::to_string(host.FoundCount.load()) +
                 " files could not be read";
  }
  if (!unreadableFolders.empty()) {
    passedOver += (passedOver.empty() ? "" : ", and ") + std::to_string(unreadableFolders.size()) +
                  (unreadableFolders.size() == 1 ? " folder" : " folders") + " could not be read";
  }
  if (!passedOver.empty()) {
    const bool one = report.skipped.size() + unreadableFolders.size() == 1;
    std::cerr << "plicato-cli: " << passedOver << (one ? " and was skipped:\n" : " and were skipped:\n");
  }
  const size_t skippedFiles = report.skipped.size();
  for (const TFileNote& skipped : report.skipped)
    std::cerr << "  " << Printable(skipped.file.string()) << ": "
              << Indented(FileFailureWords(skipped.failure)) << "\n";
  for (const auto& [folder, why] : unreadableFolders)
    std::cerr << "  " << Printable(folder.string()) << ": "
              << Indented("the folder could not be read: " + why) << "\n";
  if (!quiet) {
    if (StopSignal() != 0) {
      std::cerr << "plicato-cli: stopped by signal " << StopSignal() << ": " << host.MergedCount.load()
                << " of " << host.FoundCount.load() << " files merged\n";
    }
    std::cerr << "plicato-cli: " << Summary(report, host.FoundCount.load(), skippedFiles, host.Elapsed())
              << "\n";
  }
  if (StopSignal() != 0) return 128 + StopSignal();
  return report.skipped.empty() && unreadableFolders.empty() ? 0 : 3;
}

}  // namespace

void AddMergeOptions(CLI::App& command, TMergeArgs& merge) {
  command.description(
      "Merges the rows of a worksheet of every file into OUT. A PATH that is a folder is searched for\n"
      "*.xls files, sub-folders included; a file is taken as it is and read by its content.");
  AddValue(command, "-o", merge.out, "OUT",
           "the output: .xls (split at 65,536 rows), .xlsx or .csv; .xls by default");
  command.add_flag("--values", merge.values, "keep types and number formats; take every row with a value");
  AddValue(command, "--header-rows", merge.headerRows, "N",
           "copy the first N rows (0-10) of the first file once, atop every output");
  command.add_flag("--match-columns", merge.matchColumns,
                   "lay each file's columns out by the names in its last header row");
  command.add_flag("--source", merge.source, "add a first column naming each row's file (\"Source\")");
  merge.sheetOption = AddValue(command, "--sheet", merge.sheet, "N|NAME|all",
                               "the sheet: a number counted from 1 (1 is the first), a name, or all of them");
  command.add_flag("--mark-rows", merge.mark, "note each file's row count on its first row");
  command.add_flag("--xlsx", merge.xlsx, "search folders for *.xlsx and *.xlsm files too");
  command.add_flag("--csv", merge.csv, "search folders for *.csv and *.tsv files too");
  AddValue(command, "--encoding", merge.encoding, "NAME",
           "the encoding of CSV inputs without a byte-order mark (default: UTF-8, else GB18030)");
  AddValue(command, "--delimiter", merge.delimiter, "C",
           "the separator of CSV inputs (one character or tab)");
  command.add_flag("--skip-unreadable", merge.skip, "pass over files that cannot be read (exit status 3)");
  // Every occurrence adds one password, never split at a comma or a space.
  command.add_option("--password", merge.passwords, "a password to try on encrypted files (repeatable)")
      ->type_name("PW")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command.add_flag("-q,--quiet", merge.quiet, "no progress, remarks or summary; only errors");
  command.add_option("PATH", merge.paths, "folders and files to merge, in this order")->type_name("");
  command.footer(
      "Progress goes to stderr (one line redrawn on a terminal), then a summary; Ctrl-C stops before the\n"
      "next file and writes what was merged.\n"
      "\n"
      "Examples:\n"
      "  plicato-cli merge --mark-rows -o year.xls reports/\n"
      "  plicato-cli merge --xlsx --skip-unreadable --source -o all.xlsx reports/ extra.xls");
  command.set_help_flag("-h,--help", "show this help and exit");
  command.get_formatter()->column_width(28);
}

int Merge(const TMergeArgs& args) {
  TMergeOptions options;
  if (const int error = ReadOptions(args, options)) return error;
  cfb::CheckOutputWritable(options.savePath);
  InstallSignalHandlers();
  TUnreadableFolders unreadableFolders;  // why; not in the list
  if (const int error = GatherFiles(args, options, unreadableFolders)) return error;
  options.sourceCaption = u"Source";
  TConsoleHost host(args.quiet);
  host.FoundCount.store(static_cast<int32_t>(options.files.size()));
  const TMergeReport report = RunMerge(host, std::move(options));
  return ReportRun(report, host, unreadableFolders, args.quiet);
}

}  // namespace plicato
