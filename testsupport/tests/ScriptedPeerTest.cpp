#include "testsupport/ScriptedPeer.h"

#include <gtest/gtest.h>

#include "testsupport/RawClient.h"

namespace testsupport {
namespace {

TEST(ScriptedPeerTest, PlaysItsScriptAndRecordsWhatTheClientSent) {
  ScriptedPeer peer({Script().Expect("hello\n").Send("world\n").Expect("bye\n").Close()});
  RawClient c;
  ASSERT_TRUE(c.Connect(peer.Port()));
  ASSERT_TRUE(c.Send("hel"));
  ASSERT_TRUE(c.Send("lo\n"));
  EXPECT_EQ(c.ReadUntil("\n"), "world\n");
  ASSERT_TRUE(c.Send("bye\n"));
  EXPECT_EQ(c.ReadToEnd(), "");
  EXPECT_TRUE(c.ClosedByPeer());
  EXPECT_FALSE(c.ResetByPeer());
  c.Close();
  EXPECT_TRUE(peer.WaitForDone(0));
  EXPECT_EQ(peer.Received(0), "hello\nbye\n");
  EXPECT_EQ(peer.AcceptedCount(), 1u);
  EXPECT_TRUE(peer.Errors().empty());
}

TEST(ScriptedPeerTest, ResetsAndReportsAStepThatNeverCompletes) {
  ScriptedPeer peer({Script().Expect("x").Reset(), Script().Timeout(Millis(50)).Expect("never")});
  RawClient a;
  ASSERT_TRUE(a.Connect(peer.Port()));
  ASSERT_TRUE(a.Send("x"));
  a.ReadToEnd();
  EXPECT_TRUE(a.ResetByPeer());

  RawClient b;
  ASSERT_TRUE(b.Connect(peer.Port()));
  ASSERT_TRUE(peer.WaitForDone(1));
  ASSERT_EQ(peer.Errors().size(), 1u);
  EXPECT_NE(peer.Errors()[0].find("connection 1 step 0 Expect: \"never\" never came (timeout)"),
            std::string::npos);
}

TEST(ScriptedPeerTest, AnswersHttpRequestsInOrderIncludingBodies) {
  ScriptedPeer peer({HttpScript({HttpResponse(200, "one"), HttpResponse(404, "two", {"X-A: b"})}),
                     Script().ServeHttp(HttpResponse(200, "same"))});
  RawClient c;
  ASSERT_TRUE(c.Connect(peer.Port()));
  ASSERT_TRUE(c.Send("POST / HTTP/1.1\r\ncontent-length: 3\r\n\r\nabcGET /2 HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(c.ReadUntil("one"), "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none");
  EXPECT_EQ(c.ReadUntil("two"), "HTTP/1.1 404 Not Found\r\nX-A: b\r\nContent-Length: 3\r\n\r\ntwo");

  RawClient d;
  ASSERT_TRUE(d.Connect(peer.Port()));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(d.Send("PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n"));
    EXPECT_NE(d.ReadUntil("same"), "");
  }
  d.Close();
  EXPECT_TRUE(peer.WaitForDone(1));
  EXPECT_TRUE(peer.Errors().empty());
}

TEST(ScriptedPeerTest, SendsForeverUntilTheClientCloses) {
  ScriptedPeer peer({Script().SendForever("abc")});
  RawClient c;
  ASSERT_TRUE(c.Connect(peer.Port()));
  std::string got = c.ReadBytes(100000);
  ASSERT_EQ(got.size(), 100000u);
  std::string expected;
  while (expected.size() < got.size()) expected += "abc";
  EXPECT_EQ(got, expected.substr(0, got.size()));  // an exact repetition across partial sends
  c.Close();
  EXPECT_TRUE(peer.WaitForDone(0));
  EXPECT_TRUE(peer.Errors().empty());
}

TEST(ScriptedPeerTest, PauseHoldsTheScriptUntilTheTestResumesIt) {
  ScriptedPeer peer({Script().Pause("go").SendSlowly("abcdef", 2, Millis(1)).Close()});
  RawClient c;
  ASSERT_TRUE(c.Connect(peer.Port()));
  EXPECT_EQ(c.ReadBytes(1, Millis(50)), "");
  peer.Resume("go");
  EXPECT_EQ(c.ReadToEnd(), "abcdef");
}

TEST(ScriptedPeerTest, DestructorEndsScriptsThatAreStillBlocked) {
  RawClient a, b, c;
  {
    ScriptedPeer peer({Script().Pause("never"), Script().Hold(), Script().SendForever("x")});
    ASSERT_TRUE(a.Connect(peer.Port()));
    ASSERT_TRUE(b.Connect(peer.Port()));
    ASSERT_TRUE(c.Connect(peer.Port()));
    ASSERT_TRUE(peer.WaitForAccepted(3));
  }
  a.ReadToEnd();
  b.ReadToEnd();
  c.ReadToEnd();
  EXPECT_TRUE(a.ClosedByPeer() && b.ClosedByPeer() && c.ClosedByPeer());
}

TEST(SinkServerTest, ReadsOnlyAfterResume) {
  SinkServer sink(4096, Millis(1), 4096, true);
  RawClient c;
  ASSERT_TRUE(c.Connect(sink.Port()));
  ASSERT_TRUE(c.Send(std::string(50000, 'z')));
  ASSERT_TRUE(sink.Peer().WaitForAccepted(1));
  EXPECT_EQ(sink.BytesRead(), 0u);
  sink.Resume();
  EXPECT_TRUE(sink.WaitForBytes(50000));
}

TEST(RefusedPortTest, ConnectionsAreRefused) {
  RefusedPort refused;
  RawClient c;
  EXPECT_FALSE(c.Connect(refused.Port()));
  EXPECT_EQ(errno, ECONNREFUSED);
}

}  // namespace
}  // namespace testsupport
