// One probe: the speed-test run's loads of a target with a client of the
// calling thread's own, under a deadline, turned into the figures of the
// scrape's answer. The probe server runs each probe on a worker thread.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "app/probe/ProbeMetrics.h"
#include "app/probe/ProbeModule.h"

namespace probe {

struct TProbeRequest {
  std::string target;  // a URL that app::CheckedUrl accepted
  TProbeModule module;
  int loads = 1;
  double timeoutSeconds = 10;
};

// Every wait of a load asks the installed application whether to stop, and
// there is one for the process. This one answers for the calling thread: a
// thread that runs a probe stops at its deadline or when its server stops,
// other threads as the console does. Installs it (once; later calls do nothing).
void InstallProbeApplication();

// Runs the probe on the calling thread, which ends it early once stopping
// holds. Never raises: a failed load is a failed probe with its reason.
TProbeOutcome RunProbe(const TProbeRequest& request, const std::atomic<bool>* stopping = nullptr);

}  // namespace probe
