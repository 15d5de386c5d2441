// tachyload-cli against scripted peers: which answers fail a load, how
// redirections are counted, the proxy, the time limit, Ctrl-C, the locale, and
// the exact request the window's configuration sends.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <clocale>
#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/Cli.h"
#include "app/tests/CliRun.h"
#include "platform/WinSock.h"
#include "testsupport/Process.h"
#include "testsupport/ScriptedPeer.h"

namespace {

using clitest::CliRun;
using clitest::RunCli;
using testsupport::HttpResponse;
using testsupport::HttpScript;
using testsupport::Millis;
using testsupport::Script;
using testsupport::ScriptedPeer;

std::string Url(const ScriptedPeer& peer, const std::string& path = "/") {
  return "http://" + peer.Address() + path;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST(CliVerdictTest, FinalStatusDecidesTheExitCode) {
  struct Case {
    std::string response;
    std::vector<std::string> options;
    int exitCode;
    std::string err;  // after "tachyload: "; the URL in brackets follows
  };
  const std::string found = HttpResponse(302, "moved\n", {"Location: /elsewhere"});
  const std::vector<Case> cases = {
      {HttpResponse(200, "fine\n"), {}, 0, ""},
      {HttpResponse(404, "gone\n"), {}, 1, "404 Not Found"},
      {HttpResponse(500, "oops\n"), {}, 1, "500 Internal Server Error"},
      // The client itself lets these two through; the command line does not.
      {HttpResponse(401, "who?\n", {"WWW-Authenticate: Basic realm=\"x\""}),
       {},
       1,
       "login required: 401 Unauthorized"},
      {HttpResponse(407, "who?\n", {"Proxy-Authenticate: Basic realm=\"x\""}),
       {},
       1,
       "login required: 407 Proxy Authentication Required"},
      {found, {"--no-redirects"}, 0, ""},
      {found, {"--max-redirects", "0"}, 1, "Too many redirections (0): 302 Found"},
  };
  for (const auto& c : cases) {
    ScriptedPeer peer;
    peer.SetDefaultScript(HttpScript({c.response}));
    std::vector<std::string> args = c.options;
    for (const char* a : {"-n", "1", "--http-version", "1.1"}) args.push_back(a);
    args.push_back(Url(peer, "/page"));
    const CliRun r = RunCli(args);
    SCOPED_TRACE(c.response.substr(0, c.response.find('\r')));
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    if (c.exitCode == 0) {
      EXPECT_EQ(r.err, "");
      EXPECT_NE(r.out.find("Number of loads: 1"), std::string::npos);
    } else {
      EXPECT_EQ(r.err, "tachyload: " + c.err + " (" + Url(peer, "/page") + ")\n");
      EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(peer.AcceptedCount(), 1u);
  }
}

TEST(CliVerdictTest, ControlBytesFromTheServerNeverReachTheTerminal) {
  ScriptedPeer peer;
  peer.SetDefaultScript(
      HttpScript({"HTTP/1.1 500 Bad\x1b]0;owned\x07 \x1b[2J\r\nContent-Length: 0\r\n\r\n"}));
  const CliRun r = RunCli({"-n", "1", Url(peer)});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\x07'), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("500 Bad\\x1B]0;owned\\x07 \\x1B[2J"), std::string::npos) << r.err;
}

// A chain of `hops` redirections, then the page: on one kept connection, or
// with the server closing after every answer (a new connection per hop, which
// the client counts twice).
std::vector<Script> Chain(int hops, bool newConnections) {
  std::vector<std::string> answers;
  for (int i = 1; i <= hops; ++i) {
    std::vector<std::string> headers = {"Location: /hop" + std::to_string(i)};
    if (newConnections) headers.push_back("Connection: close");
    answers.push_back(HttpResponse(302, "", headers));
  }
  answers.push_back(HttpResponse(200, "page\n"));
  if (!newConnections) return {HttpScript(answers)};
  std::vector<Script> scripts;
  for (const auto& a : answers) scripts.push_back(HttpScript({a}).Close());
  return scripts;
}

TEST(CliVerdictTest, RedirectionLimitCountsHopsWhateverTheConnectionDoes) {
  for (const bool newConnections : {false, true}) {
    SCOPED_TRACE(newConnections ? "new connections" : "kept connection");
    {
      ScriptedPeer peer(Chain(3, newConnections));
      const CliRun r = RunCli({"--http-version", "1.1", "--max-redirects", "3", "-p", "-n", "1", Url(peer)});
      EXPECT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(r.out.rfind("page\n", 0), 0u) << r.out;
    }
    {
      ScriptedPeer peer(Chain(3, newConnections));
      const CliRun r = RunCli({"--http-version", "1.1", "--max-redirects", "2", "-n", "1", Url(peer)});
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.err, "tachyload: Too many redirections (2): 302 Found (" + Url(peer, "/hop2") + ")\n");
      // The first request and two hops; the third hop is never requested.
      std::string received;
      for (size_t i = 0; i < peer.AcceptedCount(); ++i) received += peer.Received(i);
      EXPECT_EQ(Count(received, "GET "), 3u) << received;
      EXPECT_EQ(Count(received, "GET /hop3 "), 0u) << received;
    }
  }
}

TEST(CliVerdictTest, AProxyThatRedirectsKeepsItsPort) {
  // The origin is never reached: every request goes to the proxy, whose port is
  // not 80, also after the redirection closed the first connection.
  const std::string origin = "http://127.0.0.1:9";
  for (const bool fromEnvironment : {false, true}) {
    SCOPED_TRACE(fromEnvironment ? "http_proxy" : "--proxy");
    ScriptedPeer proxy(
        {HttpScript({HttpResponse(302, "", {"Location: " + origin + "/b", "Connection: close"})}).Close(),
         HttpScript({HttpResponse(200, "via proxy\n")})});
    std::vector<std::string> args = {"-p", "-n", "1", origin + "/a"};
    std::vector<std::string> env;
    if (fromEnvironment)
      env = {"http_proxy=http://" + proxy.Address() + "/"};
    else
      args.insert(args.begin(), {"--proxy", proxy.Address()});
    const CliRun r = RunCli(args, env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("via proxy\n", 0), 0u) << r.out;
    ASSERT_EQ(proxy.AcceptedCount(), 2u);
    EXPECT_EQ(proxy.Received(0).rfind("GET " + origin + "/a HTTP/1.0\r\n", 0), 0u) << proxy.Received(0);
    EXPECT_EQ(proxy.Received(1).rfind("GET " + origin + "/b HTTP/1.0\r\n", 0), 0u) << proxy.Received(1);
  }
}

TEST(CliVerdictTest, TheEnvironmentsProxyAndItsExceptions) {
  testsupport::RefusedPort deadProxy;
  const std::string proxyVar = "http_proxy=127.0.0.1:" + std::to_string(deadProxy.Port());
  struct Case {
    std::vector<std::string> env, options;
    bool direct;
  };
  const std::vector<Case> cases = {
      {{proxyVar}, {}, false},
      {{proxyVar, "no_proxy=example.org, 127.0.0.1"}, {}, true},
      {{proxyVar, "NO_PROXY=.0.0.1"}, {}, true},
      {{proxyVar}, {"--noproxy", "*"}, true},
      // no_proxy goes with http_proxy; --proxy ignores it.
      {{"no_proxy=*"}, {"--proxy", "127.0.0.1:" + std::to_string(deadProxy.Port())}, false},
  };
  for (const auto& c : cases) {
    ScriptedPeer origin;
    origin.SetDefaultScript(HttpScript({HttpResponse(200, "direct\n")}));
    std::vector<std::string> args = c.options;
    for (const char* a : {"-p", "-n", "1"}) args.push_back(a);
    args.push_back(Url(origin));
    const CliRun r = RunCli(args, c.env);
    SCOPED_TRACE(c.env.back());
    if (c.direct) {
      EXPECT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(r.out.rfind("direct\n", 0), 0u) << r.out;
    } else {
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(origin.AcceptedCount(), 0u);
    }
  }
}

// An https page goes through https_proxy (HTTPS_PROXY when that is unset), as a
// tunnel; http_proxy is not for it. The proxy's refusal is the load's verdict.
TEST(CliVerdictTest, HttpsPagesTakeTheHttpsProxy) {
  struct Case {
    const char* variable;
    std::string answer, error;
  };
  const std::string url = "https://127.0.0.1:9/p";
  const Case cases[] = {
      {"https_proxy", HttpResponse(403, "", {"Connection: close"}),
       "tachyload: 403 Forbidden (" + url + ")\n"},
      {"HTTPS_PROXY", HttpResponse(407, "", {"Proxy-Authenticate: Basic realm=\"p\"", "Connection: close"}),
       "tachyload: login required: 407 Proxy Authentication Required (" + url + ")\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    ScriptedPeer proxy({Script().Expect("\r\n\r\n").Send(c.answer).Close()});
    testsupport::RefusedPort deadProxy;
    const CliRun r = RunCli({"-n", "1", url}, {std::string(c.variable) + "=http://" + proxy.Address() + "/",
                                               "http_proxy=127.0.0.1:" + std::to_string(deadProxy.Port())});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, c.error);
    EXPECT_EQ(proxy.Received(0).rfind("CONNECT 127.0.0.1:9 HTTP/1.1\r\n", 0), 0u) << proxy.Received(0);
  }
}

TEST(CliVerdictTest, SendsTheWindowsRequestWithSpacesInThePathEscaped) {
  ScriptedPeer peer;
  peer.SetDefaultScript(HttpScript({HttpResponse(200, "ok\n", {"Connection: close"})}).Close());
  const CliRun r = RunCli({"-n", "1", Url(peer, "/a b?q=c d")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("URL: " + Url(peer, "/a%20b?q=c%20d") + "\n", 0), 0u) << r.out;
  // The window's configuration, byte for byte: HTTP/1.0, its Accept and
  // User-Agent lines, and nothing the window does not send.
  EXPECT_EQ(peer.Received(0),
            "GET /a%20b?q=c%20d HTTP/1.0\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "User-Agent: Mozilla/3.0 (compatible)\r\n"
            "Host: " +
                peer.Address() +
                "\r\n"
                "\r\n");
}

TEST(CliVerdictTest, JsonNumbersKeepTheirDotInAGermanLocale) {
  const char* german = "de_DE.UTF-8";
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  const bool available = std::setlocale(LC_ALL, german) != nullptr;
  std::setlocale(LC_ALL, saved.c_str());
  if (!available)
    GTEST_SKIP() << german << " is not installed (scripts/install-test-servers.sh generates it)";

  // The answer comes late so the run takes some milliseconds: a run of 0 ms has
  // no speed.
  ScriptedPeer peer;
  peer.SetDefaultScript(Script().ExpectRequest().Wait(Millis(30)).Send(HttpResponse(200, "abc\n")).Close());
  CliRun r = RunCli({"--json", "-n", "1", Url(peer)}, {"LC_ALL=" + std::string(german)});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  ASSERT_TRUE(j["speed"].is_number_float()) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\"speed\":[0-9]+\\.[0-9]+(e[-+]?[0-9]+)?,"))) << r.out;
  // The report itself follows the locale, as the window does. A speed that
  // happens to be whole has no separator: another run then.
  bool comma = false;
  for (int attempt = 0; attempt < 5 && !comma; ++attempt) {
    ScriptedPeer again;
    again.SetDefaultScript(
        Script().ExpectRequest().Wait(Millis(30)).Send(HttpResponse(200, "abc\n")).Close());
    r = RunCli({"-n", "1", Url(again)}, {"LC_ALL=" + std::string(german)});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(std::regex_search(r.out, std::regex("Average Speed: [0-9]+(,[0-9]+)? bps\\."))) << r.out;
    comma = r.out.find(',') != std::string::npos;
  }
  EXPECT_TRUE(comma) << r.out;
}

// The synchronous wait looks at its deadline between messages, not only when
// the queue runs dry: a server that never stops sending keeps it full.
TEST(CliVerdictTest, ATimeLimitHoldsAgainstAStreamThatNeverEnds) {
  ScriptedPeer peer;
  peer.SetDefaultScript(Script()
                            .ExpectRequest()
                            .Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n")
                            .SendForever(std::string(16384, 'x') + "\n"));
  const CliRun r = RunCli({"--timeout", "0.5", "-n", "1", Url(peer)});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind("tachyload: load timed out after 0.5 s (", 0), 0u) << r.err;
}

TEST(CliVerdictTest, CtrlCAbortsTheRunningLoadAndReportsTheLoadsDone) {
  // The first load gets its page; the second waits for an answer that never comes.
  ScriptedPeer peer({HttpScript({HttpResponse(200, "first\n", {"Connection: close"})}).Close(),
                     Script().ExpectRequest().Pause("never")});
  testsupport::TempDir dir("tlint");
  testsupport::ChildProcess cli;
  testsupport::ProcessOptions options;
  options.argv = {TL_CLI_PATH, "-n", "3", "-o", dir.File("history.txt"), Url(peer)};
  options.logPath = dir.File("log");
  ASSERT_TRUE(cli.Start(options)) << cli.Error();
  ASSERT_TRUE(peer.WaitForReceived(1, "\r\n\r\n"));
  ASSERT_EQ(kill(cli.Pid(), SIGINT), 0);
  ASSERT_EQ(testsupport::WaitUntil([&] { return !cli.Running(); }, Millis(10000)),
            testsupport::WaitResult::kReady);
  ASSERT_TRUE(cli.WaitStatus().has_value());
  EXPECT_TRUE(WIFEXITED(*cli.WaitStatus()));
  EXPECT_EQ(WEXITSTATUS(*cli.WaitStatus()), 130);
  EXPECT_TRUE(std::regex_search(
      cli.Log(),
      std::regex("^tachyload: interrupted after 1 of 3 loads \\(Time: [0-9]+ ms, Bytes downloaded: 7, "
                 "Average Speed: ([0-9.,E-]+|Error!) bps\\)\n$")))
      << cli.Log();
  EXPECT_FALSE(testsupport::ProgramInstalled(dir.File("history.txt")));
  EXPECT_EQ(dir.Read("history.txt"), "");
  peer.Resume("never");
}

// The passwords of the options and of the URL: gone from /proc/PID/cmdline
// while the first load waits, and in nothing the run prints or writes (the
// second URL fails, so its URL is in the error too).
TEST(CliSecretsTest, NoPasswordInTheArgumentListOrInAnyOutput) {
  ScriptedPeer first({Script().ExpectRequest().Pause("go").Send(HttpResponse(200, "ok\n")).Close()});
  ScriptedPeer second({HttpScript({HttpResponse(404, "no\n")}).Close()});
  testsupport::TempDir dir("tlsecret");
  const std::string urlA = "http://u:url-secret@" + first.Address() + "/";
  const std::string urlB = "http://u:url-secret@" + second.Address() + "/b";
  testsupport::ChildProcess cli;
  testsupport::ProcessOptions options;
  options.argv = {TL_CLI_PATH,
                  "--json",
                  "-n",
                  "1",
                  "--password",
                  "arg-secret",
                  "--proxy-password=proxy-secret",
                  "-o",
                  dir.File("history"),
                  "--export-csv",
                  dir.File("csv"),
                  "--export-markdown",
                  dir.File("md"),
                  urlA,
                  urlB};
  options.logPath = dir.File("log");
  ASSERT_TRUE(cli.Start(options)) << cli.Error();
  ASSERT_TRUE(first.WaitForReceived(0, "\r\n\r\n"));
  const std::string cmdline = testsupport::ReadFile("/proc/" + std::to_string(cli.Pid()) + "/cmdline");
  first.Resume("go");
  ASSERT_EQ(testsupport::WaitUntil([&] { return !cli.Running(); }, Millis(10000)),
            testsupport::WaitResult::kReady);
  EXPECT_NE(cmdline.find("http://u:**********@"), std::string::npos) << cmdline;
  const std::string outputs[] = {cmdline, cli.Log(), dir.Read("history"), dir.Read("csv"), dir.Read("md")};
  for (const std::string& text : outputs) {
    EXPECT_FALSE(text.empty());
    for (const char* secret : {"arg-secret", "proxy-secret", "url-secret"})
      EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << text;
  }
  EXPECT_NE(cli.Log().find("404 Not Found (http://u:***@" + second.Address() + "/b)"), std::string::npos)
      << cli.Log();
}

// The server's password from a file or the environment: the login it sends.
TEST(CliSecretsTest, ThePasswordFromAFileOrTheEnvironmentLogsIn) {
  testsupport::TempDir dir("tlpwfile");
  { std::ofstream(dir.File("pw")) << "file-pw\n"; }
  struct Case {
    std::vector<std::string> args, env;
    std::string basic;  // base64 of "u:password"
  };
  const Case cases[] = {
      {{"--password-file", dir.File("pw")}, {}, "dTpmaWxlLXB3"},
      {{}, {"TACHYLOAD_PASSWORD=env-pw"}, "dTplbnYtcHc="},
      {{"--password", "arg-pw"}, {"TACHYLOAD_PASSWORD=env-pw"}, "dTphcmctcHc="},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer(
        {HttpScript({HttpResponse(401, "", {"WWW-Authenticate: Basic realm=\"x\"", "Connection: close"})})
             .Close(),
         HttpScript({HttpResponse(200, "ok\n")}).Close()});
    std::vector<std::string> args = {"-n", "1", "--user", "u", Url(peer)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliRun r = RunCli(args, c.env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(peer.Received(1).find("Authorization: Basic " + c.basic + "\r\n"), std::string::npos)
        << peer.Received(1);
  }
}

// -p: a page's escape sequence reaches a file or a pipe as it came, and a
// terminal (here the one script(1) gives the program) escaped.
TEST(CliPagesTest, ControlBytesAreEscapedOnATerminalOnly) {
  TL_SKIP_UNLESS_INSTALLED("/usr/bin/script");
  const std::string page = "a\x1b[2Jb\tc\n";
  ScriptedPeer piped({HttpScript({HttpResponse(200, page)}).Close()});
  const CliRun r = RunCli({"-p", "-q", "-n", "1", Url(piped)});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("a\x1b[2Jb\tc\n", 0), 0u) << r.out;

  ScriptedPeer terminal({HttpScript({HttpResponse(200, page)}).Close()});
  const auto [status, out] = testsupport::RunAndCapture(
      {"script", "-qec", clitest::Quote(TL_CLI_PATH) + " -p -q -n 1 " + Url(terminal), "/dev/null"});
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("a\\x1B[2Jb\tc\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
}

// What the program says on standard error when something fails, exactly.
TEST(CliMessagesTest, EachMessageNamesWhatFailedAndWhatToDo) {
  const uint16_t closed = testsupport::FreePort();
  const std::string closedAddress = "127.0.0.1:" + std::to_string(closed);
  ScriptedPeer loginPage(
      {HttpScript({HttpResponse(401, "", {"WWW-Authenticate: Basic realm=\"x\""})}).Close()});
  ScriptedPeer redirect(
      {HttpScript({HttpResponse(302, "", {"Location: " + Url(loginPage, "/in")})}).Close()});
  const std::string longHost(256, 'a');
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string err;  // the whole of standard error
  };
  const std::string usage = "usage: tachyload-cli [options] URL (--help lists the options)\n";
  const Case cases[] = {
      {{"http://" + closedAddress + "/"},
       1,
       "tachyload: " + closedAddress + ": Connection refused (Error #10061)\n"},
      {{"--proxy", closedAddress, "http://127.0.0.2/"},
       1,
       "tachyload: proxy " + closedAddress + ": Connection refused (Error #10061)\n"},
      {{"--user", "u", "--password", "p", Url(redirect)},
       1,
       "tachyload: login required: 401 Unauthorized (" + Url(loginPage, "/in") + ")\n"},
      {{"--socks", closedAddress, "http://" + longHost + "/"},
       2,
       "tachyload: SOCKS: host name longer than 255 bytes\n" + usage},
      {{"--socks", closedAddress, "--socks-user", longHost, "http://h/"},
       2,
       "tachyload: SOCKS: user name longer than 255 bytes\n" + usage},
      {{"--lods", "3", "http://h/"},
       2,
       "tachyload: there is no option --lods (did you mean --loads?)\n" + usage},
      {{"--max-redirects", "abc", "http://h/"},
       2,
       "tachyload: --max-redirects takes a whole number from 0 to 1000000, not 'abc'\n" + usage},
      {{"--loads", "4", "http://h/"}, 2, "tachyload: --loads was given 2 times: give it once\n" + usage},
      {{"--demo", "http://h/"}, 2, "tachyload: --demo serves its own page: give it no URL\n" + usage},
      {{"--http-version", "3", "http://h/"},
       2,
       "tachyload: --http-version takes 1.0 or 1.1 or 2, not '3'\n" + usage},
      {{"--timeout", "soon", "http://h/"}, 2, "tachyload: --timeout takes a number, not 'soon'\n" + usage},
      {{"http://h/", "--loads"}, 2, "tachyload: --loads needs a value\n" + usage},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-n", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args.front());
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.err, c.err);
  }
  // The other origin was not sent the credentials: required there, not refused.
  EXPECT_EQ(loginPage.Received(0).find("Authorization:"), std::string::npos) << loginPage.Received(0);
}

int InvalidNotFound(const std::string& name, bool, winapi::HostEntry& out) {
  if (name.size() >= 8 && name.substr(name.size() - 8) == ".invalid") return winapi::WSAHOST_NOT_FOUND;
  out.officialName = name;
  out.addrs = {htonl(INADDR_LOOPBACK)};
  return 0;
}

// Only a failed lookup names the host it looked for; a server's reason phrase
// that reads like one is the server's. Run in this process, where the resolver
// hook stands in for the system's.
TEST(CliMessagesTest, OnlyAFailedLookupNamesTheHostLookedFor) {
  ScriptedPeer lookalike({HttpScript({"HTTP/1.0 200 can't resolve hostname to IP address\r\n"
                                      "Content-Length: 100\r\n\r\nshort"})
                              .Close()});
  struct Case {
    std::string url;
    std::string err;  // the whole of standard error
  };
  const Case cases[] = {
      {"http://tachyload-no-such-host.invalid/",
       "tachyload: tachyload-no-such-host.invalid: can't resolve hostname to IP address\n"},
      {Url(lookalike, "/short"), "tachyload: Connection closed before the end of the document\n"},
  };
  winapi::SetResolverHookForTesting(&InvalidNotFound);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::vector<std::string> args = {"tachyload-cli", "--noproxy", "*", "-n", "1", c.url};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::ostringstream out, err;
    EXPECT_EQ(app::RunCli(static_cast<int>(argv.size()), argv.data(), out, err), 1);
    EXPECT_EQ(err.str(), c.err);
  }
  winapi::SetResolverHookForTesting(nullptr);
}

// A URL without a scheme is an http one; --compressed asks over HTTP/1.1, and
// -v says when the server sent the page uncompressed all the same.
TEST(CliMessagesTest, NoSchemeMeansHttpAndCompressedSaysWhatItGot) {
  ScriptedPeer peer({HttpScript({HttpResponse(200, "plain\n")}).Close()});
  const CliRun r = RunCli({"-v", "-n", "1", "--compressed", peer.Address() + "/x"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("URL: http://" + peer.Address() + "/x\n", 0), 0u) << r.out;
  EXPECT_EQ(peer.Received(0).rfind("GET /x HTTP/1.1\r\n", 0), 0u) << peer.Received(0);
  EXPECT_NE(peer.Received(0).find("Accept-Encoding: "), std::string::npos) << peer.Received(0);
  EXPECT_NE(r.out.find("Note: the server sent 1 of 1 pages uncompressed although --compressed asked for "
                       "compression.\n"),
            std::string::npos)
      << r.out;
}

// --help is the block the README shows.
TEST(CliMessagesTest, HelpIsTheReadmesBlock) {
  const std::string readme = testsupport::ReadFile(TL_README_PATH);
  const size_t start = readme.find("```\ntachyload-cli [options] URL...");
  ASSERT_NE(start, std::string::npos);
  const size_t end = readme.find("```\n", start + 4);
  const CliRun r = RunCli({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, readme.substr(start + 4, end - start - 4));
  EXPECT_EQ(r.out.find("\n\n"), std::string::npos);
}

}  // namespace
