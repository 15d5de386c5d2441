// The client as a component: its trace lines, the two ways of waiting, the end
// of the application during a wait, and being freed in the middle of a request.
#include <gtest/gtest.h>

#include <atomic>

#include "core/Logger.h"
#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::Script;
using testsupport::ScriptedPeer;

std::string Url(const ScriptedPeer& peer) {
  return LoopbackUrl(peer.Port());
}

TEST(HttpClientLife, TraceLinesGoToTheLogger) {
  ScriptedPeer peer({Script().ExpectRequest().Send(HttpResponse(200, "x")).Close()});
  auto logger = core::MakeComponent<core::TLogger>(nullptr);
  std::vector<std::string> lines;
  logger->SetOnLogEvent([&](core::TComponent* sender, core::TLogOption option, const std::string& msg) {
    if (option == core::loProtSpecInfo || option == core::loProtSpecDump) {
      EXPECT_NE(dynamic_cast<THttpCli*>(sender), nullptr);
      lines.push_back(msg);
    }
  });
  logger->SetLogOptions({core::loDestEvent, core::loProtSpecInfo, core::loProtSpecDump});
  auto cli = core::MakeComponent<THttpCli>(nullptr);
  WindowSettings(*cli);
  cli->SetLogger(logger.get());
  EXPECT_EQ(cli->Logger(), logger.get());
  cli->SetURL(Url(peer));
  cli->Get();
  EXPECT_TRUE(PumpUntil([&] { return std::find(lines.begin(), lines.end(), "RequestDone") != lines.end(); }));
  for (const char* expected :
       {"State = httpDnsLookup", "Login 127.0.0.1", "SessionConnected", "State = httpWaitingHeader",
        ">|HTTP/1.1 200 OK|", "End of header", "DocBegin", "End of document", "DocEnd"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
  }
  cli->SetLogger(nullptr);
}

TEST(HttpClientLife, MultiThreadedWaitPumpsThroughTheSocket) {
  ScriptedPeer peer({Script().ExpectRequest().Send(HttpResponse(200, "pumped")).Close()});
  auto cli = core::MakeComponent<THttpCli>(nullptr);
  WindowSettings(*cli);
  cli->SetMultiThreaded(true);
  EXPECT_TRUE(cli->Socket()->MultiThreaded());
  core::TMemoryStream body;
  cli->SetRcvdStream(&body);
  cli->SetURL(Url(peer));
  cli->Get();
  EXPECT_EQ(body.DataString(), "pumped");
}

// An application object whose end the test decides.
class TEndingApplication : public core::IApplication {
 public:
  void ProcessMessages() override { Console().ProcessMessages(); }
  bool WaitMessage(uint32_t timeoutMs) override { return Console().WaitMessage(timeoutMs); }
  bool Terminated() const override { return FTerminated; }
  void Terminate() override { FTerminated = true; }

 private:
  static core::IApplication& Console() {
    static core::TConsoleApplication console;
    return console;
  }
  std::atomic<bool> FTerminated{false};
};

TEST(HttpClientLife, EndOfTheApplicationAbortsTheWait) {
  ScriptedPeer peer({Script().ExpectRequest().Hold()});
  TEndingApplication app;
  core::SetApplication(&app);
  auto cli = core::MakeComponent<THttpCli>(nullptr);
  WindowSettings(*cli);
  cli->OnStateChange = [&](core::TComponent*) {
    if (cli->State() == httpWaitingHeader) app.Terminate();
  };
  cli->SetURL(Url(peer));
  try {
    cli->Get();
    ADD_FAILURE() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.Message(), "Connection aborted on request");
    EXPECT_EQ(e.ErrorNumber(), 404);
  }
  core::SetApplication(nullptr);
  EXPECT_TRUE(peer.WaitForClientClose(0));
}

TEST(HttpClientLife, FreedInTheMiddleOfARequest) {
  ScriptedPeer peer(
      {Script().ExpectRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npart").Hold()});
  auto cli = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev;
  ev.Attach(*cli);
  cli->SetURL(Url(peer));
  cli->GetAsync();
  ASSERT_TRUE(PumpUntil([&] { return cli->State() == httpWaitingBody; }));
  cli.reset();
  // Whatever it had queued is dropped with it.
  EXPECT_TRUE(peer.WaitForClientClose(0));
  core::Application().ProcessMessages();
  EXPECT_EQ(ev.requestDone, 0);
}

}  // namespace
}  // namespace http::testing
