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
#include "app/qt/OptionsDialog.h"
#include "core/Application.h"
#include "core/SysUtils.h"
#include "http/Url.h"

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

// The fonts the layout was drawn for, or the nearest of similar width where they are missing
// (most Linux desktops have neither Tahoma nor Courier New).
QFont NearestFont(bool fixed) {
  QFont f;
  if (fixed) {
    f.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                   QStringLiteral("DejaVu Sans Mono")});
    f.setStyleHint(QFont::TypeWriter);
  } else {
    f.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Verdana"),
                   QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans")});
    f.setStyleHint(QFont::SansSerif);
  }
  f.setPointSize(8);  // height -11 at 96 pixels per inch
  return f;
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
  setFont(NearestFont(false));
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

QRect TForm1::Scaled(int left, int top, int width, int height) const {
  const double f = logicalDpiX() > 0 ? logicalDpiX() / 96.0 : 1.0;
  auto s = [f](int v) { return static_cast<int>(v * f + 0.5); };
  return QRect(s(left), s(top), s(width), s(height));
}

void TForm1::CreateControls() {
  auto edit = [this](int l, int t, int w, int h, const char* text) {
    auto* e = new QLineEdit(QString::fromLatin1(text), this);
    e->setGeometry(Scaled(l, t, w, h));
    return e;
  };
  auto button = [this](int l, int t, int w, int h, const char* caption, bool bold) {
    auto* b = new QPushButton(QString::fromLatin1(caption), this);
    b->setGeometry(Scaled(l, t, w, h));
    if (bold) {
      QFont f = b->font();
      f.setBold(true);
      b->setFont(f);
    }
    return b;
  };
  auto label = [this](int l, int t, int w, int h, const char* text) {
    auto* lb = new QLabel(QString::fromLatin1(text), this);
    lb->setGeometry(Scaled(l, t, w, h));
    // Labels size themselves to their text, as the layout assumes.
    lb->adjustSize();
    return lb;
  };
  auto pane = [this](int l, int t, int w, int h) {
    auto* p = new TLinePane(this);
    p->setGeometry(Scaled(l, t, w, h));
    p->setFont(NearestFont(true));
    return p;
  };

  URLEdit = edit(8, 8, 212, 21, "http://");
  GoButton = button(225, 8, 73, 21, "&TEST", false);
  GoButton->setDefault(true);
  Label4 = label(8, 42, 82, 13, "Number of loads:");
  Edit4 = edit(93, 40, 33, 21, "3");
  CheckBox1 = new QCheckBox(QStringLiteral("I confirm this number"), this);
  CheckBox1->setGeometry(Scaled(135, 42, 157, 17));
  {
    QPalette p = CheckBox1->palette();
    p.setColor(QPalette::WindowText, Qt::red);
    CheckBox1->setPalette(p);
    CheckBox1->setFont(NearestFont(false));
  }
  CheckBox1->setVisible(false);
  Label6 = label(317, 45, 38, 13, "History:");
  Label5 = label(336, 9, 236, 13, "Copyright (C) 2026 The Tachyload developers");
  Button7 = button(471, 27, 76, 19, "About", false);
  DisplayMemo = pane(8, 66, 290, 263);
  Memo2 = pane(309, 66, 235, 262);
  Button5 = button(132, 333, 61, 19, "Save", false);
  Button3 = button(201, 333, 99, 19, "Copy to Clpboard", false);
  Button6 = button(378, 333, 61, 19, "&Save", false);
  Button4 = button(447, 333, 99, 19, "&Copy to Clpboard", false);
  Label1 = label(11, 342, 50, 13, "Time (ms):");
  Edit1 = edit(9, 357, 113, 21, "");
  Label2 = label(11, 385, 61, 13, "Size (bytes):");
  Edit2 = edit(9, 402, 113, 21, "");
  Label3 = label(144, 387, 71, 13, "SPEED (BpS):");
  {
    QFont f = Label3->font();
    f.setBold(true);
    Label3->setFont(f);
    Label3->adjustSize();
  }
  Edit3 = edit(144, 403, 151, 21, "");
  {
    QPalette p = Edit3->palette();
    p.setColor(QPalette::Base, p.color(QPalette::ToolTipBase));  // the info-tip background
    Edit3->setPalette(p);
  }
  Button2 = button(321, 399, 106, 29, "&Help (online)", true);
  Button1 = button(438, 399, 106, 29, "E&xit", true);
  StopButton = button(204, 437, 106, 23, "Stop", false);
  StopButton->setEnabled(false);
  StopButton->setToolTip(QStringLiteral("Stop the test (Esc)"));
  OptionsButton = button(321, 437, 106, 23, "&Options...", false);
  DetailsButton = button(438, 437, 106, 23, "&Details", false);

  // Resizing grows the two panes, each by half the extra width and by all the
  // extra height; what lies right of or below them moves along.
  Anchor(URLEdit, 0, 0.5, 0, 0);
  Anchor(GoButton, 0.5, 0, 0, 0);
  Anchor(Label6, 0.5, 0, 0, 0);
  Anchor(Label5, 1, 0, 0, 0);
  Anchor(Button7, 1, 0, 0, 0);
  Anchor(DisplayMemo, 0, 0.5, 0, 1);
  Anchor(Memo2, 0.5, 0.5, 0, 1);
  for (QWidget* w : {static_cast<QWidget*>(Button5), static_cast<QWidget*>(Button3)}) Anchor(w, 0.5, 0, 1, 0);
  for (QWidget* w : {Button6, Button4, Button2, Button1, StopButton, OptionsButton, DetailsButton})
    Anchor(w, 1, 0, 1, 0);
  for (QWidget* w :
       {static_cast<QWidget*>(Label1), static_cast<QWidget*>(Edit1), static_cast<QWidget*>(Label2),
        static_cast<QWidget*>(Edit2), static_cast<QWidget*>(Label3), static_cast<QWidget*>(Edit3)})
    Anchor(w, 0, 0, 1, 0);

  connect(GoButton, &QPushButton::clicked, this, &TForm1::GoButtonClick);
  // TEST is the default action of the two edits.
  connect(URLEdit, &QLineEdit::returnPressed, this, &TForm1::GoButtonClick);
  connect(Edit4, &QLineEdit::returnPressed, this, &TForm1::GoButtonClick);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
  connect(StopButton, &QPushButton::clicked, this, &TForm1::StopButtonClick);
  connect(DetailsButton, &QPushButton::clicked, this, &TForm1::DetailsButtonClick);
  connect(OptionsButton, &QPushButton::clicked, this, &TForm1::OptionsButtonClick);
}

void TForm1::Anchor(QWidget* control, double moveX, double growX, double moveY, double growY) {
  FAnchors.push_back({control, control->geometry(), moveX, growX, moveY, growY});
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int dx = std::max(0, width() - FDesignSize.width());
  const int dy = std::max(0, height() - FDesignSize.height());
  auto share = [](double f, int d) { return static_cast<int>(f * d); };
  for (const TAnchor& a : FAnchors)
    a.control->setGeometry(a.design.x() + share(a.moveX, dx), a.design.y() + share(a.moveY, dy),
                           a.design.width() + share(a.growX, dx), a.design.height() + share(a.growY, dy));
}

void TForm1::SetTabOrder() {
  // The tab order the layout was drawn with, from 0 up.
  QWidget* order[] = {GoButton, URLEdit, DisplayMemo, Edit1,   Edit2,   Edit3,   Edit4,   Button1,
                      Button2,  Memo2,   CheckBox1,   Button3, Button4, Button5, Button6, Button7};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

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
  try {
    RunSpeedTest(*HttpCli1, *this);
    EndRunDetails(nullptr);
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
  const QString reason = Latin1(core::ExceptionMessage(e));
  const auto* http = dynamic_cast<const http::EHttpException*>(&e);
  if (http == nullptr) return reason;
  const std::string url = HttpCli1->URL();
  if (HttpCli1->RcvdHeader().Count() > 0 && HttpCli1->StatusCode() >= 400)
    return QStringLiteral("%1\n\nHTTP status %2\nURL: %3")
        .arg(reason)
        .arg(HttpCli1->StatusCode())
        .arg(Latin1(url));
  if (HttpCli1->ReasonPhrase() == "can't resolve hostname to IP address") {
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

namespace {

std::string ServerOf(const std::string& url) {
  std::string proto, user, pass, host, port, path;
  http::ParseURL(url, proto, user, pass, host, port, path);
  return proto + "://" + host + ":" + port;
}

// One load as the details show it. A load that got its page has the client's
// timeline: its phases, warm or cold connection, status and bytes. A failed one
// has only the window's own timing; its reason comes when the run ends.
TLoadRow LoadRowOf(const http::THttpCli& client, int load, bool reused, int64_t totalUs,
                   const std::optional<http::TLoadTimes>& times) {
  TLoadRow row;
  row.load = load;
  if (times) {
    row.times = *times;
  } else {
    // The command line's rule: no status when no server answered.
    row.times.status = client.RcvdHeader().Count() > 0 ? client.StatusCode() : 0;
    row.times.reused = reused;
    row.error = "failed";
  }
  int64_t phases = 0;
  for (size_t p = 0; p < kDetailPhaseCount; ++p) phases += row.PhaseUs(p);
  row.totalUs = std::max(totalUs, phases);
  return row;
}

}  // namespace

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
