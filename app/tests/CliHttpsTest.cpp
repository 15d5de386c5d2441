// tachyload-cli over https: the certificate options against nginx with a test CA.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "app/tests/CliRun.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"
#include "testsupport/TestCa.h"

namespace {

using testsupport::NginxServer;
using testsupport::TestCa;
using testsupport::TestCert;

TEST(CliHttpsTest, CaFileAndInsecureDecideWhichCertificatesPass) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  TL_SKIP_UNLESS_INSTALLED(TestCa::kOpenSsl);
  TestCa ca;
  ASSERT_TRUE(ca.Ok()) << ca.Error();
  NginxServer nginx;
  const uint16_t good = testsupport::FreePort(), self = testsupport::FreePort();
  nginx.AddHttpConfig(ca.NginxServerBlock(good, TestCert::kGood, nginx.Root()) +
                      ca.NginxServerBlock(self, TestCert::kSelfSigned, nginx.Root()));
  ASSERT_TRUE(nginx.Start());
  const std::string goodUrl = "https://127.0.0.1:" + std::to_string(good) + "/index.html";
  const std::string selfUrl = "https://127.0.0.1:" + std::to_string(self) + "/index.html";
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string err;  // part of standard error
  };
  const Case cases[] = {
      {{"--cacert", ca.CaFile(), goodUrl}, 0, ""},
      // The refusal names the host and the ways on.
      {{goodUrl},
       1,
       "tachyload: 127.0.0.1: certificate verify failed: unable to get local issuer certificate (--cacert "
       "FILE "
       "trusts the CA that signed it; -k accepts any certificate)\n"},
      {{"--cacert", ca.CaFile(), selfUrl}, 1, "certificate verify failed: self-signed certificate"},
      {{"-k", selfUrl}, 0, ""},
      {{"--insecure", "--cacert", ca.CaFile(), selfUrl}, 0, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-n", "2", "--http-version", "1.1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const clitest::CliRun r = clitest::RunCli(args);
    SCOPED_TRACE(args.back());
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    if (c.exitCode == 0) {
      EXPECT_NE(r.out.find("Bytes downloaded: 26"), std::string::npos) << r.out;
    }
  }

  // A new connection per load (HTTP/1.0): the loads after the first resume the
  // TLS session, and are counted apart from the cold one.
  const clitest::CliRun r = clitest::RunCli({"--json", "-n", "3", "--cacert", ca.CaFile(), goodUrl});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(j["details"][i]["tls_resumed"], i > 0) << i;
  EXPECT_EQ(j["stats"]["cold"]["count"], 1);
  EXPECT_EQ(j["stats"]["resumed"]["count"], 2);
}

}  // namespace
