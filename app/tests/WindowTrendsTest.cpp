// The window and the history database: each run recorded unless the options
// say no, a damaged file said once, and Trends filled from a prepared file
// (TL_SCREENSHOTS=DIR writes its picture, as for the README's others).
#include <gtest/gtest.h>

#include <QApplication>
#include <QStandardPaths>
#include <QTest>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/DemoServer.h"
#include "app/HistoryTrend.h"
#include "app/qt/DetailsWindow.h"
#include "app/qt/QtApplication.h"
#include "app/qt/Unit1.h"
#include "core/Application.h"
#include "testsupport/Process.h"

namespace {

using testsupport::TempDir;

class WindowTrendsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!QApplication::instance()) {
      static int argc = 1;
      static char name[] = "tl_app_tests";
      static char* argv[] = {name, nullptr};
      QStandardPaths::setTestModeEnabled(true);
      new QApplication(argc, argv);
    }
    messages = std::make_unique<app::TQtApplication>();
    core::SetApplication(messages.get());
    form = std::make_unique<app::TForm1>();
    form->ShowError = [this](const QString&, const QString& text) { shown.push_back(text.toStdString()); };
    form->ShowMessage = form->ShowError;
    form->HistoryPath = db;
    form->show();
  }
  void TearDown() override {
    form.reset();
    core::SetApplication(nullptr);
    messages.reset();
  }
  void Test(const std::string& loads) {
    form->URLEdit->setText(QString::fromStdString(server.Url()));
    form->Edit4->setText(QString::fromStdString(loads));
    QTest::mouseClick(form->GoButton, Qt::LeftButton);
  }
  std::vector<store::TRunRow> Stored() { return store::THistoryStore(db).Runs({}); }

  TempDir dir{"tltrend"};
  std::string db = dir.File("h.sqlite3");
  app::TDemoServer server;
  std::unique_ptr<app::TQtApplication> messages;
  std::unique_ptr<app::TForm1> form;
  std::vector<std::string> shown;
};

TEST_F(WindowTrendsTest, RecordsEachRunUnlessTheOptionsSayNo) {
  Test("2");
  ASSERT_TRUE(shown.empty()) << shown[0];
  EXPECT_EQ(form->Memo2->Lines().ToVector().size(), 7u);
  auto runs = Stored();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].url, server.Url());
  EXPECT_EQ(runs[0].loads, 2);
  EXPECT_EQ(runs[0].outcome, "ok");
  EXPECT_EQ(runs[0].protocol, "http/1.0");
  EXPECT_EQ(std::to_string(runs[0].bytes), form->Edit2->text().toStdString());
  ASSERT_EQ(runs[0].loadRows.size(), 2u);
  EXPECT_EQ(runs[0].loadRows[1].totalUs, form->Run().rows[1].totalUs);

  app::TWindowOptions off = form->Options();
  off.recordHistory = false;
  form->SetOptions(off);
  Test("1");
  EXPECT_EQ(Stored().size(), 1u);
}

TEST_F(WindowTrendsTest, DamagedDatabaseIsSaidOnceAndTheRunStillShown) {
  dir.Write("h.sqlite3", std::string(4096, 'x'));
  Test("1");
  EXPECT_EQ(form->Memo2->Lines().ToVector().size(), 7u);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_NE(shown[0].find("was damaged: kept it as"), std::string::npos) << shown[0];
  Test("1");
  EXPECT_EQ(shown.size(), 1u);
  EXPECT_EQ(Stored().size(), 2u);
}

// Five runs of the page over a week, one of another page and one that failed:
// Trends plots the five, and a point opens its run's Details.
TEST_F(WindowTrendsTest, TrendsOfTheCurrentUrlFromAPreparedDatabase) {
  const std::string url = server.Url();
  const double medians[] = {41.2, 43.9, 40.7, 52.3, 47.5};
  {
    store::THistoryStore prepared(db);
    for (int day = 0; day < 7; ++day) {
      store::TRunRow r;
      r.startedAt = store::IsoUtc(1796000000000 + int64_t{day} * 86400000 + day * 3600000);
      r.url = day == 5 ? "http://127.0.0.1:1/other" : url;
      r.outcome = day == 6 ? "failed" : "ok";
      r.loads = 20;
      const double median = medians[day < 5 ? day : 0];
      for (int i = 0; i < 20; ++i) {
        store::TLoadRow l;
        l.index = i + 1;
        l.status = 200;
        l.totalUs = static_cast<int64_t>(median * 1000) + (i - 10) * 300 + (i == 19 ? 6000 : 0);
        l.phaseUs[7] = l.totalUs / 2;
        l.phaseUs[8] = l.totalUs - l.phaseUs[7];
        r.loadRows.push_back(l);
      }
      prepared.Record(r);
    }
  }
  form->URLEdit->setText(QString::fromStdString(url));
  QTest::mouseClick(form->TrendsButton, Qt::LeftButton);
  ASSERT_NE(form->Trends, nullptr);
  ASSERT_TRUE(shown.empty()) << shown[0];
  ASSERT_EQ(form->Trends->Median->count(), 5);
  ASSERT_EQ(form->Trends->P95->count(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_NEAR(form->Trends->Median->at(i).y(), medians[i] - 0.15, 1e-9) << i;
    EXPECT_GT(form->Trends->P95->at(i).y(), form->Trends->Median->at(i).y());
    EXPECT_EQ(form->Trends->Median->at(i).x(), 1796000000000.0 + i * 86400000.0 + i * 3600000.0);
  }

  const char* dirVar = std::getenv("TL_SCREENSHOTS");
  if (dirVar) {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    EXPECT_TRUE(
        form->Trends->grab().save(QString::fromStdString(std::string(dirVar) + "/trends.png"), "PNG"));
  }

  emit form->Trends->Median->clicked(form->Trends->Median->at(3));
  ASSERT_NE(form->Trends->RunDetails, nullptr);
  ASSERT_EQ(form->Trends->RunDetails->Rows().size(), 20u);
  EXPECT_EQ(form->Trends->RunDetails->Rows()[0].totalUs, 52300 - 3000);
  EXPECT_EQ(form->Trends->RunDetails->Rows()[0].PhaseUs(7), (52300 - 3000) / 2);
}

}  // namespace
