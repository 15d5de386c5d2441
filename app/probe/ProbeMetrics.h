// The answer to one /probe scrape: the figures of the probe's loads under the
// names dashboards for HTTP probes already use (probe_*), and Tachyload's own
// under tachyload_*: every phase, quantiles over the loads, cold and warm.
//
// The probe_http_* series describe the first load, which opened its own
// connection as every probe of that kind does; the tachyload_* statistics cover
// all loads that completed. probe_http_duration_seconds has five phases:
// resolve (dns), connect (connect and socks), tls, processing (request and
// wait) and transfer. The time of followed redirects and authentication legs is
// kept apart in tachyload_phase_duration_seconds{phase="redirect"|"auth"}.
#pragma once

#include <cstdint>
#include <string>

#include "app/LoadReport.h"

namespace probe {

struct TProbeOutcome {
  app::TUrlLoads run;  // the loads in order; error set when the last one failed
  int loadsRequested = 0;
  bool success = false;        // every load got a page with a valid status
  double durationSeconds = 0;  // the whole probe, every load
  double timeoutSeconds = 0;   // what the probe was allowed
  bool ssl = false;            // the first load's final URL was https
  int64_t contentLength = -1;  // the first load's Content-Length; -1 when it had none
  int64_t certExpiry = 0;      // the first load's earliest certificate end (Unix time); 0: none
  std::string failureReason;   // a word: "target", "timeout", "connect", "status", ...
  std::string failureMessage;  // the error as the command line would print it
};

std::string ProbeMetricsText(const TProbeOutcome& outcome);

// 2 for "h2", 1.1 and 1 for the HTTP/1 versions, 0 when none was spoken.
double HttpVersionNumber(const char* protocol);

}  // namespace probe
