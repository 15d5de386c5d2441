// What the window's details keep of each load: the row a finished load makes and
// the server a load talked to (a new server means a cold connection).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/LoadDetails.h"
#include "http/HttpTimeline.h"

namespace http {
class THttpCli;
}

namespace app {

// "proto://host:port" of url, the port as the URL writes it (empty when it
// names none): the loads of one run share their URL.
std::string ServerOf(const std::string& url);

// One load as the details show it. A load that got its page has the client's
// timeline: its phases, warm or cold connection, status and bytes. A failed one
// has only the window's own timing; its reason comes when the run ends.
TLoadRow LoadRowOf(const http::THttpCli& client, int load, bool reused, int64_t totalUs,
                   const std::optional<http::TLoadTimes>& times);

}  // namespace app
