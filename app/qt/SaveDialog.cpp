#include "app/qt/SaveDialog.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include "app/qt/Settings.h"

namespace app {

TSaveDialog::TSaveDialog(QWidget* parent, QStringList filters, QString suffix, QString key)
    : FParent(parent), FFilters(std::move(filters)), FSuffix(std::move(suffix)), FKey(std::move(key)) {}

QString TSaveDialog::StartFile() const {
  if (!FLastFile.isEmpty()) return FLastFile;
  const QString folder = TWindowSettings().value(QStringLiteral("SaveFolders/") + FKey).toString();
  return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QDir::homePath();
}

void TSaveDialog::Remember(const QString& file) {
  FLastFile = file;
  TWindowSettings().setValue(QStringLiteral("SaveFolders/") + FKey, QFileInfo(file).absolutePath());
}

QFileDialog* TSaveDialog::Open(std::function<void(const QString& file)> accepted) {
  if (FDialog) {
    FDialog->raise();
    return FDialog;
  }
  auto* d = new QFileDialog(FParent, QStringLiteral("Save As"));
  d->setAcceptMode(QFileDialog::AcceptSave);
  d->setNameFilters(FFilters);
  d->setDefaultSuffix(FSuffix);
  d->setOption(QFileDialog::DontConfirmOverwrite, true);  // an existing file is replaced without a question
  d->setOption(QFileDialog::DontUseNativeDialog, true);
  const QString start = StartFile();
  if (QFileInfo(start).isDir()) {
    d->setDirectory(start);
  } else {
    d->setDirectory(QFileInfo(start).absolutePath());
    d->selectFile(QFileInfo(start).fileName());
  }
  d->resize(d->fontMetrics().averageCharWidth() * 110, d->fontMetrics().height() * 30);
  QObject::connect(d, &QDialog::accepted, d, [this, d, accepted = std::move(accepted)] {
    if (d->selectedFiles().isEmpty()) return;
    const QString file = d->selectedFiles().first();
    Remember(file);
    accepted(file);
  });
  QObject::connect(d, &QDialog::finished, d, &QObject::deleteLater);
  FDialog = d;
  d->open();
  return d;
}

QString SaveBytes(const QString& file, const std::string& bytes) {
  QSaveFile out(file);
  const auto size = static_cast<qint64>(bytes.size());
  if (out.open(QIODevice::WriteOnly) && out.write(bytes.data(), size) == size && out.commit()) return {};
  return QStringLiteral("Cannot create file \"%1\". %2").arg(file, out.errorString());
}

}  // namespace app
