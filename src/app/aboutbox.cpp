#include "aboutbox.h"

#include <QDesktopServices>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

namespace plicato {

TForm2::TForm2(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(tr("关于"));
  setModal(true);
  OpenLink = [](const QUrl& url) { QDesktopServices::openUrl(url); };

  Label1 = new QLabel(tr("Tarnwick软件"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  QFont big = Label1->font();
  big.setPointSizeF(big.pointSizeF() * 1.6);
  big.setBold(true);
  Label1->setFont(big);
  Label1->setStyleSheet(QStringLiteral("color: blue;"));
  Label1->setCursor(Qt::PointingHandCursor);
  Label1->setAlignment(Qt::AlignCenter);

  Label2 = new QLabel(QString::fromLatin1(kMakerWebAddress), this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->setStyleSheet(QStringLiteral("color: blue;"));
  Label2->setCursor(Qt::PointingHandCursor);
  Label2->setAlignment(Qt::AlignCenter);

  Label3 = new QLabel(tr("各种程序定制 ") + QString::fromLatin1(kMakerContact), this);
  Label3->setObjectName(QStringLiteral("Label3"));
  Label3->setAlignment(Qt::AlignCenter);

  Button1 = new QPushButton(tr("确定"), this);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setDefault(true);
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

  Label1->installEventFilter(this);
  Label2->installEventFilter(this);

  // The program's name and version, above the maker's.
  auto* version = new QLabel(QStringLiteral("Plicato " PLICATO_VERSION), this);
  version->setObjectName(QStringLiteral("Label4"));
  version->setAlignment(Qt::AlignCenter);

  // The terms the program is given under; LICENSE holds their whole text.
  auto* licence = new QLabel(tr("版权所有 © 2026 Tarnwick Software，以 MIT 许可证发布"), this);
  licence->setObjectName(QStringLiteral("Label5"));
  licence->setAlignment(Qt::AlignCenter);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 18, 24, 14);
  layout->setSpacing(10);
  layout->addWidget(version);
  layout->addWidget(Label1);
  layout->addWidget(Label2);
  layout->addWidget(Label3);
  layout->addWidget(licence);
  layout->addSpacing(6);
  layout->addWidget(Button1, 0, Qt::AlignHCenter);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed single border
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    if (watched == Label1) {
      Label1Click();
      return true;
    }
    if (watched == Label2) {
      Label2Click();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TForm2::Label1Click() {
  if (OpenLink) OpenLink(QUrl(QString::fromLatin1(kMakerWebAddress)));
}

void TForm2::Label2Click() {
  if (OpenLink) OpenLink(QUrl(QString::fromLatin1(kMakerWebAddress)));
}

}  // namespace plicato
