// A save dialog that exists only while it is open. Qt's file dialog keeps a
// file-system model that watches its folder for as long as the dialog lives, and
// that work would run inside the loads' waits; so the dialog is made when Save
// is pressed and deleted when it closes. It opens where its last file was saved
// (remembered across sessions), else in the home folder, at a size where the
// file list's columns can be read.
//
// Opened without waiting, so a dialog left open during a load neither holds the
// load nor adds to its time. Thread: the window's.
#pragma once

#include <QFileDialog>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>

namespace app {

class TSaveDialog {
 public:
  // key names the remembered folder in the settings ("page", "history", "details").
  TSaveDialog(QWidget* parent, QStringList filters, QString suffix, QString key);
  // Opens the dialog (or raises the open one); accepted runs with the chosen file.
  QFileDialog* Open(std::function<void(const QString& file)> accepted);
  // The open dialog, or nullptr.
  QFileDialog* Dialog() const { return FDialog; }

 private:
  QString StartFile() const;
  void Remember(const QString& file);

  QWidget* FParent;
  QStringList FFilters;
  QString FSuffix, FKey, FLastFile;
  QPointer<QFileDialog> FDialog;
};

// Writes bytes to file through a temporary file and a rename, so a failed save
// leaves an existing file as it was. Returns the error box's text, or "".
QString SaveBytes(const QString& file, const std::string& bytes);

}  // namespace app
