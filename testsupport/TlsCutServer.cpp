#include "testsupport/TlsCutServer.h"

#include <signal.h>

#include <gtest/gtest.h>

namespace testsupport {

bool TlsCutServer::Start(const std::string& certFile, const std::string& keyFile, int length, int sent) {
  return Launch({certFile, keyFile, std::to_string(length), std::to_string(sent)});
}

bool TlsCutServer::StartNotify(const std::string& certFile, const std::string& keyFile, int sent) {
  return Launch({certFile, keyFile, "0", std::to_string(sent), "notify"});
}

bool TlsCutServer::Launch(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kPython, std::string(TL_SOURCE_DIR) + "/scripts/tls_cut_server.py"};
  argv.insert(argv.end(), args.begin(), args.end());
  if (child_.Start({argv, {}, dir_.Path(), dir_.File("server.log"), true})) {
    if (auto port = ReadReadyPort(child_, Millis(10000))) {
      port_ = *port;
      return true;
    }
  }
  ADD_FAILURE() << "tls_cut_server.py did not start: " << child_.Error() << "\n" << child_.Log();
  child_.Stop(SIGKILL);
  return false;
}

void TlsCutServer::Stop() {
  child_.Stop(SIGTERM);
}

}  // namespace testsupport
