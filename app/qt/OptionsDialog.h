// The Options dialog: the HTTP client's settings a user may want beside the
// window's defaults (HTTP version, time limit, redirections, proxy and its login,
// SOCKS and its login, server login, compression, certificates, bandwidth
// limit). OK checks every field and shows what is wrong beside it, keeping the
// dialog open; accepted options are remembered (passwords only until the window
// closes) and used from the next TEST on.
//
// Made when Options is pressed and deleted when it closes.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <functional>
#include <map>
#include <string>

#include "app/WindowOptions.h"

class QCheckBox;
class QComboBox;
class QFormLayout;

namespace app {

class TOptionsDialog : public QDialog {
  Q_OBJECT

 public:
  TOptionsDialog(QWidget* parent, const TWindowOptions& options);
  TWindowOptions Options() const;
  void SetOptions(const TWindowOptions& o);
  // The message shown beside a field ("" when none), by the field's name.
  QString Problem(const std::string& field) const;
  // Called with the accepted options.
  std::function<void(const TWindowOptions&)> OnAccepted;

  QLineEdit* Edit(const std::string& field) const { return FEdits.at(field); }
  QComboBox *HttpVersion, *SocksLevel, *IpFamily;
  QCheckBox *FollowRedirects, *Compressed, *Insecure, *RecordHistory, *NoRace;

 public slots:
  void accept() override;

 private:
  QLineEdit* AddEdit(QFormLayout* form, const char* field, const QString& label, const QString& hint,
                     bool password = false);
  void AddProblemLabel(QFormLayout* form, const char* field);

  std::map<std::string, QLineEdit*> FEdits;
  std::map<std::string, QLabel*> FProblems;
};

// The options remembered from the last session (passwords are never saved);
// the defaults when there are none or they no longer pass the check.
TWindowOptions LoadWindowOptions();
void SaveWindowOptions(const TWindowOptions& o);

}  // namespace app
