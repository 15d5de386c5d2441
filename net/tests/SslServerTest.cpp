// The accepting side of TLS: an echo server on loopback with a certificate of a CA
// made by the test, the project's own client against it, and peers that do not
// speak TLS at all.
#include <gtest/gtest.h>

#include "core/SysUtils.h"
#include "net/SslWSocket.h"
#include "net/tests/WSocketTestSupport.h"
#include "testsupport/RawClient.h"
#include "testsupport/TestCa.h"

namespace net::testing {
namespace {

using testsupport::TestCa;
using testsupport::TestCert;

class SslServer : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
    ASSERT_TRUE(ca_.Ok()) << ca_.Error();
    context_ = TSslServerContext::Load(ca_.CertFile(TestCert::kGood), ca_.KeyFile(TestCert::kGood));
    listener_->SetAddr("127.0.0.1");
    listener_->SetPort("0");
    listener_->OnSessionAvailable = [this](core::TComponent*, uint16_t) { AcceptOne(); };
    listener_->Listen();
    port_ = listener_->GetBoundPort();
  }

  // Every connection echoes what it reads, and its events are logged.
  void AcceptOne() {
    auto* s = core::Create<TSslWSocket>(listener_.get());
    s->OnSessionConnected = [this, s](core::TComponent*, uint16_t e) {
      log_.Add("server connected " + s->SslVersion() + " " + s->SslAlpn(), e);
      failure_ = s->SslFailure();
      connectError_ = e;
    };
    s->OnSessionClosed = [this](core::TComponent*, uint16_t) { log_.Add("server closed", 0); };
    s->OnDataAvailable = [s](core::TComponent*, uint16_t) { s->SendStr(s->ReceiveStr()); };
    s->SetSslServerContext(context_);
    s->Dup(listener_->Accept());
    s->StartSsl();
  }

  TestCa ca_;
  std::shared_ptr<const TSslServerContext> context_;
  core::ComponentPtr<TWSocket> listener_ = core::MakeComponent<TWSocket>(nullptr);
  std::string port_;
  EventLog log_;
  std::string failure_;
  int connectError_ = -1;
};

// The project's client verifies the server's certificate, gets its words back,
// and resumes its session on the next connection.
TEST_F(SslServer, EchoesToTheOwnClientAndResumes) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto c = core::MakeComponent<TSslWSocket>(nullptr);
    std::string echoed;
    std::string connected;
    c->SetSslEnable(true);
    c->SetSslCaFile(ca_.CaFile());
    c->SetSslServerName("localhost");
    c->SetAddr("127.0.0.1");
    c->SetPort(port_);
    c->OnSessionConnected = [&](core::TComponent*, uint16_t e) {
      connected = c->SslFailure() + std::to_string(e);
      if (e == 0) c->SendStr("hello over TLS");
    };
    c->OnDataAvailable = [&](core::TComponent*, uint16_t) { echoed += c->ReceiveStr(); };
    c->Connect();
    ASSERT_TRUE(PumpUntil([&] { return echoed == "hello over TLS"; })) << connected << " " << echoed;
    EXPECT_EQ(c->SslAlpn(), "http/1.1");
    EXPECT_EQ(c->SslResumed(), round == 1);
    c->Close();
    ASSERT_TRUE(PumpUntil([&] { return log_.Count("server closed 0") == static_cast<size_t>(round + 1); }));
  }
  EXPECT_EQ(log_.Count("server connected TLSv1.3 http/1.1 0"), 2u) << log_.Text();
}

// A peer that sends something else than a handshake, or leaves in the middle of
// one, is told as a failed handshake and closed; the server goes on.
TEST_F(SslServer, NonTlsPeersAreClosed) {
  const struct {
    const char* name;
    std::string bytes;
    bool leaves;
  } cases[] = {
      {"plain HTTP", "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", false},
      {"binary noise", std::string("\x16\x03\x01\x00\x05\x00\xff\xff\xff\xff", 10), false},
      {"half a record header", std::string("\x16\x03\x01", 3), true},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    log_.events.clear();
    connectError_ = -1;
    testsupport::RawClient raw;
    ASSERT_TRUE(raw.Connect(static_cast<uint16_t>(std::stoi(port_))));
    ASSERT_TRUE(raw.Send(t.bytes));
    if (t.leaves) raw.ShutdownWrite();
    ASSERT_TRUE(PumpUntil([&] { return log_.Has("server closed 0"); })) << log_.Text();
    EXPECT_EQ(connectError_, TSslWSocket::kSslHandshakeError) << log_.Text();
    EXPECT_FALSE(failure_.empty());
    raw.ReadToEnd();
    EXPECT_TRUE(raw.ClosedByPeer() || raw.ResetByPeer());
  }
  EXPECT_EQ(listener_->State(), wsListening);
}

// A certificate or key that cannot be used is refused when loading, naming the file.
TEST(SslServerContext, LoadNamesTheFileThatFails) {
  TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
  TestCa ca;
  ASSERT_TRUE(ca.Ok()) << ca.Error();
  const std::string cert = ca.CertFile(TestCert::kGood);
  const std::string key = ca.KeyFile(TestCert::kGood);
  testsupport::TempDir dir("tl-ssl-server");
  const std::string locked = dir.File("locked.key");
  ASSERT_EQ(testsupport::RunAndCapture(
                {TestCa::kOpenSsl, "pkey", "-in", key, "-aes256", "-passout", "pass:x", "-out", locked})
                .first,
            0);
  const struct {
    std::string cert, key, expected;
  } cases[] = {
      {"/nonexistent/cert.pem", key, "certificate /nonexistent/cert.pem"},
      {cert, "/nonexistent/key.pem", "key /nonexistent/key.pem"},
      {key, key, "certificate " + key},
      {cert, ca.KeyFile(TestCert::kOtherHost), "key values mismatch"},
      {cert, locked, "key " + locked},  // refused, never a prompt for its pass phrase
  };
  for (const auto& t : cases) {
    try {
      TSslServerContext::Load(t.cert, t.key);
      ADD_FAILURE() << t.cert << " " << t.key << " loaded";
    } catch (const core::Exception& e) {
      EXPECT_NE(e.Message().find(t.expected), std::string::npos) << e.Message();
    }
  }
}

}  // namespace
}  // namespace net::testing
