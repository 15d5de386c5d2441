#include "app/qt/QtApplication.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <exception>

#include "core/SysUtils.h"
#include "platform/WinMsg.h"

namespace app {

TQtApplication::TQtApplication() {
  FNotifier = std::make_unique<QSocketNotifier>(winapi::GetThreadWaitFd(), QSocketNotifier::Read);
  connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] { PumpOurMessages(); });
  // Messages this thread posted to itself are announced on the descriptor only
  // when asked, just before the dispatcher sleeps.
  if (auto* d = QAbstractEventDispatcher::instance())
    connect(d, &QAbstractEventDispatcher::aboutToBlock, this, [] { winapi::PrepareThreadWait(); });
  QCoreApplication::instance()->installEventFilter(this);
}

TQtApplication::~TQtApplication() {
  if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
}

void TQtApplication::PumpOurMessages(const std::function<bool()>& stop) {
  winapi::MSG msg;
  while (!stop() && winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE)) {
    if (msg.message == winapi::WM_QUIT) {
      Terminate();
      continue;
    }
    try {
      winapi::TranslateMessage(&msg);
      winapi::DispatchMessage(&msg);
    } catch (const std::exception& e) {
      // Nothing may unwind through Qt's dispatcher; the handlers report their own
      // failures, so what arrives here is only noted.
      winapi::OutputDebugString(
          ("Unhandled exception in a message handler: " + core::ExceptionMessage(e)).c_str());
    }
  }
}

namespace {

// How long a wait may keep Qt's events waiting: far below what a person notices
// (a key, a click, a repaint), far above a loopback load's round trips.
constexpr qint64 kQtTurnMs = 10;

}  // namespace

qint64 TQtApplication::UntilQtTurnMs() const {
  return FLastQtTurn.isValid() ? std::max<qint64>(0, kQtTurnMs - FLastQtTurn.elapsed()) : 0;
}

void TQtApplication::QtTurn(QEventLoop::ProcessEventsFlags flags, bool force) {
  if (!force && UntilQtTurnMs() > 0) return;
  QCoreApplication::processEvents(flags);
  FLastQtTurn.start();
}

void TQtApplication::ProcessMessages() {
  QtTurn(QEventLoop::AllEvents, false);
  PumpOurMessages();
}

void TQtApplication::ProcessMessagesUntil(const std::function<bool()>& stop) {
  if (stop()) return;
  QtTurn(QEventLoop::AllEvents, false);
  PumpOurMessages(stop);
}

bool TQtApplication::WaitMessage(uint32_t timeoutMs) {
  if (winapi::ThreadHasPendingWork() || FTerminated) return true;
  // Before Qt's turn: our own queue alone, as the command line waits.
  const auto ours = static_cast<uint32_t>(std::min<qint64>(UntilQtTurnMs(), timeoutMs));
  if (ours > 0) {
    if (FOwnQueue.WaitMessage(ours)) return true;
    timeoutMs -= ours;
  }
  // Wakes on window-system events, Qt timers, our descriptor or this guard.
  QTimer guard;
  guard.setSingleShot(true);
  guard.start(static_cast<int>(std::min<uint32_t>(timeoutMs, INT32_MAX)));
  QtTurn(QEventLoop::WaitForMoreEvents, true);
  return winapi::ThreadHasPendingWork();
}

void TQtApplication::Terminate() {
  if (FTerminated) return;
  FTerminated = true;
  // A wait that is blocked in the dispatcher must see the change now.
  if (auto* d = QAbstractEventDispatcher::instance()) d->wakeUp();
}

bool TQtApplication::eventFilter(QObject* watched, QEvent* event) {
  if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) Terminate();
  return QObject::eventFilter(watched, event);
}

}  // namespace app
