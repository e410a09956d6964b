// The folder search shared by the window's scan and the command line, so that both list exactly the same
// files in the same order: the matches of a folder first, then its sub-folders depth first. Entries of
// one folder are taken in the order of their names compared in upper case (the order the Windows file
// system returns them), so a list is the same on every machine. Hidden files are included; a folder
// that cannot be read (no permission, a path past the system's length limit) is reported to the caller,
// who decides whether the run may go on without its files.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plicato {

// True when name matches a wildcard pattern of '*' and '?' without regard to letter case (ASCII).
bool WildcardMatch(std::string_view pattern, std::string_view name);

// Searches folder (and, with subDirs, its sub-folders) for names matching pattern and calls onFound with
// each match's full path as it is found, in search order. Paths use '/'; a folder given with a trailing
// '/' is not doubled. Only regular files are reported (a link when it leads to one); folders whose names
// match are searched but not reported, and named pipes, sockets, devices and dangling links are passed over.
// The search ends early when stop becomes true or onFound returns false. A folder (the one given or one
// below it) whose entries cannot be listed, wholly or partly, is given to onUnreadable with the reason,
// in search order, and the search goes on with the next.
using TUnreadableFolderEvent = std::function<void(const std::string& folder, const std::string& reason)>;
void SearchFiles(const std::string& folder, const std::string& pattern, bool subDirs,
                 const std::function<bool(const std::string&)>& onFound,
                 const std::atomic<bool>* stop = nullptr, const TUnreadableFolderEvent& onUnreadable = {});

// The same search for names matching any of several patterns; a file is reported once, in the same
// order as for one pattern (so the kinds of a mixed folder come interleaved by name, not kind by kind).
void SearchFiles(const std::string& folder, const std::vector<std::string>& patterns, bool subDirs,
                 const std::function<bool(const std::string&)>& onFound,
                 const std::atomic<bool>* stop = nullptr, const TUnreadableFolderEvent& onUnreadable = {});

// The patterns of a folder scan: "*.xls", with withXlsx also "*.xlsx" and "*.xlsm", with withCsv also
// "*.csv" and "*.tsv".
std::vector<std::string> WorkbookPatterns(bool withXlsx, bool withCsv = false);

}  // namespace plicato
