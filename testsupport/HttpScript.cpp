#include <algorithm>
#include <cctype>
#include <map>

#include "testsupport/ScriptedPeer.h"

namespace testsupport {
namespace {

const char* Reason(int status) {
  static const std::map<int, const char*> kReasons = {{100, "Continue"},
                                                      {200, "OK"},
                                                      {204, "No Content"},
                                                      {206, "Partial Content"},
                                                      {301, "Moved Permanently"},
                                                      {302, "Found"},
                                                      {303, "See Other"},
                                                      {304, "Not Modified"},
                                                      {307, "Temporary Redirect"},
                                                      {400, "Bad Request"},
                                                      {401, "Unauthorized"},
                                                      {403, "Forbidden"},
                                                      {404, "Not Found"},
                                                      {407, "Proxy Authentication Required"},
                                                      {500, "Internal Server Error"},
                                                      {502, "Bad Gateway"},
                                                      {503, "Service Unavailable"}};
  auto it = kReasons.find(status);
  return it == kReasons.end() ? "Status" : it->second;
}

bool HasHeader(const std::vector<std::string>& headers, std::string_view name) {
  for (const auto& h : headers) {
    if (h.size() > name.size() && h[name.size()] == ':' &&
        std::equal(name.begin(), name.end(), h.begin(),
                   [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string HttpResponse(int status, std::string_view body, const std::vector<std::string>& headers) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  for (const auto& h : headers) r += h + "\r\n";
  if (!HasHeader(headers, "content-length") && !HasHeader(headers, "transfer-encoding")) {
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  r += "\r\n";
  r += body;
  return r;
}

Script HttpScript(const std::vector<std::string>& responses) {
  Script s;
  for (const auto& r : responses) s.ExpectRequest().Send(r);
  return s;
}

}  // namespace testsupport
