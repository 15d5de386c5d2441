// The client over TLS against real peers on loopback: nginx with certificates of
// a CA made by the test, a scripted peer that resets the handshake, a server that
// closes without the TLS closing alert, and squid's CONNECT tunnel.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <fstream>
#include <iterator>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/Nginx.h"
#include "testsupport/NtlmServer.h"
#include "testsupport/ScriptedPeer.h"
#include "testsupport/SocksServer.h"
#include "testsupport/Squid.h"
#include "testsupport/TestCa.h"
#include "testsupport/TlsCutServer.h"

namespace http::testing {
namespace {

using testsupport::FreePort;
using testsupport::NginxServer;
using testsupport::SquidServer;
using testsupport::TestCa;
using testsupport::TestCert;

std::string HttpsUrl(uint16_t port, const std::string& path, const std::string& host = "127.0.0.1") {
  return "https://" + host + ":" + std::to_string(port) + path;
}

class HttpsNginx : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
    TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
    ASSERT_TRUE(ca_.Ok()) << ca_.Error();
    for (uint16_t* port : {&tls_, &tls12_, &tls13_, &expired_, &other_, &self_}) *port = FreePort();
    const std::string root = nginx_.Root();
    nginx_.AddHttpConfig(
        ca_.NginxServerBlock(
            tls_, TestCert::kGood, root, "TLSv1.2 TLSv1.3",
            "        location = /to-http { return 302 http://127.0.0.1:$arg_p/dir/next.htm; }\n"
            "        location = /proxy-auth { return 200 \"[$http_proxy_authorization]\\n\"; }\n"
            "        location = /sni { return 200 \"[$ssl_server_name] $http_host\\n\"; }\n") +
        ca_.NginxServerBlock(tls12_, TestCert::kGood, root, "TLSv1.2") +
        ca_.NginxServerBlock(tls13_, TestCert::kGood, root, "TLSv1.3") +
        ca_.NginxServerBlock(expired_, TestCert::kExpired, root) +
        ca_.NginxServerBlock(other_, TestCert::kOtherHost, root) +
        ca_.NginxServerBlock(self_, TestCert::kSelfSigned, root));
    nginx_.AddServerConfig("        location = /to-https { return 302 " + HttpsUrl(tls_, "/dir/page.htm") +
                           "; }\n");
    ASSERT_TRUE(nginx_.Start());
    WindowSettings(*cli_);
    ev_.Attach(*cli_);
    cli_->SetRcvdStream(&body_);
    cli_->SetSslCaFile(ca_.CaFile());
  }

  void Get(const std::string& url) {
    body_.Clear();
    cli_->SetURL(url);
    cli_->Get();
  }

  // A load that must fail: the reason phrase it ended with.
  std::string FailingGet(const std::string& url) {
    body_.Clear();
    cli_->SetURL(url);
    EXPECT_THROW(cli_->Get(), EHttpException) << url;
    EXPECT_EQ(cli_->StatusCode(), 404) << url;
    EXPECT_NE(ev_.lastErr, 0) << url;
    EXPECT_EQ(body_.Size(), 0) << url;
    return cli_->ReasonPhrase();
  }

  TestCa ca_;
  NginxServer nginx_;
  uint16_t tls_ = 0, tls12_ = 0, tls13_ = 0, expired_ = 0, other_ = 0, self_ = 0;
  core::ComponentPtr<THttpCli> cli_ = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev_;
  core::TMemoryStream body_;
};

// Small and large documents (the large one spans many records and receive
// events), by address and by name, over each protocol version.
TEST_F(HttpsNginx, PagesOverTls12And13) {
  std::ifstream file(nginx_.AddPatternFile("big.bin", 1024 * 1024 + 333), std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  struct Case {
    uint16_t port;
    const char* host;
    const char* version;
  };
  for (const Case& c : {Case{tls12_, "127.0.0.1", "TLSv1.2"}, Case{tls13_, "127.0.0.1", "TLSv1.3"},
                        Case{tls13_, "localhost", "TLSv1.3"}, Case{tls12_, "127.0.0.2", "TLSv1.2"}}) {
    SCOPED_TRACE(std::string(c.host) + " " + c.version);
    Get(HttpsUrl(c.port, "/index.html", c.host));
    EXPECT_EQ(body_.DataString(), "hello world\n");
    EXPECT_EQ(cli_->StatusCode(), 200);
    EXPECT_EQ(cli_->Socket()->SslVersion(), c.version);
    EXPECT_EQ(cli_->Socket()->SslAlpn(), "http/1.1");
    Get(HttpsUrl(c.port, "/big.bin", c.host));
    EXPECT_TRUE(body_.DataString() == expected) << body_.Size();
  }
}

TEST_F(HttpsNginx, KeepAliveReusesOneTlsConnection) {
  cli_->SetRequestVer("1.1");
  bool first = true;
  for (const char* path : {"/index.html", "/dir/page.htm", "/index.html"}) {
    SCOPED_TRACE(path);
    Get(HttpsUrl(tls_, path));
    // The handshake is timed on the new connection only.
    const TLoadTimes& times = cli_->Timeline().Times();
    EXPECT_EQ(times.reused, !first);
    if (first)
      EXPECT_GT(times.Phase(TLoadPhase::tls), 0);
    else
      EXPECT_EQ(times.Phase(TLoadPhase::tls), 0);
    first = false;
  }
  EXPECT_EQ(body_.DataString(), "hello world\n");
  ASSERT_TRUE(nginx_.WaitForAccessLines(3));
  EXPECT_EQ(nginx_.ConnectionCount(), 1u);
  EXPECT_EQ(ev_.StateCount("httpDnsLookup"), 1u);
  // The same host and port over plain http is another connection.
  Get(nginx_.Url("/index.html"));
  EXPECT_EQ(body_.DataString(), "hello world\n");
  ASSERT_TRUE(nginx_.WaitForAccessLines(4));
  EXPECT_EQ(nginx_.ConnectionCount(), 2u);
}

// A new connection to the same peer resumes the last session, under the same
// trust setting only.
TEST_F(HttpsNginx, NewConnectionsResumeTheSession) {
  cli_->SetRequestVer("1.0");
  for (uint16_t port : {tls12_, tls13_}) {
    SCOPED_TRACE(port);
    Get(HttpsUrl(port, "/index.html"));
    EXPECT_FALSE(cli_->Socket()->SslResumed());
    Get(HttpsUrl(port, "/index.html"));
    EXPECT_TRUE(cli_->Socket()->SslResumed());
    EXPECT_EQ(body_.DataString(), "hello world\n");
    cli_->SetSslVerifyPeer(false);
    Get(HttpsUrl(port, "/index.html"));
    EXPECT_FALSE(cli_->Socket()->SslResumed());
    cli_->SetSslVerifyPeer(true);
  }
}

TEST_F(HttpsNginx, RedirectionsBetweenHttpAndHttps) {
  for (const char* version : {"1.0", "1.1"}) {
    SCOPED_TRACE(version);
    cli_->SetRequestVer(version);
    Get(nginx_.Url("/to-https"));
    EXPECT_EQ(body_.DataString(), "page in dir\n");
    EXPECT_EQ(cli_->Socket()->SslVersion(), "TLSv1.3");
    Get(HttpsUrl(tls_, "/to-http?p=" + std::to_string(nginx_.Port())));
    EXPECT_EQ(body_.DataString(), "next page\n");
    EXPECT_EQ(cli_->StatusCode(), 200);
  }
}

TEST_F(HttpsNginx, CertificateFailuresNameTheReason) {
  struct Case {
    std::string url;
    std::string reason;
  };
  const Case cases[] = {
      {HttpsUrl(expired_, "/index.html"), "certificate verify failed: certificate has expired"},
      {HttpsUrl(other_, "/index.html", "localhost"), "certificate verify failed: hostname mismatch"},
      {HttpsUrl(other_, "/index.html"), "certificate verify failed: IP address mismatch"},
      {HttpsUrl(self_, "/index.html"), "certificate verify failed: self-signed certificate"},
  };
  for (const Case& c : cases) EXPECT_EQ(FailingGet(c.url), c.reason);
  // Without the test CA the good certificate has no trusted issuer either.
  cli_->SetSslCaFile("");
  EXPECT_EQ(FailingGet(HttpsUrl(tls_, "/index.html")),
            "certificate verify failed: unable to get local issuer certificate");
  // Unchecked, every one of them serves its page.
  cli_->SetSslVerifyPeer(false);
  for (const Case& c : cases) {
    Get(c.url);
    EXPECT_EQ(body_.DataString(), "hello world\n") << c.url;
  }
}

// A name goes out as SNI and is checked against the certificate's names; an
// address (IPv4 or a bracketed IPv6 one) is never sent as SNI and is checked
// against the certificate's IP entries.
TEST_F(HttpsNginx, AddressesAreNoServerNamesAndMatchIpEntries) {
  const std::string port = std::to_string(tls_);
  Get(HttpsUrl(tls_, "/sni", "localhost"));
  EXPECT_EQ(body_.DataString(), "[localhost] localhost:" + port + "\n");
  Get(HttpsUrl(tls_, "/sni"));
  EXPECT_EQ(body_.DataString(), "[] 127.0.0.1:" + port + "\n");
  if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  Get(HttpsUrl(tls_, "/sni", "[::1]"));
  EXPECT_EQ(body_.DataString(), "[] [::1]:" + port + "\n");
  // ::1 is not among the other certificate's names.
  EXPECT_EQ(FailingGet(HttpsUrl(other_, "/index.html", "[::1]")),
            "certificate verify failed: IP address mismatch");
}

TEST_F(HttpsNginx, ThroughSquidConnectTunnel) {
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  SquidServer squid;
  ASSERT_TRUE(squid.Start());
  cli_->SetProxy("127.0.0.1");
  cli_->SetProxyPort(std::to_string(squid.Port()));
  cli_->SetRequestVer("1.1");
  Get(HttpsUrl(tls_, "/index.html"));
  EXPECT_EQ(body_.DataString(), "hello world\n");
  // The page's bytes are the page's: the proxy's answer to CONNECT is none of them.
  EXPECT_EQ(cli_->Timeline().Times().bodyBytes, 12);
  Get(HttpsUrl(tls_, "/dir/page.htm"));
  EXPECT_EQ(body_.DataString(), "page in dir\n");
  ASSERT_TRUE(nginx_.WaitForAccessLines(2));
  // Both went through one tunnel; the request lines name the path only.
  EXPECT_EQ(nginx_.ConnectionCount(), 1u);
  EXPECT_EQ(nginx_.AccessLog().at(1).request, "GET /dir/page.htm HTTP/1.1");
  // Out of the tunnel to plain http through the same proxy, and a refused certificate in it.
  Get(HttpsUrl(tls_, "/to-http?p=" + std::to_string(nginx_.Port())));
  EXPECT_EQ(body_.DataString(), "next page\n");
  EXPECT_EQ(FailingGet(HttpsUrl(expired_, "/index.html")),
            "certificate verify failed: certificate has expired");
  EXPECT_TRUE(squid.WaitForAccessLog("CONNECT 127.0.0.1:" + std::to_string(tls_)));
}

// A proxy at an IPv6 address, given as a URL or as a bracketed host and a port, and
// a tunnel to a server at one: the CONNECT target is bracketed, and plain http to
// an IPv6 server goes through the same proxy.
TEST_F(HttpsNginx, ThroughSquidOnIPv6ToAnIPv6Server) {
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  SquidServer squid;
  squid.ListenOnIPv6();
  ASSERT_TRUE(squid.Start());
  cli_->SetRequestVer("1.1");
  for (const bool asUrl : {true, false}) {
    SCOPED_TRACE(asUrl ? "proxy URL" : "proxy host and port");
    cli_->SetProxy(asUrl ? squid.ProxyUrl() : "[::1]");
    cli_->SetProxyPort(asUrl ? "80" : std::to_string(squid.Port()));
    Get(HttpsUrl(tls_, "/sni", "[::1]"));
    EXPECT_EQ(body_.DataString(), "[] [::1]:" + std::to_string(tls_) + "\n");
    EXPECT_EQ(cli_->Timeline().Times().ip, "::1");
    Get("http://[::1]:" + std::to_string(nginx_.Port()) + "/dir/page.htm");
    EXPECT_EQ(body_.DataString(), "page in dir\n");
    cli_->Close();
  }
  EXPECT_TRUE(squid.WaitForAccessLog("CONNECT [::1]:" + std::to_string(tls_)));
  EXPECT_TRUE(squid.WaitForAccessLog("GET http://[::1]:" + std::to_string(nginx_.Port()) + "/dir/page.htm"));
}

// The proxy's credentials go with CONNECT only, never into the tunnel.
TEST_F(HttpsNginx, ThroughSquidConnectTunnelWithBasicProxyLogin) {
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  SquidServer squid(testsupport::SquidAuth::kBasic);
  ASSERT_TRUE(squid.Start());
  cli_->SetProxy("127.0.0.1");
  cli_->SetProxyPort(std::to_string(squid.Port()));
  cli_->SetRequestVer("1.1");
  cli_->SetURL(HttpsUrl(tls_, "/proxy-auth"));
  cli_->Get();
  EXPECT_EQ(cli_->StatusCode(), 407);
  EXPECT_EQ(body_.Size(), 0);
  cli_->SetProxyUsername(SquidServer::kUser);
  cli_->SetProxyPassword(SquidServer::kPassword);
  Get(HttpsUrl(tls_, "/proxy-auth"));
  EXPECT_EQ(cli_->StatusCode(), 200);
  EXPECT_EQ(body_.DataString(), "[]\n");
  cli_->Close();  // squid logs the tunnel once it ends
  EXPECT_TRUE(squid.WaitForAccessLog("CONNECT 127.0.0.1:" + std::to_string(tls_) + " " + SquidServer::kUser));
}

// NTLM to the proxy: its two messages go with CONNECTs on one connection, and a
// wrong password ends the load with the proxy's 407 once message 3 is refused.
TEST_F(HttpsNginx, ThroughSquidConnectTunnelWithNtlmProxyLogin) {
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  TL_SKIP_UNLESS(testsupport::NtlmServer::Available(), "python3-ntlm-auth not installed");
  SquidServer squid(testsupport::SquidAuth::kNtlmChecked);
  ASSERT_TRUE(squid.Start());
  cli_->SetProxy("127.0.0.1");
  cli_->SetProxyPort(std::to_string(squid.Port()));
  cli_->SetProxyUsername(SquidServer::kUser);
  // Each load: a CONNECT without credentials, one with message 1, one with message 3.
  auto connects = [this] { return ev_.StateCount("httpWaitingProxyConnect"); };
  for (const char* version : {"1.0", "1.1"}) {
    SCOPED_TRACE(version);
    cli_->SetRequestVer(version);
    for (const char* password : {SquidServer::kPassword, "wrong"}) {
      SCOPED_TRACE(password);
      const bool right = password == std::string(SquidServer::kPassword);
      cli_->SetProxyPassword(password);
      const size_t lookups = ev_.StateCount("httpDnsLookup");
      const size_t before = connects();
      body_.Clear();
      cli_->SetURL(HttpsUrl(tls_, "/proxy-auth"));
      EXPECT_NO_THROW(cli_->Get());
      EXPECT_EQ(cli_->StatusCode(), right ? 200 : 407);
      EXPECT_EQ(body_.DataString(), right ? "[]\n" : "");
      EXPECT_EQ(ev_.StateCount("httpDnsLookup") - lookups, 1u);
      EXPECT_EQ(connects() - before, 3u);
      cli_->Close();
    }
  }
  EXPECT_TRUE(squid.WaitForAccessLog("CONNECT 127.0.0.1:" + std::to_string(tls_) + " " + SquidServer::kUser));
}

// A session is offered again to the server it came from, not to the proxy's
// address and port: after another server's session, the first one's still resumes.
TEST_F(HttpsNginx, TunnelSessionsBelongToTheirServers) {
  TL_SKIP_UNLESS_INSTALLED(SquidServer::kBinary);
  SquidServer squid;
  ASSERT_TRUE(squid.Start());
  cli_->SetProxy("127.0.0.1");
  cli_->SetProxyPort(std::to_string(squid.Port()));
  cli_->SetRequestVer("1.0");
  struct Step {
    uint16_t port;
    bool resumed;
  };
  for (const Step& s : {Step{tls12_, false}, Step{tls13_, false}, Step{tls12_, true}, Step{tls13_, true}}) {
    SCOPED_TRACE(s.port);
    Get(HttpsUrl(s.port, "/index.html"));
    EXPECT_EQ(body_.DataString(), "hello world\n");
    EXPECT_EQ(cli_->Socket()->SslResumed(), s.resumed);
  }
}

// TLS starts once the SOCKS server has opened the way; at level 5 the server gets
// the host name, which the certificate is still checked against.
TEST_F(HttpsNginx, ThroughSocks) {
  using testsupport::SocksKind;
  using testsupport::SocksServer;
  TL_SKIP_UNLESS(SocksServer::Available(SocksKind::kMicrosocks), "microsocks not installed");
  SocksServer socks(SocksKind::kMicrosocks);
  ASSERT_TRUE(socks.Start());
  cli_->SetSocksServer("127.0.0.1");
  cli_->SetSocksPort(std::to_string(socks.Port()));
  cli_->SetSocksLevel("5");
  cli_->SetRequestVer("1.1");
  for (const char* host : {"127.0.0.1", "localhost"}) {
    Get(HttpsUrl(tls_, "/index.html", host));
    EXPECT_EQ(body_.DataString(), "hello world\n") << host;
    EXPECT_EQ(cli_->Socket()->SslVersion(), "TLSv1.3") << host;
  }
  EXPECT_EQ(FailingGet(HttpsUrl(other_, "/index.html", "localhost")),
            "certificate verify failed: hostname mismatch");
}

TEST(HttpsPeer, ResetDuringTheHandshakeFailsTheLoad) {
  testsupport::ScriptedPeer peer({testsupport::Script().ReadBytes(5).Reset()});
  core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev;
  ev.Attach(*cli);
  cli->SetURL(HttpsUrl(peer.Port(), "/"));
  EXPECT_THROW(cli->Get(), EHttpException);
  EXPECT_EQ(cli->StatusCode(), 404);
  EXPECT_EQ(cli->ReasonPhrase().rfind("TLS handshake failed: ", 0), 0u) << cli->ReasonPhrase();
  EXPECT_NE(ev.lastErr, 0);
  EXPECT_EQ(ev.Count("RequestDone " + std::to_string(ev.lastErr)), 1u);
}

// A close without the closing alert ends the document as a plain close does: a
// whole document stands, a short one is truncated.
TEST(HttpsPeer, CloseWithoutCloseNotify) {
  TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
  TL_SKIP_UNLESS_INSTALLED(testsupport::TlsCutServer::kPython);
  TestCa ca;
  ASSERT_TRUE(ca.Ok()) << ca.Error();
  for (int sent : {100, 40}) {
    SCOPED_TRACE(sent);
    testsupport::TlsCutServer server;
    ASSERT_TRUE(server.Start(ca.CertFile(TestCert::kGood), ca.KeyFile(TestCert::kGood), 100, sent));
    core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
    HttpEvents ev;
    ev.Attach(*cli);
    core::TMemoryStream body;
    cli->SetRcvdStream(&body);
    cli->SetSslCaFile(ca.CaFile());
    cli->SetURL(HttpsUrl(server.Port(), "/"));
    if (sent == 100) {
      cli->Get();
      EXPECT_FALSE(cli->DocumentTruncated());
      EXPECT_EQ(ev.lastErr, 0);
    } else {
      EXPECT_THROW(cli->Get(), EHttpException);
      EXPECT_TRUE(cli->DocumentTruncated());
      EXPECT_NE(ev.lastErr, 0);
    }
    EXPECT_EQ(body.Size(), sent);
  }
}

// A server that ends a close-delimited document with close_notify and waits for
// ours before it closes TCP: the alert ends the document, and the client answers
// it and closes.
TEST(HttpsPeer, CloseNotifyEndsADocumentDelimitedByTheClose) {
  TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
  TL_SKIP_UNLESS_INSTALLED(testsupport::TlsCutServer::kPython);
  TestCa ca;
  ASSERT_TRUE(ca.Ok()) << ca.Error();
  testsupport::TlsCutServer server;
  ASSERT_TRUE(server.StartNotify(ca.CertFile(TestCert::kGood), ca.KeyFile(TestCert::kGood), 70000));
  core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
  HttpEvents ev;
  ev.Attach(*cli);
  core::TMemoryStream body;
  cli->SetRcvdStream(&body);
  cli->SetSslCaFile(ca.CaFile());
  ASSERT_TRUE(RunUntilReady(*cli, ev, HttpsUrl(server.Port(), "/")));
  EXPECT_EQ(cli->StatusCode(), 200);
  EXPECT_EQ(ev.lastErr, 0);
  EXPECT_FALSE(cli->DocumentTruncated());
  EXPECT_EQ(body.Size(), 70000);
  EXPECT_TRUE(PumpUntil([&] { return server.Log().find("NOTIFY ANSWERED") != std::string::npos; }))
      << server.Log();
}

// A wildcard stands for a whole label: "w*.partial.example" names no host.
TEST(HttpsPeer, PartialWildcardsAreRefused) {
  TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
  TL_SKIP_UNLESS_INSTALLED(testsupport::TlsCutServer::kPython);
  TestCa ca;
  ASSERT_TRUE(ca.Ok()) << ca.Error();
  testsupport::TlsCutServer server;
  ASSERT_TRUE(server.Start(ca.CertFile(TestCert::kWildcards), ca.KeyFile(TestCert::kWildcards), 5, 5));
  winapi::SetResolverHookForTesting(&http::testing::ExampleToLoopback);
  for (const auto& [host, failure] : std::vector<std::pair<std::string, std::string>>{
           {"www.full.example", ""},
           {"www.partial.example", "certificate verify failed: hostname mismatch"},
       }) {
    core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
    cli->SetSslCaFile(ca.CaFile());
    EXPECT_EQ(GetOrFailure(*cli, HttpsUrl(server.Port(), "/", host)).first, failure) << host;
  }
  winapi::SetResolverHookForTesting(nullptr);
}

}  // namespace
}  // namespace http::testing
