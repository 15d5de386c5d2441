#include "http/UriRef.h"

#include "core/SysUtils.h"

namespace http {

namespace {

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsSchemeName(const std::string& s) {
  if (s.empty() || !IsAlpha(s[0])) return false;
  for (char c : s) {
    if (!IsAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// The base path up to its last "/", followed by the reference's path; a base
// with an authority and no path stands for "/".
std::string MergePaths(const TUriRef& base, const std::string& refPath) {
  if (base.HasAuthority && base.Path.empty()) return "/" + refPath;
  const size_t slash = base.Path.rfind('/');
  return (slash == std::string::npos ? std::string() : base.Path.substr(0, slash + 1)) + refPath;
}

// Drops the last segment of out, with the "/" before it.
void DropLastSegment(std::string& out) {
  const size_t slash = out.rfind('/');
  out.resize(slash == std::string::npos ? 0 : slash);
}

}  // namespace

TUriRef SplitUriRef(const std::string& ref) {
  TUriRef u;
  std::string rest = ref;
  const size_t hash = rest.find('#');
  if (hash != std::string::npos) {
    u.HasFragment = true;
    u.Fragment = rest.substr(hash + 1);
    rest.resize(hash);
  }
  const size_t query = rest.find('?');
  if (query != std::string::npos) {
    u.HasQuery = true;
    u.Query = rest.substr(query + 1);
    rest.resize(query);
  }
  const size_t colon = rest.find(':');
  if (colon != std::string::npos && rest.find('/') > colon && IsSchemeName(rest.substr(0, colon))) {
    u.HasScheme = true;
    u.Scheme = core::LowerCase(rest.substr(0, colon));
    rest.erase(0, colon + 1);
  }
  if (rest.compare(0, 2, "//") == 0) {
    const size_t end = rest.find('/', 2);
    u.HasAuthority = true;
    u.Authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
    rest = end == std::string::npos ? std::string() : rest.substr(end);
  }
  u.Path = rest;
  return u;
}

// Works on the input from the front, moving whole segments to the output, so a
// long path costs linear time.
std::string RemoveDotSegments(const std::string& path) {
  std::string in = path;
  std::string out;
  size_t i = 0;
  auto at = [&](const char* prefix) {
    return in.compare(i, std::char_traits<char>::length(prefix), prefix) == 0;
  };
  auto restIs = [&](const char* whole) { return in.compare(i, std::string::npos, whole) == 0; };
  while (i < in.size()) {
    if (at("../")) {
      i += 3;
    } else if (at("./")) {
      i += 2;
    } else if (at("/./")) {
      i += 2;
    } else if (restIs("/.")) {
      in.replace(i, 2, "/");
    } else if (at("/../")) {
      i += 3;
      DropLastSegment(out);
    } else if (restIs("/..")) {
      in.replace(i, 3, "/");
      DropLastSegment(out);
    } else if (restIs(".") || restIs("..")) {
      i = in.size();
    } else {
      const size_t next = in.find('/', i + 1);
      const size_t end = next == std::string::npos ? in.size() : next;
      out.append(in, i, end - i);
      i = end;
    }
  }
  return out;
}

TUriRef ResolveUriRef(const TUriRef& base, const TUriRef& ref) {
  TUriRef t;
  if (ref.HasScheme && ref.Scheme != base.Scheme) {
    t = ref;
    t.Path = RemoveDotSegments(ref.Path);
  } else {
    if (ref.HasAuthority) {
      t.HasAuthority = true;
      t.Authority = ref.Authority;
      t.Path = RemoveDotSegments(ref.Path);
      t.HasQuery = ref.HasQuery;
      t.Query = ref.Query;
    } else {
      if (ref.Path.empty()) {
        t.Path = base.Path;
        t.HasQuery = ref.HasQuery || base.HasQuery;
        t.Query = ref.HasQuery ? ref.Query : base.Query;
      } else {
        t.Path = RemoveDotSegments(ref.Path[0] == '/' ? ref.Path : MergePaths(base, ref.Path));
        t.HasQuery = ref.HasQuery;
        t.Query = ref.Query;
      }
      t.HasAuthority = base.HasAuthority;
      t.Authority = base.Authority;
    }
    t.HasScheme = base.HasScheme;
    t.Scheme = base.Scheme;
  }
  t.HasFragment = ref.HasFragment;
  t.Fragment = ref.Fragment;
  return t;
}

std::string ComposeUri(const TUriRef& uri) {
  std::string s;
  if (uri.HasScheme) s += uri.Scheme + ":";
  if (uri.HasAuthority) s += "//" + uri.Authority;
  s += uri.Path;
  if (uri.HasQuery) s += "?" + uri.Query;
  if (uri.HasFragment) s += "#" + uri.Fragment;
  return s;
}

void SplitAuthority(const std::string& authority, std::string& userInfo, std::string& host,
                    std::string& port) {
  const size_t at = authority.rfind('@');
  userInfo = at == std::string::npos ? std::string() : authority.substr(0, at);
  host = at == std::string::npos ? authority : authority.substr(at + 1);
  port.clear();
  const size_t colon = host.rfind(':');
  const size_t bracket = host.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    port = host.substr(colon + 1);
    host.resize(colon);
  }
}

}  // namespace http
