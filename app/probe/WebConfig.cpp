#include "app/probe/WebConfig.h"

#include <crypt.h>
#include <yaml-cpp/yaml.h>

#include <filesystem>
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

std::string Where(const YAML::Node& node) {
  return "line " + std::to_string(node.Mark().line + 1) + ": ";
}

std::map<std::string, std::string> ParseUsers(const YAML::Node& key, const YAML::Node& value) {
  if (!value.IsMap()) throw core::Exception(Where(key) + "basic_auth_users must map users to hashes");
  std::map<std::string, std::string> users;
  for (const auto& user : value) {
    const std::string hash = user.second.IsScalar() ? user.second.Scalar() : "";
    if (hash.rfind("$2", 0) != 0)
      throw core::Exception(Where(user.second) + "the password of " + user.first.Scalar() +
                            " must be a bcrypt hash ($2b$...)");
    users[user.first.Scalar()] = hash;
  }
  return users;
}

std::string FileName(const YAML::Node& value, const std::string& baseDir) {
  const std::string name = value.IsScalar() ? value.Scalar() : "";
  if (name.empty()) return name;
  return (std::filesystem::path(baseDir) / name).string();
}

void ParseTls(const YAML::Node& key, const YAML::Node& value, const std::string& baseDir,
              TWebConfig& config) {
  if (!value.IsMap()) throw core::Exception(Where(key) + "tls_server_config must be a mapping");
  for (const auto& entry : value) {
    const std::string option = entry.first.Scalar();
    if (option == "cert_file")
      config.tlsCertFile = FileName(entry.second, baseDir);
    else if (option == "key_file")
      config.tlsKeyFile = FileName(entry.second, baseDir);
    else
      throw core::Exception(Where(entry.first) + "unknown or unsupported option tls_server_config." + option);
  }
  if (config.tlsCertFile.empty() || config.tlsKeyFile.empty())
    throw core::Exception(Where(key) + "tls_server_config needs cert_file and key_file");
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

TWebConfig ParseWebConfig(const std::string& yaml, const std::string& baseDir) {
  YAML::Node root;
  try {
    root = YAML::Load(yaml);
  } catch (const YAML::Exception& e) {
    throw core::Exception("line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
  }
  TWebConfig config;
  if (root.IsNull()) return config;
  if (!root.IsMap()) throw core::Exception("the file must hold a mapping");
  for (const auto& entry : root) {
    const std::string key = entry.first.Scalar();
    if (key == "basic_auth_users")
      config.basicAuthUsers = ParseUsers(entry.first, entry.second);
    else if (key == "tls_server_config")
      ParseTls(entry.first, entry.second, baseDir, config);
    else
      throw core::Exception(Where(entry.first) + "unknown or unsupported option " + key);
  }
  return config;
}

TWebConfig LoadWebConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw core::Exception("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return ParseWebConfig(text.str(), std::filesystem::path(path).parent_path().string());
  } catch (const core::Exception& e) {
    throw core::Exception(path + ": " + e.Message());
  }
}

}  // namespace probe
