#include "app/CliUrl.h"

#include <algorithm>
#include <string_view>

#include "app/CliOptions.h"
#include "core/SysUtils.h"
#include "http/UriRef.h"

namespace app {

namespace {

struct TAuthority {
  std::string host;
  std::string port;  // empty: none given
};

bool IsControl(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7f;
}

void CheckPort(const std::string& port, const std::string& what) {
  const bool digits = !port.empty() && port.size() <= 5 &&
                      std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || std::stoi(port) < 1 || std::stoi(port) > 65535)
    throw ECliUsage("the port of " + what + " must be a number from 1 to 65535: '" + port + "'");
}

// "[user@]host[:port]"; an IPv6 host is written in brackets.
TAuthority SplitAuthority(std::string_view a, const std::string& what) {
  const size_t at = a.rfind('@');
  if (at != std::string_view::npos) a.remove_prefix(at + 1);
  TAuthority r;
  size_t colon = std::string_view::npos;
  if (!a.empty() && a[0] == '[') {
    const size_t close = a.find(']');
    if (close == std::string_view::npos) throw ECliUsage(what + " has an unclosed '['");
    if (a.substr(0, close).find('%') != std::string_view::npos)
      throw ECliUsage(what + "'s IPv6 address has a zone id ('%...'), which HTTP cannot carry");
    if (close + 1 < a.size()) {
      if (a[close + 1] != ':') throw ECliUsage(what + " has text after its IPv6 address");
      colon = close + 1;
    }
  } else {
    colon = a.rfind(':');
  }
  r.host = std::string(a.substr(0, colon));
  if (colon != std::string_view::npos) {
    r.port = std::string(a.substr(colon + 1));
    CheckPort(r.port, what);
  }
  if (r.host.empty()) throw ECliUsage(what + " names no host");
  return r;
}

// The scheme in lower case and what follows "://"; an empty scheme when there is none.
std::pair<std::string, std::string_view> SplitScheme(std::string_view url) {
  const size_t sep = url.find("://");
  if (sep == std::string_view::npos) return {"", url};
  return {core::LowerCase(std::string(url.substr(0, sep))), url.substr(sep + 3)};
}

}  // namespace

std::string CheckedUrl(const std::string& url) {
  if (std::any_of(url.begin(), url.end(), IsControl)) throw ECliUsage("the URL contains a control character");
  // Without a scheme the URL is an http one, as a browser takes it.
  if (SplitScheme(url).first.empty()) return CheckedUrl("http://" + url);
  const auto [scheme, rest] = SplitScheme(url);
  if (scheme != "http" && scheme != "https")
    throw ECliUsage("only http:// and https:// URLs are supported, not " + scheme + "://");
  const size_t pathStart = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string_view authority = rest.substr(0, pathStart);
  if (authority.find(' ') != std::string_view::npos) throw ECliUsage("the URL's host contains a space");
  SplitAuthority(authority, "the URL");
  std::string sent = url.substr(0, url.size() - (rest.size() - pathStart));
  for (const char c : rest.substr(pathStart)) sent += c == ' ' ? std::string("%20") : std::string(1, c);
  return sent;
}

std::string UrlHost(const std::string& url) {
  const std::string_view rest = SplitScheme(url).second;
  return SplitAuthority(rest.substr(0, std::min(rest.find_first_of("/?#"), rest.size())), "the URL").host;
}

std::string LocationTarget(const std::string& base, const std::string& location) {
  http::TUriRef ref = http::SplitUriRef(location);
  ref.HasFragment = false;
  http::TUriRef target = http::ResolveUriRef(http::SplitUriRef(base), ref);
  // A server with no path asked for is asked for "/", as the request does.
  if (target.HasAuthority && target.Path.empty()) target.Path = "/";
  return http::ComposeUri(target);
}

TProxyAddress ParseProxy(const std::string& value) {
  const std::string what = "the proxy '" + value + "'";
  if (std::any_of(value.begin(), value.end(), [](char c) { return IsControl(c) || c == ' '; }))
    throw ECliUsage(what + " contains a space or a control character");
  auto [scheme, rest] = SplitScheme(value);
  if (!scheme.empty() && scheme != "http") throw ECliUsage(what + " is not an http:// proxy");
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find_first_of("/?#@") != std::string_view::npos) throw ECliUsage(what + " is not HOST[:PORT]");
  const TAuthority a = SplitAuthority(rest, what);
  TProxyAddress r;
  r.host = a.host;
  if (!a.port.empty()) r.port = a.port;
  return r;
}

bool BypassesProxy(const std::string& host, const std::string& list) {
  const std::string h = core::LowerCase(host);
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = core::Trim(list.substr(start, end - start));
    start = end + 1;
    if (entry == "*") return true;
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    entry = core::LowerCase(entry);
    if (entry.empty()) continue;
    if (h == entry) return true;
    if (h.size() > entry.size() && h.compare(h.size() - entry.size(), entry.size(), entry) == 0 &&
        h[h.size() - entry.size() - 1] == '.')
      return true;
  }
  return false;
}

}  // namespace app
