// The probe server over TLS: curl with the test CA scrapes it with a login;
// clients that do not speak TLS are closed; a certificate that cannot be loaded
// stops the start.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "app/probe/ProbeServer.h"
#include "testsupport/Process.h"
#include "testsupport/RawClient.h"
#include "testsupport/TestCa.h"

namespace {

using probe::TProbeServer;
using probe::TServeOptions;
using testsupport::Millis;
using testsupport::TestCa;
using testsupport::TestCert;

constexpr const char* kCurl = "/usr/bin/curl";
// "s3cret", bcrypt at the lowest cost.
constexpr const char* kPromHash = "$2b$04$abcdefghijklmnopqrstuuLZYjhNQAOdpbzt4WxWlUHjv1wsyH5DG";

// curl's body followed by a line with the status it got ("000": no answer).
std::string Curl(const TestCa& ca, uint16_t port, const std::string& target,
                 const std::vector<std::string>& extra = {}) {
  std::vector<std::string> argv = {kCurl,      "-s",        "--max-time", "20",
                                   "--cacert", ca.CaFile(), "-w",         "\n%{http_code}\n"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back("https://127.0.0.1:" + std::to_string(port) + target);
  return testsupport::RunAndCapture(argv, Millis(30000)).second;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ProbeTls : public ::testing::Test {
 protected:
  void SetUp() override {
    TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
    TL_SKIP_UNLESS_INSTALLED(kCurl);
    ASSERT_TRUE(ca_.Ok()) << ca_.Error();
    options_.port = "0";
    options_.tlsCertFile = ca_.CertFile(TestCert::kGood);
    options_.tlsKeyFile = ca_.KeyFile(TestCert::kGood);
  }

  TestCa ca_;
  TServeOptions options_;
};

// Both paths answer over TLS, and the login is asked for inside it.
TEST_F(ProbeTls, CurlScrapesWithALoginOverTls) {
  options_.basicAuthUsers = {{"prom", kPromHash}};
  TProbeServer server(options_, {});
  const std::vector<std::string> login = {"-u", "prom:s3cret"};
  const std::string metrics = Curl(ca_, server.Port(), "/metrics", login);
  EXPECT_TRUE(EndsWith(metrics, "\n200\n")) << metrics;
  EXPECT_NE(metrics.find("\ntachyload_connections_total "), std::string::npos) << metrics;
  const std::string probe = Curl(ca_, server.Port(), "/probe?target=http%3A%2F%2F127.0.0.1%3A1%2F", login);
  EXPECT_TRUE(EndsWith(probe, "\n200\n")) << probe;
  EXPECT_NE(probe.find("\nprobe_success 0\n"), std::string::npos) << probe;
  EXPECT_TRUE(EndsWith(Curl(ca_, server.Port(), "/metrics"), "\n401\n"));
  EXPECT_TRUE(EndsWith(Curl(ca_, server.Port(), "/metrics", {"-u", "prom:wrong"}), "\n401\n"));
}

// Plain HTTP gets no answer but the close; a client that never starts its
// handshake is closed at the end of the request wait; the server goes on.
TEST_F(ProbeTls, ClientsThatDoNotSpeakTlsAreClosed) {
  options_.requestWaitSeconds = 0.3;
  TProbeServer server(options_, {});
  for (const std::string request : {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", ""}) {
    SCOPED_TRACE(request);
    testsupport::RawClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    ASSERT_TRUE(c.Send(request));
    const std::string answer = c.ReadToEnd();
    EXPECT_TRUE(c.ClosedByPeer() || c.ResetByPeer());
    EXPECT_EQ(answer.find("HTTP/1.1"), std::string::npos) << answer;
  }
  EXPECT_TRUE(EndsWith(Curl(ca_, server.Port(), "/metrics"), "\n200\n"));
}

#ifdef TL_CLI_PATH
// The command line reads the files named in --web.config.file relative to it:
// good ones give a TLS server, a missing one a clear error and exit status 1.
TEST_F(ProbeTls, WebConfigFileTurnsTlsOnOrStopsTheStart) {
  testsupport::TempDir dir("tl-probe-tls");
  testsupport::WriteFile(dir.File("server.crt"), testsupport::ReadFile(ca_.CertFile(TestCert::kGood)));
  testsupport::WriteFile(dir.File("server.key"), testsupport::ReadFile(ca_.KeyFile(TestCert::kGood)));
  const std::string good =
      dir.Write("good.yml", "tls_server_config: {cert_file: server.crt, key_file: server.key}\n");
  const std::string bad =
      dir.Write("bad.yml", "tls_server_config: {cert_file: missing.crt, key_file: server.key}\n");

  const auto [status, out] = testsupport::RunAndCapture(
      {"/bin/sh", "-c",
       std::string(TL_CLI_PATH) + " --serve 127.0.0.1:0 --web.config.file " + bad + " 2>&1"});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(out.find("cannot load the certificate " + dir.File("missing.crt")), std::string::npos) << out;

  testsupport::ChildProcess cli;
  testsupport::ProcessOptions options;
  options.argv = {TL_CLI_PATH, "--serve", "127.0.0.1:0", "--web.config.file", good};
  options.logPath = dir.File("stderr.log");
  options.pipeStdout = true;
  ASSERT_TRUE(cli.Start(options)) << cli.Error();
  const std::optional<std::string> line = cli.ReadLine(Millis(10000));
  ASSERT_TRUE(line && EndsWith(*line, " with TLS")) << line.value_or("") << cli.Log();
  const auto port = static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
  EXPECT_TRUE(EndsWith(Curl(ca_, port, "/metrics"), "\n200\n"));
}
#endif

}  // namespace
