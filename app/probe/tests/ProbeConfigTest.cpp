// The module file: what each option sets, each way a file can be wrong, and
// the running server's reload on SIGHUP that keeps the old modules for a bad file.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <string>

#include "app/probe/ProbeConfig.h"
#include "core/SysUtils.h"
#include "testsupport/Nginx.h"
#include "testsupport/Process.h"
#include "testsupport/RawClient.h"

namespace {

using probe::ParseModules;
using testsupport::Millis;

TEST(ProbeConfig, EveryOptionSetsItsModuleField) {
  testsupport::TempDir dir("tl-probe-config");
  dir.Write("pw", "s3cret\r\nignored\n");
  const probe::TModules modules = ParseModules(R"(
modules:
  plain: {}
  full:
    prober: http
    timeout: 1m30s
    http:
      valid_status_codes: [200, 404]
      valid_http_versions: ["HTTP/1.1", "HTTP/2.0"]
      method: GET
      follow_redirects: false
      preferred_ip_protocol: ip4
      ip_protocol_fallback: false
      compression: gzip
      proxy_url: http://127.0.0.1:3128/
      tls_config: {ca_file: /etc/ca.pem, insecure_skip_verify: true}
      basic_auth: {username: u, password_file: pw}
      tachyload:
        http_version: "1.0"
        max_redirects: 2
        socks: {server: "127.0.0.1:1081", level: 4A, username: su, password: sp}
)",
                                               dir.Path());
  ASSERT_EQ(modules.size(), 2u);
  const probe::TProbeModule& plain = modules.at("plain");
  EXPECT_EQ(plain.httpVersion, "1.1");
  EXPECT_EQ(plain.ipFamily, "any");
  EXPECT_TRUE(plain.ValidStatus(204));
  EXPECT_FALSE(plain.ValidStatus(301));

  const probe::TProbeModule& m = modules.at("full");
  EXPECT_DOUBLE_EQ(m.timeoutSeconds, 90);
  EXPECT_TRUE(m.ValidStatus(404));
  EXPECT_FALSE(m.ValidStatus(204));
  EXPECT_EQ(m.validProtocols, (std::vector<std::string>{"http/1.1", "h2"}));
  EXPECT_FALSE(m.followRedirects);
  EXPECT_EQ(m.ipFamily, "ip4");
  EXPECT_TRUE(m.compression);
  EXPECT_EQ(m.proxyHost, "127.0.0.1");
  EXPECT_EQ(m.proxyPort, "3128");
  EXPECT_EQ(m.caFile, "/etc/ca.pem");
  EXPECT_TRUE(m.insecure);
  EXPECT_EQ(m.user, "u");
  EXPECT_EQ(m.password, "s3cret");
  EXPECT_EQ(m.httpVersion, "1.0");
  EXPECT_EQ(m.maxRedirects, 2);
  EXPECT_EQ(m.socks.server, "127.0.0.1:1081");
  EXPECT_EQ(m.socks.level, "4A");
  EXPECT_EQ(m.socks.user, "su");
  EXPECT_EQ(m.socks.password, "sp");
}

TEST(ProbeConfig, BadFilesSayWhereAndWhy) {
  const struct {
    const char* yaml;
    const char* says;
  } cases[] = {
      {"modules: {a: {prober: tcp}}", "only the http prober"},
      {"modules:\n  a:\n    http:\n      headers: {X: y}\n",
       "line 4: unknown or unsupported option http.headers"},
      {"modules: {a: {timeout: 5}}", "give a unit"},
      {"modules: {a: {timeout: -5s}}", "bad duration"},
      {"modules: {a: {http: {valid_status_codes: [abc]}}}", "valid status code must be a number"},
      {"modules: {a: {http: {valid_status_codes: 200}}}", "must be a list"},
      {"modules: {a: {http: {valid_http_versions: [HTTP/3]}}}", "valid_http_versions takes"},
      {"modules: {a: {http: {method: POST}}}", "only the GET method"},
      {"modules: {a: {http: {preferred_ip_protocol: ip5}}}", "ip4 or ip6"},
      {"modules: {a: {http: {follow_redirects: maybe}}}", "true or false"},
      {"modules: {a: {http: {proxy_url: 'ftp://x'}}}", "proxy"},
      {"modules: {a: {http: {basic_auth: {password_file: /nonexistent/pw}}}}",
       "cannot read the password file"},
      {"modules: {a: {http: {tachyload: {http_version: '3'}}}}", "1.0, 1.1 or 2"},
      {"modules: {a: {http: {tachyload: {socks: {server: 'h:99999'}}}}}", "1 to 65535"},
      {"modules: {a: {http: {tachyload: {socks: {level: '3'}}}}}", "4A"},
      {"modules: {}", "at least one module"},
      {"modulez: {a: {}}", "unknown or unsupported option file.modulez"},
      {"modules: [a\n", "line 2"},
      {"- just a list", "mapping"},
  };
  for (const auto& c : cases) {
    try {
      ParseModules(c.yaml);
      ADD_FAILURE() << "accepted: " << c.yaml;
    } catch (const core::Exception& e) {
      EXPECT_NE(e.Message().find(c.says), std::string::npos) << c.yaml << "\nsaid: " << e.Message();
    }
  }
}

TEST(ProbeConfig, DurationsInTheExportersForm) {
  EXPECT_DOUBLE_EQ(probe::ParseDuration("5s"), 5);
  EXPECT_DOUBLE_EQ(probe::ParseDuration("500ms"), 0.5);
  EXPECT_DOUBLE_EQ(probe::ParseDuration("1.5s"), 1.5);
  EXPECT_DOUBLE_EQ(probe::ParseDuration("1h2m3s"), 3723);
  for (const char* bad : {"", "s", "5", "5x", "0s", "2d", "25h", "5s ", "+5s"})
    EXPECT_THROW(probe::ParseDuration(bad), core::Exception) << bad;
}

#ifdef TL_CLI_PATH
std::string Scrape(uint16_t port, const std::string& target) {
  testsupport::RawClient c;
  if (!c.Connect(port) || !c.Send("GET " + target + " HTTP/1.1\r\n\r\n")) return {};
  return c.ReadToEnd(Millis(30000));
}

TEST(ProbeConfig, SighupReloadsAndABadFileKeepsTheOldModules) {
  TL_SKIP_UNLESS_INSTALLED(testsupport::NginxServer::kBinary);
  testsupport::NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  testsupport::TempDir dir("tl-probe-reload");
  const std::string config = dir.Write("modules.yml", "modules: {first: {timeout: 5s}}\n");
  testsupport::ChildProcess cli;
  testsupport::ProcessOptions options;
  options.argv = {TL_CLI_PATH, "--serve", "127.0.0.1:0", "--config", config};
  options.logPath = dir.File("stderr.log");
  options.pipeStdout = true;
  ASSERT_TRUE(cli.Start(options)) << cli.Error();
  const std::optional<std::string> line = cli.ReadLine(Millis(10000));
  ASSERT_TRUE(line && line->find("listening on 127.0.0.1:") != std::string::npos) << line.value_or("");
  const auto port = static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
  const std::string target = "/probe?target=" + nginx.Url("/") + "&module=";
  EXPECT_NE(Scrape(port, target + "first").find("\nprobe_success 1\n"), std::string::npos);
  EXPECT_NE(Scrape(port, target + "second").find("unknown module: second"), std::string::npos);

  dir.Write("modules.yml", "modules: {second: {http: {valid_status_codes: [200]}}}\n");
  kill(cli.Pid(), SIGHUP);
  ASSERT_EQ(testsupport::WaitUntil([&] { return cli.Log().find("reloaded 1 module") != std::string::npos; },
                                   Millis(10000)),
            testsupport::WaitResult::kReady)
      << cli.Log();
  EXPECT_NE(Scrape(port, target + "second").find("\nprobe_success 1\n"), std::string::npos);
  EXPECT_NE(Scrape(port, target + "first").find("unknown module: first"), std::string::npos);

  dir.Write("modules.yml", "modules: {third: {prober: icmp}}\n");
  kill(cli.Pid(), SIGHUP);
  ASSERT_EQ(testsupport::WaitUntil([&] { return cli.Log().find("keeping the modules") != std::string::npos; },
                                   Millis(10000)),
            testsupport::WaitResult::kReady)
      << cli.Log();
  EXPECT_NE(cli.Log().find("only the http prober"), std::string::npos) << cli.Log();
  EXPECT_NE(Scrape(port, target + "second").find("\nprobe_success 1\n"), std::string::npos);
  EXPECT_NE(Scrape(port, "/metrics").find("\ntachyload_config_last_reload_successful 0\n"),
            std::string::npos);

  const int status = cli.Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(ProbeConfig, BadFileAtStartIsAnError) {
  testsupport::TempDir dir("tl-probe-badconfig");
  const std::string config = dir.Write("modules.yml", "modules: {a: {timeout: soon}}\n");
  const auto [status, out] = testsupport::RunAndCapture(
      {"/bin/sh", "-c", std::string(TL_CLI_PATH) + " --serve 127.0.0.1:0 --config " + config + " 2>&1"});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(out.find("modules.yml: line 1: bad duration 'soon'"), std::string::npos) << out;
}
#endif

}  // namespace
