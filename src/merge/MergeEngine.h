// The merge engine: appends the rows of the first worksheet of every listed file to the first worksheet
// of one output workbook, every value as text, splitting the output at 65,536 rows.
//
// The engine knows nothing of the window. It reads and writes the window-level state through
// TMergeHost, which the window, the command line and the tests each implement. Status updates are made
// in order from the engine's thread; a host that shows them elsewhere must deliver them in that order.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "merge/MergeError.h"

namespace plicato {

class TMergeHost {
 public:
  virtual ~TMergeHost() = default;

  // The files to merge, taken once when a run starts (full paths).
  virtual std::vector<std::string> FileList() = 0;
  // The save path, read when the run starts and again at each split.
  virtual std::string SavePath() = 0;
  // The marking option: the first column records each file's row count. Read for every cell, so an
  // implementation must be cheap and thread-safe (an atomic the window keeps current).
  virtual bool MarkRows() = 0;

  // Status outputs, in the order the engine makes them.
  virtual void SetProgressText(const std::string& text) = 0;   // the progress line
  virtual void SetCountText(const std::string& text) = 0;      // the count line
  virtual void SetCurrentFile(const std::string& path) = 0;    // the current-file field
  virtual void SetButtonCaption(const std::string& text) = 0;  // the Start/Stop caption

  std::atomic<int32_t> StopRequested{0};  // 1 asks the run to stop before its next file
  std::atomic<int32_t> FoundCount{0};
  std::atomic<int32_t> MergedCount{0};  // not reset by a run: merging twice counts on
};

// "共有" FoundCount "个XLS文件 已合并" MergedCount "个"
std::string CountLineText(int32_t found, int32_t merged);

// The name of output file n (n >= 1) for a save path: the path + "--" + n + ".xls", with every ".xls-"
// removed (so out.xls gives out-1.xls).
std::string SplitOutputName(const std::string& savePath, int32_t splitNumber);

// The decimal text of a number rounded half to even, the full 64-bit value where it is outside the
// 32-bit range.
std::string RoundedNumberText(double value);

// Runs the whole merge. Throws EMergeError when a file fails: the output gathered so far has then been
// written, and the message names the failing file and carries the reader's message.
void MergeFiles(TMergeHost& host);

}  // namespace plicato
