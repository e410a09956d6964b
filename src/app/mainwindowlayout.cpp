// The main window's controls: their texts and names, their places in the window's layout, and what
// each one's signal calls.

#include "mainwindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

#include "aboutbox.h"
#include "windowtexts.h"

namespace plicato {

void TForm1::CreateControls() {
  Label1 = new QLabel(tr("待处理XLS目录"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Edit1 = new QLineEdit(this);
  Edit1->setObjectName(QStringLiteral("Edit1"));
  Button1 = new QPushButton(tr("浏览"), this);
  Button1->setObjectName(QStringLiteral("Button1"));

  Label2 = new QLabel(tr("合并后保存路径"), this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Edit2 = new QLineEdit(this);
  Edit2->setObjectName(QStringLiteral("Edit2"));
  Button2 = new QPushButton(tr("浏览"), this);
  Button2->setObjectName(QStringLiteral("Button2"));

  Label6 = new QLabel(tr("当前读取的文件"), this);
  Label6->setObjectName(QStringLiteral("Label6"));
  Edit3 = new QLineEdit(this);
  Edit3->setObjectName(QStringLiteral("Edit3"));
  Edit3->setReadOnly(true);  // written by the merge only

  CheckBox1 = new QCheckBox(tr("首列标记单文件行数"), this);
  CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
  CheckBox2 = new QCheckBox(tr("背景音乐"), this);
  CheckBox2->setObjectName(QStringLiteral("CheckBox2"));
  CheckBox3 = new QCheckBox(tr("跳过无法读取的文件"), this);
  CheckBox3->setObjectName(QStringLiteral("CheckBox3"));
  CheckBox4 = new QCheckBox(tr("包含XLSX文件"), this);
  CheckBox4->setObjectName(QStringLiteral("CheckBox4"));
  CheckBox7 = new QCheckBox(tr("包含CSV文件"), this);
  CheckBox7->setObjectName(QStringLiteral("CheckBox7"));
  CheckBox5 = new QCheckBox(tr("保留数值类型"), this);
  CheckBox5->setObjectName(QStringLiteral("CheckBox5"));
  CheckBox5->setToolTip(tr("数字、日期、公式结果按原类型保留；只复制有值的单元格，跳过空行"));
  CheckBox6 = new QCheckBox(tr("添加来源列"), this);
  CheckBox6->setObjectName(QStringLiteral("CheckBox6"));
  CheckBox6->setToolTip(tr("第一列写出每一行来自哪个文件"));
  Label9 = new QLabel(tr("表头行数"), this);
  Label9->setObjectName(QStringLiteral("Label9"));
  SpinEdit1 = new QSpinBox(this);
  SpinEdit1->setObjectName(QStringLiteral("SpinEdit1"));
  SpinEdit1->setRange(0, kMaxHeaderRows);
  SpinEdit1->setToolTip(tr("第一个文件的前几行作为表头只复制一次，其余文件的这几行跳过"));
  Label9->setBuddy(SpinEdit1);
  CheckBox8 = new QCheckBox(tr("按列名对齐"), this);
  CheckBox8->setObjectName(QStringLiteral("CheckBox8"));
  CheckBox8->setToolTip(tr("按最后一行表头的列名对齐各文件的列；缺少的列留空，新增的列加在后面"));
  CheckBox8->setEnabled(false);  // the last header row names the columns: none without header rows
  Label10 = new QLabel(tr("工作表"), this);
  Label10->setObjectName(QStringLiteral("Label10"));
  ComboBox1 = new QComboBox(this);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->setMinimumContentsLength(12);
  ComboBox1->addItems({tr("第一个"), tr("全部")});
  ComboBox1->setToolTip(tr("第一个工作表、全部工作表，或输入工作表的名称或序号（从1开始）"));
  Label10->setBuddy(ComboBox1);

  const QString red = QStringLiteral("color: red;");
  Label3 = new QLabel(tr("状态："), this);
  Label3->setObjectName(QStringLiteral("Label3"));
  Label4 = new QLabel(this);
  Label4->setObjectName(QStringLiteral("Label4"));
  Label4->setStyleSheet(red);
  Label5 = new QLabel(this);
  Label5->setObjectName(QStringLiteral("Label5"));
  Label5->setStyleSheet(red);
  // The status lines keep their height when they first get text (their Chinese glyphs are taller than
  // an empty line), so the window does not grow and shift its controls mid-run.
  for (QLabel* line : {Label4, Label5}) {
    line->setText(tr("共有0个XLS文件 已合并0个") + WindowText(kStopping));
    line->setMinimumHeight(line->sizeHint().height());
    line->clear();
  }
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ResetProgressBar();

  Label7 = new QLabel(tr("文件列表"), this);
  Label7->setObjectName(QStringLiteral("Label7"));
  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName(QStringLiteral("ListBox1"));
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->setSortingEnabled(false);
  ListBox1->setMinimumSize(300, 100);
  // Entries are shortened in the middle to the list's width, so that paths differing only at their ends
  // stay apart; the whole path is the entry's tooltip.
  ListBox1->setTextElideMode(Qt::ElideMiddle);
  ListBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ListBox1->setResizeMode(QListView::Adjust);
  ListBox1->setContextMenuPolicy(Qt::CustomContextMenu);
  ListBox1->setAcceptDrops(true);
  ListBox1->viewport()->installEventFilter(this);

  Button5 = new QPushButton(tr("关于"), this);
  Button5->setObjectName(QStringLiteral("Button5"));
  Button3 = new QPushButton(WindowText(kStart), this);
  Button3->setObjectName(QStringLiteral("Button3"));
  Button4 = new QPushButton(tr("退出"), this);
  Button4->setObjectName(QStringLiteral("Button4"));

  Label8 = new QLabel(QStringLiteral("Tarnwick       ") + QString::fromLatin1(kMakerWebAddress), this);
  Label8->setObjectName(QStringLiteral("Label8"));
  Label8->setStyleSheet(QStringLiteral("color: blue;"));
  Label8->setCursor(Qt::PointingHandCursor);
  Label8->installEventFilter(this);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
  auto addCommand = [this](const char* name, const QString& caption, void (TForm1::*handler)()) {
    QAction* action = PopupMenu1->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    connect(action, &QAction::triggered, this, &TForm1::ClearHint);  // before the command's own hint
    connect(action, &QAction::triggered, this, handler);
    return action;
  };
  N1 = addCommand("N1", tr("移出列表"), &TForm1::N1Click);
  N4 = addCommand("N4", tr("增加文件"), &TForm1::N4Click);
  N5 = addCommand("N5", tr("向上移动"), &TForm1::N5Click);
  N6 = addCommand("N6", tr("向下移动"), &TForm1::N6Click);
  N2 = addCommand("N2", tr("清空列表"), &TForm1::N2Click);
  N3 = addCommand("N3", tr("删除文件"), &TForm1::N3Click);

  auto* fields = new QGridLayout;
  fields->setHorizontalSpacing(8);
  fields->addWidget(Label1, 0, 0);
  fields->addWidget(Edit1, 0, 1);
  fields->addWidget(Button1, 0, 2);
  fields->addWidget(Label2, 1, 0);
  fields->addWidget(Edit2, 1, 1);
  fields->addWidget(Button2, 1, 2);
  fields->addWidget(Label6, 2, 0);
  fields->addWidget(Edit3, 2, 1, 1, 2);

  auto* options = new QGridLayout;
  options->setHorizontalSpacing(24);
  options->addWidget(CheckBox1, 0, 0);
  options->addWidget(CheckBox2, 0, 1);
  options->addWidget(CheckBox3, 1, 0);
  options->addWidget(CheckBox4, 1, 1);
  options->addWidget(CheckBox7, 1, 2);
  options->addWidget(CheckBox5, 2, 0);
  options->addWidget(CheckBox6, 2, 1);
  auto* numbers = new QHBoxLayout;
  numbers->addWidget(Label9);
  numbers->addWidget(SpinEdit1);
  numbers->addWidget(CheckBox8);
  numbers->addSpacing(16);
  numbers->addWidget(Label10);
  numbers->addWidget(ComboBox1);
  numbers->addStretch(1);
  options->addLayout(numbers, 3, 0, 1, 2);
  options->setColumnStretch(3, 1);

  auto* status = new QHBoxLayout;
  status->addWidget(Label3);
  status->addWidget(Label4, 1);

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(Button5);
  buttons->addStretch();
  buttons->addWidget(Button3);
  buttons->addStretch();
  buttons->addWidget(Button4);

  auto* list = new QHBoxLayout;
  list->addWidget(ListBox1, 1);
  list->addLayout(buttons);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 12, 12, 10);
  layout->addLayout(fields);
  layout->addLayout(options);
  layout->addLayout(status);
  layout->addWidget(Label5);
  layout->addWidget(ProgressBar1);
  layout->addWidget(Label7);
  layout->addLayout(list, 1);  // the list takes the room the window is given
  layout->addWidget(Label8);
  // Room for a longer list at first, within the screen less a title bar.
  const QRect room = screen()->availableGeometry();
  resize(std::min(std::max(sizeHint().width(), 560), room.width()),
         std::max(std::min(sizeHint().height() + 120, room.height() - 40), minimumSizeHint().height()));
  setAcceptDrops(true);  // a drop anywhere is a drop on the list
  Edit1->installEventFilter(this);
  Edit2->installEventFilter(this);

  // Every action begins by clearing the hint of the one before: a button or box pressed, a field edited,
  // a command of the list's menu (above), files dropped.
  for (QAbstractButton* button : findChildren<QAbstractButton*>())
    connect(button, &QAbstractButton::pressed, this, &TForm1::ClearHint);
  for (QLineEdit* field : {Edit1, Edit2}) connect(field, &QLineEdit::textEdited, this, &TForm1::ClearHint);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(CheckBox2, &QCheckBox::toggled, this, &TForm1::CheckBox2Click);
  connect(CheckBox4, &QCheckBox::clicked, this, [this] { ScanBoxClick(CheckBox4); });
  connect(CheckBox7, &QCheckBox::clicked, this, [this] { ScanBoxClick(CheckBox7); });
  connect(SpinEdit1, &QSpinBox::valueChanged, this, [this](int rows) { CheckBox8->setEnabled(rows >= 1); });
  connect(Edit1, &QLineEdit::returnPressed, this, &TForm1::Edit1Enter);
  // Delete takes the selected entry off the list (not off the disk; see eventFilter); Ctrl+Enter starts,
  // Esc stops.
  ListBox1->installEventFilter(this);
  for (const QKeySequence& keys :
       {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)}) {
    auto* start = new QShortcut(keys, this);
    connect(start, &QShortcut::activated, this, [this] {
      if (!MergeRunning()) Button3Click();
    });
  }
  auto* stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(stop, &QShortcut::activated, this, [this] {
    if (MergeRunning() && !stopping_) Button3Click();
  });
  connect(ListBox1, &QListWidget::itemDoubleClicked, this, &TForm1::ListBox1DblClick);
  connect(ListBox1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopupMenu1->popup(ListBox1->viewport()->mapToGlobal(at)); });
  // A run names each continuation output after the save path as the field reads at that split.
  connect(Edit2, &QLineEdit::textChanged, this, [this](const QString& text) { host_.SetSavePathText(text); });
}

}  // namespace plicato
