#include "app/qt/OptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/qt/Settings.h"

namespace app {

namespace {

QString Text(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
std::string Bytes(const QString& s) {
  return s.toUtf8().toStdString();
}

// The text fields: their names (as CheckOptions reports them) and members.
struct TTextField {
  const char* name;
  std::string TWindowOptions::*member;
  bool saved;  // passwords are kept only while the window lives
};
constexpr TTextField kTextFields[] = {
    {"timeoutSeconds", &TWindowOptions::timeoutSeconds, true},
    {"maxRedirects", &TWindowOptions::maxRedirects, true},
    {"bandwidthLimit", &TWindowOptions::bandwidthLimit, true},
    {"proxy", &TWindowOptions::proxy, true},
    {"proxyUser", &TWindowOptions::proxyUser, true},
    {"proxyPassword", &TWindowOptions::proxyPassword, false},
    {"socks", &TWindowOptions::socks, true},
    {"socksUser", &TWindowOptions::socksUser, true},
    {"socksPassword", &TWindowOptions::socksPassword, false},
    {"user", &TWindowOptions::user, true},
    {"password", &TWindowOptions::password, false},
    {"caFile", &TWindowOptions::caFile, true},
};

QFormLayout* Group(QVBoxLayout* layout, QWidget* parent, const QString& title) {
  auto* box = new QGroupBox(title, parent);
  auto* form = new QFormLayout(box);
  layout->addWidget(box);
  return form;
}

}  // namespace

TOptionsDialog::TOptionsDialog(QWidget* parent, const TWindowOptions& options) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Tachyload options"));
  auto* layout = new QVBoxLayout(this);

  QFormLayout* http = Group(layout, this, QStringLiteral("Requests"));
  HttpVersion = new QComboBox(this);
  HttpVersion->addItems({QStringLiteral("1.0"), QStringLiteral("1.1"), QStringLiteral("2")});
  http->addRow(QStringLiteral("HTTP version:"), HttpVersion);
  AddEdit(http, "timeoutSeconds", QStringLiteral("Time limit per load (s):"), QStringLiteral("0: no limit"));
  FollowRedirects = new QCheckBox(QStringLiteral("Follow redirections"), this);
  http->addRow(FollowRedirects);
  AddEdit(http, "maxRedirects", QStringLiteral("At most (redirections):"), QStringLiteral("0 to 100"));
  Compressed = new QCheckBox(QStringLiteral("Ask for compressed pages (gzip, deflate, br, zstd)"), this);
  http->addRow(Compressed);
  IpFamily = new QComboBox(this);
  IpFamily->addItems({QStringLiteral("both"), QStringLiteral("ipv4"), QStringLiteral("ipv6")});
  http->addRow(QStringLiteral("Address family:"), IpFamily);
  NoRace = new QCheckBox(QStringLiteral("Try addresses one at a time (no IPv6/IPv4 race)"), this);
  http->addRow(NoRace);
  AddEdit(http, "bandwidthLimit", QStringLiteral("Bandwidth limit (bytes/s):"),
          QStringLiteral("k, M, G for 1024, 1024^2, 1024^3; 0: no limit"));

  RecordHistory = new QCheckBox(QStringLiteral("Record every run in the history database"), this);
  http->addRow(RecordHistory);

  QFormLayout* login = Group(layout, this, QStringLiteral("Server login (Basic or NTLM)"));
  AddEdit(login, "user", QStringLiteral("User:"), {});
  AddEdit(login, "password", QStringLiteral("Password:"), {}, true);

  QFormLayout* proxy = Group(layout, this, QStringLiteral("HTTP proxy"));
  AddEdit(proxy, "proxy", QStringLiteral("Proxy:"),
          QStringLiteral("HOST[:PORT], port 80 unless given; empty: none"));
  AddEdit(proxy, "proxyUser", QStringLiteral("User:"), {});
  AddEdit(proxy, "proxyPassword", QStringLiteral("Password:"), {}, true);

  QFormLayout* socks = Group(layout, this, QStringLiteral("SOCKS"));
  AddEdit(socks, "socks", QStringLiteral("Server:"),
          QStringLiteral("HOST[:PORT], port 1080 unless given; empty: none"));
  SocksLevel = new QComboBox(this);
  SocksLevel->addItems({QStringLiteral("4"), QStringLiteral("4A"), QStringLiteral("5")});
  socks->addRow(QStringLiteral("Level:"), SocksLevel);
  AddEdit(socks, "socksUser", QStringLiteral("User:"), {});
  AddEdit(socks, "socksPassword", QStringLiteral("Password:"), {}, true);

  QFormLayout* tls = Group(layout, this, QStringLiteral("Certificates (https)"));
  QLineEdit* caFile = AddEdit(tls, "caFile", QStringLiteral("Trust only (PEM file):"),
                              QStringLiteral("empty: the system's trust store"));
  auto* browse = new QPushButton(QStringLiteral("Browse..."), this);
  connect(browse, &QPushButton::clicked, this, [this, caFile] {
    const QString file =
        QFileDialog::getOpenFileName(this, QStringLiteral("CA certificates"), caFile->text(),
                                     QStringLiteral("PEM files (*.pem *.crt);;All Files (*)"));
    if (!file.isEmpty()) caFile->setText(file);
  });
  tls->addRow(QString(), browse);
  Insecure = new QCheckBox(QStringLiteral("Accept any certificate, for any host name"), this);
  tls->addRow(Insecure);

  auto* buttons = new QDialogButtonBox(
      QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &TOptionsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
          [this] { SetOptions(TWindowOptions{}); });
  layout->addWidget(buttons);
  SetOptions(options);
}

QLineEdit* TOptionsDialog::AddEdit(QFormLayout* form, const char* field, const QString& label,
                                   const QString& hint, bool password) {
  auto* edit = new QLineEdit(this);
  edit->setPlaceholderText(hint);
  edit->setMinimumWidth(fontMetrics().averageCharWidth() * 44);
  if (password) edit->setEchoMode(QLineEdit::Password);
  form->addRow(label, edit);
  FEdits[field] = edit;
  AddProblemLabel(form, field);
  return edit;
}

void TOptionsDialog::AddProblemLabel(QFormLayout* form, const char* field) {
  auto* problem = new QLabel(this);
  problem->setStyleSheet(QStringLiteral("color: #b00000;"));
  problem->setWordWrap(true);
  problem->hide();
  form->addRow(QString(), problem);
  FProblems[field] = problem;
}

TWindowOptions TOptionsDialog::Options() const {
  TWindowOptions o;
  for (const TTextField& f : kTextFields) o.*f.member = Bytes(FEdits.at(f.name)->text().trimmed());
  o.httpVersion = Bytes(HttpVersion->currentText());
  o.socksLevel = Bytes(SocksLevel->currentText());
  o.followRedirects = FollowRedirects->isChecked();
  o.compressed = Compressed->isChecked();
  o.insecure = Insecure->isChecked();
  o.recordHistory = RecordHistory->isChecked();
  o.ipFamily = Bytes(IpFamily->currentText());
  o.noRace = NoRace->isChecked();
  return o;
}

void TOptionsDialog::SetOptions(const TWindowOptions& o) {
  for (const TTextField& f : kTextFields) FEdits.at(f.name)->setText(Text(o.*f.member));
  HttpVersion->setCurrentText(Text(o.httpVersion));
  SocksLevel->setCurrentText(Text(o.socksLevel));
  FollowRedirects->setChecked(o.followRedirects);
  Compressed->setChecked(o.compressed);
  Insecure->setChecked(o.insecure);
  RecordHistory->setChecked(o.recordHistory);
  IpFamily->setCurrentText(Text(o.ipFamily));
  NoRace->setChecked(o.noRace);
  for (auto& [field, label] : FProblems) label->hide();
}

QString TOptionsDialog::Problem(const std::string& field) const {
  const auto it = FProblems.find(field);
  return it != FProblems.end() && !it->second->isHidden() ? it->second->text() : QString();
}

void TOptionsDialog::accept() {
  const TWindowOptions o = Options();
  for (auto& [field, label] : FProblems) label->hide();
  const std::vector<TOptionProblem> problems = CheckOptions(o);
  for (const TOptionProblem& p : problems) {
    const auto it = FProblems.find(p.field);
    if (it == FProblems.end()) continue;
    it->second->setText(Text(p.message));
    it->second->show();
  }
  if (!problems.empty()) {
    if (const auto it = FEdits.find(problems.front().field); it != FEdits.end()) it->second->setFocus();
    return;
  }
  SaveWindowOptions(o);
  if (OnAccepted) OnAccepted(o);
  QDialog::accept();
}

TWindowOptions LoadWindowOptions() {
  TWindowSettings settings;
  settings.beginGroup(QStringLiteral("Options"));
  TWindowOptions o;
  for (const TTextField& f : kTextFields)
    if (f.saved)
      o.*f.member = Bytes(settings.value(QString::fromLatin1(f.name), Text(o.*f.member)).toString());
  o.httpVersion = Bytes(settings.value(QStringLiteral("httpVersion"), Text(o.httpVersion)).toString());
  o.socksLevel = Bytes(settings.value(QStringLiteral("socksLevel"), Text(o.socksLevel)).toString());
  o.followRedirects = settings.value(QStringLiteral("followRedirects"), o.followRedirects).toBool();
  o.compressed = settings.value(QStringLiteral("compressed"), o.compressed).toBool();
  o.insecure = settings.value(QStringLiteral("insecure"), o.insecure).toBool();
  o.recordHistory = settings.value(QStringLiteral("recordHistory"), o.recordHistory).toBool();
  o.ipFamily = Bytes(settings.value(QStringLiteral("ipFamily"), Text(o.ipFamily)).toString());
  o.noRace = settings.value(QStringLiteral("noRace"), o.noRace).toBool();
  return CheckOptions(o).empty() ? o : TWindowOptions{};
}

void SaveWindowOptions(const TWindowOptions& o) {
  TWindowSettings settings;
  settings.beginGroup(QStringLiteral("Options"));
  for (const TTextField& f : kTextFields)
    if (f.saved) settings.setValue(QString::fromLatin1(f.name), Text(o.*f.member));
  settings.setValue(QStringLiteral("httpVersion"), Text(o.httpVersion));
  settings.setValue(QStringLiteral("socksLevel"), Text(o.socksLevel));
  settings.setValue(QStringLiteral("followRedirects"), o.followRedirects);
  settings.setValue(QStringLiteral("compressed"), o.compressed);
  settings.setValue(QStringLiteral("insecure"), o.insecure);
  settings.setValue(QStringLiteral("recordHistory"), o.recordHistory);
  settings.setValue(QStringLiteral("ipFamily"), Text(o.ipFamily));
  settings.setValue(QStringLiteral("noRace"), o.noRace);
}

}  // namespace app
