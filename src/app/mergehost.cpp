#include "mergehost.h"

#include <QFile>

namespace plicato {

TWindowMergeHost::TWindowMergeHost(TDeliver deliver) : deliver_(std::move(deliver)) {}

void TWindowMergeHost::SetFiles(const QStringList& files) {
  std::vector<std::string> copy;
  copy.reserve(static_cast<size_t>(files.size()));
  for (const QString& file : files) copy.push_back(QFile::encodeName(file).toStdString());
  std::lock_guard<std::mutex> lock(mutex_);
  files_ = std::move(copy);
}

void TWindowMergeHost::SetSavePathText(const QString& path) {
  std::string encoded = QFile::encodeName(path).toStdString();
  std::lock_guard<std::mutex> lock(mutex_);
  savePath_ = std::move(encoded);
}

std::vector<std::filesystem::path> TWindowMergeHost::FileList() {
  std::lock_guard<std::mutex> lock(mutex_);
  return {files_.begin(), files_.end()};
}

std::filesystem::path TWindowMergeHost::SavePath() {
  std::lock_guard<std::mutex> lock(mutex_);
  return savePath_;
}

void TWindowMergeHost::SetProgressText(const std::string& text) {
  deliver_(TOutput::Progress, QString::fromStdString(text));
}

void TWindowMergeHost::SetCountText(const std::string& text) {
  deliver_(TOutput::Count, QString::fromStdString(text));
}

void TWindowMergeHost::SetCurrentFile(const std::string& path) {
  const QString fileName = QFile::decodeName(QByteArray::fromStdString(path));
  if (!fileName.isEmpty() && FileBeginHook) FileBeginHook(fileName);
  deliver_(TOutput::CurrentFile, fileName);
}

void TWindowMergeHost::SetButtonCaption(const std::string& text) {
  deliver_(TOutput::ButtonCaption, QString::fromStdString(text));
}

}  // namespace plicato
