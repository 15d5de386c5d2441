// One plain exchange with a real HTTP server: the socket as the HTTP client uses it.
#include <gtest/gtest.h>

#include "net/tests/WSocketTestSupport.h"
#include "testsupport/Nginx.h"

namespace net::testing {
namespace {

TEST(WSocketNginx, RequestAndCloseDelimitedResponse) {
  TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary);
  testsupport::NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  EventLog log;
  auto s = core::MakeComponent<TWSocket>(nullptr);
  log.Attach(*s);
  std::string response;
  s->OnSessionConnected = [&](core::TComponent*, uint16_t e) {
    log.Add("connected", e);
    if (e == 0) s->SendStr("GET /index.html HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  };
  s->OnDataAvailable = [&](core::TComponent*, uint16_t) { response += s->ReceiveStr(); };
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(nginx.Port()));
  s->Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.Has("closed 0"); })) << log.Text();
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
  EXPECT_NE(response.find("\r\n\r\nhello world\n"), std::string::npos) << response;
  EXPECT_EQ(s->ReadCount(), 0);  // the defaults of the next connection are in force
}

}  // namespace
}  // namespace net::testing
