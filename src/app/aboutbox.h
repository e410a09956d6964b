// The About box: who made the program and where to find them. Created once at start-up and shown
// modally each time it is asked for.
#pragma once

#include <QDialog>
#include <QUrl>

#include <functional>

class QLabel;
class QPushButton;

namespace plicato {

// The maker's web page, shown in the About box and the main window's link line and opened by both.
inline constexpr const char* kMakerWebAddress = "https://www.tarnwick.example/";
// How to reach the maker, after "各种程序定制" in the About box.
inline constexpr const char* kMakerContact = "sales@tarnwick.example";

class TForm2 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm2(QWidget* parent = nullptr);

  // Opens a link; the owner routes it to the desktop's browser.
  std::function<void(const QUrl& url)> OpenLink;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Label1Click();
  void Label2Click();

  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QPushButton* Button1;
};

}  // namespace plicato
