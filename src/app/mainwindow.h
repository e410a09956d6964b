// The main window: the folder to search and the output path, the list of files to merge with its
// commands, Start/Stop, and the merge's progress.
//
// The window is merge running exactly while Button3 reads "停止". The merge job and the folder scan
// run on other threads and never touch a widget: what they report comes back to this thread as queued
// calls, in order, and is dropped when it belongs to a run that has since been retired. The merge works
// on a copy of the list taken at Start; the list and the folder stay as they are until it ends.
//
// Every message box, dialog and desktop call of the window goes through one virtual function each, so
// that tests can answer them. Every text is the window's Chinese text put through tr(), so that another
// language's translation shows in its place.
#pragma once

#include <QDateTime>
#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "mergehost.h"

class QCheckBox;
class QComboBox;
class QDialog;
class QSpinBox;
class QLabel;
class QProgressBar;
class QLineEdit;
class QListWidget;
class QMenu;
class QAction;
class QPushButton;

namespace plicato {

class TFileScan;
class TForm2;
class TSelectDirDialog;
class TThreadComponent;
class TTune;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  static constexpr const char* kStart = QT_TR_NOOP("开始");
  static constexpr const char* kStop = QT_TR_NOOP("停止");

  // The answers of the password dialog.
  enum TPasswordAnswer { paPassword, paSkip, paSkipAll };

  explicit TForm1(QWidget* parent = nullptr);
  // Asks a running merge to stop and waits for it (its current file and its output are finished);
  // stops the scans.
  ~TForm1() override;

  TWindowMergeHost& Host() { return host_; }
  TThreadComponent* ThreadComponent1() const { return threadComponent1_.get(); }
  TThreadComponent* ThreadComponent2() const { return threadComponent2_.get(); }
  TSelectDirDialog* SelectDirDlg1() const { return selectDirDlg1_; }
  TForm2* Form2() const { return form2_; }
  TTune* Tune() const { return tune_; }

  // True from Start until the run's end or failure has been shown.
  bool MergeRunning() const { return mergeRunning_; }
  // True from a folder choice (or a dropped folder) until its scan has reported its last match.
  bool ScanBusy() const;

  // The dialogs as the window configures them. The password dialog ends with a TPasswordAnswer; retry:
  // the password given for this file was wrong; skipAll: it offers "全部跳过". The result box's "打开文件夹"
  // opens folder.
  std::unique_ptr<QFileDialog> CreateSaveDialog();
  std::unique_ptr<QFileDialog> CreateOpenDialog();
  std::unique_ptr<QDialog> CreatePasswordDialog(const QString& file, bool retry = false,
                                                bool skipAll = false);
  std::unique_ptr<QDialog> CreateResultDialog(const QString& caption, const QString& text,
                                              const QString& details, const QString& folder);

  // Restores the fields, the options, the window's place and the dialogs' folders of the last session;
  // from then on they are saved at each Start and when the window closes.
  void RestoreSettings();
  void SaveSettings();
  // The run's options as the controls and the list give them now, less the save path (which Start
  // checks first). A sheet number 0 is taken as the first sheet; Start refuses it (SheetChoice).
  TMergeOptions MergeOptions() const;
  // The sheet box's choice: its words for the first and for every sheet, else as ParseSheetChoice reads
  // the text; nothing for a number 0.
  std::optional<TSheetChoice> SheetChoice() const;

  // A folder chosen by the user (the folder chooser, or the screenshot's sample): put into the folder
  // field and scanned. Refused while a merge runs.
  void ChooseFolderAndScan(const QString& folder);

  // The merge a run performs, on the merge job's thread; each run takes it when Start is pressed. A
  // seam for tests that script the engine's calls.
  std::function<TMergeReport(TMergeHost& host, TMergeOptions options)> RunMerge = MergeFiles;

 signals:
  // A status of the merge has been shown: control is the control's name (Label4, Label5, Edit3,
  // Button3).
  void StatusShown(const QString& control, const QString& text);

 protected:
  // The window's one message box. owned: the box belongs to the window rather than to no window;
  // details: a technical text shown on request.
  virtual void ShowMessage(const QString& caption, const QString& text, QMessageBox::Icon icon, bool owned,
                           const QString& details = QString());
  // The end-of-run result: what was merged and written, files skipped or cut short; details: the
  // technical texts; folder: where "打开文件夹" goes (none: the button is disabled).
  virtual void ShowReport(const QString& caption, const QString& text, const QString& details,
                          const QString& folder);
  // A question with the given buttons (the first is the default); the index of the answer, -1 when the
  // box was closed without one.
  virtual int Ask(const QString& caption, const QString& text, const QStringList& buttons);
  // Asks for the password of an encrypted file; the password when the answer is paPassword.
  virtual TPasswordAnswer EnterPassword(const QString& file, bool retry, bool skipAll, QString& password);
  // The folder chooser; true and the folder when the user confirms.
  virtual bool ChooseFolder(QString& folder);
  // The save dialog; true and the path (".xls" added when no extension was typed) on confirmation.
  virtual bool ChooseSaveFile(QString& fileName);
  // The open dialog; true and an existing file's path on confirmation.
  virtual bool ChooseOpenFile(QString& fileName);
  // Hands a file or web address to the desktop (default program, browser); done(true) once the opener
  // has succeeded, done(false) when it could not (called later, on the window's thread, or at once).
  virtual void OpenUrl(const QUrl& url, std::function<void(bool opened)> done);
  // Moves a file to the desktop's trash; false and the system's reason (empty: no trash took it) when
  // the file stayed where it was.
  virtual bool MoveToTrash(const QString& path, QString& reason);
  // Whether the file can go to a trash (so deleting it can be undone).
  virtual bool TrashAvailable(const QString& path);
  // Shows the About box modally.
  virtual void ShowAbout();

  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void CreateControls();
  void FormCreate();

  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void CheckBox2Click();
  // A box that chooses the kinds of file a folder scan lists (.xlsx, CSV) was clicked.
  void ScanBoxClick(QCheckBox* box);
  void Edit1Enter();
  void Label8Click();
  void ListBox1DblClick();
  void N1Click();
  void N2Click();
  void N3Click();
  void N4Click();
  void N5Click();
  void N6Click();

  void ThreadComponent1Execute(TThreadComponent* sender);
  void ThreadComponent2Execute(TThreadComponent* sender,
                               const std::function<TMergeReport(TMergeHost&, TMergeOptions)>& merge,
                               const TMergeOptions& options);
  void JobFailed(TThreadComponent* component, const QString& caption, const QString& text);
  void MergeFailed(const QString& className, const QString& message, TErrorKind kind);
  QString FailureSummary(TErrorKind kind) const;
  // The failure box's details: the file and the reason in the window's words, then technical quoted.
  QString FailureDetails(TErrorKind kind, const QString& technical) const;
  // A text of the program's own (in English) quoted in the window's language.
  QString Quoted(const QString& text) const;
  QStringList WhereLines(const TFileFailure& failure) const;
  void MergeFinished();
  void ShowRunReport(const TMergeReport& report);
  bool PrepareSavePath();
  bool ConfirmOverwrite();
  void ShowStartProblem(const QString& text);
  void PasswordAsked(uint64_t question, const QString& file);
  void OpenWithDesktop(const QUrl& url);

  void StartScan();
  void BeginScan();
  void ScanFileFound(TFileScan* sender, const QString& fileName);
  void ScanFolderUnreadable(TFileScan* sender, const QString& folder, const QString& reason);
  void RetireScanners();
  void DropFiles(const QStringList& paths);
  void AddEntry(const QString& path, int at = -1);
  void ShowBox(QDialog& box, bool owned);

  void Deliver(const TWindowMergeHost::TStatus& status);
  void ApplyStatus(uint64_t generation, const TWindowMergeHost::TStatus& status);
  void ResetProgressBar();
  void ShowProgress(int32_t filesDone, int32_t filesTotal, int64_t rowsOfFile);
  void ShowStopping();
  void SetCountLine();
  // A hint on the status line about the action just taken (what is missing, the music that cannot play);
  // the next action clears it, so that the line never speaks of an earlier one.
  void ShowHint(const QString& text);
  void ClearHint();
  // Deletes a file, to the trash or for good; false and the reason when the file is still there.
  bool DeleteFile(const QString& path, bool trash, QString& reason);
  void Refuse();
  int SelectedIndex() const;
  QStringList Entries() const;

  QLabel* Label1;
  QLineEdit* Edit1;
  QPushButton* Button1;
  QLabel* Label2;
  QLineEdit* Edit2;
  QPushButton* Button2;
  QLabel* Label6;
  QLineEdit* Edit3;
  QCheckBox* CheckBox1;
  QCheckBox* CheckBox2;
  QCheckBox* CheckBox3;
  QCheckBox* CheckBox4;
  QCheckBox* CheckBox5;  // typed values
  QCheckBox* CheckBox6;  // source column
  QCheckBox* CheckBox7;  // CSV files in the folder scan
  QLabel* Label9;
  QSpinBox* SpinEdit1;  // header rows
  QCheckBox* CheckBox8;  // columns matched by header, while there are header rows
  QLabel* Label10;
  QComboBox* ComboBox1;  // the sheet
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;
  QProgressBar* ProgressBar1;
  QLabel* Label7;
  QListWidget* ListBox1;
  QPushButton* Button5;
  QPushButton* Button3;
  QPushButton* Button4;
  QLabel* Label8;
  QMenu* PopupMenu1;
  QAction* N1;
  QAction* N4;
  QAction* N5;
  QAction* N6;
  QAction* N2;
  QAction* N3;

  TSelectDirDialog* selectDirDlg1_ = nullptr;
  TForm2* form2_ = nullptr;
  TTune* tune_ = nullptr;
  TMergeOptions runOptions_;   // the options of the last run started
  bool mergeRunning_ = false;  // from Start until the run's end or failure is shown
  bool hintShown_ = false;  // the status line holds a hint of the last action (ShowHint)

  // Declared before the jobs and scanners, which use it, so that it is destroyed after them.
  TWindowMergeHost host_;
  std::unique_ptr<TFileScan> scanner_;
  std::vector<std::unique_ptr<TFileScan>> dropScanners_;
  std::unique_ptr<TThreadComponent> threadComponent1_;
  std::unique_ptr<TThreadComponent> threadComponent2_;
  bool scanPending_ = false;                    // a folder was chosen and its scan has not begun yet
  bool closePending_ = false;                   // the window closes when the running merge has ended
  bool closed_ = false;                         // the window has been closed
  bool settingsKept_ = false;                   // the last session was restored: this one is saved
  bool stopping_ = false;                       // Stop (or a close) was asked of the running merge
  int32_t filesBegun_ = 0;                      // files the running merge has begun
  int32_t filesListed_ = 0;                     // files the running merge was given
  QDateTime runStart_;                          // when the running merge was started
  QString saveSuffix_ = QStringLiteral("xls");  // the output type last chosen in the save dialog
  QString openFolder_;                          // where the open dialog was last left
  QString runLastFile_;                         // the last file of the running merge's list
  QString lastPasswordFile_;                    // the file the last password was given for, in this run
  QString runFile_;                             // the file the running merge began last
  QString failedInput_, failedOutput_;          // what the engine said failed, ending the run
  std::shared_ptr<const TRunFailure> failure_;  // ... and its facts
  bool skipAllPasswords_ = false;               // "全部跳过" was chosen in this run
  // Folders the list's scans could not read: their files are missing from the list.
  std::vector<TFileNote> unreadableFolders_;
};

}  // namespace plicato
