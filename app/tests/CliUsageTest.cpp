// Bad usage of tachyload-cli: exit 2, a message, and nothing sent. The URL and
// proxy rules are also checked in-process, where a table costs nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/CliOptions.h"
#include "app/CliSecrets.h"
#include "app/CliUrl.h"
#include "app/TerminalText.h"
#include "app/tests/CliRun.h"
#include "testsupport/Process.h"
#include "testsupport/ScriptedPeer.h"

namespace {

using clitest::RunCli;

TEST(CliUsageTest, BadUsageExitsTwoWithAMessageAndSendsNothing) {
  testsupport::ScriptedPeer peer;
  const std::string url = "http://" + peer.Address() + "/";
  struct Case {
    std::vector<std::string> args;
    std::string message;  // found in the error output
  };
  const std::vector<Case> cases = {
      {{}, "URL is required"},
      {{"--bogus", url}, "--bogus"},
      // Every URL is checked before any load: a bad second one sends nothing.
      {{url, "ftp://127.0.0.1/"}, "only http:// and https:// URLs are supported, not ftp://"},
      {{"-n", "0", url}, "the number of loads must be at least 1: '0'"},
      {{"-n", "x3", url}, "'x3' is not a valid integer value"},
      {{"-n", "99999999999", url}, "is not a valid integer value"},
      {{"-n", "101", url}, "(101). If this is not a mistake"},
      {{"-n", "101", url}, "add -y or --confirm"},
      {{"--timeout", "soon", url}, "--timeout"},
      {{"--timeout", "-1", url}, "--timeout must be"},
      {{"-4", "-6", url}, "-4 and -6 exclude each other"},
      {{"--timeout", "nan", url}, "--timeout must be"},
      {{"--max-redirects", "-1", url}, "--max-redirects"},
      {{"--max-redirects", "two", url}, "--max-redirects"},
      {{"--http-version", "3", url}, "--http-version"},
      {{"http://127.0.0.1:0/"}, "must be a number from 1 to 65535: '0'"},
      {{"http://127.0.0.1:65536/"}, "from 1 to 65535: '65536'"},
      {{"http://127.0.0.1:/"}, "from 1 to 65535: ''"},
      {{"ftp://127.0.0.1/"}, "only http:// and https:// URLs are supported, not ftp://"},
      {{"https://127.0.0.1:0/"}, "must be a number from 1 to 65535: '0'"},
      {{"127.0.0.1:x/"}, "must be a number from 1 to 65535: 'x'"},  // taken as http://
      {{"--cacert", "/nonexistent/ca.pem", url}, "cannot read the CA certificate file '/nonexistent/ca.pem'"},
      {{"http:///path"}, "names no host"},
      {{"http://127.0. 0.1/"}, "host contains a space"},
      {{url + "a\r\nX-Injected: 1"}, "control character"},
      {{url + "\x1b[2J"}, "control character"},
      {{"--proxy", "127.0.0.1:99999", url}, "from 1 to 65535"},
      {{"--proxy", "socks5://127.0.0.1:1080", url}, "not an http:// proxy"},
      {{"--proxy", "user@127.0.0.1:3128", url}, "not HOST[:PORT]"},
  };
  for (const auto& c : cases) {
    const auto r = RunCli(c.args);
    std::string shown;
    for (const auto& a : c.args) shown += app::TerminalSafe(a) + " ";
    SCOPED_TRACE(shown);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(peer.AcceptedCount(), 0u);
}

TEST(CliUsageTest, LimitsThatAreNotUsageErrors) {
  testsupport::ScriptedPeer peer;
  peer.SetDefaultScript(testsupport::HttpScript({testsupport::HttpResponse(200, "ok\n")}));
  const std::string url = "http://" + peer.Address() + "/";
  // Fractions, and limits far beyond any clock (taken as no limit).
  for (const char* timeout : {"0.25", "1e300", "inf"}) {
    const auto r = RunCli({"--timeout", timeout, "-n", "1", "--http-version", "1.1", url});
    EXPECT_EQ(r.exitCode, 0) << timeout << ": " << r.err;
  }
}

TEST(CliUrlTest, CheckedUrlEscapesSpacesInThePathOnly) {
  EXPECT_EQ(app::CheckedUrl("http://h/a b/c?d e#f g"), "http://h/a%20b/c?d%20e#f%20g");
  EXPECT_EQ(app::CheckedUrl("HTTP://h:8080"), "HTTP://h:8080");
  EXPECT_EQ(app::CheckedUrl("http://u:p@h:1/"), "http://u:p@h:1/");
  EXPECT_EQ(app::CheckedUrl("http://[::1]:65535/x"), "http://[::1]:65535/x");
  EXPECT_THROW(app::CheckedUrl("http://[::1/"), app::ECliUsage);
  EXPECT_THROW(app::CheckedUrl("http://[::1]x/"), app::ECliUsage);
  EXPECT_THROW(app::CheckedUrl("http://[fe80::1%25eth0]:8080/"), app::ECliUsage);
  EXPECT_EQ(app::UrlHost("http://u:p@Example.ORG:81/x?y"), "Example.ORG");
}

TEST(CliUrlTest, LocationTargetsForMessages) {
  const std::string base = "http://h:81/d/p?q#f";
  struct Case {
    std::string location, target;
  };
  for (const Case& c : std::vector<Case>{{"http://o:82/x#y", "http://o:82/x"},
                                         {"FTP://o/x", "ftp://o/x"},
                                         {"//o/x", "http://o/x"},
                                         {"/x?y", "http://h:81/x?y"},
                                         {"x", "http://h:81/d/x"},
                                         {"x/../y", "http://h:81/d/y"},
                                         {"?z", "http://h:81/d/p?z"},
                                         {"", "http://h:81/d/p?q"},
                                         {"a?b=http://c", "http://h:81/d/a?b=http://c"}})
    EXPECT_EQ(app::LocationTarget(base, c.location), c.target) << c.location;
  EXPECT_EQ(app::LocationTarget("http://h:81", "x"), "http://h:81/x");
  EXPECT_EQ(app::LocationTarget("http://h:81", "?x"), "http://h:81/?x");
}

TEST(CliUrlTest, ProxyAddressesAndExceptions) {
  struct Case {
    std::string value, host, port;
  };
  for (const Case& c : std::vector<Case>{{"proxy", "proxy", "80"},
                                         {"proxy:3128", "proxy", "3128"},
                                         {"http://proxy:3128/", "proxy", "3128"},
                                         {"HTTP://proxy", "proxy", "80"},
                                         {"[::1]:8080", "[::1]", "8080"}}) {
    const app::TProxyAddress a = app::ParseProxy(c.value);
    EXPECT_EQ(a.host, c.host) << c.value;
    EXPECT_EQ(a.port, c.port) << c.value;
  }
  for (const char* bad : {"", ":3128", "proxy:3128/x", "https://proxy"})
    EXPECT_THROW(app::ParseProxy(bad), app::ECliUsage) << bad;

  struct Bypass {
    std::string host, list;
    bool bypass;
  };
  for (const Bypass& b : std::vector<Bypass>{{"a.example.org", "example.org", true},
                                             {"a.example.org", ".example.org", true},
                                             {"EXAMPLE.org", " x.net ,Example.ORG", true},
                                             {"badexample.org", "example.org", false},
                                             {"example.org", "a.example.org", false},
                                             {"anything", "*", true},
                                             {"anything", "", false},
                                             {"anything", ",,", false}})
    EXPECT_EQ(app::BypassesProxy(b.host, b.list), b.bypass) << b.host << " in '" << b.list << "'";
}

// The proxy a URL gets: the environment's variable for its scheme, with its
// exceptions; --proxy and --noproxy over both.
TEST(CliUrlTest, TheProxyForTheUrlsScheme) {
  struct Case {
    std::string url;
    app::CliEnvironment env;
    std::string proxyOption;
    std::optional<std::string> noProxyOption;
    std::string proxy;  // host:port, "" for none
  };
  const app::CliEnvironment both{"hp:81", "sp:82", ""};
  const std::vector<Case> cases = {
      {"http://h/", both, "", std::nullopt, "hp:81"},
      {"https://h/", both, "", std::nullopt, "sp:82"},
      {"HTTPS://h:8443/x", both, "", std::nullopt, "sp:82"},
      {"https://h/", {"hp:81", "", ""}, "", std::nullopt, ""},
      {"http://h/", {"", "http://sp:82/", ""}, "", std::nullopt, ""},
      {"https://h/", {"", "sp", ""}, "", std::nullopt, "sp:80"},
      {"https://a.h/", {"", "sp:82", "x, .h"}, "", std::nullopt, ""},
      {"https://h/", both, "", "*", ""},
      {"https://h/", {"hp:81", "sp:82", "*"}, "op:83", std::nullopt, "op:83"},
      {"http://h/", both, "op:83", "h", ""},
  };
  for (const Case& c : cases) {
    app::CliOptions o;
    o.proxy = c.proxyOption;
    o.noProxy = c.noProxyOption;
    app::SelectUrl(o, c.url, c.env);
    EXPECT_EQ(o.proxyHost.empty() ? "" : o.proxyHost + ":" + o.proxyPort, c.proxy)
        << c.url << " http_proxy=" << c.env.httpProxy << " https_proxy=" << c.env.httpsProxy;
  }
}

TEST(TerminalTextTest, ControlBytesAreShownEscaped) {
  EXPECT_EQ(app::TerminalSafe(std::string("a\x1b[1mb\r\n\t\x7f\0z\xc3\xa9", 14)),
            "a\\x1B[1mb\\x0D\\x0A\\x09\\x7F\\x00z\xc3\xa9");
  // A page keeps its tabs.
  EXPECT_EQ(app::TerminalSafePage("a\tb\x1b]0;title\x07"), "a\tb\\x1B]0;title\\x07");
}

TEST(CliSecretsTest, UrlPasswordsAreMaskedInAnyText) {
  const std::pair<std::string, std::string> cases[] = {
      {"http://u:pw@h/p", "http://u:***@h/p"},
      {"https://u:p:w@h:8080", "https://u:***@h:8080"},
      {"x (http://u:a@b@h/?q=c:d@e) and ftp://v:pw2@g", "x (http://u:***@h/?q=c:d@e) and ftp://v:***@g"},
      {"http://u@h/", "http://u@h/"},              // no password
      {"http://h:80/a:b@c", "http://h:80/a:b@c"},  // '@' in the path
      {"http://", "http://"},
      {"no URL: a:b@c", "no URL: a:b@c"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(app::MaskUrlPasswords(text), want) << text;
}

TEST(CliSecretsTest, PasswordsLeaveArgvAndComeFromFilesVariablesOrTheTerminal) {
  std::vector<std::string> args = {"tachyload-cli",
                                   "--password",
                                   "pw1",
                                   "--proxy-password=pw2",
                                   "--socks-password",
                                   "-",
                                   "http://u:pw3@h/",
                                   "--",
                                   "--password",
                                   "keep"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  app::ScrubPasswordArgs(static_cast<int>(argv.size()), argv.data());
  // "-" asks the terminal; after "--" nothing is an option.
  const std::vector<std::string> want = {"tachyload-cli",
                                         "--password",
                                         "***",
                                         "--proxy-password=***",
                                         "--socks-password",
                                         "-",
                                         "http://u:***@h/",
                                         "--",
                                         "--password",
                                         "keep"};
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(std::string(argv[i]), want[i]) << i;

  testsupport::TempDir dir("tlpw");
  { std::ofstream(dir.File("pw")) << "from-file\r\nsecond line\n"; }
  const app::PasswordSources sources{[](const char* name) -> const char* {
                                       return std::string(name) == "TACHYLOAD_PROXY_PASSWORD" ? "from-env"
                                                                                              : nullptr;
                                     },
                                     [](const std::string& prompt) { return "typed for " + prompt; }};
  app::CliOptions o;
  o.user = "u";
  o.passwordFile = dir.File("pw");
  o.socks.user = "s";
  o.socks.password = "-";
  app::ResolvePasswords(o, sources);
  EXPECT_EQ(o.password, "from-file");
  EXPECT_EQ(o.proxyPassword, "from-env");
  EXPECT_EQ(o.socks.password, "typed for SOCKS password for s: ");
  // Given on the command line, the variable is not used.
  app::CliOptions given;
  given.proxyPassword = "given";
  app::ResolvePasswords(given, sources);
  EXPECT_EQ(given.proxyPassword, "given");
  app::CliOptions both;
  both.password = "x";
  both.passwordFile = dir.File("pw");
  EXPECT_THROW(app::ResolvePasswords(both, sources), app::ECliUsage);
  app::CliOptions missing;
  missing.passwordFile = dir.File("none");
  EXPECT_THROW(app::ResolvePasswords(missing, sources), app::ECliUsage);
}

}  // namespace
