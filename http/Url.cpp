#include "http/Url.h"

#include <string_view>

#include "core/SysUtils.h"

namespace http {

using core::Copy;
using core::LastPos;
using core::LowerCase;
using core::Pos;

namespace {

constexpr int64_t kToEnd = INT64_MAX;

int64_t Len(std::string_view s) {
  return static_cast<int64_t>(s.size());
}

// Character at a 1-based position, '\0' outside the text.
char At(std::string_view s, int64_t i) {
  return (i >= 1 && i <= Len(s)) ? s[static_cast<size_t>(i - 1)] : '\0';
}

bool BeginsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The current path's directory, trailing "/" included; "/" when it has none.
std::string DirOf(const std::string& curPath) {
  const int64_t slash = LastPos("/", curPath);
  return slash > 0 ? Copy(curPath, 1, slash) : std::string("/");
}

// Resolves a url beginning with "../": climbs one level per leading "../";
// climbing above the root stays at "/". Works in place so that a long run of
// "../" or a deep current path costs linear time.
std::string ResolveParent(const std::string& curPath, const std::string& url) {
  std::string dir = DirOf(curPath);  // never empty, always ends with "/"
  size_t rest = 3;
  for (;;) {
    dir.pop_back();
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos) {
      dir = "/";
    } else {
      dir.resize(slash + 1);
    }
    if (!BeginsWith(std::string_view(url).substr(rest), "../")) break;
    rest += 3;
  }
  return dir + url.substr(rest);
}

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// A lower-cased scheme made only of the scheme set.
bool IsScheme(std::string_view lowered) {
  for (char c : lowered) {
    if (!IsSchemeChar(c)) return false;
  }
  return true;
}

// Where the authority starts, or 0 when the whole url turned out to be the path
// (then path is already set). Sets proto.
int64_t SplitScheme(const std::string& url, std::string& proto, std::string& path) {
  int64_t i = Pos("://", url);
  if (i > 0 && !IsScheme(LowerCase(Copy(url, 1, i - 1)))) {
    proto = "http";  // "://" after a non-scheme character separates nothing
    i = 0;
  }
  if (i > 0) {
    proto = LowerCase(Copy(url, 1, i - 1));
    return i + 3;
  }
  if (At(url, 1) == '/') {
    proto = "http";
    if (Len(url) > 1 && At(url, 2) != '/') {
      path = url;
      return 0;
    }
    // "//host/path" is a network-path reference: the authority follows "//".
    return 3;
  }
  if (LowerCase(Copy(url, 1, 5)) == "http:") {
    proto = "http";
    if (Len(url) > 6 && At(url, 7) != '/') {
      path = Copy(url, 6, kToEnd);
      return 0;
    }
    return 7;
  }
  if (LowerCase(Copy(url, 1, 7)) == "mailto:") {
    proto = "mailto";
    return 8;
  }
  return 1;
}

// Splits an authority ("user:pass@host:port") into its parts.
void SplitAuthority(std::string buf, std::string& user, std::string& pass, std::string& host,
                    std::string& port) {
  int64_t lastColon = LastPos(":", buf);
  const int64_t lastAt = LastPos("@", buf);
  // The colons of a bracketed IPv6 host ("[::1]") never start a port.
  if (At(buf, lastAt + 1) == '[' && lastColon < LastPos("]", buf)) lastColon = 0;
  if (lastColon == 0 && lastAt == 0) {
    host = buf;
    return;
  }
  if (lastColon > lastAt) {
    port = Copy(buf, lastColon + 1, kToEnd);
    host = Copy(buf, lastAt + 1, lastColon - lastAt - 1);
    if (lastAt == 0) return;
  } else {
    host = Copy(buf, lastAt + 1, kToEnd);
  }
  buf = Copy(buf, 1, lastAt - 1);
  // The user name ends at the first ":", so the password may hold ":" and "@".
  const int64_t colon = Pos(":", buf);
  if (colon == 0) {
    user = buf;
  } else {
    user = Copy(buf, 1, colon - 1);
    pass = Copy(buf, colon + 1, kToEnd);
  }
}

}  // namespace

std::string DefaultPort(const std::string& proto) {
  return proto == "https" ? "443" : "80";
}

void ParseURL(const std::string& url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path) {
  const std::string curPath = path;
  proto.clear();
  user.clear();
  pass.clear();
  host.clear();
  port.clear();
  path.clear();
  if (url.empty()) return;

  if (BeginsWith(url, "./")) {
    path = DirOf(curPath) + Copy(url, 3, kToEnd);
    return;
  }
  if (BeginsWith(url, "../")) {
    path = ResolveParent(curPath, url);
    return;
  }

  const int64_t start = SplitScheme(url, proto, path);
  if (start == 0) return;

  std::string buf = Copy(url, start, kToEnd);
  const int64_t slash = Pos("/", buf);
  const int64_t query = Pos("?", buf);
  int64_t end = Len(buf) + 1;
  if (slash > 0) end = slash;
  if (query > 0 && query < end) end = query;
  path = Copy(buf, end, kToEnd);  // keeps its leading "/" or "?"
  SplitAuthority(Copy(buf, 1, end - 1), user, pass, host, port);
}

int64_t Posn(const std::string& s, const std::string& d, int64_t count) {
  if (count > 0) {
    int64_t from = 1;
    int64_t found = 0;
    while (count > 0) {
      found = s.empty() ? 0 : core::PosEx(s, d, from);
      if (found == 0) return Len(d) + 1;
      from = found + Len(s);
      --count;
    }
    return found;
  }
  if (count == 0 || s.empty()) return 0;
  // Scan backwards; each match must end before the previous one began.
  std::string_view rest(d);
  int64_t found = 0;
  while (count < 0) {
    const size_t p = rest.rfind(s);
    if (p == std::string_view::npos) return 0;
    found = static_cast<int64_t>(p) + 1;
    rest = rest.substr(0, p);
    ++count;
  }
  return found;
}

bool IsXDigit(char ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

int XDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  return (static_cast<unsigned char>(ch) & 15) + 9;
}

}  // namespace http
