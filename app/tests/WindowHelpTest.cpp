// The window's Help without a browser, and the picture of the window the README
// shows (TL_SCREENSHOT=FILE.png writes it; scripts/screenshot.sh sets it).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QApplication>
#include <QFileInfo>
#include <QPixmap>
#include <QTest>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/DemoServer.h"
#include "app/qt/QtApplication.h"
#include "app/qt/Unit1.h"
#include "core/Application.h"
#include "testsupport/Process.h"

namespace {

class WindowHelpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!QApplication::instance()) {
      static int argc = 1;
      static char name[] = "tl_app_tests";
      static char* argv[] = {name, nullptr};
      new QApplication(argc, argv);
    }
    messages = std::make_unique<app::TQtApplication>();
    core::SetApplication(messages.get());
    form = std::make_unique<app::TForm1>();
    form->ShowError = [this](const QString&, const QString& text) { shown.push_back(text.toStdString()); };
    form->ShowMessage = [this](const QString&, const QString& text) { shown.push_back(text.toStdString()); };
    form->show();
  }
  void TearDown() override {
    form.reset();
    core::SetApplication(nullptr);
    messages.reset();
  }

  std::unique_ptr<app::TQtApplication> messages;
  std::unique_ptr<app::TForm1> form;
  std::vector<std::string> shown;
};

TEST_F(WindowHelpTest, HelpOpensThePageOrSaysWhereItIs) {
  QUrl opened;
  bool browser = true;
  form->OpenUrl = [&](const QUrl& page, std::function<void(bool)> done) {
    opened = page;
    done(browser);
  };
  QTest::mouseClick(form->Button2, Qt::LeftButton);
  ASSERT_TRUE(opened.isLocalFile()) << opened.toString().toStdString();
  EXPECT_TRUE(QFileInfo::exists(opened.toLocalFile())) << opened.toLocalFile().toStdString();
  EXPECT_TRUE(shown.empty());

  browser = false;
  QTest::mouseClick(form->Button2, Qt::LeftButton);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_NE(shown[0].find("No web browser could be started"), std::string::npos) << shown[0];
  EXPECT_NE(shown[0].find(opened.toLocalFile().toStdString()), std::string::npos) << shown[0];
}

// The desktop's opener starts, finds no browser and fails after Help returned:
// the page's place is still said.
TEST_F(WindowHelpTest, HelpSaysWhereThePageIsWhenTheOpenerFindsNoBrowser) {
  testsupport::TempDir bin("tlbin");
  testsupport::WriteFile(bin.File("xdg-open"), "#!/bin/sh\necho 'no method available' >&2\nexit 3\n");
  ASSERT_EQ(chmod(bin.File("xdg-open").c_str(), 0755), 0);
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", QByteArray::fromStdString(bin.Path()) + ":" + path);
  QTest::mouseClick(form->Button2, Qt::LeftButton);
  qputenv("PATH", path);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !shown.empty(); }, 10000));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_NE(shown[0].find("No web browser could be started"), std::string::npos) << shown[0];
}

// A run of three loads against the demo page, grabbed as the person would see it.
TEST_F(WindowHelpTest, GrabsTheWindowAfterARun) {
  app::TDemoServer server;
  form->URLEdit->setText(QString::fromStdString(server.Url()));
  form->Edit4->setText(QStringLiteral("3"));
  QTest::mouseClick(form->GoButton, Qt::LeftButton);
  EXPECT_EQ(server.Answered(), 3);
  EXPECT_EQ(form->Edit2->text(), "30720");
  EXPECT_TRUE(shown.empty());

  const QPixmap picture = form->grab();
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(picture.size(), form->size());
  const char* file = std::getenv("TL_SCREENSHOT");
  testsupport::TempDir dir("tlshot");
  const QString target = QString::fromLocal8Bit(file ? file : dir.File("window.png").c_str());
  EXPECT_TRUE(picture.save(target, "PNG")) << target.toStdString();
}

}  // namespace
