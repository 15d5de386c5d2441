#include "app/WindowOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "app/CliOptions.h"
#include "app/CliSocks.h"
#include "app/CliUrl.h"
#include "app/SpeedRun.h"
#include "http/HttpProt.h"

namespace app {

namespace {

// The number a whole text holds, or NaN.
double Number(const std::string& text) {
  if (text.empty()) return NAN;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' ? v : NAN;
}

std::string ProxyProblem(const std::string& proxy) {
  if (proxy.empty()) return {};
  try {
    ParseProxy(proxy);
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace

std::vector<TOptionProblem> CheckOptions(const TWindowOptions& o) {
  std::vector<TOptionProblem> problems;
  auto problem = [&](const char* field, std::string message) {
    if (!message.empty()) problems.push_back({field, std::move(message)});
  };
  if (o.httpVersion != "1.0" && o.httpVersion != "1.1" && o.httpVersion != "2")
    problem("httpVersion", "must be 1.0, 1.1 or 2");
  const double timeout = Number(o.timeoutSeconds);
  if (!(timeout >= 0 && timeout <= 86400))
    problem("timeoutSeconds", "must be a number of seconds from 0 to 86400");
  const double redirects = Number(o.maxRedirects);
  if (!(redirects >= 0 && redirects <= 100 && redirects == std::floor(redirects)))
    problem("maxRedirects", "must be a whole number from 0 to 100");
  problem("proxy", ProxyProblem(o.proxy));
  if (!o.socks.empty()) problem("socks", CheckSocksServer(o.socks));
  problem("socksLevel", CheckSocksLevel(o.socksLevel));
  if (!o.caFile.empty() && !std::ifstream(o.caFile).good()) problem("caFile", "cannot be read: " + o.caFile);
  if (o.ipFamily != "both" && o.ipFamily != "ipv4" && o.ipFamily != "ipv6")
    problem("ipFamily", "must be both, ipv4 or ipv6");
  if (!ParseLimitRate(o.bandwidthLimit))
    problem("bandwidthLimit",
            "must be bytes per second, with k, M or G for 1024, 1024^2, 1024^3 (0: no limit)");
  return problems;
}

uint32_t TimeoutMs(const TWindowOptions& o) {
  const double seconds = Number(o.timeoutSeconds);
  return seconds > 0 ? static_cast<uint32_t>(std::ceil(seconds * 1000)) : 0;
}

void ApplyOptions(http::THttpCli& client, const TWindowOptions& o, std::string& socksFailure) {
  ConfigureClient(client);
  client.SetRequestVer(o.httpVersion);
  client.SetFollowRelocation(o.followRedirects);
  client.SetLocationChangeMaxCount(static_cast<int>(Number(o.maxRedirects)));
  if (!o.proxy.empty()) {
    const TProxyAddress proxy = ParseProxy(o.proxy);
    client.SetProxy(proxy.host);
    client.SetProxyPort(proxy.port);
  } else {
    client.SetProxy("");
  }
  client.SetProxyUsername(o.proxyUser);
  client.SetProxyPassword(o.proxyPassword);
  client.SetSocksServer("");
  ApplySocks(client, {o.socks, o.socksLevel, o.socksUser, o.socksPassword}, socksFailure);
  client.SetUsername(o.user);
  client.SetPassword(o.password);
  if (o.compressed) client.SetOptions(client.Options() | http::httpoEnableContentCoding);
  client.SetSslCaFile(o.caFile);
  client.SetSslVerifyPeer(!o.insecure);
  client.SetIpFamily(o.ipFamily == "ipv4"   ? http::httpIpV4Only
                     : o.ipFamily == "ipv6" ? http::httpIpV6Only
                                            : http::httpIpAny);
  client.SetConnectRacing(!o.noRace);
  const std::optional<int32_t> rate = ParseLimitRate(o.bandwidthLimit);
  if (rate && *rate > 0) {
    client.SetOptions(client.Options() | http::httpoBandwidthControl);
    client.SetBandwidthLimit(*rate);
    client.SetBandwidthSampling(100);  // short periods: a page of a few budgets takes about size / rate
  }
}

}  // namespace app
