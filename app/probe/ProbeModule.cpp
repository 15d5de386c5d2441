#include "app/probe/ProbeModule.h"

#include <algorithm>

#include "app/SpeedRun.h"
#include "http/HttpProt.h"

namespace probe {

bool TProbeModule::ValidStatus(int status) const {
  if (validStatusCodes.empty()) return status >= 200 && status <= 299;
  return std::find(validStatusCodes.begin(), validStatusCodes.end(), status) != validStatusCodes.end();
}

void ApplyModule(http::THttpCli& client, const TProbeModule& module, std::string& socksFailure) {
  app::ConfigureClient(client);
  client.SetAgent("Tachyload probe");
  client.SetRequestVer(module.httpVersion);
  client.SetFollowRelocation(module.followRedirects);
  client.SetLocationChangeMaxCount(module.maxRedirects);
  client.SetSslCaFile(module.caFile);
  client.SetSslVerifyPeer(!module.insecure);
  client.SetIpFamily(module.ipFamily == "ip4"   ? http::httpIpV4Only
                     : module.ipFamily == "ip6" ? http::httpIpV6Only
                                                : http::httpIpAny);
  client.SetUsername(module.user);
  client.SetPassword(module.password);
  client.SetNtlmVersion(2);
  if (module.compression) client.SetOptions(client.Options() | http::httpoEnableContentCoding);
  app::ApplySocks(client, module.socks, socksFailure);
}

}  // namespace probe
