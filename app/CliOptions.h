// The command line's options: what tachyload-cli accepts, declared in one table
// (DeclareCliOptions) and checked once parsing is done (CheckCliOptions).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/CliSocks.h"
#include "core/SysUtils.h"

namespace CLI {
class App;
}

namespace app {

// Bad usage: the program prints the message and the usage line and exits 2.
TL_DECLARE_EXCEPTION(ECliUsage, core::Exception);

struct CliOptions {
  std::vector<std::string> urls;  // measured in turn
  std::string url;                // the one being measured
  std::string loads = "3";        // kept as typed: the report shows it so
  bool confirm = false;
  bool pages = false;
  bool json = false;
  std::string historyFile;
  std::string historyDb;     // empty: the default place (DefaultHistoryPath)
  bool noSave = false;       // keep nothing in the history database
  bool compareLast = false;  // compare with the previous run of the same URL and options
  std::string httpVersion = "1.0";
  std::string proxy;
  std::optional<std::string> noProxy;  // hosts reached without the proxy
  double timeoutSeconds = 0;           // 0: no limit
  int maxRedirects = 5;
  bool followRedirects = true;
  int32_t limitRate = 0;                 // bytes per second; 0: no limit
  std::string user, password;            // the server's login; "-": read from the terminal
  std::string passwordFile;              // the server's password: this file's first line
  std::string proxyUser, proxyPassword;  // the proxy's login
  bool ntlmV1 = false;                   // NTLMv1 responses (with the LM response) instead of NTLMv2
  TSocksOptions socks;
  bool details = false;  // per-load table and summary after the report
  int32_t warmup = 0;    // loads run first and not counted
  std::string exportCsv, exportMarkdown;
  bool quiet = false;                       // no progress bar
  bool compressed = false;                  // ask for compressed pages and decode them
  bool demo = false;                        // the URL is the program's own page server
  std::string caCertFile;                   // empty: the system's trust store
  bool insecure = false;                    // no certificate or host name check
  bool ipv4Only = false, ipv6Only = false;  // -4, -6: one address family only
  bool noRace = false;                      // one connection attempt at a time, in the resolver's order

  // Filled by CheckCliOptions.
  int32_t loadCount = 0;
  std::string proxyHost, proxyPort;  // empty host: no proxy
};

// The environment's say on the proxy, used when --proxy (or --noproxy) is absent.
struct CliEnvironment {
  std::string httpProxy;   // http_proxy, for http URLs
  std::string httpsProxy;  // https_proxy, else HTTPS_PROXY, for https URLs
  std::string noProxy;     // no_proxy, else NO_PROXY
  static CliEnvironment FromProcess();
};

// "1.0" or as the build was given.
std::string ProgramVersion();

// Every option, its help text and its help group. New options go here.
void DeclareCliOptions(CLI::App& cli, CliOptions& o);

// Parses argv into o. Returns true when the run should go on; false when help or
// the version was printed on out. Raises ECliUsage for bad usage.
bool ParseCliOptions(int argc, char** argv, CliOptions& o, std::ostream& out);

// A --limit-rate value: decimal bytes per second, optionally followed by k, M or
// G (either case) for 1024, 1024^2 or 1024^3. Nothing for anything else or for a
// rate beyond the client's 32-bit limit.
std::optional<int32_t> ParseLimitRate(const std::string& text);

// The checks that need more than one option or more than the option's type:
// the URL, the number of loads, the time limit, the proxy. Raises ECliUsage.
// Checks every URL and selects the first (SelectUrl).
void CheckCliOptions(CliOptions& o, const CliEnvironment& env);

// Makes url (already checked) the one measured, with the proxy that applies to it
// (from the environment: the one for its scheme; a relocation to the other scheme
// keeps it).
void SelectUrl(CliOptions& o, const std::string& url, const CliEnvironment& env);

}  // namespace app
