// The main window with its message boxes, dialogs and desktop calls answered by the test: boxes (and
// the end-of-run report) are recorded instead of shown, dialogs return the answers queued for them (none
// queued = cancelled), opened addresses are recorded instead of handed to the desktop. The settings the
// window keeps go to a scratch folder, never to the user's.
#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QSemaphore>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
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

inline const bool kSettingsInScratch = [] {
  static QTemporaryDir scratch;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch.path());
  return true;
}();

class TTestForm : public TForm1 {
 public:
  struct Message {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    bool owned;
    QString details;
    bool report;     // the end-of-run result rather than a message box
    QString folder;  // the result's folder to open
  };
  // A question asked: its text, its buttons and the answer given.
  struct Question {
    QString text;
    QStringList buttons;
  };
  static constexpr const char* kSkipAll = "<skip all>";  // a password answer: "全部跳过"

  std::vector<Message> Messages;
  std::deque<QString> FolderAnswers;
  std::deque<QString> SaveAnswers;
  std::deque<QString> OpenAnswers;
  std::deque<QString> PasswordAnswers;  // kSkipAll for "全部跳过"
  QStringList PasswordFiles;            // the files asked for, in order
  std::vector<bool> PasswordRetries;    // whether each was asked as a retry
  std::deque<int> Answers;              // to questions, by button index (none queued: closed unanswered)
  std::vector<Question> Questions;
  std::vector<QUrl> OpenedUrls;
  bool DesktopOpens = true;  // what the desktop answers
  bool RealDesktop = false;  // the window's own opener (xdg-open) rather than DesktopOpens
  bool NoTrash = false;      // the desktop has no trash for any file
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
    Messages.push_back({caption, text, icon, owned, details, false, QString()});
    if (OnMessage) OnMessage(Messages.back());
  }
  void ShowReport(const QString& caption, const QString& text, const QString& details,
                  const QString& folder) override {
    Messages.push_back({caption, text, QMessageBox::NoIcon, true, details, true, folder});
    if (OnMessage) OnMessage(Messages.back());
  }
  int Ask(const QString&, const QString& text, const QStringList& buttons) override {
    Questions.push_back({text, buttons});
    if (Answers.empty()) return -1;
    const int answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  TPasswordAnswer EnterPassword(const QString& file, bool retry, bool, QString& password) override {
    PasswordFiles.append(file);
    PasswordRetries.push_back(retry);
    if (!Take(PasswordAnswers, password)) return paSkip;
    return password == QLatin1String(kSkipAll) ? paSkipAll : paPassword;
  }
  bool ChooseFolder(QString& folder) override { return Take(FolderAnswers, folder); }
  bool ChooseSaveFile(QString& fileName) override { return Take(SaveAnswers, fileName); }
  bool ChooseOpenFile(QString& fileName) override { return Take(OpenAnswers, fileName); }
  void OpenUrl(const QUrl& url, std::function<void(bool)> done) override {
    OpenedUrls.push_back(url);
    if (RealDesktop) return TForm1::OpenUrl(url, std::move(done));
    done(DesktopOpens);
  }

  bool TrashAvailable(const QString& path) override { return !NoTrash && TForm1::TrashAvailable(path); }

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
