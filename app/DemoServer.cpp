#include "app/DemoServer.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <ostream>

#include "app/CliOptions.h"
#include "core/SysUtils.h"
#include "net/WSocket.h"

namespace app {

namespace {

constexpr size_t kPageBytes = 10 * 1024;
constexpr size_t kMaxRequest = 16 * 1024;       // a request head larger than this is not a browser's
constexpr winapi::UINT kRequestWaitMs = 10000;  // a client that connects and says nothing is let go
constexpr size_t kPieceBytes = 1024;
constexpr std::chrono::milliseconds kPiecePause{2};
using Clock = std::chrono::steady_clock;

std::string MakePage() {
  std::string page =
      "<html>\r\n<head><title>Tachyload demo page</title></head>\r\n<body>\r\n"
      "<p>This page comes from the page server inside tachyload-cli --demo.</p>\r\n";
  const std::string tail = "</body>\r\n</html>\r\n";
  const auto lineText = [](int n) {
    return "<p>Line " + std::to_string(n) + ": the quick brown fox jumps over the lazy dog.</p>\r\n";
  };
  for (int n = 1; page.size() + lineText(n).size() + tail.size() <= kPageBytes; ++n) page += lineText(n);
  // Dots fill the rest, so the page is exactly 10 kB.
  const size_t rest = kPageBytes - page.size() - tail.size();
  if (rest >= 2)
    page += std::string(rest - 2, '.') + "\r\n";
  else
    page += std::string(rest, ' ');
  page += tail;
  return page;
}

}  // namespace

// What the constructor waits for: the port, or why there is none.
struct TStartup {
  std::promise<std::string> failure;  // empty once listening
};

// One client: one request, answered with HTTP/1.0 and closed, so every load costs
// a connection, as it does against most servers at HTTP 1.0. Its window timer
// bounds the wait for the request; the server's loop sends the page's pieces when
// they are due (window timers tick no faster than every 10 ms). Owned by the
// listening socket; frees itself once done.
class TDemoServer::TConnection : public net::TWSocket {
 public:
  TConnection(core::TComponent* owner, std::atomic<int>& answered)
      : net::TWSocket(owner), FAnswered(answered) {}

  void Adopt(net::SOCKET handle) {
    // A client that went away while we answered is not the server's failure.
    OnError = [](core::TComponent*) {};
    OnDataAvailable = [this](core::TComponent*, uint16_t) { Received(ReceiveStr()); };
    OnDataSent = [this](core::TComponent*, uint16_t) { Sent(); };
    OnSessionClosed = [this](core::TComponent*, uint16_t) { Finish(); };
    if (handle != net::INVALID_SOCKET) Dup(handle);
    if (State() != net::wsConnected) return Finish();  // accepting or adopting failed
    StartTimer(kRequestWaitMs);
  }

  // Freed with the listening socket when the server stops: the close that the
  // destruction makes must not ask for a second freeing.
  void BeforeDestruction() override {
    FStage = TStage::kDone;
    net::TWSocket::BeforeDestruction();
  }
  int MsgHandlersCount() override { return net::TWSocket::MsgHandlersCount() + 1; }
  void AllocateMsgHandlers() override {
    net::TWSocket::AllocateMsgHandlers();
    FMsgTimer = FWndHandler->RegisterMessage(this);
  }
  void FreeMsgHandlers() override {
    if (FWndHandler) {
      // The window is shared with the other sockets of the thread: the timer is ours.
      if (FHiddenWnd) winapi::KillTimer(FHiddenWnd, FMsgTimer);
      FWndHandler->UnregisterMessage(FMsgTimer);
    }
    net::TWSocket::FreeMsgHandlers();
  }
  // The next piece's time, when one waits for it.
  std::optional<Clock::time_point> PieceDue() const {
    if (FStage != TStage::kPause) return std::nullopt;
    return FPieceDue;
  }
  void SendPieceIfDue(Clock::time_point now) {
    if (FStage != TStage::kPause || now < FPieceDue) return;
    FStage = TStage::kPage;
    SendPiece();
  }

  void WndProc(core::TMessage& MsgRec) override {
    if (MsgRec.Msg == winapi::WM_TIMER && MsgRec.WParam == FMsgTimer) {
      winapi::KillTimer(Handle(), FMsgTimer);
      TimerFired();
    } else {
      net::TWSocket::WndProc(MsgRec);
    }
  }

 private:
  enum class TStage { kRequest, kPage, kPause, kLastBytes, kDone };

  void StartTimer(winapi::UINT ms) { winapi::SetTimer(Handle(), FMsgTimer, ms, nullptr); }

  void Received(const std::string& bytes) {
    if (FStage != TStage::kRequest) return;  // what comes after the request is not read
    FHead += bytes;
    if (FHead.find("\r\n\r\n") == std::string::npos && FHead.size() < kMaxRequest) return;
    winapi::KillTimer(Handle(), FMsgTimer);
    Answer();
  }

  void Answer() {
    const bool isGet = FHead.compare(0, 4, "GET ") == 0;
    const bool isHead = FHead.compare(0, 5, "HEAD ") == 0;
    FStage = TStage::kLastBytes;
    if (!isGet && !isHead) {
      SendStr("HTTP/1.0 405 Method Not Allowed\r\nContent-Length: 0\r\nAllow: GET, HEAD\r\n\r\n");
      return;
    }
    // Counted before the answer goes out: once the client has the whole page it
    // may ask at once, and must find this request counted.
    ++FAnswered;
    const std::string& page = Page();
    SendStr("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
            "\r\nConnection: close\r\n\r\n");
    if (!isGet) return;
    FStage = TStage::kPage;
    SendPiece();
  }

  // Paced in pieces: on loopback the whole page would arrive in well under the
  // report's one-millisecond resolution, and a time of 0 ms has no speed.
  void SendPiece() {
    const std::string& page = Page();
    SendStr(page.substr(FSentBytes, kPieceBytes));
    FSentBytes += kPieceBytes;
    if (FSentBytes >= page.size()) FStage = TStage::kLastBytes;
  }

  // The pause before the next piece starts once the last one has left.
  void Sent() {
    if (FStage == TStage::kPage) {
      FStage = TStage::kPause;
      FPieceDue = Clock::now() + kPiecePause;
    }
    if (FStage == TStage::kLastBytes) Finish();
  }

  void TimerFired() {
    if (FStage == TStage::kRequest) Finish();  // the client said nothing in time
  }

  void Finish() {
    if (FStage == TStage::kDone) return;
    FStage = TStage::kDone;
    winapi::KillTimer(Handle(), FMsgTimer);
    Close();
    Release();
  }

  std::atomic<int>& FAnswered;
  uint32_t FMsgTimer = 0;
  TStage FStage = TStage::kRequest;
  std::string FHead;
  size_t FSentBytes = 0;
  Clock::time_point FPieceDue;
};

const std::string& TDemoServer::Page() {
  static const std::string page = MakePage();
  return page;
}

TDemoServer::TDemoServer() {
  TStartup started;
  std::future<std::string> failure = started.failure.get_future();
  FThread = std::thread([this, &started] { Serve(started); });
  const std::string why = failure.get();
  if (why.empty()) return;
  FThread.join();
  throw core::Exception("demo: cannot listen on 127.0.0.1: " + why);
}

TDemoServer::~TDemoServer() {
  FStopping = true;
  // Wakes the server thread's message loop, which then sees the flag.
  winapi::PostMessage(FWake, winapi::WM_NULL, 0, 0);
  FThread.join();
}

std::string TDemoServer::Url() const {
  return "http://127.0.0.1:" + std::to_string(FPort) + "/";
}

void TDemoServer::Serve(TStartup& started) {
  // Freeing the listening socket also frees the clients it still owns, which
  // stops a page half way.
  auto listener = core::MakeComponent<net::TWSocket>(nullptr);
  try {
    listener->SetAddr("127.0.0.1");
    listener->SetPort("0");
    listener->OnSessionAvailable = [this, server = listener.get()](core::TComponent*, uint16_t) {
      auto* connection = core::Create<TConnection>(server, FAnswered);
      connection->Adopt(server->Accept());
    };
    listener->Listen();
    // From here on a failed accept is the client's loss, not the server's end.
    listener->OnError = [](core::TComponent*) {};
    FPort = static_cast<uint16_t>(std::stoi(listener->GetBoundPort()));
    FWake = listener->Handle();
  } catch (const std::exception& e) {
    started.failure.set_value(core::ExceptionMessage(e));
    return;
  }
  started.failure.set_value({});
  RunLoop(*listener);
}

// The thread's message loop, which also wakes when a piece is due.
void TDemoServer::RunLoop(core::TComponent& listener) {
  while (!FStopping) {
    const winapi::DWORD wait = SendDuePieces(listener);
    if (winapi::MsgWaitForMultipleObjects(0, nullptr, 0, wait, winapi::QS_ALLPOSTMESSAGE) !=
        winapi::WAIT_OBJECT_0)
      continue;
    winapi::MSG msg{};
    while (!FStopping && winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE)) {
      if (msg.message == winapi::WM_QUIT) return;
      winapi::DispatchMessage(&msg);
    }
  }
}

// Sends the pieces that are due; returns the milliseconds until the next one
// (rounded up, so the loop never spins), INFINITE when none waits.
winapi::DWORD TDemoServer::SendDuePieces(core::TComponent& listener) {
  const Clock::time_point now = Clock::now();
  std::optional<Clock::time_point> next;
  for (int i = 0; i < listener.ComponentCount(); ++i) {
    auto* connection = dynamic_cast<TConnection*>(listener.Components(i));
    if (connection == nullptr) continue;
    connection->SendPieceIfDue(now);
    const std::optional<Clock::time_point> due = connection->PieceDue();
    if (due && (!next || *due < *next)) next = due;
  }
  if (!next) return winapi::INFINITE;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
  return static_cast<winapi::DWORD>(std::max<int64_t>(left, 0));
}

std::unique_ptr<TDemoServer> StartDemo(CliOptions& o, std::ostream& out) {
  auto server = std::make_unique<TDemoServer>();
  o.urls = {server->Url()};
  out << "demo: serving a " << TDemoServer::Page().size() / 1024 << " kB page on " << server->Url()
      << " (1 kB every 2 ms) from inside this program; loading it " << o.loads << " time"
      << (o.loads == "1" ? "" : "s") << " (tachyload-cli URL measures a page of your own)\n";
  return server;
}

}  // namespace app
