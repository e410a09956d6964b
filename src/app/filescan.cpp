#include "filescan.h"

#include <QFile>

#include <string>
#include <vector>

#include "merge/FileSearch.h"
#include "queuedcall.h"

namespace plicato {

QStringList ScanFilters(bool includeXlsx, bool includeCsv) {
  QStringList filters;
  for (const std::string& pattern : WorkbookPatterns(includeXlsx, includeCsv))
    filters << QString::fromStdString(pattern);
  return filters;
}

TSearchThread::TSearchThread(TFileScan* scanner, QStringList paths, QStringList filters, bool subDirs)
    : scanner_(scanner), paths_(std::move(paths)), filters_(std::move(filters)), subDirs_(subDirs) {}

void TSearchThread::run() {
  QStringList results;
  TFileScan* scanner = scanner_;
  // All patterns in one search per folder, so that the window lists files in the command line's order.
  std::vector<std::string> patterns;
  for (const QString& filter : filters_) patterns.push_back(QFile::encodeName(filter).toStdString());
  for (const QString& path : paths_) {
    if (stop_.load()) break;
    // A failure inside one folder's search ends that search; what was listed stays listed.
    try {
      SearchFiles(
          QFile::encodeName(path).toStdString(), patterns, subDirs_,
          [&](const std::string& found) {
            const QString fileName = QFile::decodeName(QByteArray::fromStdString(found));
            results.append(fileName);
            PostQueued(scanner, [scanner, fileName] { scanner->Found(fileName); });
            return !stop_.load();
          },
          &stop_,
          [&](const std::string& folder, const std::string& reason) {
            const QString name = QFile::decodeName(QByteArray::fromStdString(folder));
            const QString why = QString::fromStdString(reason);
            PostQueued(scanner, [scanner, name, why] { scanner->FolderUnreadable(name, why); });
          });
    } catch (const std::exception&) {
    }
  }
  PostQueued(scanner, [scanner, results] { scanner->Ready(results); });
}

TFileScan::TFileScan(QObject* owner) : QObject(owner) {}

TFileScan::~TFileScan() {
  Stop();
  if (thread_) thread_->wait();
}

void TFileScan::Start() {
  if (busy_ || stopped_) return;
  thread_ = std::make_unique<TSearchThread>(this, Paths, Filters, SubDirs);
  busy_ = true;
  thread_->start();
}

void TFileScan::Stop() {
  stopped_ = true;
  busy_ = false;
  if (thread_) thread_->Stop();
}

void TFileScan::Found(const QString& fileName) {
  if (stopped_) return;
  if (OnFileFound) OnFileFound(this, fileName);
}

void TFileScan::FolderUnreadable(const QString& folder, const QString& reason) {
  if (stopped_) return;
  if (OnFolderUnreadable) OnFolderUnreadable(this, folder, reason);
}

void TFileScan::Ready(const QStringList& results) {
  if (stopped_) return;
  busy_ = false;
  if (OnReady) OnReady(this, results);
}

}  // namespace plicato
