// Feeds arbitrary bytes to ParseURL and compares every output with a reference
// split written here, step by step from the documented rules (relative forms,
// scheme, path, host and port, user information). The first byte chooses how
// much of the rest is the current path (for "./" and "../"); the remainder is the
// url. Posn is compared with a plain search too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/Url.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

struct TParts {
  std::string proto, user, pass, host, port, path;
  bool operator==(const TParts&) const = default;
};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The current path's directory with its "/"; "/" without one.
std::string Dir(const std::string& cur) {
  const size_t slash = cur.rfind('/');
  return slash == std::string::npos ? "/" : cur.substr(0, slash + 1);
}

void SplitUserInfo(std::string_view info, TParts& p) {
  const size_t colon = info.find(':');
  p.user = info.substr(0, colon);
  if (colon != std::string_view::npos) p.pass = info.substr(colon + 1);
}

void SplitHostPort(std::string_view a, TParts& p) {
  const size_t colon = a.rfind(':'), at = a.rfind('@'), close = a.rfind(']');
  const bool hasAt = at != std::string_view::npos;
  bool hasColon = colon != std::string_view::npos;
  // A host in brackets (an IPv6 literal) keeps its colons: only one after the
  // closing bracket starts a port.
  const size_t hostAt = hasAt ? at + 1 : 0;
  if (hostAt < a.size() && a[hostAt] == '[' && close != std::string_view::npos && colon < close)
    hasColon = false;
  if (hasColon && (!hasAt || colon > at)) {
    p.port = a.substr(colon + 1);
    const size_t hostStart = hasAt ? at + 1 : 0;
    p.host = a.substr(hostStart, colon - hostStart);
  } else if (hasAt) {
    p.host = a.substr(at + 1);
  } else {
    p.host = a;
  }
  if (hasAt) SplitUserInfo(a.substr(0, at), p);
}

TParts Reference(const std::string& url, const std::string& cur) {
  TParts p;
  const std::string_view u(url);
  if (u.empty()) return p;
  if (u.starts_with("./")) {
    p.path = Dir(cur) + url.substr(2);
    return p;
  }
  if (u.starts_with("../")) {
    std::string dir = Dir(cur);
    std::string_view rest = u.substr(3);
    for (;;) {
      dir.pop_back();
      const size_t slash = dir.rfind('/');
      dir = slash == std::string::npos ? "/" : dir.substr(0, slash + 1);
      if (!rest.starts_with("../")) break;
      rest.remove_prefix(3);
    }
    p.path = dir + std::string(rest);
    return p;
  }
  size_t start = 0;  // where the authority begins (0-based)
  const size_t sep = u.find("://");
  bool scheme = sep != std::string_view::npos;
  if (scheme) {
    for (char c : Lower(u.substr(0, sep)))
      if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')) {
        scheme = false;
        p.proto = "http";
      }
  }
  if (scheme) {
    p.proto = Lower(u.substr(0, sep));
    start = sep + 3;
  } else if (u[0] == '/') {
    p.proto = "http";
    if (u.size() > 1 && u[1] != '/') {
      p.path = url;
      return p;
    }
    start = 2;  // "//host/path": the host follows the two slashes
  } else if (Lower(u.substr(0, 5)) == "http:") {
    p.proto = "http";
    if (u.size() > 6 && u[6] != '/') {
      p.path = url.substr(5);
      return p;
    }
    start = 6;
  } else if (Lower(u.substr(0, 7)) == "mailto:") {
    p.proto = "mailto";
    start = 7;
  }
  const std::string_view buf = u.substr(std::min(start, u.size()));
  const size_t end = std::min(buf.find_first_of("/?"), buf.size());
  p.path = buf.substr(end);
  SplitHostPort(buf.substr(0, end), p);
  return p;
}

// Posn from plain searches.
int64_t ReferencePosn(const std::string& s, const std::string& d, int64_t count) {
  if (count == 0 || s.empty()) return count > 0 ? static_cast<int64_t>(d.size()) + 1 : 0;
  if (count > 0) {
    size_t from = 0, found = 0;
    for (; count > 0; --count) {
      found = d.find(s, from);
      if (found == std::string::npos) return static_cast<int64_t>(d.size()) + 1;
      from = found + s.size();
    }
    return static_cast<int64_t>(found) + 1;
  }
  size_t limit = d.size();
  size_t found = 0;
  for (; count < 0; ++count) {
    if (limit < s.size()) return 0;
    found = d.rfind(s, limit - s.size());
    if (found == std::string::npos) return 0;
    limit = found;
  }
  return static_cast<int64_t>(found) + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t split = data[0] % (rest.size() + 1);
  const std::string url = rest.substr(split), cur = rest.substr(0, split);
  TParts got;
  got.path = cur;
  http::ParseURL(url, got.proto, got.user, got.pass, got.host, got.port, got.path);
  Check(got == Reference(url, cur));

  const std::string needle = url.substr(0, data[0] % 3 + 1);
  for (int64_t count : {-3, -2, -1, 0, 1, 2, 3}) {
    Check(http::Posn(needle, url, count) == ReferencePosn(needle, url, count));
    Check(http::Posn("/", url, count) == ReferencePosn("/", url, count));
  }
  return 0;
}
