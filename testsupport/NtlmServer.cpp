#include "testsupport/NtlmServer.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace testsupport {

NtlmServer::NtlmServer(NtlmServerOptions options) : options_(std::move(options)), dir_("tlntlm") {}

NtlmServer::~NtlmServer() {
  if (CurrentTestFailed() && child_.Started()) std::cerr << "[ ntlm_server log ]\n" << Log() << "\n";
  Stop();
}

bool NtlmServer::Available() {
  static const bool available =
      ProgramInstalled(kPython) && RunAndCapture({kPython, "-c", "import ntlm_auth"}).first == 0;
  return available;
}

std::string NtlmServer::ScriptPath() {
  return std::string(TL_SOURCE_DIR) + "/scripts/ntlm_server.py";
}

std::optional<std::pair<std::string, std::string>> NtlmServer::ComputeV1(std::string_view password,
                                                                         std::string_view challengeHex) {
  auto [status, out] = RunAndCapture({kPython, ScriptPath(), "--print-v1", "--password",
                                      std::string(password), "--challenge", std::string(challengeHex)});
  std::istringstream in(out);
  std::string tag1, lm, tag2, nt;
  if (status != 0 || !(in >> tag1 >> lm >> tag2 >> nt) || tag1 != "LM" || tag2 != "NT") return std::nullopt;
  return std::make_pair(lm, nt);
}

bool NtlmServer::Start() {
  std::vector<std::string> argv = {kPython,       ScriptPath(),      "--port",     "0",
                                   "--user",      options_.user,     "--password", options_.password,
                                   "--challenge", options_.challenge};
  if (options_.targetInfo) argv.push_back("--target-info");
  if (options_.ess) argv.push_back("--ess");
  if (options_.basic) argv.push_back("--basic");
  if (options_.http10) argv.push_back("--http10");
  if (options_.bind) argv.push_back("--bind");
  if (child_.Start({argv, {}, dir_.Path(), dir_.File("ntlm.log"), true})) {
    if (auto port = ReadReadyPort(child_, Millis(10000))) {
      port_ = *port;
      return true;
    }
  }
  ADD_FAILURE() << "ntlm_server.py did not start: " << child_.Error() << "\n" << Log();
  child_.Stop(SIGKILL);
  return false;
}

void NtlmServer::Stop() {
  child_.Stop(SIGTERM);
}

std::string NtlmServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::string NtlmServer::Log() const {
  return dir_.Read("ntlm.log");
}

}  // namespace testsupport
