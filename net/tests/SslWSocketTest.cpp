// The TLS socket's events against nginx with a certificate of a CA made by the test.
#include <gtest/gtest.h>

#include "net/SslWSocket.h"
#include "net/tests/WSocketTestSupport.h"
#include "testsupport/Nginx.h"
#include "testsupport/TestCa.h"

namespace net::testing {
namespace {

using testsupport::TestCa;
using testsupport::TestCert;

const char kRequest[] = "GET /index.html HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";

class SslWSocketNginx : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary);
    TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
    ASSERT_TRUE(ca_.Ok()) << ca_.Error();
    port_ = testsupport::FreePort();
    nginx_.AddHttpConfig(ca_.NginxServerBlock(port_, TestCert::kGood, nginx_.Root()));
    ASSERT_TRUE(nginx_.Start());
    log_.Attach(*s_);
    s_->OnDataAvailable = [this](core::TComponent*, uint16_t) {
      ++dataEvents_;
      if (!holdData_) response_ += s_->ReceiveStr();
    };
    s_->SetSslEnable(true);
    s_->SetSslCaFile(ca_.CaFile());
    s_->SetSslServerName("localhost");
    s_->SetAddr("127.0.0.1");
    s_->SetPort(std::to_string(port_));
  }
  bool Answered() const { return response_.find("\r\n\r\nhello world\n") != std::string::npos; }

  TestCa ca_;
  testsupport::NginxServer nginx_;
  uint16_t port_ = 0;
  core::ComponentPtr<TSslWSocket> s_ = core::MakeComponent<TSslWSocket>(nullptr);
  EventLog log_;
  std::string response_;
  int dataEvents_ = 0;
  bool holdData_ = false;
};

// The connected event waits for the session; what arrives is plain text; the
// peer's close ends it as on a plain socket.
TEST_F(SslWSocketNginx, EventsCarryThePlainExchange) {
  s_->OnSessionConnected = [this](core::TComponent*, uint16_t e) {
    log_.Add(std::string("connected ") + s_->SslVersion(), e);
    if (e == 0) s_->SendStr(kRequest);
  };
  s_->Connect();
  ASSERT_TRUE(PumpUntil([&] { return log_.Has("closed 0"); })) << log_.Text();
  EXPECT_EQ(log_.Count("connected TLSv1.3 0"), 1u) << log_.Text();
  EXPECT_EQ(response_.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response_;
  EXPECT_TRUE(Answered()) << response_;
  EXPECT_EQ(s_->State(), wsClosed);
}

// Bytes sent as soon as the TCP connection stands, before the handshake, wait for
// the session instead of going out in the clear.
TEST_F(SslWSocketNginx, BytesSentBeforeTheHandshakeGoOutEncrypted) {
  s_->OnChangeState = [this](core::TComponent*, TSocketState, TSocketState n) {
    if (n == wsConnected) {
      EXPECT_EQ(s_->SendStr(kRequest), static_cast<int>(sizeof kRequest - 1));
    }
  };
  s_->Connect();
  ASSERT_TRUE(PumpUntil([&] { return log_.Has("closed 0"); })) << log_.Text();
  EXPECT_TRUE(Answered()) << response_;
}

// Decrypted bytes held while paused are announced again when events resume.
TEST_F(SslWSocketNginx, ResumingAnnouncesDecryptedBytesHeldWhilePaused) {
  s_->OnSessionConnected = [this](core::TComponent*, uint16_t e) {
    if (e == 0) s_->SendStr(kRequest);
  };
  holdData_ = true;
  s_->OnDataAvailable = [this](core::TComponent*, uint16_t) {
    ++dataEvents_;
    if (holdData_) {
      s_->PauseEvents();
      return;
    }
    response_ += s_->ReceiveStr();
  };
  s_->Connect();
  ASSERT_TRUE(PumpUntil([&] { return dataEvents_ == 1; }));
  EXPECT_GT(s_->RcvdCount(), 0);
  holdData_ = false;
  s_->ResumeEvents();
  ASSERT_TRUE(PumpUntil([&] { return Answered(); })) << response_;
}

}  // namespace
}  // namespace net::testing
