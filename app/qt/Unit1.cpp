#include "app/qt/Unit1.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QSpacerItem>
#include <QSvgRenderer>
#include <QUrl>
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

#include "app/CliUrl.h"
#include "app/LoadRows.h"
#include "app/qt/OptionsDialog.h"
#include "core/Application.h"
#include "core/SysUtils.h"
#include "http/Url.h"
#include "net/SocketErrorText.h"

#ifndef TL_HELP_SOURCE
#define TL_HELP_SOURCE ""
#endif

// The icon's resource lives in this static library: registered by hand, as no
// object file of the program refers to it.
static void InitIconResource() {
  Q_INIT_RESOURCE(tachyload);
}

namespace app {

namespace {

QString Latin1(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}
std::string Bytes(const QString& s) {
  return s.toLatin1().toStdString();
}

// The menu entry's icon at the sizes window managers ask for.
QIcon AppIcon() {
  InitIconResource();
  QSvgRenderer svg(QStringLiteral(":/tachyload.svg"));
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    svg.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

// Runs xdg-open and reports its verdict. The process has no parent: a browser
// that xdg-open waits for must not be ended when the window closes.
void OpenInBrowser(const QUrl& page, std::function<void(bool)> done) {
  auto* opener = new QProcess;
  auto report = std::make_shared<std::function<void(bool)>>(std::move(done));
  QObject::connect(opener, &QProcess::finished, opener,
                   [opener, report](int code, QProcess::ExitStatus status) {
                     (*report)(status == QProcess::NormalExit && code == 0);
                     opener->deleteLater();
                   });
  QObject::connect(opener, &QProcess::errorOccurred, opener, [opener, report](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    (*report)(false);
    opener->deleteLater();
  });
  opener->start(QStringLiteral("xdg-open"), {page.toString()});
}

// "All Files" is "*" here: on Linux "*.*" would hide names without a dot.
QStringList TextFileFilters() {
  return {QStringLiteral("Text file (*.txt)"), QStringLiteral("All Files (*)")};
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent),
      SaveDialog1(this, TextFileFilters(), QStringLiteral("txt"), QStringLiteral("page")),
      SaveDialog2(this, TextFileFilters(), QStringLiteral("txt"), QStringLiteral("history")) {
  setWindowTitle(QStringLiteral("Tachyload 1.0"));
  setWindowIcon(AppIcon());
  CreateControls();
  SetTabOrder();
  FDesignSize = Scaled(0, 0, 593, 483).size();
  // Smaller than designed, the fixed controls would overlap.
  setMinimumSize(FDesignSize);
  resize(FDesignSize);
  move(0, 0);

  HttpCli1 = core::MakeComponent<http::THttpCli>(nullptr);
  HttpCli1->SetName("HttpCli1");
  SetOptions(LoadWindowOptions());
  FLoadTimer.setSingleShot(true);
  connect(&FLoadTimer, &QTimer::timeout, this, &TForm1::LoadTimedOut);

  OpenUrl = [](const QUrl& page, std::function<void(bool)> done) { OpenInBrowser(page, std::move(done)); };
  ShowError = [this](const QString& title, const QString& text) {
    OpenMessageBox(QMessageBox::Critical, title, text);
  };
  ShowMessage = [this](const QString& title, const QString& text) {
    OpenMessageBox(QMessageBox::Information, title, text);
  };
}

QMessageBox* TForm1::OpenMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text) {
  auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok, this);
  box->setTextFormat(Qt::PlainText);
  // A box as wide as a usual dialog, however short its text: a spacer across
  // the bottom of the box's grid.
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
    grid->addItem(
        new QSpacerItem(Scaled(0, 0, 360, 0).width(), 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
        grid->rowCount(), 0, 1, grid->columnCount());
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
  return box;
}

TForm1::~TForm1() = default;

// --- TEST ---

void TForm1::GoButtonClick() {
  if (!GoButton->isEnabled() || FRunning) return;  // Enter in an edit while a load runs
  FRunning = true;
  FStopRequested = false;
  FTimedOut = false;
  FSocksFailure.clear();
  ApplyOptions(*HttpCli1, FOptions, FSocksFailure);
  StopButton->setEnabled(true);
  FDetailsBegun = false;
  FRunStartedAt = store::IsoUtc(store::NowUnixMs());
  try {
    const TSpeedResult result = RunSpeedTest(*HttpCli1, *this);
    EndRunDetails(nullptr);
    if (result.ran) RecordRun(&result, nullptr);
  } catch (const std::exception& e) {
    EndRunDetails(&e);
    GoButton->setEnabled(true);
    // When the window closed during a load the program is ending: no box then.
    const bool ending = core::Application().Terminated();
    if (!ending && FTimedOut)
      ShowError(QStringLiteral("Tachyload..."),
                QStringLiteral("The load took longer than the time limit of %1 s.\n\nURL: %2")
                    .arg(Latin1(FOptions.timeoutSeconds), URLEdit->text()));
    else if (!ending && FStopRequested)
      ShowMessage(QStringLiteral("Tachyload..."), QStringLiteral("Test stopped"));
    else if (!ending)
      ShowError(QStringLiteral("Tachyload..."), FailureText(e));
    if (FDetailsBegun) RecordRun(nullptr, &e);
  }
  FRunning = false;
  FLoadTimer.stop();
  StopButton->setEnabled(false);
}

void TForm1::SetOptions(const TWindowOptions& options) {
  FOptions = options;
  FProxyPort = options.proxy.empty() ? std::string() : ParseProxy(options.proxy).port;
  if (!FRunning) ApplyOptions(*HttpCli1, FOptions, FSocksFailure);
}

void TForm1::OptionsButtonClick() {
  auto* dialog = findChild<TOptionsDialog*>();
  if (dialog == nullptr) {
    dialog = new TOptionsDialog(this, FOptions);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->OnAccepted = [this](const TWindowOptions& o) { SetOptions(o); };
  }
  dialog->open();
}

// The options' time limit ends the load as Stop does, with its own reason.
void TForm1::LoadTimedOut() {
  if (!FRunning || !FLoadInProgress) return;
  FTimedOut = true;
  HttpCli1->Abort();
}

// Ends the run as a failed load does: the load is aborted, Get raises, and the
// run writes no totals and no history.
void TForm1::StopButtonClick() {
  if (!FRunning || FStopRequested) return;
  FStopRequested = true;
  // Also between the legs of an authentication handshake, when the client is
  // ready for a moment: the pending leg is dropped and CheckLoad ends the run.
  HttpCli1->Abort();
}

void TForm1::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && FRunning) {
    StopButtonClick();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TForm1::DetailsButtonClick() {
  if (Details == nullptr) {
    Details = new TDetailsWindow(this, FRun);
    Details->ShowError = [this](const QString& text) { ShowError(QStringLiteral("Tachyload..."), text); };
  }
  Details->Refresh();
  Details->show();
  Details->raise();
  Details->activateWindow();
}

QString TForm1::FailureText(const std::exception& e) const {
  if (!FSocksFailure.empty()) return Latin1(FSocksFailure) + QStringLiteral("\n\nURL: ") + URLEdit->text();
  QString reason = Latin1(core::ExceptionMessage(e));
  const auto* http = dynamic_cast<const http::EHttpException*>(&e);
  if (http == nullptr) return reason;
  const std::string url = HttpCli1->URL();
  if (HttpCli1->RcvdHeader().Count() > 0 && HttpCli1->StatusCode() >= 400)
    return QStringLiteral("%1\n\nHTTP status %2\nURL: %3")
        .arg(reason)
        .arg(HttpCli1->StatusCode())
        .arg(Latin1(url));
  if (net::IsLookupError(HttpCli1->RequestDoneError())) {
    std::string proto, user, pass, host, port, path;
    http::ParseURL(url, proto, user, pass, host, port, path);
    return QStringLiteral("%1\n\nHost: %2").arg(reason, Latin1(host));
  }
  return QStringLiteral("%1\n\nURL: %2").arg(reason, Latin1(url));
}

std::string TForm1::UrlText() {
  return Bytes(URLEdit->text());
}
std::string TForm1::LoadsText() {
  return Bytes(Edit4->text());
}

void TForm1::ClearResults() {
  DisplayMemo->Clear();
  Edit1->clear();
  Edit2->clear();
  Edit3->clear();
}

bool TForm1::LoadsConfirmed() {
  return CheckBox1->isChecked();
}

void TForm1::AskForConfirmation(const std::string& message) {
  CheckBox1->setVisible(true);
  ShowMessage(QStringLiteral("Tachyload..."), Latin1(message));
}

void TForm1::SetCaption(const std::string& caption) {
  setWindowTitle(Latin1(caption));
}
void TForm1::SetTestEnabled(bool enabled) {
  GoButton->setEnabled(enabled);
}
void TForm1::AppendPage(const char* page, int64_t size) {
  DisplayMemo->AppendPage(page, size);
}
void TForm1::AppendReceived(core::TMemoryStream& page) {
  DisplayMemo->AppendReceived(page);
}
int64_t TForm1::PageCharCount() {
  return DisplayMemo->Lines().CharCount();
}

void TForm1::ShowTotals(const std::string& timeMs, const std::string& bytes, const std::string& speed) {
  BeginDetails();  // a run of no loads empties them
  Edit1->setText(Latin1(timeMs));
  Edit2->setText(Latin1(bytes));
  Edit3->setText(Latin1(speed));
}

void TForm1::AppendHistory(const std::vector<std::string>& lines) {
  TPageLines block;
  for (const auto& l : lines) block.Add(l.data(), l.size());
  Memo2->AppendLines(std::move(block));
}

std::string TForm1::ShortDateToday() {
  return LocaleShortDate();  // as the command line writes it
}

// The details keep the last run until the next one really starts: a number of
// loads that is not a number, or that waits for confirmation, leaves them.
void TForm1::BeginDetails() {
  if (FDetailsBegun) return;
  FDetailsBegun = true;
  FRun.Begin(UrlText());  // shown at the next refresh, between loads
}

void TForm1::ShowDetailsBetweenLoads(bool final) {
  if (Details == nullptr) return;
  constexpr qint64 kDetailsPeriodMs = 250;
  if (!final && FDetailsShown.isValid() && FDetailsShown.elapsed() < kDetailsPeriodMs) return;
  Details->Refresh();
  FDetailsShown.start();
  // The refresh posts layout and paint requests; served now, they stay out of
  // the next load's waits. Each round may post the next (layout, then paint).
  for (int round = 0; round < 5; ++round) QCoreApplication::sendPostedEvents();
}

void TForm1::EndRunDetails(const std::exception* failure) {
  if (failure != nullptr && FDetailsBegun && !FRun.rows.empty() && FRun.rows.back().Failed())
    FRun.rows.back().error = FTimedOut        ? "Load timed out"
                             : FStopRequested ? "Test stopped"
                                              : core::ExceptionMessage(*failure);
  ShowDetailsBetweenLoads(true);
}

void TForm1::PrepareLoad(http::THttpCli& client) {
  BeginDetails();
  FLoadInProgress = true;
  // The run sets the proxy port for every load; a proxy of the options keeps its own.
  if (!FProxyPort.empty()) client.SetProxyPort(FProxyPort);
  if (const uint32_t ms = TimeoutMs(FOptions); ms > 0) FLoadTimer.start(static_cast<int>(ms));
  // The client keeps an open connection for the next load to the same server.
  FLoadReused = client.Socket() != nullptr && client.Socket()->State() == net::wsConnected &&
                ServerOf(client.URL()) == FLastServer;
  FLoadStart = std::chrono::steady_clock::now();
  FLoadTimes.reset();
}

void TForm1::LoadMeasured(const http::TLoadTimes& times) {
  FLoadTimes = times;
}

void TForm1::CheckLoad(http::THttpCli& client) {
  FLoadTimer.stop();
  FLastServer = ServerOf(client.URL());
  if (FTimedOut) throw std::runtime_error("Load timed out");
  if (FStopRequested) throw std::runtime_error("Test stopped");
}

void TForm1::LoadTimed(int loadIndex, uint32_t elapsedMs) {
  (void)elapsedMs;  // the details time the load to the microsecond
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - FLoadStart);
  FLoadInProgress = false;
  FLoadTimer.stop();
  FRun.rows.push_back(LoadRowOf(*HttpCli1, loadIndex, FLoadReused, us.count(), FLoadTimes));
  ShowDetailsBetweenLoads(false);
}

char TForm1::DecimalSeparator() {
  const QString p = QLocale::system().decimalPoint();
  return p.isEmpty() ? '.' : p.at(0).toLatin1();
}

// --- Save, Copy, Exit, Help, About ---

void TForm1::WritePane(const QString& file, const TLinePane* pane) {
  const QString error = SaveBytes(file, pane->Lines().CrLfText());
  if (!error.isEmpty()) ShowError(QStringLiteral("Tachyload..."), error);
}

void TForm1::CopyPane(TLinePane* pane) {
  // The whole text is selected and copied; an empty pane puts "" on the clipboard.
  pane->SelectAll();
  pane->CopySelection();
}

void TForm1::Button5Click() {
  SaveDialog1.Open([this](const QString& file) { WritePane(file, DisplayMemo); });
}
void TForm1::Button6Click() {
  SaveDialog2.Open([this](const QString& file) { WritePane(file, Memo2); });
}
void TForm1::Button3Click() {
  CopyPane(DisplayMemo);
}
void TForm1::Button4Click() {
  CopyPane(Memo2);
}
void TForm1::Button1Click() {
  close();
}

QString TForm1::HelpFile() {
  const QString installed = QCoreApplication::applicationDirPath() + "/../share/doc/tachyload/index.html";
  if (QFileInfo::exists(installed)) return QFileInfo(installed).canonicalFilePath();
  return QString::fromUtf8(TL_HELP_SOURCE);
}

void TForm1::Button2Click() {
  const QString page = HelpFile();
  QPointer<TForm1> self(this);
  OpenUrl(QUrl::fromLocalFile(page), [self, page](bool opened) {
    if (!opened && self) self->ShowHelpLocation(page);
  });
}

// Without a browser the page is still there to read: say where.
void TForm1::ShowHelpLocation(const QString& page) {
  ShowMessage(QStringLiteral("Help"),
              QStringLiteral("No web browser could be started to show the help page.\n\n"
                             "It is installed at:\n%1")
                  .arg(QDir::toNativeSeparators(page)));
}

void TForm1::Button7Click() {
  ShowMessage(QStringLiteral("About Tachyload"),
              QStringLiteral("Tachyload 1.0\nCopyright (C) 2026 The Tachyload developers\n\n"
                             "Tachyload is free to use. It is provided as is, without any warranty of any "
                             "kind.\n\nPress Help for help and the full licence."));
}

}  // namespace app
