// The application object under Qt: our thread's message queue runs inside Qt's
// event loop. A socket notifier watches the queue's wait descriptor and pumps our
// messages; waiting code (the synchronous request) processes Qt's events and ours
// together, and learns here when the application is terminating (the main window
// closed, or Exit pressed, during a load).
//
// While a wait runs (a load), Qt gets a turn at most every few milliseconds:
// enough for Stop, Esc, Exit and the pane's throttled repaint, and nothing of the
// window's own work in between lands in the load's time. Between turns the wait
// blocks on our own queue, as the command line does.
//
// Lives on the GUI thread, installed with core::SetApplication for the life of
// the program. No exception escapes into Qt: message handlers' exceptions are
// caught by the pump.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "core/Application.h"

namespace app {

class TQtApplication : public QObject, public core::IApplication {
  Q_OBJECT

 public:
  TQtApplication();
  ~TQtApplication() override;
  void ProcessMessages() override;
  void ProcessMessagesUntil(const std::function<bool()>& stop) override;
  bool WaitMessage(uint32_t timeoutMs) override;
  bool Terminated() const override { return FTerminated; }
  void Terminate() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void PumpOurMessages(const std::function<bool()>& stop = [] { return false; });
  // Qt's events, when its turn has come (or always, with force).
  void QtTurn(QEventLoop::ProcessEventsFlags flags, bool force);
  qint64 UntilQtTurnMs() const;

  QElapsedTimer FLastQtTurn;
  core::TConsoleApplication FOwnQueue;  // waits on our queue alone
  std::unique_ptr<QSocketNotifier> FNotifier;
  bool FTerminated = false;
};

}  // namespace app
