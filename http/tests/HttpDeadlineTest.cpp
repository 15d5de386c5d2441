// The synchronous wait against a time limit the application applies: a server
// that never stops sending keeps the message queue from ever running empty, and
// the limit must end the request all the same, in both kinds of wait.
#include <gtest/gtest.h>

#include <thread>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::Millis;
using testsupport::Script;
using testsupport::ScriptedPeer;

// Terminating from the moment its limit has passed, as the command line's
// application does; it pumps through a console application.
class TDeadlineApplication : public core::IApplication {
 public:
  void Arm(Millis limit) {
    FDeadline = std::chrono::steady_clock::now() + limit;
    FArmed = true;
  }
  void ProcessMessages() override { FBase.ProcessMessages(); }
  bool WaitMessage(uint32_t timeoutMs) override { return FBase.WaitMessage(timeoutMs); }
  bool Terminated() const override {
    return (FArmed && std::chrono::steady_clock::now() >= FDeadline) || FBase.Terminated();
  }
  void Terminate() override { FBase.Terminate(); }

 private:
  core::TConsoleApplication FBase;
  std::chrono::steady_clock::time_point FDeadline;
  std::atomic<bool> FArmed{false};
};

struct Installed {
  explicit Installed(core::IApplication& app) { core::SetApplication(&app); }
  ~Installed() { core::SetApplication(nullptr); }
};

std::pair<std::string, int> GetRaises(THttpCli& cli) {
  try {
    cli.Get();
  } catch (const EHttpException& e) {
    return {e.Message(), e.ErrorNumber()};
  }
  return {"", 0};
}

TEST(HttpDeadline, EndlessStreamEndsAtTheLimit) {
  for (bool multiThreaded : {false, true}) {
    // The peer's own watchdog ends the stream if the client never does.
    ScriptedPeer peer({Script()
                           .ExpectRequest()
                           .Send("HTTP/1.1 200 OK\r\n\r\n")
                           .SendForever(std::string(4096, 'x'), Millis(20000))
                           .Close()});
    TDeadlineApplication app;
    Installed installed(app);
    auto cli = core::MakeComponent<THttpCli>(nullptr);
    WindowSettings(*cli);
    cli->SetMultiThreaded(multiThreaded);
    cli->OnDocBegin = [&](core::TComponent*) { app.Arm(Millis(50)); };
    // A consumer slower than the server: data is always waiting, so the queue
    // never runs empty.
    cli->OnDocData = [](core::TComponent*, const void*, int) { std::this_thread::sleep_for(Millis(1)); };
    cli->SetURL("http://127.0.0.1:" + std::to_string(peer.Port()) + "/");
    EXPECT_EQ(GetRaises(*cli), std::make_pair(std::string("Connection aborted on request"), 404))
        << "multi-threaded " << multiThreaded;
    EXPECT_TRUE(peer.WaitForClientClose(0));
  }
}

// A request that ended in the same pass as the application keeps its own result:
// the abort must not turn its failure into "200 OK".
TEST(HttpDeadline, ARequestThatEndedKeepsItsResult) {
  ScriptedPeer peer({Script().ExpectRequest().Send(HttpResponse(404, "gone")).Hold()});
  TDeadlineApplication app;
  Installed installed(app);
  auto cli = core::MakeComponent<THttpCli>(nullptr);
  WindowSettings(*cli);
  cli->SetRequestVer("1.1");
  cli->OnStateChange = [&](core::TComponent*) {
    if (cli->State() == httpReady) app.Terminate();
  };
  cli->SetURL("http://127.0.0.1:" + std::to_string(peer.Port()) + "/");
  EXPECT_EQ(GetRaises(*cli), std::make_pair(std::string("Not Found"), 404));
}

}  // namespace
}  // namespace http::testing
