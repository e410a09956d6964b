// The window's side of the merge engine: what the engine reads (the file list, the save path, the
// marking option) as values the window keeps current for it, and what it shows (the status outputs)
// handed to a delivery function that posts them to the window's thread in order.
//
// The engine runs on the merge job's thread and never reaches a widget. The counters live in the
// TMergeHost base as atomics shared with the window and the scan.
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "merge/MergeEngine.h"

namespace plicato {

class TWindowMergeHost : public TMergeHost {
 public:
  enum class TOutput { Progress, Count, CurrentFile, ButtonCaption };
  // Called on the merge thread; must not block on the window's thread.
  using TDeliver = std::function<void(TOutput output, const QString& text)>;

  explicit TWindowMergeHost(TDeliver deliver);

  // Window thread: the copy of the list a run will merge, taken when Start is pressed.
  void SetFiles(const QStringList& files);
  // Window thread: kept current from the save-path field and the marking check box.
  void SetSavePathText(const QString& path);
  void SetMarkRowsValue(bool mark) { markRows_.store(mark); }

  std::vector<std::filesystem::path> FileList() override;
  std::filesystem::path SavePath() override;
  bool MarkRows() override { return markRows_.load(); }

  void SetProgressText(const std::string& text) override;
  void SetCountText(const std::string& text) override;
  void SetCurrentFile(const std::string& path) override;
  void SetButtonCaption(const std::string& text) override;

  // Called on the merge thread each time a file begins, before its status is posted. A seam for
  // tests that need the merge held at a known file; set it before the run starts.
  std::function<void(const QString& path)> FileBeginHook;

 private:
  TDeliver deliver_;
  std::mutex mutex_;  // guards files_ and savePath_
  std::vector<std::string> files_;
  std::string savePath_;
  std::atomic<bool> markRows_{false};
};

}  // namespace plicato
