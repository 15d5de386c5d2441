// The command line: its options and the checks of the URL and the proxy.
//
// Input: the environment's http_proxy, https_proxy and no_proxy, then the
// arguments, all separated by zero bytes. Checked:
// - parsing and the checks either raise a usage error with a message, or give a
//   complete set of values: every URL in its sent form (checking it again changes
//   nothing), a host for it, a count of loads as typed, a time limit of 0 or
//   more, and a proxy that is both a host and a port (itself a proxy address
//   that parses to the same) or neither, and never for a host the list bypasses;
// - nothing else is raised;
// - the URL, proxy and bypass checks on each argument alone keep the same rules.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "app/CliOptions.h"
#include "app/CliUrl.h"
#include "core/SysUtils.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

bool ValidPort(const std::string& p) {
  if (p.empty() || p.size() > 5) return false;
  for (char c : p)
    if (c < '0' || c > '9') return false;
  const int n = std::stoi(p);
  return n >= 1 && n <= 65535;
}

void CheckUrlAlone(const std::string& arg) {
  std::string url;
  try {
    url = app::CheckedUrl(arg);
  } catch (const app::ECliUsage& e) {
    Check(!e.Message().empty());
    return;
  }
  Check(app::CheckedUrl(url) == url);
  Check(core::SameText(url.substr(0, 7), "http://") || core::SameText(url.substr(0, 8), "https://"));
  for (char c : url) Check(static_cast<unsigned char>(c) > 0x20 && c != 0x7f);
  Check(!app::UrlHost(url).empty());
}

void CheckProxyAlone(const std::string& arg) {
  app::TProxyAddress a;
  try {
    a = app::ParseProxy(arg);
  } catch (const app::ECliUsage& e) {
    Check(!e.Message().empty());
    return;
  }
  Check(!a.host.empty() && ValidPort(a.port));
  const app::TProxyAddress again = app::ParseProxy(a.host + ":" + a.port);
  Check(again.host == a.host && again.port == a.port);
}

// A host always bypasses a list that is itself or "*", and its subdomains do too.
void CheckBypassAlone(const std::string& host, const std::string& list) {
  (void)app::BypassesProxy(host, list);
  Check(app::BypassesProxy(host, "*"));
  const std::string h = core::Trim(host);
  if (h.empty() || h[0] == '.' || h.find(',') != std::string::npos) return;
  Check(app::BypassesProxy(h, h));
  Check(app::BypassesProxy("www." + h, "." + h));
}

void CheckParsed(const app::CliOptions& o) {
  Check(!o.urls.empty() && o.url == o.urls.front());
  for (const std::string& u : o.urls) {
    Check(app::CheckedUrl(u) == u);
    Check(!app::UrlHost(u).empty());
  }
  Check(o.loadCount >= 1 && o.loadCount == core::StrToInt(o.loads));
  Check(o.loadCount <= 100 || o.confirm);
  Check(o.timeoutSeconds >= 0);
  Check(o.proxyHost.empty() == o.proxyPort.empty());
  if (!o.proxyHost.empty()) {
    Check(ValidPort(o.proxyPort));
    const app::TProxyAddress again = app::ParseProxy(o.proxyHost + ":" + o.proxyPort);
    Check(again.host == o.proxyHost && again.port == o.proxyPort);
    if (o.noProxy) Check(!app::BypassesProxy(app::UrlHost(o.url), *o.noProxy));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts;
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0;;) {
    const size_t end = input.find('\0', start);
    parts.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (parts.size() < 3 || parts.size() > 40) return 0;
  app::CliEnvironment env;
  env.httpProxy = parts[0];
  env.httpsProxy = parts[1];
  env.noProxy = parts[2];
  std::vector<std::string> args(parts.begin() + 3, parts.end());
  args.insert(args.begin(), "tachyload-cli");
  for (size_t i = 1; i < args.size(); ++i) {
    CheckUrlAlone(args[i]);
    CheckProxyAlone(args[i]);
    CheckBypassAlone(args[i], env.noProxy);
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  app::CliOptions o;
  std::ostringstream out;
  try {
    if (!app::ParseCliOptions(static_cast<int>(args.size()), argv.data(), o, out)) {
      Check(!out.str().empty());  // help or version
      return 0;
    }
    // The CA file is opened to check it can be read: no file names from here.
    o.caCertFile.clear();
    app::CheckCliOptions(o, env);
  } catch (const app::ECliUsage& e) {
    Check(!e.Message().empty());
    return 0;
  }
  CheckParsed(o);
  return 0;
}
