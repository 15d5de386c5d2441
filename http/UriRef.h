// URI references as the relocation step resolves them: split into their five
// components, resolved against the document they were found in, dot segments
// removed, and written back as text. Purely lexical, on 8-bit text: no
// percent-decoding, no case mapping except the scheme.
#pragma once

#include <string>

namespace http {

// A component may be absent (no "?") or present and empty ("?" alone); the Has
// flags tell the two apart, as resolution must.
struct TUriRef {
  bool HasScheme = false;
  std::string Scheme;  // lower-cased
  bool HasAuthority = false;
  std::string Authority;
  std::string Path;
  bool HasQuery = false;
  std::string Query;
  bool HasFragment = false;
  std::string Fragment;
};

// Splits a reference into scheme, authority, path, query and fragment. A text
// before the first ":" that is not a valid scheme name (a letter, then letters,
// digits, "+", "-" or ".") makes the whole reference relative.
TUriRef SplitUriRef(const std::string& ref);

// Removes the "." and ".." segments of a path; ".." never climbs above the root.
std::string RemoveDotSegments(const std::string& path);

// The target of ref found in the document base. A reference whose scheme is the
// base's own without an authority ("http:g") is read as relative, as browsers do.
// The fragment is the reference's.
TUriRef ResolveUriRef(const TUriRef& base, const TUriRef& ref);

// The text of a reference: scheme ":" "//" authority path "?" query "#" fragment,
// each part only when present.
std::string ComposeUri(const TUriRef& uri);

// Splits an authority into its user information (before the last "@"), host and
// port (after the last ":" that follows the host, so a bracketed IPv6 address
// keeps its colons).
void SplitAuthority(const std::string& authority, std::string& userInfo, std::string& host,
                    std::string& port);

}  // namespace http
