// Feeds arbitrary bytes to ParseURL. The first byte chooses how much of the rest
// is the current path (for "./" and "../"); the remainder is the url. Besides
// crashes, it checks that every part except the protocol and a resolved relative
// path is a piece of the url, and that Posn stays inside its documented results.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/SysUtils.h"
#include "http/Url.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

bool IsPiece(const std::string& part, const std::string& url) {
  return url.find(part) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t split = data[0] % (rest.size() + 1);
  const std::string url = rest.substr(split);
  std::string proto, user, pass, host, port, path = rest.substr(0, split);

  http::ParseURL(url, proto, user, pass, host, port, path);

  Check(IsPiece(user, url) && IsPiece(pass, url) && IsPiece(host, url) && IsPiece(port, url));
  const bool relative = url.rfind("./", 0) == 0 || url.rfind("../", 0) == 0;
  Check(relative ? !path.empty() : IsPiece(path, url));
  Check(proto.empty() || proto == "http" || proto == "mailto" ||
        core::LowerCase(url).rfind(proto + "://", 0) == 0);

  const auto len = static_cast<int64_t>(url.size());
  const int64_t last = http::Posn("/", url, -1);
  Check(last >= 0 && last <= len);
  const int64_t first = http::Posn("/", url, 1);
  Check(first >= 1 && first <= len + 1);
  return 0;
}
