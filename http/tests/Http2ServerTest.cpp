// The client over HTTP/2 against real servers on loopback: nginx with "http2" on
// a TLS port (ALPN) and on a clear-text port (prior knowledge), a TLS port
// without it (ALPN falls back to HTTP/1.1), and nghttpd.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

#include "http/Http2Session.h"
#include "http/tests/HttpTestSupport.h"
#include "testsupport/Nginx.h"
#include "testsupport/SocksServer.h"
#include "testsupport/Squid.h"
#include "testsupport/TestCa.h"

namespace http::testing {
namespace {

using testsupport::FreePort;
using testsupport::NginxServer;
using testsupport::SocksKind;
using testsupport::SocksServer;
using testsupport::SquidServer;
using testsupport::TestCa;
using testsupport::TestCert;

std::string At(const char* scheme, uint16_t port, const std::string& path) {
  return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
}

class Http2Nginx : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
    TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
    ASSERT_TRUE(ca_.Ok()) << ca_.Error();
    tls_ = FreePort();
    h2c_ = FreePort();
    tls1_ = FreePort();
    nginx_.AddPatternFile("big.bin", 3 * 1024 * 1024 + 77);
    nginx_.AddServerConfig(
        "        listen 127.0.0.1:" + std::to_string(tls_) + " ssl http2;\n" + "        listen 127.0.0.1:" +
        std::to_string(h2c_) + " http2;\n" + "        listen 127.0.0.1:" + std::to_string(tls1_) + " ssl;\n" +
        "        ssl_certificate " + ca_.CertFile(TestCert::kGood) + ";\n" + "        ssl_certificate_key " +
        ca_.KeyFile(TestCert::kGood) + ";\n" + "        location = /cross { return 302 " +
        At("http", h2c_, "/dir/next.htm") + "; }\n" +
        "        location = /ntlm { add_header WWW-Authenticate NTLM always; return 401; }\n");
    ASSERT_TRUE(nginx_.Start());
    c_.cli->SetSslCaFile(ca_.CaFile());
  }

  std::string Load(const std::string& version, const std::string& url) {
    c_.cli->SetRequestVer(version);
    c_.body.Clear();
    c_.cli->SetURL(url);
    c_.cli->Get();
    return c_.body.DataString();
  }

  TestCa ca_;
  NginxServer nginx_;
  uint16_t tls_ = 0, h2c_ = 0, tls1_ = 0;
  TestClient c_{"2"};
};

// Fixed lengths, a body without one (SSI, chunked over HTTP/1.1), a large body
// past the default windows, and gzip: the same bytes as HTTP/1.1 brings.
TEST_F(Http2Nginx, PagesAreByteIdenticalToHttp11s) {
  c_.cli->SetOptions(httpoEnableContentCoding);
  for (const char* path : {"/index.html", "/ssi/multi.html", "/big.bin", "/gz/big.txt", "/1m.bin"}) {
    SCOPED_TRACE(path);
    const std::string expected = Load("1.1", nginx_.Url(path));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(c_.cli->Protocol(), "http/1.1");
    for (const char* scheme : {"https", "http"}) {
      SCOPED_TRACE(scheme);
      const std::string got = Load("2", At(scheme, std::string(scheme) == "https" ? tls_ : h2c_, path));
      EXPECT_TRUE(got == expected) << got.size() << " vs " << expected.size();
      EXPECT_EQ(c_.cli->Protocol(), "h2");
      EXPECT_EQ(c_.cli->StatusCode(), 200);
      // The stream's end ended the document, not the connection's.
      EXPECT_EQ(c_.cli->Socket()->State(), net::wsConnected);
    }
  }
  // The gzip body came compressed (nginx logs the bytes it sent).
  ASSERT_TRUE(nginx_.WaitForAccessLines(15));
  for (const testsupport::NginxLogEntry& e : nginx_.AccessLog())
    if (e.request.find("/gz/big.txt") != std::string::npos) {
      EXPECT_LT(e.bytesSent, 110000u) << e.request;
    }
}

// Ten loads share one connection; the phases partition each load, and only the
// first one pays for the connection.
TEST_F(Http2Nginx, TenLoadsShareOneConnection) {
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Load("2", At("https", tls_, "/index.html")), "hello world\n");
    const TLoadTimes& t = c_.cli->Timeline().Times();
    EXPECT_EQ(t.reused, i > 0);
    EXPECT_EQ(t.Phase(TLoadPhase::tls) > 0, i == 0);
    EXPECT_GT(t.Phase(TLoadPhase::wait), 0);
    EXPECT_GT(t.Phase(TLoadPhase::transfer), 0);
    int64_t sum = 0;
    for (int64_t ns : t.phaseNs) sum += ns;
    EXPECT_EQ(sum, t.TotalNs());
  }
  ASSERT_TRUE(nginx_.WaitForAccessLines(10));
  std::set<uint64_t> connections;
  for (const testsupport::NginxLogEntry& e : nginx_.AccessLog()) {
    connections.insert(e.connection);
    EXPECT_EQ(e.request, "GET /index.html HTTP/2.0");
  }
  EXPECT_EQ(connections.size(), 1u);
}

// A server that offers no "h2" gets HTTP/1.1 on the same connection, and says so.
TEST_F(Http2Nginx, AlpnWithoutH2FallsBackToHttp11) {
  EXPECT_EQ(Load("2", At("https", tls1_, "/index.html")), "hello world\n");
  EXPECT_EQ(c_.cli->Protocol(), "http/1.1");
  EXPECT_TRUE(c_.cli->AlpnFellBack());
  EXPECT_EQ(c_.cli->Socket()->SslAlpn(), "http/1.1");
  EXPECT_EQ(Load("2", At("https", tls_, "/index.html")), "hello world\n");
  EXPECT_FALSE(c_.cli->AlpnFellBack());
  EXPECT_EQ(c_.cli->Socket()->SslAlpn(), "h2");
}

// Basic login, and a relocation from the TLS origin to the clear-text one.
TEST_F(Http2Nginx, BasicLoginAndRedirectAcrossOrigins) {
  const std::string secret = At("https", tls_, "/secret/index.html");
  EXPECT_EQ(Load("2", secret).find("secret page"), std::string::npos);
  EXPECT_EQ(c_.cli->StatusCode(), 401);
  c_.cli->SetUsername(NginxServer::kUser);
  c_.cli->SetPassword(NginxServer::kPassword);
  EXPECT_EQ(Load("2", secret), "secret page\n");
  EXPECT_EQ(c_.cli->Protocol(), "h2");
  EXPECT_EQ(Load("2", At("https", tls_, "/cross")), "next page\n");
  EXPECT_EQ(c_.cli->Protocol(), "h2");
  EXPECT_GT(c_.cli->Timeline().Times().Phase(TLoadPhase::redirect), 0);
}

// HTTP/2 runs over the whole socket chain: a SOCKS 5 relay (in clear text and
// with TLS) and squid's CONNECT tunnel.
TEST_F(Http2Nginx, ThroughSocksAndThroughSquidsTunnel) {
  TL_SKIP_UNLESS(SocksServer::Available(SocksKind::kMicrosocks), "microsocks is not installed");
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  SocksServer socks(SocksKind::kMicrosocks);
  ASSERT_TRUE(socks.Start());
  SquidServer squid;
  ASSERT_TRUE(squid.Start());
  THttpCli& cli = *c_.cli;
  cli.SetSocksServer("127.0.0.1");
  cli.SetSocksPort(std::to_string(socks.Port()));
  cli.SetSocksLevel("5");
  EXPECT_EQ(Load("2", At("http", h2c_, "/index.html")), "hello world\n");
  EXPECT_EQ(cli.Protocol(), "h2");
  EXPECT_EQ(Load("2", At("https", tls_, "/dir/page.htm")), "page in dir\n");
  EXPECT_EQ(cli.Protocol(), "h2");
  EXPECT_GT(cli.Timeline().Times().Phase(TLoadPhase::socks), 0);
  cli.SetSocksServer("");
  cli.SetProxy("127.0.0.1");
  cli.SetProxyPort(std::to_string(squid.Port()));
  EXPECT_EQ(Load("2", At("https", tls_, "/dir/next.htm")), "next page\n");
  EXPECT_EQ(cli.Protocol(), "h2");
  EXPECT_EQ(Load("2", At("https", tls_, "/index.html")), "hello world\n");
  EXPECT_TRUE(cli.Timeline().Times().reused);
  cli.Close();  // squid logs the tunnel once it ends
  EXPECT_TRUE(squid.WaitForAccessLog("CONNECT 127.0.0.1:" + std::to_string(tls_)));
}

// Shows how much of the stream's text waits in the session.
class TPendingCli : public THttpCli {
 public:
  using THttpCli::THttpCli;
  size_t Pending() const { return FHttp2 && FHttp2Stream ? FHttp2->Pending(FHttp2Stream) : 0; }
};

// Bandwidth control holds the server back through the stream's window: the
// socket is never paused, and what waits unread stays within the window (two
// budgets) and a frame, where an open 16 MiB window would let the whole file in.
TEST_F(Http2Nginx, BandwidthControlHoldsTheStreamWindowNotTheSocket) {
  auto cli = core::MakeComponent<TPendingCli>(nullptr);
  core::TMemoryStream body;
  HttpEvents ev;
  ev.Attach(*cli);
  cli->SetRequestVer("2");
  cli->SetRcvdStream(&body);
  cli->SetOptions(httpoBandwidthControl);
  cli->SetBandwidthLimit(400000);
  cli->SetBandwidthSampling(50);  // budgets of 20,000 bytes
  size_t most = 0;
  bool paused = false;
  cli->OnDocData = [&](core::TComponent*, const void*, int) {
    most = std::max(most, cli->Pending());
    paused = paused || cli->Socket()->Paused();
  };
  ASSERT_TRUE(RunUntilReady(*cli, ev, At("http", h2c_, "/1m.bin"), std::chrono::seconds(20)));
  EXPECT_EQ(cli->StatusCode(), 200);
  EXPECT_EQ(body.Size(), 1024 * 1024);
  EXPECT_FALSE(paused);
  EXPECT_LE(most, 40000u + 16384u + 64u);
  EXPECT_GT(most, 0u);
}

// NTLM authenticates a connection: its handshake leaves HTTP/2 for a new HTTP/1.1
// connection (nginx knows no NTLM, so the challenge simply comes again).
TEST_F(Http2Nginx, NtlmLeavesHttp2ForHttp11) {
  c_.cli->SetUsername("user");
  c_.cli->SetPassword("pw");
  Load("2", At("https", tls_, "/ntlm"));
  EXPECT_EQ(c_.cli->StatusCode(), 401);
  EXPECT_EQ(c_.cli->Protocol(), "http/1.1");
  ASSERT_TRUE(nginx_.WaitForAccessLines(2));
  const std::vector<testsupport::NginxLogEntry> log = nginx_.AccessLog();
  EXPECT_EQ(log.front().request, "GET /ntlm HTTP/2.0");
  EXPECT_EQ(log.back().request, "GET /ntlm HTTP/1.1");
  EXPECT_NE(log.front().connection, log.back().connection);
  // The next load asks for HTTP/2 again.
  EXPECT_EQ(Load("2", At("https", tls_, "/index.html")), "hello world\n");
  EXPECT_EQ(c_.cli->Protocol(), "h2");
}

// nghttpd, the library's own server, in clear text and over TLS.
TEST(Http2Nghttpd, ServesTheSamePageInClearTextAndOverTls) {
  constexpr const char* kNghttpd = "/usr/sbin/nghttpd";
  TL_SKIP_UNLESS_INSTALLED(kNghttpd);
  TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
  TestCa ca;
  ASSERT_TRUE(ca.Ok()) << ca.Error();
  testsupport::TempDir dir("h2d");
  std::string page;
  for (int i = 0; i < 5000; ++i) page += "line " + std::to_string(i) + "\n";
  dir.Write("docs/page.txt", page);
  TestClient c("2");
  c.cli->SetSslCaFile(ca.CaFile());
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tls" : "h2c");
    const uint16_t port = FreePort();
    std::vector<std::string> argv{kNghttpd, "-a", "127.0.0.1", "-d", dir.File("docs"), std::to_string(port)};
    if (tls) {
      argv.push_back(ca.KeyFile(TestCert::kGood));
      argv.push_back(ca.CertFile(TestCert::kGood));
    } else {
      argv.insert(argv.begin() + 1, "--no-tls");
    }
    testsupport::ChildProcess server;
    ASSERT_TRUE(server.Start({argv, {}, "", dir.File("nghttpd.log"), false})) << server.Error();
    ASSERT_EQ(testsupport::WaitForPort(port, testsupport::Millis(5000), &server),
              testsupport::WaitResult::kReady)
        << server.Log();
    c.body.Clear();
    c.cli->SetURL(At(tls ? "https" : "http", port, "/page.txt"));
    c.cli->Get();
    EXPECT_TRUE(c.body.DataString() == page) << c.body.Size();
    EXPECT_EQ(c.cli->Protocol(), "h2");
    server.Stop();
  }
}

}  // namespace
}  // namespace http::testing
