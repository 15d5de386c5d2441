#include "app/probe/WebConfig.h"

#include <crypt.h>
#include <yaml-cpp/yaml.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "core/SysUtils.h"
#include "http/MimeUtils.h"

namespace probe {

namespace {

constexpr size_t kAcceptedMax = 64;  // distinct credentials remembered

bool CheckPassword(const std::string& password, const std::string& hash) {
  auto data = std::make_unique<crypt_data>();
  const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
  // A failed hash comes back as a string starting with '*', never equal.
  return result != nullptr && hash == result;
}

}  // namespace

bool TBasicAuth::Allows(const std::string& authorization) const {
  if (FUsers.empty()) return true;
  if (authorization.size() < 6 || core::LowerCase(authorization.substr(0, 6)) != "basic ") return false;
  const std::string encoded = authorization.substr(6);
  {
    std::lock_guard guard(FLock);
    if (FAccepted.contains(encoded)) return true;
  }
  const std::string decoded = http::DecodeBase64(encoded);
  if (http::EncodeBase64(decoded) != encoded) return false;  // not Base64
  const size_t colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  const auto user = FUsers.find(decoded.substr(0, colon));
  if (user == FUsers.end() || !CheckPassword(decoded.substr(colon + 1), user->second)) return false;
  std::lock_guard guard(FLock);
  if (FAccepted.size() < kAcceptedMax) FAccepted.insert(encoded);
  return true;
}

std::map<std::string, std::string> ParseWebConfig(const std::string& yaml) {
  YAML::Node root;
  try {
    root = YAML::Load(yaml);
  } catch (const YAML::Exception& e) {
    throw core::Exception("line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
  }
  std::map<std::string, std::string> users;
  if (root.IsNull()) return users;
  if (!root.IsMap()) throw core::Exception("the file must hold a mapping");
  for (const auto& entry : root) {
    const std::string key = entry.first.Scalar();
    const int line = entry.first.Mark().line + 1;
    if (key == "tls_server_config")
      throw core::Exception("line " + std::to_string(line) + ": TLS on the listening side is not supported");
    if (key != "basic_auth_users")
      throw core::Exception("line " + std::to_string(line) + ": unknown or unsupported option " + key);
    if (!entry.second.IsMap())
      throw core::Exception("line " + std::to_string(line) + ": basic_auth_users must map users to hashes");
    for (const auto& user : entry.second) {
      const std::string hash = user.second.IsScalar() ? user.second.Scalar() : "";
      if (hash.rfind("$2", 0) != 0)
        throw core::Exception("line " + std::to_string(user.second.Mark().line + 1) + ": the password of " +
                              user.first.Scalar() + " must be a bcrypt hash ($2b$...)");
      users[user.first.Scalar()] = hash;
    }
  }
  return users;
}

std::map<std::string, std::string> LoadWebConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw core::Exception("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return ParseWebConfig(text.str());
  } catch (const core::Exception& e) {
    throw core::Exception(path + ": " + e.Message());
  }
}

}  // namespace probe
