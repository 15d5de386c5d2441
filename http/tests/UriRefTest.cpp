// Resolving references against a document: the examples of RFC 3986 section 5.4
// (normal and abnormal), and the splits the relocation step depends on.
#include "http/UriRef.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace http {
namespace {

std::string Resolve(const std::string& base, const std::string& ref) {
  return ComposeUri(ResolveUriRef(SplitUriRef(base), SplitUriRef(ref)));
}

TEST(UriRef, ResolvesTheRfcExamples) {
  struct Case {
    const char* ref;
    const char* target;
  };
  const std::vector<Case> cases = {
      // Normal examples.
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q#s"},
      {"g#s", "http://a/b/c/g#s"},
      {"g?y#s", "http://a/b/c/g?y#s"},
      {";x", "http://a/b/c/;x"},
      {"g;x", "http://a/b/c/g;x"},
      {"g;x?y#s", "http://a/b/c/g;x?y#s"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../", "http://a/b/"},
      {"../g", "http://a/b/g"},
      {"../..", "http://a/"},
      {"../../", "http://a/"},
      {"../../g", "http://a/g"},
      // Abnormal examples.
      {"../../../g", "http://a/g"},
      {"../../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {".g", "http://a/b/c/.g"},
      {"g..", "http://a/b/c/g.."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"./g/.", "http://a/b/c/g/"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
      {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"g?y/../x", "http://a/b/c/g?y/../x"},
      {"g#s/./x", "http://a/b/c/g#s/./x"},
      {"g#s/../x", "http://a/b/c/g#s/../x"},
      {"http:g", "http://a/b/c/g"},  // the lenient reading the RFC allows
      // Beyond the RFC's list: case of the scheme, a colon after the first "/".
      {"HTTP://B/x/../y", "http://B/y"},
      {"p/q:r", "http://a/b/c/p/q:r"},
      {"JavaScript:alert(1)", "javascript:alert(1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(Resolve("http://a/b/c/d;p?q", c.ref), c.target) << c.ref;
  // A base with a server and no path stands for "/".
  EXPECT_EQ(Resolve("http://a", "g"), "http://a/g");
  EXPECT_EQ(Resolve("http://a", "?q"), "http://a?q");
}

TEST(UriRef, SplitsOnlyValidSchemesAndBracketedHosts) {
  const TUriRef notScheme = SplitUriRef("a b:c/d");
  EXPECT_FALSE(notScheme.HasScheme);
  EXPECT_EQ(notScheme.Path, "a b:c/d");
  const TUriRef emptyQuery = SplitUriRef("http://h/p?#");
  EXPECT_TRUE(emptyQuery.HasQuery);
  EXPECT_TRUE(emptyQuery.HasFragment);
  EXPECT_EQ(emptyQuery.Query, "");

  struct Case {
    const char* authority;
    const char* userInfo;
    const char* host;
    const char* port;
  };
  for (const Case& c : {Case{"u:p@h:81", "u:p", "h", "81"}, Case{"[::1]", "", "[::1]", ""},
                        Case{"[::1]:8080", "", "[::1]", "8080"}, Case{"a@b@h", "a@b", "h", ""}}) {
    std::string userInfo, host, port;
    SplitAuthority(c.authority, userInfo, host, port);
    EXPECT_EQ(userInfo + "|" + host + "|" + port, std::string(c.userInfo) + "|" + c.host + "|" + c.port)
        << c.authority;
  }
}

}  // namespace
}  // namespace http
