// Compares the document name of a request path with a plain reference, and checks
// the ".htm" extension rule for an HTML answer. The first byte chooses the content
// type; the rest is the path.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/SysUtils.h"
#include "http/HttpUtils.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string ReferenceDocName(const std::string& path) {
  const std::string name = path.substr(0, path.find('?'));
  if (name.empty() || name.back() == '/') return "document.htm";
  const size_t slash = name.rfind('/');
  return (slash == std::string::npos ? name : name.substr(slash + 1)).substr(0, 255);
}

std::string ReferenceWithExtension(const std::string& name, const std::string& contentType) {
  if (contentType != "text/html") return name;
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return name + ".htm";
  if (core::LowerCase(name.substr(dot)) != ".exe") return name;
  return name.substr(0, dot + 1) + "htm";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kTypes[] = {"text/html", "text/plain", "", "TEXT/HTML"};
  const std::string type = kTypes[data[0] % 4];
  const std::string path(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::string name = http::AdjustDocName(path);
  Check(name == ReferenceDocName(path));
  Check(name.size() <= 255 && name.find('/') == std::string::npos && name.find('?') == std::string::npos);

  Check(http::AdjustDocNameExt(name, type) == ReferenceWithExtension(name, type));
  Check(http::AdjustDocNameExt(path, type) == ReferenceWithExtension(path, type));
  return 0;
}
