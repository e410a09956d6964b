// What the main window keeps between sessions: its fields, options, place and the dialogs' folders.

#include "mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>
#include <QSpinBox>

#include "savepath.h"
#include "selectdirdialog.h"

namespace plicato {

void TForm1::SaveSettings() {
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tarnwick"),
                     QStringLiteral("Plicato"));
  settings.setValue(QStringLiteral("folder"), Edit1->text());
  settings.setValue(QStringLiteral("savePath"), Edit2->text());
  settings.setValue(QStringLiteral("saveType"), saveSuffix_);
  settings.setValue(QStringLiteral("openFolder"), openFolder_);
  settings.setValue(QStringLiteral("markRows"), CheckBox1->isChecked());
  settings.setValue(QStringLiteral("skipUnreadable"), CheckBox3->isChecked());
  settings.setValue(QStringLiteral("includeXlsx"), CheckBox4->isChecked());
  settings.setValue(QStringLiteral("includeCsv"), CheckBox7->isChecked());
  settings.setValue(QStringLiteral("values"), CheckBox5->isChecked());
  settings.setValue(QStringLiteral("sourceColumn"), CheckBox6->isChecked());
  settings.setValue(QStringLiteral("headerRows"), SpinEdit1->value());
  settings.setValue(QStringLiteral("matchColumns"), CheckBox8->isChecked());
  // The offered choices by their place, so that they survive a change of language; typed ones as typed.
  const int offered = ComboBox1->findText(ComboBox1->currentText());
  settings.setValue(QStringLiteral("sheetChoice"), offered);
  settings.setValue(QStringLiteral("sheet"), offered < 0 ? ComboBox1->currentText() : QString());
  settings.setValue(QStringLiteral("geometry"), saveGeometry());
}

void TForm1::RestoreSettings() {
  settingsKept_ = true;
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tarnwick"),
                     QStringLiteral("Plicato"));
  if (settings.contains(QStringLiteral("geometry")))
    restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray());
  Edit2->setText(settings.value(QStringLiteral("savePath")).toString());
  const QString type = settings.value(QStringLiteral("saveType")).toString();
  if (OutputSuffixes().contains(type)) saveSuffix_ = type;
  openFolder_ = settings.value(QStringLiteral("openFolder")).toString();
  CheckBox1->setChecked(settings.value(QStringLiteral("markRows"), false).toBool());
  CheckBox3->setChecked(settings.value(QStringLiteral("skipUnreadable"), false).toBool());
  CheckBox4->setChecked(settings.value(QStringLiteral("includeXlsx"), false).toBool());
  CheckBox7->setChecked(settings.value(QStringLiteral("includeCsv"), false).toBool());
  CheckBox5->setChecked(settings.value(QStringLiteral("values"), false).toBool());
  CheckBox6->setChecked(settings.value(QStringLiteral("sourceColumn"), false).toBool());
  SpinEdit1->setValue(settings.value(QStringLiteral("headerRows"), 0).toInt());
  CheckBox8->setChecked(settings.value(QStringLiteral("matchColumns"), false).toBool());
  const int offered = settings.value(QStringLiteral("sheetChoice"), 0).toInt();
  if (offered >= 0 && offered < ComboBox1->count()) {
    ComboBox1->setCurrentIndex(offered);
  } else {
    ComboBox1->setEditText(settings.value(QStringLiteral("sheet")).toString());
  }
  // The folder is listed again, as it was when the window closed.
  const QString folder = settings.value(QStringLiteral("folder")).toString();
  if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
    selectDirDlg1_->SetDirectory(folder);
    ChooseFolderAndScan(folder);
  } else {
    Edit1->setText(folder);
  }
}

}  // namespace plicato
