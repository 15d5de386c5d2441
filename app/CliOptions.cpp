#include "app/CliOptions.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <ostream>

#include "app/CliHelp.h"
#include "app/CliUrl.h"
#include "app/SpeedRun.h"

namespace app {

namespace {

#ifndef TL_VERSION
#define TL_VERSION "unknown"
#endif
const char kVersion[] = "tachyload-cli " TL_VERSION;

}  // namespace

std::string ProgramVersion() {
  return TL_VERSION;
}

void DeclareCliOptions(CLI::App& cli, CliOptions& o) {
  // Required unless --demo serves the page (CheckCliOptions says so).
  CLI::Option* url = cli.add_option(
      "URL", o.urls, "the pages to load (http[s]://HOST[:PORT]/PATH), each measured in turn and compared");

  const char* loads = "Loads";
  cli.add_option("-n,--loads", o.loads, "number of loads (default 3)")->option_text("N")->group(loads);
  cli.add_flag("-y,--confirm", o.confirm, "allow more than 100 loads")->group(loads);

  const char* output = "Output";
  cli.add_flag("-p,--pages", o.pages, "print the page pane's lines before the report")->group(output);
  cli.add_option("-o,--history", o.historyFile, "append the report to FILE (CR LF line ends)")
      ->option_text("FILE")
      ->group(output);
  cli.add_option("--history-db", o.historyDb, "record the run in this history database")
      ->option_text("FILE")
      ->group(output);
  cli.add_flag("--no-save", o.noSave, "record nothing in the history database")->group(output);
  cli.add_flag("--compare-last", o.compareLast, "compare with the previous run of the same URL and options")
      ->group(output);
  cli.add_flag("--json", o.json,
               "print one JSON object instead of the report (with -p the pages go to stderr)")
      ->group(output);

  const char* connection = "Connection";
  cli.add_option("--http-version", o.httpVersion,
                 "1.0 (default), 1.1 or 2 (ALPN for https, prior knowledge for http)")
      ->option_text("V")
      ->check(CLI::IsMember({"1.0", "1.1", "2"}))
      ->group(connection);
  cli.add_flag_callback(
         "--http2", [&o]() { o.httpVersion = "2"; }, "short for --http-version 2")
      ->group(connection);
  cli.add_option("--proxy", o.proxy, "send the requests through this HTTP proxy")
      ->option_text("HOST[:PORT]")
      ->group(connection);
  cli.add_option("--noproxy", o.noProxy, "hosts reached without a proxy (comma-separated; '*': all)")
      ->option_text("LIST")
      ->group(connection);
  cli.add_option("--timeout", o.timeoutSeconds,
                 "abort a load that takes longer (fractions allowed; 0: no limit)")
      ->option_text("SECONDS")
      ->group(connection);
  cli.add_option_function<std::string>(
         "--limit-rate",
         [&o](const std::string& v) {
           const std::optional<int32_t> rate = ParseLimitRate(v);
           if (!rate)
             throw CLI::ValidationError("--limit-rate",
                                        "takes bytes per second (k, M, G allowed), not '" + v + "'");
           o.limitRate = *rate;
         },
         "hold each load to this many bytes per second (suffixes k, M, G count 1024, 1024^2, 1024^3; 0: no "
         "limit)")
      ->option_text("BYTES_PER_SECOND")
      ->group(connection);
  cli.add_flag("--compressed", o.compressed,
               "ask for compressed pages (gzip, deflate, br, zstd) and decode them; bytes count decoded")
      ->group(connection);
  cli.add_flag("-4,--ipv4", o.ipv4Only, "connect over IPv4 only")->group(connection);
  cli.add_flag("-6,--ipv6", o.ipv6Only, "connect over IPv6 only")->group(connection);
  cli.add_flag("--no-race", o.noRace,
               "try a host's addresses one at a time in the resolver's order instead of racing IPv6 and IPv4")
      ->group(connection);

  const char* redirections = "Redirections";
  cli.add_option("--max-redirects", o.maxRedirects,
                 "redirections followed (default 5; 0: a redirection fails)")
      ->option_text("N")
      ->check(CLI::Range(0, 1000000))
      ->group(redirections);
  cli.add_flag(
         "--no-redirects", [&o](int64_t) { o.followRedirects = false; }, "take a redirection as the page")
      ->group(redirections);

  const char* login = "Login (Basic or NTLM, as the server or proxy asks)";
  cli.add_option("--user", o.user, "user name for the server")->option_text("NAME")->group(login);
  cli.add_option(
         "--password", o.password,
         "password for the server ('-': ask on the terminal; or --password-file, or TACHYLOAD_PASSWORD)")
      ->option_text("TEXT")
      ->group(login);
  cli.add_option("--password-file", o.passwordFile, "read the server's password from FILE's first line")
      ->option_text("FILE")
      ->group(login);
  cli.add_option("--proxy-user", o.proxyUser, "user name for the proxy")->option_text("NAME")->group(login);
  cli.add_option("--proxy-password", o.proxyPassword, "password for the proxy")
      ->option_text("TEXT")
      ->group(login);
  cli.add_flag("--ntlm-v1", o.ntlmV1,
               "answer NTLM with the old NTLMv1 and LM responses (for servers that know no NTLMv2)")
      ->group(login);

  const char* socks = "SOCKS";
  const auto checked = [](std::string (*check)(const std::string&), const char* name) {
    return CLI::Validator([check](std::string& value) { return check(value); }, "", name);
  };
  cli.add_option("--socks", o.socks.server, "load through this SOCKS server (port 1080 unless given)")
      ->option_text("HOST[:PORT]")
      ->check(checked(CheckSocksServer, "SOCKS server"))
      ->group(socks);
  cli.add_option("--socks-level", o.socks.level,
                 "4, 4A or 5 (default 5); at 4A and 5 the server resolves the host")
      ->option_text("LEVEL")
      ->check(checked(CheckSocksLevel, "SOCKS level"))
      ->group(socks);
  cli.add_option("--socks-user", o.socks.user, "user code (level 5: log in with it and the password)")
      ->option_text("NAME")
      ->group(socks);
  cli.add_option("--socks-password", o.socks.password, "password for the SOCKS server")
      ->option_text("TEXT")
      ->group(socks);

  const char* measurement = "Measurement";
  cli.add_flag("-v,--details", o.details, "print each load's phases and a summary after the report")
      ->group(measurement);
  cli.add_option("--warmup", o.warmup, "run N loads first and leave them out of the figures")
      ->option_text("N")
      ->check(CLI::Range(0, 1000000))
      ->group(measurement);
  cli.add_option("--export-csv", o.exportCsv, "write every load's phases to FILE as CSV")
      ->option_text("FILE")
      ->group(measurement);
  cli.add_option("--export-markdown", o.exportMarkdown,
                 "write the summary of each URL to FILE as a Markdown table")
      ->option_text("FILE")
      ->group(measurement);
  cli.add_flag("-q,--quiet", o.quiet, "no progress bar on a terminal")->group(measurement);

  cli.add_flag("--demo", o.demo,
               "serve a 10 kB page from inside the program on a free loopback port and test it (no URL)")
      ->excludes(url);

  const char* tls = "TLS";
  cli.add_option("--cacert", o.caCertFile, "trust the CA certificates in FILE (PEM) instead of the system's")
      ->option_text("FILE")
      ->group(tls);
  cli.add_flag("-k,--insecure", o.insecure, "accept any server certificate, for any host name")->group(tls);

  cli.set_version_flag("--version", kVersion);
}

std::optional<int32_t> ParseLimitRate(const std::string& text) {
  static constexpr struct {
    char suffix;
    int64_t factor;
  } kUnits[] = {{'k', 1ll << 10}, {'m', 1ll << 20}, {'g', 1ll << 30}};
  std::string digits = text;
  int64_t factor = 1;
  for (const auto& unit : kUnits) {
    if (!digits.empty() && (digits.back() | 0x20) == unit.suffix) {
      digits.pop_back();
      factor = unit.factor;
      break;
    }
  }
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const std::optional<int64_t> n = core::TryStrToInt64(digits);
  if (!n || *n > INT32_MAX / factor) return std::nullopt;
  return static_cast<int32_t>(*n * factor);
}

bool ParseCliOptions(int argc, char** argv, CliOptions& o, std::ostream& out) {
  CLI::App cli("Measures how fast a web page downloads.", "tachyload-cli");
  DeclareCliOptions(cli, o);
  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << CliHelpText();
    return false;
  } catch (const CLI::CallForVersion&) {
    out << kVersion << "\n";
    return false;
  } catch (const CLI::ParseError& e) {
    throw ECliUsage(ParseErrorText(cli, e));
  }
  // Most servers compress only for HTTP/1.1.
  if (o.compressed && cli.get_option("--http-version")->count() == 0 &&
      cli.get_option("--http2")->count() == 0)
    o.httpVersion = "1.1";
  return true;
}

CliEnvironment CliEnvironment::FromProcess() {
  auto get = [](const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
  };
  CliEnvironment env;
  // Only the lower-case name: a CGI program's HTTP_PROXY may come from a request's
  // "Proxy:" header.
  env.httpProxy = get("http_proxy");
  env.httpsProxy = std::getenv("https_proxy") ? get("https_proxy") : get("HTTPS_PROXY");
  env.noProxy = std::getenv("no_proxy") ? get("no_proxy") : get("NO_PROXY");
  return env;
}

namespace {

int32_t CheckedLoads(const CliOptions& o) {
  int32_t n = 0;
  try {
    n = core::StrToInt(o.loads);
  } catch (const core::EConvertError& e) {
    throw ECliUsage(e.Message());
  }
  if (n < 1) throw ECliUsage("the number of loads must be at least 1: '" + o.loads + "'");
  if (n > 100 && !o.confirm)
    throw ECliUsage(ConfirmationMessage(o.loads) + "(here: add -y or --confirm to run them)");
  return n;
}

// --proxy wins over the variable for the URL's scheme (http_proxy, https_proxy);
// no_proxy goes with the variable alone, --noproxy with either.
void ResolveProxy(CliOptions& o, const CliEnvironment& env) {
  const bool fromEnv = o.proxy.empty();
  const bool https = core::SameText(o.url.substr(0, 8), "https://");
  const std::string proxy = fromEnv ? (https ? env.httpsProxy : env.httpProxy) : o.proxy;
  if (proxy.empty()) return;
  const TProxyAddress a = ParseProxy(proxy);
  const std::string bypass = o.noProxy ? *o.noProxy : fromEnv ? env.noProxy : std::string();
  if (BypassesProxy(UrlHost(o.url), bypass)) return;
  o.proxyHost = a.host;
  o.proxyPort = a.port;
}

}  // namespace

void CheckCliOptions(CliOptions& o, const CliEnvironment& env) {
  if (o.urls.empty()) throw ECliUsage("URL is required");
  for (std::string& url : o.urls) {
    url = CheckedUrl(url);
    if (const std::string problem = SocksLengthProblem(o.socks, UrlHost(url)); !problem.empty())
      throw ECliUsage(problem);
  }
  o.loadCount = CheckedLoads(o);
  if (!(o.timeoutSeconds >= 0)) throw ECliUsage("--timeout must be a number of seconds, 0 or more");
  if (o.ipv4Only && o.ipv6Only) throw ECliUsage("-4 and -6 exclude each other");
  // An unreadable file would fail every load with the same message; say it once.
  if (!o.caCertFile.empty() && !std::ifstream(o.caCertFile))
    throw ECliUsage("cannot read the CA certificate file '" + o.caCertFile + "'");
  if (!o.urls.empty()) SelectUrl(o, o.urls.front(), env);
}

void SelectUrl(CliOptions& o, const std::string& url, const CliEnvironment& env) {
  o.url = url;
  o.proxyHost.clear();
  o.proxyPort.clear();
  ResolveProxy(o, env);
}

}  // namespace app
