// What the HTTP client tests share: a message pump with a watchdog, a recorder of
// the client's events, a client configured like the main window's, and a client
// whose receive step reads from the test instead of a socket (for feeding the
// response parser whole, one byte per receive, or split anywhere).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Application.h"
#include "http/HttpProt.h"
#include "platform/WinSock.h"
#include "testsupport/MessagePump.h"
#include "testsupport/Nginx.h"
#include "testsupport/Squid.h"

namespace http::testing {

using namespace std::chrono_literals;

using testsupport::PumpUntil;

// A resolver hook for tests that need several host names: every name under
// ".example" is the loopback address, anything else is unknown. No real lookup
// ever leaves the machine.
inline int ExampleToLoopback(const std::string& name, bool /*byAddr*/, winapi::HostEntry& out) {
  if (name.size() < 8 || name.substr(name.size() - 8) != ".example") return 11001;
  out.officialName = name;
  out.addrs = {htonl(INADDR_LOOPBACK)};
  return 0;
}

// Records the client's events as short texts; document data is summed, so a
// response fed byte by byte reads like one fed whole.
struct HttpEvents {
  std::vector<std::string> events;
  int requestDone = 0;
  uint16_t lastErr = 0xFFFF;
  THttpRequest lastRq = httpABORT;
  int64_t docBytes = 0;
  std::vector<int> docPieces;
  std::vector<std::string> pushed;
  int dataPush2 = 0;
  int socketErrors = 0;
  std::vector<std::string> states;

  void Attach(THttpCli& c) {
    c.OnHeaderBegin = [this](core::TComponent*) { Add("HeaderBegin"); };
    c.OnHeaderData = [this](core::TComponent*) { Add("HeaderData"); };
    c.OnHeaderEnd = [this](core::TComponent*) { Add("HeaderEnd"); };
    c.OnDocBegin = [this](core::TComponent*) { Add("DocBegin"); };
    c.OnDocData = [this](core::TComponent*, const void*, int len) {
      docBytes += len;
      docPieces.push_back(len);
      if (events.empty() || events.back() != "DocData") Add("DocData");
    };
    c.OnDocEnd = [this](core::TComponent*) { Add("DocEnd"); };
    c.OnSessionConnected = [this](core::TComponent*) { Add("SessionConnected"); };
    c.OnSessionClosed = [this](core::TComponent*) { Add("SessionClosed"); };
    c.OnRequestDone = [this](core::TComponent*, THttpRequest rq, uint16_t err) {
      ++requestDone;
      lastErr = err;
      lastRq = rq;
      Add("RequestDone " + std::to_string(err));
    };
    c.OnDataPush = [this, &c](core::TComponent*, uint16_t) { pushed.push_back(CurrentLine(c)); };
    c.OnDataPush2 = [this](core::TComponent*) { ++dataPush2; };
    c.OnSocketError = [this](core::TComponent*) { ++socketErrors; };
    c.OnStateChange = [this, &c](core::TComponent*) { states.push_back(HttpStateName(c.State())); };
  }
  static std::string CurrentLine(THttpCli& c);
  void Add(std::string e) { events.push_back(std::move(e)); }
  size_t Count(const std::string& e) const {
    return static_cast<size_t>(std::count(events.begin(), events.end(), e));
  }
  size_t StateCount(const std::string& s) const {
    return static_cast<size_t>(std::count(states.begin(), states.end(), s));
  }
  std::string Text() const {
    std::string t;
    for (const auto& e : events) t += e + "; ";
    return t;
  }
};

// A client whose receive step reads what the test feeds, and which shows the
// protected state the tests check.
class TFeedCli : public THttpCli {
 public:
  using THttpCli::THttpCli;

  // Puts the client where it is once a request has gone out on a connection.
  void Begin(THttpRequest rq) {
    FRequestType = rq;
    ResetRequestState();
    FReusedConnection = false;
    FResponseBytes = false;
    FLineHandler = &THttpCli::GetHeaderLineNext;
    StateChange(httpConnected);
    StateChange(httpWaitingHeader);
  }
  // Feeds bytes in receives of at most chunk bytes, dispatching the messages each
  // receive posts before the next one arrives.
  void Feed(std::string_view bytes, size_t chunk = SIZE_MAX) {
    while (!bytes.empty()) {
      const size_t n = std::min(chunk, bytes.size());
      FPending.assign(bytes.substr(0, n));
      bytes.remove_prefix(n);
      while (!FPending.empty()) SocketDataAvailable(Socket(), 0);
      core::Application().ProcessMessages();
    }
  }
  // The server closes (ErrCode 0) or resets the connection.
  void PeerCloses(uint16_t errCode = 0) {
    SocketSessionClosed(Socket(), errCode);
    core::Application().ProcessMessages();
  }
  bool CloseReq() const { return FCloseReq; }
  bool LocationFlag() const { return FLocationFlag; }
  const std::string& CurrentLine() const { return FCurrentLine; }
  int64_t ReceiveLen() const { return FReceiveLen; }
  size_t ReceiveCapacity() const { return FReceiveBuffer.size(); }
  std::string Unconsumed() const {
    return std::string(FReceiveBuffer.data(), static_cast<size_t>(FReceiveLen));
  }
  const std::string& Path() const { return FPath; }

 protected:
  int ReceiveData(void* Buffer, int BufferSize) override {
    const size_t n = std::min(FPending.size(), static_cast<size_t>(std::max(BufferSize, 0)));
    std::memcpy(Buffer, FPending.data(), n);
    FPending.erase(0, n);
    return static_cast<int>(n);
  }

 private:
  std::string FPending;
};

inline std::string HttpEvents::CurrentLine(THttpCli& c) {
  auto* feed = dynamic_cast<TFeedCli*>(&c);
  return feed ? feed->CurrentLine() : std::string();
}

// The settings of the main window's client.
inline void WindowSettings(THttpCli& c) {
  c.SetRequestVer("1.0");
  c.SetAgent("Mozilla/3.0 (compatible)");
  c.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
  c.SetSocksLevel("5");
  c.SetLocationChangeMaxCount(5);
}

// Starts a GET of url and pumps until the request is done and the client ready
// again; false when the watchdog fires first.
inline bool RunUntilReady(THttpCli& c, const HttpEvents& ev, const std::string& url,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  c.SetURL(url);
  const int before = ev.requestDone;
  c.GetAsync();
  return PumpUntil([&] { return ev.requestDone > before && c.State() == httpReady; }, timeout);
}

// The synchronous Get: the exception's message and number, or "" and 0.
inline std::pair<std::string, int> GetOrFailure(THttpCli& c, const std::string& url) {
  c.SetURL(url);
  try {
    c.Get();
  } catch (const EHttpException& e) {
    return {e.Message(), e.ErrorNumber()};
  }
  return {"", 0};
}

// A page on a loopback peer listening on port.
inline std::string LoopbackUrl(uint16_t port, const std::string& path = "/") {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

// A client configured like the window's with the given HTTP version, its events
// recorded and the document received into body.
struct TestClient {
  core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev;
  core::TMemoryStream body;

  explicit TestClient(const std::string& version = "1.1") {
    WindowSettings(*cli);
    cli->SetRequestVer(version);
    ev.Attach(*cli);
    cli->SetRcvdStream(&body);
  }
  bool Run(const std::string& url) { return RunUntilReady(*cli, ev, url); }
};

// A private nginx reached through a private squid by a client configured like the
// window's, receiving into body. Skips the test when either server is missing.
class ThroughSquid : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary);
    TL_SKIP_UNLESS_INSTALLED(testsupport::SquidServer::kBinary);
    ASSERT_TRUE(nginx.Start());
    ASSERT_TRUE(squid.Start());
    cli = core::MakeComponent<THttpCli>(nullptr);
    WindowSettings(*cli);
    cli->SetRcvdStream(&body);
    cli->SetProxy("127.0.0.1");
    cli->SetProxyPort(std::to_string(squid.Port()));
  }

  testsupport::NginxServer nginx;
  testsupport::SquidServer squid;
  core::ComponentPtr<THttpCli> cli;
  core::TMemoryStream body;
};

}  // namespace http::testing
