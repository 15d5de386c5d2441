// Reference resolution against a small reference written here from RFC 3986
// (the split of its appendix B, the merge, the dot-segment removal of 5.2.4 and
// the transform of 5.2.2, non-strict: a reference with the base's own scheme is
// relative).
//
// Input: the base, a line feed, the reference. Checked for any bytes:
// - dot-segment removal gives what the reference algorithm gives;
// - split and composed again, a reference is itself (the scheme lower-cased).
// For known-good pairs (a base with a valid scheme and either an authority or an
// absolute path, and a reference whose scheme, if any, is valid):
// - the target's text is the reference's target;
// - resolving the target again (it is absolute) gives itself, for a base whose
//   path has no dot segments.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/UriRef.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

struct TRef {
  bool hasScheme = false, hasAuthority = false, hasQuery = false, hasFragment = false;
  std::string scheme, authority, path, query, fragment;
};

// ^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\?([^#]*))?(#(.*))?
TRef Split(std::string_view s) {
  TRef r;
  const size_t schemeEnd = s.find_first_of(":/?#");
  if (schemeEnd != std::string_view::npos && schemeEnd > 0 && s[schemeEnd] == ':') {
    r.hasScheme = true;
    r.scheme = s.substr(0, schemeEnd);
    s.remove_prefix(schemeEnd + 1);
  }
  if (s.starts_with("//")) {
    const size_t end = s.find_first_of("/?#", 2);
    r.hasAuthority = true;
    r.authority = s.substr(2, end == std::string_view::npos ? std::string_view::npos : end - 2);
    s.remove_prefix(end == std::string_view::npos ? s.size() : end);
  }
  const size_t pathEnd = s.find_first_of("?#");
  r.path = s.substr(0, pathEnd);
  s.remove_prefix(pathEnd == std::string_view::npos ? s.size() : pathEnd);
  if (s.starts_with("?")) {
    const size_t end = s.find('#');
    r.hasQuery = true;
    r.query = s.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1);
    s.remove_prefix(end == std::string_view::npos ? s.size() : end);
  }
  if (s.starts_with("#")) {
    r.hasFragment = true;
    r.fragment = s.substr(1);
  }
  return r;
}

bool ValidScheme(const std::string& s) {
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (s.empty() || !alpha(s[0])) return false;
  for (char c : s)
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// 5.2.4, step by step on an input buffer and an output buffer.
std::string RemoveDots(std::string in) {
  std::string out;
  auto dropLast = [&out] {
    const size_t slash = out.rfind('/');
    out.resize(slash == std::string::npos ? 0 : slash);
  };
  while (!in.empty()) {
    if (in.starts_with("../")) {
      in.erase(0, 3);
    } else if (in.starts_with("./")) {
      in.erase(0, 2);
    } else if (in.starts_with("/./")) {
      in.erase(0, 2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.starts_with("/../")) {
      in.erase(0, 3);
      dropLast();
    } else if (in == "/..") {
      in = "/";
      dropLast();
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      const size_t next = in.find('/', 1);
      out += in.substr(0, next);
      in.erase(0, next == std::string::npos ? in.size() : next);
    }
  }
  return out;
}

// 5.2.3.
std::string Merge(const TRef& base, const std::string& path) {
  if (base.hasAuthority && base.path.empty()) return "/" + path;
  const size_t slash = base.path.rfind('/');
  return slash == std::string::npos ? path : base.path.substr(0, slash + 1) + path;
}

// 5.2.2, non-strict.
TRef Resolve(const TRef& base, TRef r) {
  if (r.hasScheme && Lower(r.scheme) == Lower(base.scheme)) r.hasScheme = false;
  TRef t;
  if (r.hasScheme) {
    t = r;
    t.path = RemoveDots(r.path);
  } else {
    if (r.hasAuthority) {
      t.hasAuthority = true;
      t.authority = r.authority;
      t.path = RemoveDots(r.path);
      t.hasQuery = r.hasQuery;
      t.query = r.query;
    } else {
      if (r.path.empty()) {
        t.path = base.path;
        t.hasQuery = r.hasQuery || base.hasQuery;
        t.query = r.hasQuery ? r.query : base.query;
      } else {
        t.path = RemoveDots(r.path[0] == '/' ? r.path : Merge(base, r.path));
        t.hasQuery = r.hasQuery;
        t.query = r.query;
      }
      t.hasAuthority = base.hasAuthority;
      t.authority = base.authority;
    }
    t.hasScheme = true;
    t.scheme = base.scheme;
  }
  t.hasFragment = r.hasFragment;
  t.fragment = r.fragment;
  return t;
}

// 5.3, the scheme lower-cased as the client keeps it.
std::string Recompose(const TRef& r) {
  std::string s;
  if (r.hasScheme) s += Lower(r.scheme) + ":";
  if (r.hasAuthority) s += "//" + r.authority;
  s += r.path;
  if (r.hasQuery) s += "?" + r.query;
  if (r.hasFragment) s += "#" + r.fragment;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nl = input.find('\n');
  const std::string baseText = input.substr(0, nl);
  const std::string refText = nl == std::string::npos ? std::string() : input.substr(nl + 1);

  Check(http::RemoveDotSegments(refText) == RemoveDots(refText));
  const TRef ref = Split(refText);
  if (!ref.hasScheme || ValidScheme(ref.scheme))
    Check(http::ComposeUri(http::SplitUriRef(refText)) == Recompose(ref));

  const TRef base = Split(baseText);
  if (!base.hasScheme || !ValidScheme(base.scheme)) return 0;
  if (!base.hasAuthority && !base.path.starts_with("/")) return 0;
  if (ref.hasScheme && !ValidScheme(ref.scheme)) return 0;
  const http::TUriRef b = http::SplitUriRef(baseText);
  const http::TUriRef target = http::ResolveUriRef(b, http::SplitUriRef(refText));
  const std::string text = http::ComposeUri(target);
  Check(text == Recompose(Resolve(base, ref)));
  // A path that begins with "//" and has no authority before it would read as
  // one: the written form cannot stand for such a target.
  if (!target.HasAuthority && target.Path.starts_with("//")) return 0;
  // An empty reference keeps the base's path as it is, dot segments included.
  if (RemoveDots(base.path) != base.path) return 0;
  Check(http::ComposeUri(http::ResolveUriRef(b, http::SplitUriRef(text))) == text);
  return 0;
}
