// The real window on Qt's offscreen platform, driven as a person would, against
// local servers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/WindowOptions.h"
#include "app/qt/DetailsWindow.h"
#include "app/qt/OptionsDialog.h"
#include "app/qt/QtApplication.h"
#include "app/qt/Unit1.h"
#include "app/tests/CliRun.h"
#include "core/Application.h"
#include "platform/WinSock.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"
#include "testsupport/ScriptedPeer.h"

namespace {

using testsupport::HttpResponse;
using testsupport::HttpScript;
using testsupport::Millis;
using testsupport::NginxServer;
using testsupport::Script;
using testsupport::ScriptedPeer;
using testsupport::TempDir;

QApplication& App() {
  static int argc = 1;
  static char name[] = "tl_app_tests";
  static char* argv[] = {name, nullptr};
  // The window's settings go to a folder of Qt's test mode, never the user's.
  QStandardPaths::setTestModeEnabled(true);
  static auto* app = new QApplication(argc, argv);
  return *app;
}

int NotFoundResolver(const std::string&, bool, winapi::HostEntry&) {
  return winapi::WSAHOST_NOT_FOUND;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    messages = std::make_unique<app::TQtApplication>();
    core::SetApplication(messages.get());
    form = std::make_unique<app::TForm1>();
    form->ShowError = [this](const QString&, const QString& text) { errors.push_back(text.toStdString()); };
    form->ShowMessage = [this](const QString&, const QString& text) {
      messages_.push_back(text.toStdString());
    };
    form->show();
  }
  void TearDown() override {
    form.reset();
    core::SetApplication(nullptr);
    messages.reset();
    winapi::SetResolverHookForTesting(nullptr);
  }

  void Test(const std::string& url, const std::string& loads) {
    form->URLEdit->setText(QString::fromStdString(url));
    form->Edit4->setText(QString::fromStdString(loads));
    QTest::mouseClick(form->GoButton, Qt::LeftButton);
  }
  std::vector<std::string> PageLines() const { return form->DisplayMemo->Lines().ToVector(); }
  std::vector<std::string> HistoryLines() const { return form->Memo2->Lines().ToVector(); }

  std::unique_ptr<app::TQtApplication> messages;
  std::unique_ptr<app::TForm1> form;
  std::vector<std::string> errors, messages_;
};

TEST_F(WindowTest, StartsWithTheDesignsValues) {
  EXPECT_EQ(form->windowTitle(), "Tachyload 1.0");
  EXPECT_FALSE(form->windowIcon().pixmap(32, 32).isNull());  // window managers show it
  EXPECT_EQ(form->URLEdit->text(), "http://");
  EXPECT_EQ(form->Edit4->text(), "3");
  EXPECT_FALSE(form->CheckBox1->isVisible());
  EXPECT_EQ(form->GoButton->text(), "&TEST");
  EXPECT_EQ(form->Button3->text(), "Copy to Clpboard");
  EXPECT_TRUE(form->GoButton->isDefault());
  EXPECT_EQ(form->HttpCli1->Agent(), "Mozilla/3.0 (compatible)");
  EXPECT_EQ(form->HttpCli1->RequestVer(), "1.0");
  EXPECT_EQ(form->HttpCli1->LocationChangeMaxCount(), 5);
  // Nothing that would work inside the loads' waits exists before it is opened:
  // no file dialog (its file-system model watches a folder), no details window.
  EXPECT_TRUE(form->findChildren<QFileDialog*>().isEmpty());
  EXPECT_EQ(form->Details, nullptr);
  EXPECT_TRUE(form->findChildren<app::TDetailsWindow*>().isEmpty());
  // The layout's tab order: TEST, the URL, the page pane, the three totals, the loads.
  const QWidget* order[] = {form->GoButton, form->URLEdit, form->DisplayMemo, form->Edit1,
                            form->Edit2,    form->Edit3,   form->Edit4};
  auto nextTabStop = [&](const QWidget* w) {
    QWidget* next = w->nextInFocusChain();
    while (next && !((next->focusPolicy() & Qt::TabFocus) && next->isVisibleTo(form.get())))
      next = next->nextInFocusChain();
    return next;
  };
  for (size_t i = 0; i + 1 < std::size(order); ++i)
    EXPECT_EQ(nextTabStop(order[i]), order[i + 1]) << "after tab stop " << i;
}

TEST_F(WindowTest, NoLoadsStillWritesTheReport) {
  for (const char* n : {"0", "-4"}) {
    Test("http://127.0.0.1:1/", n);
    EXPECT_TRUE(PageLines().empty());
    EXPECT_EQ(form->Edit1->text(), "0");
    EXPECT_EQ(form->Edit2->text(), "0");
    EXPECT_EQ(form->Edit3->text(), "Error!");
  }
  const auto h = HistoryLines();
  ASSERT_EQ(h.size(), 14u);
  EXPECT_EQ(h[2], "Number of loads: 0");
  EXPECT_EQ(h[9], "Number of loads: -4");
  EXPECT_EQ(h[5], "Average Speed: Error! bps.");
  EXPECT_TRUE(errors.empty());
}

TEST_F(WindowTest, NotANumberShowsTheConversionError) {
  Test("http://127.0.0.1:1/", "3x");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "'3x' is not a valid integer value");
  EXPECT_TRUE(HistoryLines().empty());
}

TEST_F(WindowTest, PagesBecomePaneLinesAndBytesCountTwoPerLine) {
  ScriptedPeer peer;
  peer.SetDefaultScript(
      HttpScript({HttpResponse(200, std::string("a\r\nb\rc\nd"), {"Connection: close"})}).Close());
  Test("http://" + peer.Address() + "/", "1");
  EXPECT_EQ(PageLines(), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(form->Edit2->text(), "12");

  ScriptedPeer ten;
  ten.SetDefaultScript(HttpScript({HttpResponse(200, "0123456789", {"Connection: close"})}).Close());
  Test("http://" + ten.Address() + "/", "2");
  EXPECT_EQ(form->Edit2->text(), "24");
  EXPECT_EQ(form->windowTitle(), "2 / 2");
  EXPECT_TRUE(errors.empty()) << errors[0];
}

TEST_F(WindowTest, ConfirmationRuleAndTheCaption) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  const std::string url = nginx.Url("/index.html");
  Test(url, "100");
  EXPECT_EQ(form->windowTitle(), "100 / 100");
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(HistoryLines().size(), 7u);

  Test(url, "101");
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].rfind("You entered quite big number of page loads (101).", 0), 0u);
  EXPECT_TRUE(form->CheckBox1->isVisible());
  EXPECT_EQ(HistoryLines().size(), 7u);

  form->CheckBox1->setChecked(true);
  Test(url, "101");
  EXPECT_EQ(form->windowTitle(), "101 / 101");
  EXPECT_EQ(HistoryLines().size(), 14u);
  EXPECT_EQ(form->Edit2->text(), "1313");  // 101 x 13

  Test(url, "3");
  EXPECT_EQ(form->windowTitle(), "3 / 3");
  EXPECT_TRUE(form->CheckBox1->isVisible());  // stays visible and keeps its state
  EXPECT_TRUE(form->CheckBox1->isChecked());
}

TEST_F(WindowTest, AnUnresolvableHostShowsTheReasonAndWritesNoHistory) {
  winapi::SetResolverHookForTesting(&NotFoundResolver);
  Test("http://tachyload-no-such-host.invalid/", "3");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "can't resolve hostname to IP address\n\nHost: tachyload-no-such-host.invalid");
  EXPECT_TRUE(form->GoButton->isEnabled());
  EXPECT_TRUE(HistoryLines().empty());
  EXPECT_EQ(form->windowTitle(), "1 / 3");
}

// Only the lookup's error code makes a failure name the host: a server's reason
// phrase that reads like one does not.
TEST_F(WindowTest, AReasonPhraseLikeALookupFailureStillNamesTheUrl) {
  ScriptedPeer peer;
  peer.SetDefaultScript(Script()
                            .ExpectRequest()
                            .Send("HTTP/1.0 200 can't resolve hostname to IP address\r\n"
                                  "Content-Length: 100\r\n\r\nshort")
                            .Close());
  const std::string url = "http://" + peer.Address() + "/short";
  Test(url, "1");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Connection closed before the end of the document\n\nURL: " + url);
}

TEST_F(WindowTest, AnHttpErrorNamesItsStatusAndUrl) {
  ScriptedPeer peer;
  peer.SetDefaultScript(HttpScript({HttpResponse(503, "busy", {"Connection: close"})}).Close());
  const std::string url = "http://" + peer.Address() + "/busy";
  Test(url, "2");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Service Unavailable\n\nHTTP status 503\nURL: " + url);
  EXPECT_TRUE(HistoryLines().empty());
}

TEST_F(WindowTest, StopAndEscEndASlowRunAtOnceWithNoHistory) {
  // The peer never answers unless the watchdog lets it: a run that did not
  // stop would then finish and write its report.
  for (bool withEsc : {false, true}) {
    ScriptedPeer peer;
    peer.SetDefaultScript(Script().ExpectRequest().Pause("answer").Send(HttpResponse(200, "late\n")).Close());
    EXPECT_FALSE(form->StopButton->isEnabled());
    QTimer::singleShot(100, form.get(), [&] {
      EXPECT_TRUE(form->StopButton->isEnabled());
      if (withEsc)
        QTest::keyClick(form->URLEdit, Qt::Key_Escape);
      else
        form->StopButton->click();
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] { peer.Resume("answer"); });
    watchdog.start(10000);
    Test("http://" + peer.Address() + "/", "3");
    EXPECT_TRUE(watchdog.isActive()) << "ended only when the peer answered";
    EXPECT_EQ(messages_, std::vector<std::string>{"Test stopped"});
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(HistoryLines().empty());
    EXPECT_TRUE(form->Edit1->text().isEmpty());
    EXPECT_EQ(form->windowTitle(), "1 / 3");
    EXPECT_TRUE(form->GoButton->isEnabled());
    EXPECT_FALSE(form->StopButton->isEnabled());
    messages_.clear();
  }
}

TEST_F(WindowTest, PaneTextIsSelectedWithMouseAndKeysAndCopied) {
  app::TPageLines lines;
  for (const char* l : {"alpha", "beta", "gamma"}) lines.Add(l, std::strlen(l));
  app::TLinePane* pane = form->DisplayMemo;
  pane->AppendLines(std::move(lines));
  pane->verticalScrollBar()->setValue(0);
  auto copied = [&](QKeySequence::StandardKey key) {
    QGuiApplication::clipboard()->setText("before");
    QTest::keySequence(pane, QKeySequence(key));
    return QGuiApplication::clipboard()->text().toStdString();
  };
  auto at = [&](size_t line, size_t col) {
    return pane->PointOf({line, col}) + QPoint(1, pane->fontMetrics().lineSpacing() / 2);
  };
  // A drag from inside the first line to inside the second.
  QTest::mousePress(pane->viewport(), Qt::LeftButton, {}, at(0, 2));
  QTest::mouseMove(pane->viewport(), at(1, 3));
  QTest::mouseRelease(pane->viewport(), Qt::LeftButton, {}, at(1, 3));
  EXPECT_EQ(copied(QKeySequence::Copy), "pha\r\nbet");
  // Shift+click extends it; Shift with the keys moves its end.
  QTest::mouseClick(pane->viewport(), Qt::LeftButton, Qt::ShiftModifier, at(2, 1));
  EXPECT_EQ(copied(QKeySequence::Copy), "pha\r\nbeta\r\ng");
  QTest::keyClick(pane, Qt::Key_Home);
  QTest::keyClick(pane, Qt::Key_Right, Qt::ShiftModifier);
  QTest::keyClick(pane, Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(copied(QKeySequence::Copy), "ga");
  QTest::keyClick(pane, Qt::Key_Up, Qt::ShiftModifier);  // back over the break
  EXPECT_EQ(copied(QKeySequence::Copy), "ta\r\n");
  // Nothing selected copies nothing; Ctrl+A copies what the Copy button does.
  QTest::keyClick(pane, Qt::Key_Left);
  EXPECT_EQ(copied(QKeySequence::Copy), "");
  QTest::keySequence(pane, QKeySequence(QKeySequence::SelectAll));
  EXPECT_EQ(copied(QKeySequence::Copy), "alpha\r\nbeta\r\ngamma\r\n");
  pane->Select({}, {});
  QTest::mouseClick(form->Button3, Qt::LeftButton);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "alpha\r\nbeta\r\ngamma\r\n");
  EXPECT_TRUE(pane->HasSelection());
}

// The pane draws only the columns in view. Scrolled sideways past a long run of
// text, with part of a column cut off, it must look as the whole line drawn from
// the scrolled place would, and a selection must start where its place is.
TEST_F(WindowTest, ALongLineScrolledSidewaysShowsTheRightColumns) {
  const std::string text = "TachyloadShowsColumnsFromTheScrolledPlaceOnwardsXYZ";
  auto paneShowing = [&](size_t prefix, int offset) {
    auto pane = std::make_unique<app::TLinePane>();
    pane->resize(300, 120);
    for (int i = 0; i < 3; ++i) pane->AppendLine(std::string(prefix, 'a') + text);
    pane->show();
    const int cw = pane->fontMetrics().horizontalAdvance(QLatin1Char('M'));
    pane->verticalScrollBar()->setValue(0);
    pane->horizontalScrollBar()->setValue(static_cast<int>(prefix) * cw + offset);
    return pane;
  };
  // What the pane drew before it skipped anything: each whole line from x.
  auto wholeLinesFrom = [&](const QImage& like, int x) {
    app::TLinePane pane;
    QImage image(like.size(), like.format());
    image.fill(pane.palette().color(QPalette::Base));
    QPainter p(&image);
    p.setFont(pane.font());
    p.setPen(pane.palette().color(QPalette::Text));
    const QFontMetrics fm = pane.fontMetrics();
    for (int i = 0; i < 3; ++i)
      p.drawText(x, 1 + i * fm.lineSpacing() + fm.ascent(), QString::fromStdString(text));
    return image;
  };
  const int half = app::TLinePane().fontMetrics().horizontalAdvance(QLatin1Char('M')) / 2;
  for (int offset : {0, half}) {
    SCOPED_TRACE(offset);
    auto pane = paneShowing(600, offset);
    const QImage scrolled = pane->viewport()->grab().toImage();
    EXPECT_EQ(scrolled, wholeLinesFrom(scrolled, 2 - offset));
    pane->Select({1, 603}, {1, 607});
    const QImage selected = pane->viewport()->grab().toImage();
    const QPoint start = pane->PointOf({1, 603}), end = pane->PointOf({1, 607});
    EXPECT_EQ(selected.pixelColor(start), pane->palette().color(QPalette::Highlight));
    EXPECT_EQ(selected.pixelColor(start - QPoint(1, 0)), pane->palette().color(QPalette::Base));
    EXPECT_EQ(selected.pixelColor(end - QPoint(1, 0)), pane->palette().color(QPalette::Highlight));
    EXPECT_EQ(selected.pixelColor(end), pane->palette().color(QPalette::Base));
  }
}

// Pages arriving faster than an eye can follow, each followed by a pass of the
// event loop (as Get runs one while it waits), do not each cost a paint inside
// the next load's time; the last one is shown.
TEST_F(WindowTest, PagesArrivingFastAreNotPaintedOneByOne) {
  struct TPaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  app::TLinePane* pane = form->DisplayMemo;
  QCoreApplication::processEvents();
  pane->viewport()->installEventFilter(&counter);
  const std::string page = "a line\r\nanother\r\n";
  for (int i = 0; i < 50; ++i) {
    pane->AppendPage(page.data(), static_cast<int64_t>(page.size()));
    QCoreApplication::processEvents();
  }
  EXPECT_LT(counter.paints, 10);
  QTest::qWait(100);  // the throttle's timer shows the last page
  EXPECT_GE(counter.paints, 1);
  EXPECT_EQ(pane->Lines().Count(), 100u);
  // Scrolled to the end: the place after the last line is in view.
  const QPoint end = pane->PointOf({100, 0});
  EXPECT_TRUE(pane->viewport()->rect().contains(end)) << end.x() << "," << end.y();
  EXPECT_EQ(pane->verticalScrollBar()->value(), pane->verticalScrollBar()->maximum());
  pane->viewport()->removeEventFilter(&counter);
}

TEST_F(WindowTest, ResizingGrowsThePanesAndKeepsTheRestInPlace) {
  const QSize designed = form->size();
  EXPECT_EQ(form->minimumSize(), designed);
  const QRect page = form->DisplayMemo->geometry(), history = form->Memo2->geometry();
  const QRect exit = form->Button1->geometry(), time = form->Edit1->geometry();
  form->resize(designed + QSize(200, 100));
  EXPECT_EQ(form->DisplayMemo->geometry(), page.adjusted(0, 0, 100, 100));
  EXPECT_EQ(form->Memo2->geometry(), history.adjusted(100, 0, 200, 100));
  EXPECT_EQ(form->Button1->geometry(), exit.translated(200, 100));
  EXPECT_EQ(form->Edit1->geometry(), time.translated(0, 100));
  EXPECT_LE(form->Memo2->geometry().right(), form->width());
  form->resize(designed);
  EXPECT_EQ(form->DisplayMemo->geometry(), page);
  EXPECT_EQ(form->Button1->geometry(), exit);
}

// Counts the paint and layout work a widget tree gets while a load runs.
class LoadTimeWork : public QObject {
 public:
  explicit LoadTimeWork(const app::TForm1& form) : form_(form) {}
  void Watch(QWidget* root) {
    root->installEventFilter(this);
    for (QWidget* w : root->findChildren<QWidget*>()) w->installEventFilter(this);
  }
  int duringLoads = 0, betweenLoads = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    const auto type = event->type();
    if (type == QEvent::Paint || type == QEvent::LayoutRequest || type == QEvent::UpdateRequest)
      ++(form_.LoadInProgress() ? duringLoads : betweenLoads);
    return QObject::eventFilter(watched, event);
  }

 private:
  const app::TForm1& form_;
};

TEST_F(WindowTest, DetailsFillBetweenLoadsAndNeverDuringOne) {
  ScriptedPeer peer;
  peer.SetDefaultScript(HttpScript({HttpResponse(200, "0123456789", {"Connection: close"})}).Close());
  QTest::mouseClick(form->DetailsButton, Qt::LeftButton);
  ASSERT_NE(form->Details, nullptr);
  EXPECT_TRUE(form->Details->isVisible());
  EXPECT_FALSE(form->Details->isModal());
  // The window's first layout and paint, as the event loop gives them before the
  // user presses TEST.
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  LoadTimeWork work(*form);
  work.Watch(form->Details);
  // Loads that last past the details' refresh period, so refreshes fall between them.
  Test("http://" + peer.Address() + "/", "3");
  peer.SetDefaultScript(Script()
                            .ExpectRequest()
                            .Wait(Millis(100))
                            .Send(HttpResponse(200, "0123456789", {"Connection: close"}))
                            .Close());
  Test("http://" + peer.Address() + "/", "6");
  EXPECT_EQ(work.duringLoads, 0) << "the details' table or chart worked inside a load";
  EXPECT_GT(work.betweenLoads, 0);
  EXPECT_GE(form->Details->Refreshes(), 3);

  const auto& rows = form->Details->Rows();
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(form->Details->Table->model()->rowCount(), 6);
  EXPECT_EQ(form->Details->BarCount(), 6);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].load, static_cast<int>(i) + 1);
    EXPECT_EQ(rows[i].Status(), 200);
    EXPECT_EQ(rows[i].Bytes(), 10);
    EXPECT_FALSE(rows[i].Reused());  // every answer closed its connection
    EXPECT_FALSE(rows[i].Failed());
    // The phases are the client's own timeline, and lie within the load's time.
    EXPECT_GT(rows[i].totalUs - rows[i].OtherUs(), 0);
  }
  const QAbstractItemModel* table = form->Details->Table->model();
  // Total, Bytes and Speed come right after the load, its status and connection.
  EXPECT_EQ(table->headerData(3, Qt::Horizontal).toString(), "Total (ms)");
  EXPECT_EQ(table->data(table->index(5, 1)).toString(), "200");
  EXPECT_EQ(table->data(table->index(5, 2)).toString(), "cold");
  EXPECT_EQ(table->data(table->index(5, 4)).toString(), "10");
  // What the load spoke: the window's HTTP/1.0.
  EXPECT_EQ(table->headerData(6, Qt::Horizontal).toString(), "Protocol");
  EXPECT_EQ(table->data(table->index(5, 6)).toString(), "http/1.0");
  // Where it connected, and the attempt that made the connection.
  EXPECT_EQ(table->headerData(7, Qt::Horizontal).toString(), "Address");
  EXPECT_EQ(table->headerData(8, Qt::Horizontal).toString(), "Family");
  EXPECT_EQ(table->data(table->index(5, 7)).toString(), "127.0.0.1");
  EXPECT_EQ(table->data(table->index(5, 8)).toString(), "IPv4");
  const QString tip = table->data(table->index(5, 7), Qt::ToolTipRole).toString();
  EXPECT_TRUE(tip.startsWith(QString::fromStdString("IPv4 " + peer.Address() + " won after ")))
      << tip.toStdString();
  EXPECT_TRUE(form->Details->StatsLabel->text().startsWith("Loads: 6   median"));
}

TEST_F(WindowTest, DetailsKeepTheLastRunAndLeaveFailedLoadsOutOfTheFigures) {
  ScriptedPeer peer;
  peer.SetDefaultScript(HttpScript({HttpResponse(200, "0123456789", {"Connection: close"})}).Close());
  // Runs made before Details was ever opened are shown when it opens.
  Test("http://" + peer.Address() + "/", "3");
  QTest::mouseClick(form->DetailsButton, Qt::LeftButton);
  EXPECT_EQ(form->Details->Rows().size(), 3u);
  EXPECT_EQ(form->Details->BarCount(), 3);
  // A number of loads that starts nothing leaves them.
  Test("http://" + peer.Address() + "/", "x");
  Test("http://" + peer.Address() + "/", "101");
  EXPECT_EQ(form->Details->Rows().size(), 3u);

  // Two loads, then a 404: the third is shown as failed, with its reason, and
  // counted apart from the figures of the two.
  ScriptedPeer failing;
  for (int i = 0; i < 2; ++i)
    failing.AddScript(HttpScript({HttpResponse(200, "0123456789", {"Connection: close"})}).Close());
  failing.SetDefaultScript(HttpScript({HttpResponse(404, "gone", {"Connection: close"})}).Close());
  Test("http://" + failing.Address() + "/", "5");
  const auto& rows = form->Details->Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_FALSE(rows[1].Failed());
  EXPECT_TRUE(rows[2].Failed());
  EXPECT_EQ(rows[2].Status(), 404);
  EXPECT_NE(rows[2].error.find("Not Found"), std::string::npos) << rows[2].error;
  const QAbstractItemModel* table = form->Details->Table->model();
  EXPECT_EQ(table->data(table->index(2, 1)).toString(), "404 failed");
  const app::TDetailStats stats = app::ComputeDetailStats(rows);
  EXPECT_EQ(stats.count, 2u);
  EXPECT_EQ(stats.failed, 1u);
  EXPECT_TRUE(form->Details->StatsLabel->text().startsWith("Loads: 2 (1 failed, left out)"))
      << form->Details->StatsLabel->text().toStdString();

  winapi::SetResolverHookForTesting(&NotFoundResolver);
  Test("http://tachyload-no-such-host.invalid/", "2");
  ASSERT_EQ(form->Details->Rows().size(), 1u);
  EXPECT_TRUE(form->Details->Rows()[0].Failed());
  EXPECT_EQ(form->Details->Rows()[0].Status(), 0);  // no server answered
  EXPECT_EQ(form->Details->BarCount(), 1);
}

TEST_F(WindowTest, DetailsCsvIsTheCommandLinesCsv) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  const std::string url = "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/index.html";
  Test(url, "2");
  QTest::mouseClick(form->DetailsButton, Qt::LeftButton);
  QTest::mouseClick(form->Details->CopyButton, Qt::LeftButton);
  const std::string copied = QGuiApplication::clipboard()->text().toStdString();

  TempDir dir("tlcsv");
  const auto cli = clitest::RunCli({"-q", "-n", "2", "--export-csv", dir.File("cli.csv"), url});
  ASSERT_EQ(cli.exitCode, 0) << cli.err;
  const std::string exported = dir.Read("cli.csv");
  // The same header, line ends and number of fields on every line.
  auto lines = [](const std::string& csv) {
    std::vector<std::string> out;
    for (size_t start = 0, end; start < csv.size(); start = end + 1) {
      end = csv.find('\n', start);
      if (end == std::string::npos) end = csv.size();
      out.push_back(csv.substr(start, end - start));
    }
    return out;
  };
  const auto window = lines(copied), command = lines(exported);
  ASSERT_EQ(window.size(), 3u) << copied;
  ASSERT_EQ(command.size(), 3u) << exported;
  EXPECT_EQ(window[0], command[0]);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(std::count(window[i].begin(), window[i].end(), ','),
              std::count(window[0].begin(), window[0].end(), ','));
    EXPECT_EQ(window[i].substr(0, url.size() + 3), command[i].substr(0, url.size() + 3));  // url, load number
  }
}

TEST_F(WindowTest, SavesAndCopiesPanes) {
  TempDir dir("tlsave");
  auto saveWith = [&](app::TSaveDialog& save, QPushButton* button, const std::string& file, bool accept) {
    QTest::mouseClick(button, Qt::LeftButton);  // makes and opens the dialog, and returns
    QFileDialog* dialog = save.Dialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->nameFilters(), (QStringList{"Text file (*.txt)", "All Files (*)"}));
    EXPECT_EQ(dialog->defaultSuffix(), "txt");
    dialog->selectFile(QString::fromStdString(file));
    // QDialog's slots: accept() is protected in QFileDialog.
    if (accept)
      static_cast<QDialog*>(dialog)->accept();
    else
      dialog->reject();
    // Closed, the dialog goes, and its file-system model with it.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(save.Dialog(), nullptr);
  };
  saveWith(form->SaveDialog1, form->Button5, dir.File("empty.txt"), true);
  EXPECT_TRUE(QFile::exists(QString::fromStdString(dir.File("empty.txt"))));
  EXPECT_EQ(testsupport::ReadFile(dir.File("empty.txt")), "");

  Test("http://127.0.0.1:1/", "0");
  saveWith(form->SaveDialog2, form->Button6, dir.File("history.txt"), true);
  const std::string saved = dir.Read("history.txt");
  EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 7);
  EXPECT_EQ(saved.substr(saved.size() - 12), "----------\r\n");

  saveWith(form->SaveDialog2, form->Button6, dir.File("cancelled.txt"), false);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(dir.File("cancelled.txt"))));
  // The next dialog opens where the last file was saved.
  form->Button6->click();
  ASSERT_NE(form->SaveDialog2.Dialog(), nullptr);
  EXPECT_EQ(form->SaveDialog2.Dialog()->directory().absolutePath().toStdString(), dir.Path());
  form->SaveDialog2.Dialog()->reject();

  QGuiApplication::clipboard()->setText("something");
  QTest::mouseClick(form->Button3, Qt::LeftButton);  // the page pane is empty
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "");
  QTest::mouseClick(form->Button4, Qt::LeftButton);
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), form->Memo2->Lines().CrLfText());
}

TEST_F(WindowTest, StaysResponsiveDuringASlowLoad) {
  ScriptedPeer peer;
  peer.SetDefaultScript(Script().ExpectRequest().Wait(Millis(400)).Send(HttpResponse(200, "late\n")).Close());
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(50);
  Test("http://" + peer.Address() + "/", "1");
  EXPECT_GE(ticks, 3);
  EXPECT_EQ(PageLines(), (std::vector<std::string>{"late"}));
}

TEST_F(WindowTest, ExitDuringASlowLoadEndsTheProgram) {
  ScriptedPeer peer;
  peer.SetDefaultScript(
      Script().ExpectRequest().Wait(Millis(5000)).Send(HttpResponse(200, "late\n")).Close());
  form->URLEdit->setText(QString::fromStdString("http://" + peer.Address() + "/"));
  form->Edit4->setText("3");
  QTimer::singleShot(0, form->GoButton, [this] { form->GoButton->click(); });
  QTimer::singleShot(300, form->Button1, [this] { form->Button1->click(); });
  QTimer watchdog;
  watchdog.setSingleShot(true);
  bool fired = false;
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    fired = true;
    QApplication::exit(1);
  });
  watchdog.start(4000);
  const int rc = QApplication::exec();
  EXPECT_FALSE(fired);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(messages->Terminated());
  EXPECT_TRUE(errors.empty());  // no error box while the program ends
  EXPECT_TRUE(HistoryLines().empty());
  EXPECT_EQ(form->HttpCli1->State(), http::httpReady);
}

// The boxes the window opens itself (no test hook in between).
class WindowBoxTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    form->ShowError = [this](const QString& t, const QString& x) {
      form->OpenMessageBox(QMessageBox::Critical, t, x);
    };
    form->ShowMessage = [this](const QString& t, const QString& x) {
      form->OpenMessageBox(QMessageBox::Information, t, x);
    };
  }
  // The text of the open box as its label shows it, and whether the label takes
  // it as plain text.
  static std::pair<std::string, bool> OpenBoxText(QWidget* parent) {
    auto* box = parent->findChild<QMessageBox*>();
    if (box == nullptr || !box->isVisible()) return {"", false};
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    if (label == nullptr) return {box->text().toStdString(), false};
    return {label->text().toStdString(), label->textFormat() == Qt::PlainText};
  }
  static void CloseBoxes(QWidget* parent) {
    for (auto* box : parent->findChildren<QMessageBox*>()) box->done(QMessageBox::Ok);
  }
};

TEST_F(WindowBoxTest, MessagesAreShownAsPlainText) {
  Test("http://127.0.0.1:1/", "101");
  const auto [text, plain] = OpenBoxText(form.get());
  EXPECT_NE(text.find("please check the <I confirm this number> checkbox"), std::string::npos) << text;
  EXPECT_TRUE(plain);
  CloseBoxes(form.get());

  winapi::SetResolverHookForTesting(&NotFoundResolver);
  Test("http://<b>bold</b>.invalid/", "1");
  const auto [error, errorPlain] = OpenBoxText(form.get());
  EXPECT_EQ(error, "can't resolve hostname to IP address\n\nHost: <b>bold<");  // the host ends at the slash
  EXPECT_TRUE(errorPlain);
  CloseBoxes(form.get());
}

TEST_F(WindowBoxTest, BoxesAndDialogsOpenedDuringALoadDoNotHoldIt) {
  // The load's answer waits until About (then Save) is open. A box that held
  // the load until it closed would keep TEST from returning: the watchdog then
  // closes it, and the box is no longer open when the load has ended.
  for (QPushButton* opener : {form->Button7, form->Button6}) {
    ScriptedPeer peer;
    peer.SetDefaultScript(Script().ExpectRequest().Pause("answer").Send(HttpResponse(200, "late\n")).Close());
    QTimer::singleShot(0, form.get(), [&, opener] {
      opener->click();
      peer.Resume("answer");
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [this] {
      CloseBoxes(form.get());
      if (form->SaveDialog2.Dialog()) form->SaveDialog2.Dialog()->reject();
    });
    watchdog.start(5000);
    Test("http://" + peer.Address() + "/", "1");
    EXPECT_EQ(HistoryLines().size() % 7, 0u);
    EXPECT_FALSE(HistoryLines().empty());
    if (opener == form->Button7)
      EXPECT_NE(OpenBoxText(form.get()).first.find("Tachyload 1.0"), std::string::npos);
    else
      EXPECT_TRUE(form->SaveDialog2.Dialog() && form->SaveDialog2.Dialog()->isVisible());
    CloseBoxes(form.get());
    if (form->SaveDialog2.Dialog()) form->SaveDialog2.Dialog()->reject();
  }
  EXPECT_EQ(HistoryLines().size(), 14u);
}

}  // namespace

namespace {

TEST(WindowOptionsTest, EachBadValueIsNamedByItsField) {
  const struct {
    void (*edit)(app::TWindowOptions&);
    const char* field;  // nullptr: no problem
  } cases[] = {
      {[](app::TWindowOptions&) {}, nullptr},
      {[](app::TWindowOptions& o) { o.httpVersion = "3"; }, "httpVersion"},
      {[](app::TWindowOptions& o) { o.httpVersion = "2"; }, nullptr},
      {[](app::TWindowOptions& o) { o.timeoutSeconds = "abc"; }, "timeoutSeconds"},
      {[](app::TWindowOptions& o) { o.timeoutSeconds = "-1"; }, "timeoutSeconds"},
      {[](app::TWindowOptions& o) { o.timeoutSeconds = "2.5"; }, nullptr},
      {[](app::TWindowOptions& o) { o.maxRedirects = "1.5"; }, "maxRedirects"},
      {[](app::TWindowOptions& o) { o.proxy = "proxy:99999"; }, "proxy"},
      {[](app::TWindowOptions& o) { o.proxy = "http://proxy:3128/"; }, nullptr},
      {[](app::TWindowOptions& o) { o.socks = ":1080"; }, "socks"},
      {[](app::TWindowOptions& o) { o.socksLevel = "6"; }, "socksLevel"},
      {[](app::TWindowOptions& o) { o.caFile = "/nonexistent/ca.pem"; }, "caFile"},
      {[](app::TWindowOptions& o) { o.bandwidthLimit = "fast"; }, "bandwidthLimit"},
      {[](app::TWindowOptions& o) { o.bandwidthLimit = "10k"; }, nullptr},
  };
  for (const auto& c : cases) {
    app::TWindowOptions o;
    c.edit(o);
    const auto problems = app::CheckOptions(o);
    if (c.field == nullptr) {
      EXPECT_TRUE(problems.empty()) << problems.front().field << ": " << problems.front().message;
    } else {
      ASSERT_EQ(problems.size(), 1u) << c.field;
      EXPECT_EQ(problems[0].field, c.field);
      EXPECT_FALSE(problems[0].message.empty());
    }
  }
  EXPECT_EQ(app::TimeoutMs(app::TWindowOptions{}), 0u);
}

TEST_F(WindowTest, UntouchedOptionsAreTheWindowsOwnConfiguration) {
  auto reference = core::MakeComponent<http::THttpCli>(nullptr);
  app::ConfigureClient(*reference);
  EXPECT_EQ(form->Options(), app::TWindowOptions{});
  for (http::THttpCli* c : {form->HttpCli1.get(), reference.get()}) {
    EXPECT_EQ(c->RequestVer(), "1.0");
    EXPECT_EQ(c->LocationChangeMaxCount(), 5);
    EXPECT_TRUE(c->FollowRelocation());
    EXPECT_EQ(c->Options(), 0);
    EXPECT_EQ(c->Proxy(), "");
    EXPECT_EQ(c->SocksServer(), "");
    EXPECT_EQ(c->Username(), "");
  }
}

TEST_F(WindowTest, OptionsDialogRefusesBadValuesBesideTheFieldAndAppliesGoodOnes) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  QTest::mouseClick(form->OptionsButton, Qt::LeftButton);
  auto* dialog = form->findChild<app::TOptionsDialog*>();
  ASSERT_NE(dialog, nullptr);
  dialog->Edit("timeoutSeconds")->setText("soon");
  dialog->Edit("proxy")->setText("proxy:0");
  dialog->accept();
  EXPECT_TRUE(dialog->isVisible());  // kept open, nothing taken
  EXPECT_FALSE(dialog->Problem("timeoutSeconds").isEmpty());
  EXPECT_FALSE(dialog->Problem("proxy").isEmpty());
  EXPECT_TRUE(dialog->Problem("maxRedirects").isEmpty());
  EXPECT_EQ(form->Options(), app::TWindowOptions{});

  dialog->Edit("timeoutSeconds")->setText("30");
  dialog->Edit("proxy")->clear();
  dialog->Edit("password")->setText("kept-in-memory-only");
  dialog->HttpVersion->setCurrentText("1.1");
  dialog->accept();
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(form->Options().httpVersion, "1.1");
  EXPECT_EQ(app::LoadWindowOptions().httpVersion, "1.1");  // remembered for the next session...
  EXPECT_EQ(app::LoadWindowOptions().password, "");        // ...but never a password

  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  Test(nginx.Url("/index.html"), "2");
  EXPECT_EQ(form->Edit2->text(), "26");
  ASSERT_TRUE(nginx.WaitForAccessLines(2));
  for (const auto& entry : nginx.AccessLog()) EXPECT_EQ(entry.request, "GET /index.html HTTP/1.1");
  app::SaveWindowOptions(app::TWindowOptions{});
}

TEST_F(WindowTest, TheOptionsTimeLimitEndsASlowLoad) {
  ScriptedPeer peer;
  peer.SetDefaultScript(Script().ExpectRequest().Hold());
  app::TWindowOptions o;
  o.timeoutSeconds = "0.2";
  form->SetOptions(o);
  Test("http://" + peer.Address() + "/", "1");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("time limit of 0.2 s"), std::string::npos) << errors[0];
  EXPECT_TRUE(HistoryLines().empty());
  ASSERT_EQ(form->Run().rows.size(), 1u);
  EXPECT_EQ(form->Run().rows[0].error, "Load timed out");
}

}  // namespace
