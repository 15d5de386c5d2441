// The main window: URL and number of loads, TEST, the page and history panes,
// the totals, and the Save, Copy, Exit, Help and About commands.
//
// The window owns its HTTP client (HttpCli1) for its whole life and runs the
// speed test through app::RunSpeedTest, acting as its view. The synchronous Get
// keeps processing events, so the window repaints and its other buttons work
// during a load. No exception leaves a slot: each handler shows the error instead.
#pragma once

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <chrono>
#include <functional>
#include <optional>

#include "app/SpeedRun.h"
#include "app/WindowOptions.h"
#include "app/qt/DetailsWindow.h"
#include "app/qt/LinePane.h"
#include "app/qt/SaveDialog.h"
#include "app/qt/TrendsWindow.h"
#include "app/store/HistoryStore.h"
#include "core/Classes.h"
#include "http/HttpProt.h"

namespace app {

class TForm1 : public QWidget, public ISpeedTestView {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Controls, with the names the layout gives them (see CreateControls).
  QLineEdit* URLEdit;
  QPushButton* GoButton;
  QLabel *Label4, *Label6, *Label5, *Label1, *Label2, *Label3;
  QLineEdit* Edit4;
  QCheckBox* CheckBox1;
  QPushButton* Button7;
  TLinePane *DisplayMemo, *Memo2;
  QPushButton *Button5, *Button3, *Button6, *Button4, *Button2, *Button1;
  QLineEdit *Edit1, *Edit2, *Edit3;
  // Made when Save is pressed, gone when closed (see TSaveDialog).
  TSaveDialog SaveDialog1, SaveDialog2;
  core::ComponentPtr<http::THttpCli> HttpCli1;
  // In the free band under the totals, Help and Exit:
  // stopping a run (also Esc) and the details of its loads.
  QPushButton *StopButton, *OptionsButton, *DetailsButton, *TrendsButton;
  // Made when Details is first pressed; nullptr until then.
  TDetailsWindow* Details = nullptr;
  // Made when Trends is first pressed; nullptr until then.
  TTrendsWindow* Trends = nullptr;
  // The history database runs are recorded in (when the options say so) and
  // Trends reads; DefaultHistoryPath() unless a test points elsewhere.
  std::string HistoryPath = store::DefaultHistoryPath();
  // The options the next TEST runs with (the Options dialog's).
  const TWindowOptions& Options() const { return FOptions; }
  void SetOptions(const TWindowOptions& options);
  // The loads of the last run, kept whether or not Details is open.
  const TRunDetails& Run() const { return FRun; }
  // True from a load's start to its end: the window does no work of its own then.
  bool LoadInProgress() const { return FLoadInProgress; }

  // Where Help points: the help page installed with the program.
  static QString HelpFile();
  // Opens Help's page in the desktop's browser and tells done whether it did
  // (xdg-open by default: it fails when no browser is set up, and says so only
  // by its exit code, after Help has returned).
  std::function<void(const QUrl& page, std::function<void(bool opened)> done)> OpenUrl;
  // Tests replace the boxes so they can read what would be shown.
  std::function<void(const QString& title, const QString& text)> ShowError;
  std::function<void(const QString& title, const QString& text)> ShowMessage;
  // The box ShowError and ShowMessage open: plain text (a message may hold
  // "<...>"), and opened without waiting for it to close, so a box opened during
  // a load does not hold the load's return, nor add its open time to the load.
  QMessageBox* OpenMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text);

 public slots:
  void GoButtonClick();
  void Button5Click();  // save the page pane
  void Button6Click();  // save the history pane
  void Button3Click();  // copy the page pane
  void Button4Click();  // copy the history pane
  void Button1Click();  // Exit
  void Button2Click();  // Help
  void Button7Click();  // About
  void StopButtonClick();
  void DetailsButtonClick();
  void TrendsButtonClick();
  void OptionsButtonClick();

  // ISpeedTestView
 public:
  std::string UrlText() override;
  std::string LoadsText() override;
  void ClearResults() override;
  bool LoadsConfirmed() override;
  void AskForConfirmation(const std::string& message) override;
  void SetCaption(const std::string& caption) override;
  void SetTestEnabled(bool enabled) override;
  void AppendPage(const char* page, int64_t size) override;
  void AppendReceived(core::TMemoryStream& page) override;
  int64_t PageCharCount() override;
  void ShowTotals(const std::string& timeMs, const std::string& bytes, const std::string& speed) override;
  void AppendHistory(const std::vector<std::string>& lines) override;
  std::string ShortDateToday() override;
  char DecimalSeparator() override;
  void PrepareLoad(http::THttpCli& client) override;
  void CheckLoad(http::THttpCli& client) override;
  void LoadTimed(int loadIndex, uint32_t elapsedMs) override;
  void LoadMeasured(const http::TLoadTimes& times) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Unit1Layout.cpp
  void CreateControls();
  void CreateRunControls();
  void CreatePaneControls();
  void CreateTotalControls();
  void AnchorControls();
  void ConnectControls();
  void SetTabOrder();
  void WritePane(const QString& file, const TLinePane* pane);
  void CopyPane(TLinePane* pane);
  QRect Scaled(int left, int top, int width, int height) const;
  void ShowHelpLocation(const QString& page);
  // The text of a failed run's box: the reason and what failed.
  QString FailureText(const std::exception& e) const;

  // How a control follows a resize: the shares of the extra width that move it
  // and widen it, and of the extra height that move it and heighten it.
  struct TAnchor {
    QWidget* control;
    QRect design;
    double moveX, growX, moveY, growY;
  };
  void Anchor(QWidget* control, double moveX, double growX, double moveY, double growY);
  std::vector<TAnchor> FAnchors;
  QSize FDesignSize;

  bool FRunning = false;
  bool FStopRequested = false;
  TWindowOptions FOptions;
  std::string FProxyPort;     // the proxy's port, set again for every load
  std::string FSocksFailure;  // the SOCKS server's refusal of the last load
  QTimer FLoadTimer;          // the options' time limit of a load
  bool FTimedOut = false;
  void LoadTimedOut();
  // The load being timed for the details: its start and whether it found its
  // connection open.
  std::chrono::steady_clock::time_point FLoadStart;
  bool FLoadReused = false;
  std::optional<http::TLoadTimes> FLoadTimes;  // the client's timeline of a load that got its page
  bool FLoadInProgress = false;
  bool FDetailsBegun = false;
  void BeginDetails();
  // Between loads: shows the details (at most every 250 ms unless final) and
  // lets Qt do the layout and painting that asks for, so none of it is left to
  // run inside the next load's waits.
  void ShowDetailsBetweenLoads(bool final);
  void EndRunDetails(const std::exception* failure);
  TRunDetails FRun;
  // Unit1History.cpp: the run into the history database after its report, and
  // the Trends shown anew.
  void RecordRun(const TSpeedResult* result, const std::exception* failure);
  void ShowTrends();
  store::THistoryStore& History();
  void TellHistoryNotices();
  std::unique_ptr<store::THistoryStore> FHistory;
  std::string FRunStartedAt;
  QElapsedTimer FDetailsShown;
  std::string FLastServer;  // protocol, host and port of the last load
};

}  // namespace app
