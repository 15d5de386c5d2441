#include "app/LoadRows.h"

#include <algorithm>

#include "http/HttpProt.h"
#include "http/Url.h"

namespace app {

std::string ServerOf(const std::string& url) {
  std::string proto, user, pass, host, port, path;
  http::ParseURL(url, proto, user, pass, host, port, path);
  return proto + "://" + host + ":" + port;
}

TLoadRow LoadRowOf(const http::THttpCli& client, int load, bool reused, int64_t totalUs,
                   const std::optional<http::TLoadTimes>& times) {
  TLoadRow row;
  row.load = load;
  if (times) {
    row.times = *times;
  } else {
    // The command line's rule: no status when no server answered.
    row.times.status = client.RcvdHeader().Count() > 0 ? client.StatusCode() : 0;
    row.times.reused = reused;
    row.error = "failed";
  }
  int64_t phases = 0;
  for (size_t p = 0; p < kDetailPhaseCount; ++p) phases += row.PhaseUs(p);
  row.totalUs = std::max(totalUs, phases);
  return row;
}

}  // namespace app
