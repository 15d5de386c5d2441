#include "app/probe/ProbeConfig.h"

#include <yaml-cpp/yaml.h>

#include <charconv>
#include <fstream>
#include <set>
#include <sstream>

#include "app/CliOptions.h"
#include "app/CliUrl.h"
#include "core/SysUtils.h"

namespace probe {

namespace {

[[noreturn]] void Fail(const YAML::Node& node, const std::string& why) {
  const YAML::Mark mark = node.Mark();
  if (mark.is_null()) throw core::Exception(why);
  throw core::Exception("line " + std::to_string(mark.line + 1) + ": " + why);
}

// A mapping whose keys are all among known.
void CheckKeys(const YAML::Node& map, const std::string& where, const std::set<std::string>& known) {
  if (!map.IsMap()) Fail(map, where + " must be a mapping");
  for (const auto& entry : map) {
    const std::string key = entry.first.as<std::string>();
    if (known.contains(key)) continue;
    std::string why = "unknown or unsupported option ";
    why.append(where).append(".").append(key);
    Fail(entry.first, why);
  }
}

std::string Text(const YAML::Node& node, const std::string& what) {
  if (!node.IsScalar()) Fail(node, what + " must be a single value");
  return node.as<std::string>();
}

bool Bool(const YAML::Node& node, const std::string& what) {
  bool value = false;
  if (!node.IsScalar() || !YAML::convert<bool>::decode(node, value))
    Fail(node, what + " must be true or false");
  return value;
}

int Int(const YAML::Node& node, const std::string& what, int min, int max) {
  const std::optional<int32_t> n = node.IsScalar() ? core::TryStrToInt(node.Scalar()) : std::nullopt;
  if (!n || *n < min || *n > max)
    Fail(node, what + " must be a number from " + std::to_string(min) + " to " + std::to_string(max));
  return *n;
}

// The first line of a file: a password kept out of the module file.
std::string ReadSecret(const YAML::Node& node, const std::string& baseDir) {
  std::string path = Text(node, "password_file");
  if (!path.empty() && path.front() != '/') path = baseDir + "/" + path;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) Fail(node, "cannot read the password file " + path);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void ReadSocks(const YAML::Node& socks, TProbeModule& m, const std::string& baseDir) {
  CheckKeys(socks, "socks", {"server", "level", "username", "password", "password_file"});
  if (socks["server"]) m.socks.server = Text(socks["server"], "socks.server");
  if (socks["level"]) m.socks.level = Text(socks["level"], "socks.level");
  if (socks["username"]) m.socks.user = Text(socks["username"], "socks.username");
  if (socks["password"]) m.socks.password = Text(socks["password"], "socks.password");
  if (socks["password_file"]) m.socks.password = ReadSecret(socks["password_file"], baseDir);
  if (const std::string why = app::CheckSocksServer(m.socks.server); !m.socks.server.empty() && !why.empty())
    Fail(socks["server"], why);
  if (const std::string why = app::CheckSocksLevel(m.socks.level); !why.empty()) Fail(socks, why);
}

void ReadTachyload(const YAML::Node& t, TProbeModule& m, const std::string& baseDir) {
  CheckKeys(t, "tachyload", {"http_version", "max_redirects", "socks"});
  if (t["http_version"]) {
    m.httpVersion = Text(t["http_version"], "http_version");
    if (m.httpVersion != "1.0" && m.httpVersion != "1.1" && m.httpVersion != "2")
      Fail(t["http_version"], "http_version must be 1.0, 1.1 or 2");
  }
  if (t["max_redirects"]) m.maxRedirects = Int(t["max_redirects"], "max_redirects", 0, 100);
  if (t["socks"]) ReadSocks(t["socks"], m, baseDir);
}

void ReadHttp(const YAML::Node& h, TProbeModule& m, const std::string& baseDir) {
  CheckKeys(h, "http",
            {"valid_status_codes", "valid_http_versions", "method", "follow_redirects",
             "preferred_ip_protocol", "ip_protocol_fallback", "compression", "enable_http2", "proxy_url",
             "tls_config", "basic_auth", "tachyload"});
  if (const YAML::Node codes = h["valid_status_codes"]) {
    if (!codes.IsSequence()) Fail(codes, "valid_status_codes must be a list");
    for (const auto& c : codes) m.validStatusCodes.push_back(Int(c, "a valid status code", 100, 599));
  }
  if (const YAML::Node versions = h["valid_http_versions"]) {
    if (!versions.IsSequence()) Fail(versions, "valid_http_versions must be a list");
    for (const auto& v : versions) {
      const std::string text = Text(v, "an HTTP version");
      if (text == "HTTP/1.0")
        m.validProtocols.push_back("http/1.0");
      else if (text == "HTTP/1.1")
        m.validProtocols.push_back("http/1.1");
      else if (text == "HTTP/2.0" || text == "HTTP/2")
        m.validProtocols.push_back("h2");
      else
        Fail(v, "valid_http_versions takes HTTP/1.0, HTTP/1.1 and HTTP/2.0");
    }
  }
  if (h["method"] && Text(h["method"], "method") != "GET")
    Fail(h["method"], "only the GET method is measured");
  if (h["follow_redirects"]) m.followRedirects = Bool(h["follow_redirects"], "follow_redirects");
  std::string preferred = "ip6";
  if (h["preferred_ip_protocol"]) {
    preferred = Text(h["preferred_ip_protocol"], "preferred_ip_protocol");
    if (preferred != "ip4" && preferred != "ip6")
      Fail(h["preferred_ip_protocol"], "preferred_ip_protocol must be ip4 or ip6");
  }
  // Either family unless the fallback is turned off: then the preferred one only.
  const bool fallback = !h["ip_protocol_fallback"] || Bool(h["ip_protocol_fallback"], "ip_protocol_fallback");
  m.ipFamily = fallback ? "any" : preferred;
  if (h["compression"]) {
    const std::string c = Text(h["compression"], "compression");
    m.compression = !c.empty() && c != "identity";
  }
  if (h["enable_http2"] && Bool(h["enable_http2"], "enable_http2")) m.httpVersion = "2";
  if (h["proxy_url"]) {
    try {
      const app::TProxyAddress proxy = app::ParseProxy(Text(h["proxy_url"], "proxy_url"));
      m.proxyHost = proxy.host;
      m.proxyPort = proxy.port;
    } catch (const core::Exception& e) {
      Fail(h["proxy_url"], e.Message());
    }
  }
  if (const YAML::Node tls = h["tls_config"]) {
    CheckKeys(tls, "tls_config", {"ca_file", "insecure_skip_verify"});
    if (tls["ca_file"]) m.caFile = Text(tls["ca_file"], "ca_file");
    if (tls["insecure_skip_verify"]) m.insecure = Bool(tls["insecure_skip_verify"], "insecure_skip_verify");
  }
  if (const YAML::Node auth = h["basic_auth"]) {
    CheckKeys(auth, "basic_auth", {"username", "password", "password_file"});
    if (auth["username"]) m.user = Text(auth["username"], "username");
    if (auth["password"]) m.password = Text(auth["password"], "password");
    if (auth["password_file"]) m.password = ReadSecret(auth["password_file"], baseDir);
  }
  if (h["tachyload"]) ReadTachyload(h["tachyload"], m, baseDir);
}

TProbeModule ReadModule(const YAML::Node& node, const std::string& baseDir) {
  CheckKeys(node, "module", {"prober", "timeout", "http"});
  TProbeModule m;
  if (node["prober"] && Text(node["prober"], "prober") != "http")
    Fail(node["prober"], "only the http prober is supported");
  if (node["timeout"]) {
    try {
      m.timeoutSeconds = ParseDuration(Text(node["timeout"], "timeout"));
    } catch (const core::Exception& e) {
      Fail(node["timeout"], e.Message());
    }
  }
  if (node["http"]) ReadHttp(node["http"], m, baseDir);
  return m;
}

}  // namespace

double ParseDuration(const std::string& text) {
  const char* p = text.data();
  const char* end = p + text.size();
  double total = 0;
  if (p == end) throw core::Exception("empty duration");
  while (p < end) {
    double value = 0;
    const auto res = std::from_chars(p, end, value, std::chars_format::fixed);
    if (res.ec != std::errc() || *p == '-' || *p == '+') throw core::Exception("bad duration '" + text + "'");
    p = res.ptr;
    const std::string_view rest(p, static_cast<size_t>(end - p));
    double unit = 0;
    size_t unitLength = 1;
    if (rest.substr(0, 2) == "ms") {
      unit = 0.001, unitLength = 2;
    } else if (!rest.empty() && rest[0] == 's') {
      unit = 1;
    } else if (!rest.empty() && rest[0] == 'm') {
      unit = 60;
    } else if (!rest.empty() && rest[0] == 'h') {
      unit = 3600;
    } else {
      throw core::Exception("bad duration '" + text + "': give a unit (ms, s, m, h)");
    }
    total += value * unit;
    p += unitLength;
  }
  if (!(total > 0) || total > 86400) throw core::Exception("duration '" + text + "' out of range");
  return total;
}

TModules ParseModules(const std::string& yaml, const std::string& baseDir) {
  YAML::Node root;
  try {
    root = YAML::Load(yaml);
  } catch (const YAML::Exception& e) {
    throw core::Exception("line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
  }
  if (!root.IsMap()) throw core::Exception("the file must hold a mapping with modules:");
  CheckKeys(root, "file", {"modules"});
  const YAML::Node modules = root["modules"];
  if (!modules || !modules.IsMap() || modules.size() == 0)
    Fail(root, "modules: must name at least one module");
  TModules out;
  try {
    for (const auto& entry : modules) out[entry.first.as<std::string>()] = ReadModule(entry.second, baseDir);
  } catch (const YAML::Exception& e) {
    throw core::Exception("line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
  }
  return out;
}

TModules LoadModules(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw core::Exception("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  const size_t slash = path.rfind('/');
  try {
    return ParseModules(text.str(), slash == std::string::npos ? "." : path.substr(0, slash));
  } catch (const core::Exception& e) {
    throw core::Exception(path + ": " + e.Message());
  }
}

}  // namespace probe
