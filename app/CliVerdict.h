// When a command-line load counts as failed. The client raises only for a final
// status of 400 and above other than 401 and 407, and ends a redirection chain
// cut by its limit with the redirection's own answer; on the command line both
// authentication refusals and a cut chain fail the load too, and every failure
// names the status and the URL that answered.
//
// The limit counts hops as a user does. The client counts a hop that needs a new
// connection twice; here the client's own limit is 0, every hop asks
// OnLocationChangeExceeded, and the hops are counted once each in OnLocationChange.
#pragma once

#include <exception>
#include <string>

#include "core/SysUtils.h"

namespace http {
class THttpCli;
}

namespace app {

TL_DECLARE_EXCEPTION(ELoadFailed, core::Exception);

class TCliVerdict {
 public:
  // Hooks the client's relocation and header events; maxRedirects applies when
  // the client follows redirections.
  TCliVerdict(http::THttpCli& client, int maxRedirects);
  // Called before each load with the URL it starts from.
  void StartLoad(const std::string& url);
  // After a load's Get returned: raises ELoadFailed for 401, 407 and a cut chain.
  void Check() const;
  // The status of the last answer as a server sent it; 0 when the client made
  // the status up for a failure of its own (a refused connection, a timeout).
  int ServerCode() const { return ServerStatus() ? FServerCode : 0; }
  // The message for a load that raised: a failure of the client's own names the
  // host (and port) it tried.
  std::string Explain(const std::exception& e) const;
  // Whether credentials were given for the server and for the proxy: a 401 or
  // 407 then reads "login refused", otherwise "login required".
  void SetLogins(bool server, bool proxy) {
    FServerLogin = server;
    FProxyLogin = proxy;
  }

 private:
  bool ServerStatus() const;
  std::string StatusText() const;

  http::THttpCli& FClient;
  int FLimit;
  int FHops = 0;
  bool FCut = false;
  std::string FUrl;          // the URL of the last request sent
  std::string FStartOrigin;  // the origin of the URL the load started from
  std::string FLocation;     // the location field of the last answer
  int FServerCode = 0;
  std::string FServerReason;
  bool FServerLogin = false, FProxyLogin = false;
};

}  // namespace app
