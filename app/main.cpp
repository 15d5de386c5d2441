// Tachyload: the window.
#include <QApplication>

#include "app/qt/QtApplication.h"
#include "app/qt/Unit1.h"
#include "core/Application.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Tachyload..."));
  // Lets the desktop match the window to its installed menu entry and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("tachyload"));
  app::TQtApplication messages;
  core::SetApplication(&messages);
  int rc;
  {
    // Created here and never deleted on close, so nested waits inside a load
    // always find it alive.
    app::TForm1 form;
    form.show();
    rc = QApplication::exec();
  }
  core::SetApplication(nullptr);
  return rc;
}
