// The main window: the folder to search and the output path, the list of files to merge with its
// commands, Start/Stop, and the merge's progress.
//
// The window is merge running exactly while Button3 reads "停止". The merge job and the folder scan
// run on other threads and never touch a widget: what they report comes back to this thread as queued
// calls, in order, and is dropped when it belongs to a run that has since been retired. The merge works
// on a copy of the list taken at Start, so the list may be refilled by a scan while it runs.
//
// Every message box, dialog and desktop call of the window goes through one virtual function each, so
// that tests can answer them.
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <vector>

#include "mergehost.h"

class QCheckBox;
class QLabel;
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
  static constexpr const char* kStart = "开始";
  static constexpr const char* kStop = "停止";

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

  bool MergeRunning() const;
  // True from a folder choice (or a dropped folder) until its scan has reported its last match.
  bool ScanBusy() const;

  // The dialogs as the window configures them.
  std::unique_ptr<QFileDialog> CreateSaveDialog();
  std::unique_ptr<QFileDialog> CreateOpenDialog();

 signals:
  // A status output of the merge engine has been shown: control is the control's name (Label4, Label5,
  // Edit3, Button3).
  void StatusShown(const QString& control, const QString& text);

 protected:
  // The window's one message box. owned: the box belongs to the window rather than to no window.
  virtual void ShowMessage(const QString& caption, const QString& text, QMessageBox::Icon icon, bool owned);
  // The folder chooser; true and the folder when the user confirms.
  virtual bool ChooseFolder(QString& folder);
  // The save dialog; true and the path (".xls" added when no extension was typed) on confirmation.
  virtual bool ChooseSaveFile(QString& fileName);
  // The open dialog; true and an existing file's path on confirmation.
  virtual bool ChooseOpenFile(QString& fileName);
  // Hands a file or web address to the desktop (default program, browser).
  virtual void OpenUrl(const QUrl& url);
  // Shows the About box modally.
  virtual void ShowAbout();

  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void FormCreate();

  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void CheckBox2Click();
  void Label8Click();
  void ListBox1DblClick();
  void N1Click();
  void N2Click();
  void N3Click();
  void N4Click();
  void N5Click();
  void N6Click();

  void ThreadComponent1Execute(TThreadComponent* sender);
  void ThreadComponent2Execute(TThreadComponent* sender);
  void JobFailed(TThreadComponent* component, const QString& caption, const QString& text);
  void MergeFinished();

  void StartScan();
  void BeginScan();
  void ScanFileFound(TFileScan* sender, const QString& fileName);
  void RetireScanners();
  void DropFiles(const QStringList& paths);

  void Deliver(TWindowMergeHost::TOutput output, const QString& text);
  void ApplyStatus(uint64_t generation, TWindowMergeHost::TOutput output, const QString& text);
  void SetCountLine();
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
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;
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

  // Declared before the jobs and scanners, which use it, so that it is destroyed after them.
  TWindowMergeHost host_;
  std::unique_ptr<TFileScan> scanner_;
  std::vector<std::unique_ptr<TFileScan>> dropScanners_;
  std::unique_ptr<TThreadComponent> threadComponent1_;
  std::unique_ptr<TThreadComponent> threadComponent2_;
  bool scanPending_ = false;   // a folder was chosen and its scan has not begun yet
  bool closePending_ = false;  // the window closes when the running merge has ended
};

}  // namespace plicato
