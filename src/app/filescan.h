// The folder scanner: finds every file matching its filters in its folders (and their sub-folders) on a
// search thread of its own and reports each match on the scanner's thread (the window's) the moment it
// is found, in search order.
//
// The search thread never touches the scanner's handlers: each match is posted to the scanner as a
// queued call. Stop asks the search to end and drops every match still on its way, so a retired
// scanner reports nothing more; the destructor stops the search and waits for its thread.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

namespace plicato {

class TFileScan;

// The name patterns of a folder scan: the legacy workbooks, and the Office Open XML ones and the CSV
// files when asked for.
QStringList ScanFilters(bool includeXlsx, bool includeCsv = false);

// One search over copies of a scanner's folders and filters. Owned by the scanner.
class TSearchThread : public QThread {
  Q_OBJECT

 public:
  TSearchThread(TFileScan* scanner, QStringList paths, QStringList filters, bool subDirs);

  void Stop() { stop_.store(true); }

 protected:
  void run() override;

 private:
  TFileScan* scanner_;
  const QStringList paths_;
  const QStringList filters_;
  const bool subDirs_;
  std::atomic<bool> stop_{false};
};

class TFileScan : public QObject {
  Q_OBJECT

 public:
  using TFileFoundEvent = std::function<void(TFileScan* sender, const QString& fileName)>;
  using TReadyEvent = std::function<void(TFileScan* sender, const QStringList& results)>;
  using TFolderUnreadableEvent =
      std::function<void(TFileScan* sender, const QString& folder, const QString& reason)>;

  explicit TFileScan(QObject* owner = nullptr);
  ~TFileScan() override;

  TFileScan(const TFileScan&) = delete;
  TFileScan& operator=(const TFileScan&) = delete;

  QStringList Paths;
  QStringList Filters;
  bool SubDirs = true;
  TFileFoundEvent OnFileFound;  // each match, on the scanner's thread
  TReadyEvent OnReady;          // once at the end, with every match
  // Each folder whose files could not be listed (their files are missing from the matches), on the
  // scanner's thread, in search order.
  TFolderUnreadableEvent OnFolderUnreadable;

  // Starts a search of Paths x Filters unless one is under way. Returns at once.
  void Start();
  // Ends the search early; nothing more is reported. The scanner cannot be started again.
  void Stop();
  // From Start until the search has reported its end (or Stop).
  bool Busy() const { return busy_; }

 private:
  friend class TSearchThread;
  void Found(const QString& fileName);
  void FolderUnreadable(const QString& folder, const QString& reason);
  void Ready(const QStringList& results);

  std::unique_ptr<TSearchThread> thread_;
  bool busy_ = false;
  bool stopped_ = false;
};

}  // namespace plicato
