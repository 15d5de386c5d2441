#include "app/CliHelp.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <regex>
#include <sstream>
#include <vector>

namespace app {

namespace {

const char kHelp[] =
    R"(tachyload-cli [options] URL...       URL: [http[s]://]HOST[:PORT]/PATH (http:// when no scheme is given; a space
                                     in the path is sent as %20); several URLs are measured in turn, then
                                     "B is 1.84 ± 0.07 times faster than A"
Loads:
  -n, --loads N          number of loads, 1 or more (default 3; also --loads=N, -nN)
  -y, --confirm          allow more than 100 loads (without it, N > 100 prints the window's message and exits 2)
Output:
  -p, --pages            print the page pane's lines before the report (control bytes as \xHH on a terminal)
  -o, --history FILE     append the report to FILE (CR LF line ends, as the Save button writes)
      --history-db FILE  record the run in FILE (default $XDG_DATA_HOME/tachyload/history.sqlite3)
      --no-save          record nothing in the history database
      --compare-last     compare with the previous run of the same URL and options
                         ("1.27 ± 0.05 times slower than the run of 2026-12-06 14:03")
      --json             print one JSON object instead (numbers always with a dot; with -p the pages go to
                         standard error); several URLs: {"runs": [...], "comparison": [...]}
Measurement:
  -v, --details          after the report, each load's phases in ms (dns, connect, socks, tls, auth, redirect,
                         request, wait, transfer, pane) and the address it reached, what the other attempts of a
                         connection race cost, and a summary (mean ± σ, range, median, p95, cold, TLS resumed
                         and warm loads, throughput, a warning for outliers)
      --warmup N         run N loads first and leave them out of every figure
      --export-csv FILE  every load's phases in microseconds, one row per load (a failed one with its error)
      --export-markdown FILE  one table row per URL: mean ± σ, min, max, median, p95, relative time
  -q, --quiet            no progress bar (shown on standard error only when it is a terminal)
Connection:
      --http-version V   1.0 (default, as the window), 1.1 or 2 (HTTP/2: ALPN for https,
                         prior knowledge for http; -v says when a server chose HTTP/1.1)
      --http2            short for --http-version 2
      --proxy HOST[:PORT]  send the requests through this HTTP proxy (port 80 unless given)
      --noproxy LIST     hosts reached without a proxy (comma-separated domains; '*': all)
      --timeout SECONDS  abort a load that takes longer (fractions allowed; default 0: no limit)
      --limit-rate RATE  hold each load to RATE bytes per second (k, M, G: 1024, 1024^2, 1024^3; 0: no limit)
      --compressed       ask for gzip, deflate, br or zstd and decode (Bytes downloaded counts the decoded page);
                         over HTTP/1.1 unless --http-version is given; -v says when a server sent no compression
  -4, --ipv4 / -6, --ipv6  connect over one address family only (default: both, IPv6 first)
      --no-race          try a host's addresses one at a time in the resolver's order (default: race them,
                         IPv6 first, the next attempt after 250 ms or a failure, as a browser does)
Redirections:
      --max-redirects N  redirections followed per load, counted per hop (default 5; 0: any redirection fails)
      --no-redirects     do not follow redirections: a 3xx answer is the page
SOCKS:
      --socks HOST[:PORT]     load through a SOCKS server (port 1080 unless given)
      --socks-level 4|4A|5    SOCKS level (default 5); at 4A and 5 the SOCKS server resolves the page's host name
      --socks-user NAME       user code (level 5: user/password login; levels 4 and 4A: the user id)
      --socks-password TEXT   password for the SOCKS server
Login:
      --user NAME, --password TEXT              login for the server (Basic or NTLM, as it asks)
      --password-file FILE                      the server's password: the first line of FILE
      --proxy-user NAME, --proxy-password TEXT  login for the proxy (Basic or NTLM)
                         A password of '-' is asked for on the terminal. Without one, the variables
                         TACHYLOAD_PASSWORD, TACHYLOAD_PROXY_PASSWORD and TACHYLOAD_SOCKS_PASSWORD are used.
                         A password on the command line is hidden from other users once the program runs.
      --ntlm-v1          answer NTLM with NTLMv1 and LM responses instead of NTLMv2
TLS:
      --cacert FILE      trust only the CA certificates in FILE (PEM) instead of the system's trust store
  -k, --insecure         accept any server certificate, for any host name
  -h, --help (options by group); --version (the build's version)
      --demo             serve a 10 kB page from inside the program on a free loopback port and test it (no URL)
tachyload-cli history [URL] [--since DATE] [--json|--csv] [--history-db FILE]   the recorded runs with the
                         median and p95 of their loads; history --prune DAYS removes runs older than DAYS days
tachyload-cli --serve [ADDR:]PORT [--config FILE]   a probe server for Prometheus (default 127.0.0.1:9115):
                         GET /probe?target=URL[&module=NAME][&loads=N] and GET /metrics; FILE holds the
                         modules (YAML), read again on SIGHUP; --web.config.file FILE: the users who may
                         scrape (basic_auth_users: NAME: BCRYPT-HASH) and the listening side's TLS
                         (tls_server_config: cert_file, key_file)
)";

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "The following argument(s) was/were not expected: a b" -> each unexpected word.
std::string ExtrasText(const CLI::App& cli, const std::string& what) {
  std::istringstream words(what.substr(what.find(": ") + 2));
  std::string text, word;
  while (words >> word) {
    if (!text.empty()) text += "; ";
    if (word.size() > 1 && word[0] == '-') {
      text += "there is no option " + word;
      const std::string near = NearestOption(cli, word.substr(0, word.find('=')));
      if (!near.empty()) text += " (did you mean " + near + "?)";
    } else {
      text += "unexpected argument '" + word + "'";
    }
  }
  return text;
}

}  // namespace

const char* CliHelpText() {
  return kHelp;
}

std::string NearestOption(const CLI::App& cli, const std::string& word) {
  std::string best;
  size_t bestDistance = 3;
  for (const CLI::Option* option : cli.get_options()) {
    for (const std::string& name : option->get_lnames()) {
      const std::string candidate = "--" + name;
      const size_t d = EditDistance(word, candidate);
      if (d < bestDistance && d * 2 < name.size()) {
        bestDistance = d;
        best = candidate;
      }
    }
  }
  return best;
}

std::string ParseErrorText(const CLI::App& cli, const CLI::ParseError& error) {
  std::string what = error.what();  // not const: the last return moves it
  std::smatch m;
  if (dynamic_cast<const CLI::ExtrasError*>(&error)) return ExtrasText(cli, what);
  if (dynamic_cast<const CLI::ExcludesError*>(&error)) return "--demo serves its own page: give it no URL";
  if (std::regex_match(what, m, std::regex("(--[\\w-]+): Value (.*) not in range (\\S+) to (\\S+)")))
    return m[1].str() + " takes a whole number from " + m[3].str() + " to " + m[4].str() + ", not '" +
           m[2].str() + "'";
  if (std::regex_match(what, m, std::regex("(--[\\w-]+): (.*) not in \\{(.*)\\}")))
    return m[1].str() + " takes " + std::regex_replace(m[3].str(), std::regex(","), " or ") + ", not '" +
           m[2].str() + "'";
  if (std::regex_match(what, m, std::regex("Could not convert: (--[\\w-]+) = (.*)")))
    return m[1].str() + " takes a number, not '" + m[2].str() + "'";
  if (std::regex_match(what, m, std::regex("(--[\\w-]+): At Most 1 required but received (\\d+)")))
    return m[1].str() + " was given " + m[2].str() + " times: give it once";
  if (std::regex_match(what, m, std::regex("(--[\\w-]+): \\d+ required \\S+ missing")))
    return m[1].str() + " needs a value";
  if (std::regex_match(what, m, std::regex("(--[\\w-]+): (.*)"))) return m[1].str() + " " + m[2].str();
  return what;
}

}  // namespace app
