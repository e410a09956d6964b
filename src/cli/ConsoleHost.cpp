#include "cli/ConsoleHost.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <vector>

#include "cli/Printable.h"
#include "cli/Wording.h"

namespace plicato {

TConsoleHost::TConsoleHost(bool quiet)
    : quiet_(quiet),
      terminal_(!quiet && ::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {}

void TConsoleHost::AddNote(const TFileNote& note) {
  if (quiet_) return;
  EndLine();
  std::cerr << Printable(note.file.string()) << ": " << Indented(NoteWords(note.facts)) << "\n";
}

void TConsoleHost::Draw() {
  const auto seconds = static_cast<long>(Elapsed());
  char time[32];
  std::snprintf(time, sizeof time, "%ld:%02ld", seconds / 60, seconds % 60);
  std::string line = "file " + std::to_string(std::min(done_ + 1, total_)) + " of " + std::to_string(total_) +
                     ", " + std::to_string(rows_) + (rows_ == 1 ? " row, " : " rows, ") + time + "  ";
  winsize size{};
  const size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  const size_t room = width > line.size() + 4 ? width - line.size() - 1 : 3;
  line += Tail(Printable(file_), room);
  std::cerr << "\r\033[K" << line << std::flush;
  drawn_ = true;
  drawnAt_ = std::chrono::steady_clock::now();
}

std::string TConsoleHost::Tail(const std::string& text, size_t room) {
  size_t characters = 0;
  for (unsigned char c : text) characters += (c & 0xC0) != 0x80;
  if (characters <= room) return text;
  size_t start = 0;
  for (size_t drop = characters - room + 3; start < text.size(); ++start) {
    if ((static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) continue;
    if (drop == 0) break;
    --drop;
  }
  return "..." + text.substr(start);
}

namespace {

// "a", "b" and "c" as one list.
std::string NameList(const std::vector<std::filesystem::path>& names) {
  std::string text;
  for (const std::filesystem::path& name : names)
    text += (text.empty() ? "" : ", ") + Printable(name.string());
  return text;
}

}  // namespace

std::string Summary(const TMergeReport& report, int32_t found, size_t skipped, double seconds) {
  std::string text = "merged " + std::to_string(report.filesMerged);
  if (report.filesMerged != found) text += " of " + std::to_string(found);
  text += found == 1 ? " file" : " files";
  if (skipped > 0) text += " (" + std::to_string(skipped) + " skipped)";
  text += report.outputs.empty()
              ? "; nothing was written: no rows were gathered"
              : "; wrote " + std::to_string(report.rowsWritten) +
                    (report.rowsWritten == 1 ? " row to " : " rows to ") + NameList(report.outputs);
  if (!report.olderOutputs.empty())
    text += "; older outputs, not from this run: " + NameList(report.olderOutputs);
  char time[32];
  std::snprintf(time, sizeof time, "; %.1f s", seconds);
  return text + time;
}

}  // namespace plicato
