// The window's Help without a browser, and the pictures the README shows
// (TL_SCREENSHOTS=DIR writes them; scripts/screenshots.sh sets it).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFileInfo>
#include <QPixmap>
#include <QTest>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/DemoServer.h"
#include "app/qt/DetailsWindow.h"
#include "app/qt/OptionsDialog.h"
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

// Runs against the demo page, grabbed as the person would see them: the window
// after three loads, Details after 3 and after 150 loads at its default size,
// and the Options dialog. TL_SCREENSHOTS=DIR writes them there as PNG files
// (scripts/screenshots.sh sets it to docs/).
TEST_F(WindowHelpTest, GrabsTheWindowDetailsAndOptions) {
  const char* dirVar = std::getenv("TL_SCREENSHOTS");
  testsupport::TempDir temp("tlshot");
  const std::string dir = dirVar ? dirVar : temp.Path();
  auto save = [&](QWidget* w, const char* name) {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    const QPixmap picture = w->grab();
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), w->size());
    const QString target = QString::fromStdString(dir + "/" + name);
    EXPECT_TRUE(picture.save(target, "PNG")) << target.toStdString();
  };
  app::TDemoServer server;
  form->URLEdit->setText(QString::fromStdString(server.Url()));
  form->Edit4->setText(QStringLiteral("3"));
  QTest::mouseClick(form->GoButton, Qt::LeftButton);
  EXPECT_EQ(server.Answered(), 3);
  EXPECT_EQ(form->Edit2->text(), "30720");
  EXPECT_TRUE(shown.empty());
  save(form.get(), "window.png");

  QTest::mouseClick(form->DetailsButton, Qt::LeftButton);
  ASSERT_NE(form->Details, nullptr);
  save(form->Details, "details-3.png");
  form->Edit4->setText(QStringLiteral("150"));
  form->CheckBox1->setChecked(true);
  QTest::mouseClick(form->GoButton, Qt::LeftButton);
  EXPECT_EQ(form->Details->BarCount(), 150);
  save(form->Details, "details-150.png");
  form->Details->close();

  QTest::mouseClick(form->OptionsButton, Qt::LeftButton);
  auto* options = form->findChild<app::TOptionsDialog*>();
  ASSERT_NE(options, nullptr);
  save(options, "options.png");
  options->reject();
}

}  // namespace
