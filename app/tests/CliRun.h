// Runs the real tachyload-cli for the command-line tests.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testsupport/Process.h"

#ifndef TL_CLI_PATH
#define TL_CLI_PATH "tachyload-cli"
#endif

namespace clitest {

struct CliRun {
  int exitCode = -1;
  std::string out, err;
};

inline std::string Quote(const std::string& s) {
  std::string r = "'";
  for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

// Runs the program with the proxy variables of the test's own environment
// removed, its history recorded under a folder of its own, and env
// ("NAME=value") added; optionally in a network namespace of its
// own, where no name resolves. A watchdog ends a run that hangs.
inline CliRun RunCli(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                     bool isolatedNetwork = false) {
  testsupport::TempDir dir("tlcli");
  std::string cmd = isolatedNetwork ? "unshare -n " : "";
  cmd += "env -u http_proxy -u https_proxy -u HTTPS_PROXY -u no_proxy -u NO_PROXY";
  cmd += " " + Quote("XDG_DATA_HOME=" + dir.File("data"));
  for (const auto& e : env) cmd += " " + Quote(e);
  cmd += " timeout -s KILL 60 " + Quote(TL_CLI_PATH);
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " >" + Quote(dir.File("out")) + " 2>" + Quote(dir.File("err")) + " </dev/null";
  const int status = std::system(cmd.c_str());
  CliRun r;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = dir.Read("out");
  r.err = dir.Read("err");
  return r;
}

}  // namespace clitest
