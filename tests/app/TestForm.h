// The main window with its message boxes, dialogs and desktop calls answered by the test: boxes (and
// the end-of-run report) are recorded instead of shown, dialogs return the answers queued for them (none
// queued = cancelled), opened addresses are recorded instead of handed to the desktop.
#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QSemaphore>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QUrl>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "mainwindow.h"
#include "threadcomponent.h"

namespace plicato::test {

class TTestForm : public TForm1 {
 public:
  struct Message {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    bool owned;
    QString details;
    bool report;  // the end-of-run report rather than a message box
  };

  std::vector<Message> Messages;
  std::deque<QString> FolderAnswers;
  std::deque<QString> SaveAnswers;
  std::deque<QString> OpenAnswers;
  std::deque<QString> PasswordAnswers;
  QStringList PasswordFiles;  // the files asked for, in order
  std::vector<QUrl> OpenedUrls;
  bool DesktopOpens = true;  // what the desktop answers
  std::function<void(const Message&)> OnMessage;

  template <class T>
  T* Control(const char* name) {
    return findChild<T*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
  }
  QAction* Command(const char* name) { return findChild<QAction*>(QString::fromLatin1(name)); }

  QStringList Entries() {
    QStringList entries;
    auto* list = Control<QListWidget>("ListBox1");
    for (int i = 0; i < list->count(); ++i) entries.append(list->item(i)->text());
    return entries;
  }
  void Select(int row) {
    auto* list = Control<QListWidget>("ListBox1");
    list->setCurrentRow(row);
  }
  QString Caption() { return Control<QPushButton>("Button3")->text(); }

 protected:
  void ShowMessage(const QString& caption, const QString& text, QMessageBox::Icon icon, bool owned,
                   const QString& details) override {
    Messages.push_back({caption, text, icon, owned, details, false});
    if (OnMessage) OnMessage(Messages.back());
  }
  void ShowReport(const QString& caption, const QString& text) override {
    Messages.push_back({caption, text, QMessageBox::NoIcon, true, QString(), true});
    if (OnMessage) OnMessage(Messages.back());
  }
  bool EnterPassword(const QString& file, QString& password) override {
    PasswordFiles.append(file);
    return Take(PasswordAnswers, password);
  }
  bool ChooseFolder(QString& folder) override { return Take(FolderAnswers, folder); }
  bool ChooseSaveFile(QString& fileName) override { return Take(SaveAnswers, fileName); }
  bool ChooseOpenFile(QString& fileName) override { return Take(OpenAnswers, fileName); }
  bool OpenUrl(const QUrl& url) override {
    OpenedUrls.push_back(url);
    return DesktopOpens;
  }

 private:
  static bool Take(std::deque<QString>& answers, QString& answer) {
    if (answers.empty()) return false;
    answer = answers.front();
    answers.pop_front();
    return true;
  }
};

// Holds the merge at the beginning of a chosen file until released: the merge thread waits in the
// window's file-begin seam, the test thread sees it arrive. Releases on destruction, so that a failed
// check never leaves a merge waiting forever.
class TMergeGate {
 public:
  TMergeGate(TForm1& form, int holdAtFile) : state_(std::make_shared<State>()) {
    state_->hold = holdAtFile;
    form.Host().FileBeginHook = [state = state_](const QString&) {
      if (++state->begun == state->hold) {
        state->arrived.release();
        state->go.acquire();
      }
    };
  }
  ~TMergeGate() { Release(); }
  TMergeGate(const TMergeGate&) = delete;
  TMergeGate& operator=(const TMergeGate&) = delete;

  // Waits (processing events) until the merge is held; false if it never arrives.
  bool WaitArrived() {
    return QTest::qWaitFor([this] { return state_->arrived.tryAcquire(); }, 60000);
  }
  void Release() {
    if (!released_) {
      released_ = true;
      state_->go.release();
    }
  }

 private:
  struct State {
    int hold = 0;
    std::atomic<int> begun{0};
    QSemaphore arrived;
    QSemaphore go;
  };
  std::shared_ptr<State> state_;
  bool released_ = false;
};

}  // namespace plicato::test
