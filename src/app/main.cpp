// plicato: the desktop window over the merge engine.
//
//   plicato                      shows the window
//   plicato --screenshot FILE    shows the window, saves a picture of it to FILE (PNG) and quits
#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "biff/CompoundFile.h"
#include "mainwindow.h"

namespace {

// A window ended by a signal or a crash leaves no half-written output beside its target.
extern "C" void RemoveTemporariesAndEnd(int signal) {
  plicato::cfb::RemoveTemporaryFiles();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
    std::signal(signal, RemoveTemporariesAndEnd);
  QApplication::setApplicationName(QStringLiteral("Plicato"));

  QString screenshot;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc)
      screenshot = QString::fromLocal8Bit(argv[++i]);
  }

  plicato::TForm1 form;
  form.show();

  if (!screenshot.isEmpty()) {
    int status = 0;
    // Taken once the window has been laid out and painted.
    QTimer::singleShot(300, &form, [&] {
      if (!form.grab().save(screenshot, "PNG")) {
        std::fprintf(stderr, "plicato: cannot save the screenshot to %s\n",
                     screenshot.toLocal8Bit().constData());
        status = 1;
      }
      QApplication::exit(status);
    });
    const int result = QApplication::exec();
    return status != 0 ? status : result;
  }
  return QApplication::exec();
}
