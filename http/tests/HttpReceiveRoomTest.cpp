// The memory a response can make the client take: an announced length is reserved
// ahead only up to a cap, since the server chooses that number.
#include <gtest/gtest.h>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::Script;
using testsupport::ScriptedPeer;

TEST(HttpReceiveRoom, AnAnnouncedLengthIsReservedOnlyUpToTheCap) {
  ScriptedPeer peer({Script()
                         .ExpectRequest()
                         .Send("HTTP/1.0 200 OK\r\nContent-Length: 1000000000000\r\n\r\nhello")
                         .Close()});
  auto cli = core::MakeComponent<THttpCli>(nullptr);
  WindowSettings(*cli);
  HttpEvents ev;
  ev.Attach(*cli);
  core::TMemoryStream body;
  cli->SetRcvdStream(&body);
  cli->SetURL("http://127.0.0.1:" + std::to_string(peer.Port()) + "/");
  cli->GetAsync();
  ASSERT_TRUE(PumpUntil([&] { return ev.requestDone > 0; }, testsupport::Millis(10000)));
  EXPECT_EQ(body.DataString(), "hello");
  EXPECT_GE(body.Capacity(), THttpCli::kMaxReserveAhead);
  EXPECT_LE(body.Capacity(), THttpCli::kMaxReserveAhead * 2);
  cli->SetRcvdStream(nullptr);
}

}  // namespace
}  // namespace http::testing
