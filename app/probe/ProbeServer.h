// The probe server behind `tachyload-cli --serve`: a listening socket of the
// library's own on a thread with its own message loop, answering a metrics
// scraper's GET /probe?target=URL[&module=NAME][&loads=N] and GET /metrics.
//
// Each probe runs on a worker thread with a client of its own, so a slow or
// silent target holds up only its own scrape; at most one probe runs per
// target and module, a second scrape of it waits for the first within its own
// timeout. The listening thread only reads requests and writes answers: /metrics
// and every error answer come from it at once, whatever the probes do.
//
// With a certificate and key, every connection speaks TLS: a client that does
// not is closed when its handshake fails, or at the end of the request wait.
//
// Bounded: a request's head must arrive whole within the request wait, its
// line and fields within the parser's limits; connections and probes beyond
// their caps get 503 at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/probe/ProbeModule.h"
#include "app/probe/ScrapeRequest.h"
#include "app/probe/WebConfig.h"

namespace probe {

using TModules = std::map<std::string, TProbeModule>;

struct TServeOptions {
  std::string addr = "127.0.0.1";
  std::string port = "9115";  // "0": one the system picks
  TScrapeLimits limits;
  size_t maxConnections = 512;
  size_t maxProbes = 64;
  double requestWaitSeconds = 10;     // for the whole head, from the accept
  double defaultTimeoutSeconds = 10;  // a scrape without the timeout header
  double timeoutMarginSeconds = 0.5;  // left for the answer to reach the scraper
  int maxLoads = 100;
  std::map<std::string, std::string> basicAuthUsers;  // user -> bcrypt hash; none: no login asked
  // PEM files; given, every connection speaks TLS.
  std::string tlsCertFile, tlsKeyFile;
};

class TProbeServer {
 public:
  // Listens; raises core::Exception with the reason when it cannot (also when
  // the certificate or key cannot be loaded).
  TProbeServer(TServeOptions options, TModules modules);
  ~TProbeServer();
  TProbeServer(const TProbeServer&) = delete;
  TProbeServer& operator=(const TProbeServer&) = delete;

  uint16_t Port() const { return FPort; }
  // Replaces the modules; probes already running keep theirs.
  void SetModules(TModules modules);
  // A reload whose file was bad: the modules stay, /metrics says so.
  void ReloadFailed();
  // The server's own figures in the exposition format (what /metrics answers).
  std::string MetricsText() const;

  struct TState;  // what the listening thread and the workers share

 private:
  void Serve(std::promise<std::string>& started);

  TServeOptions FOptions;
  std::shared_ptr<TState> FState;
  uint16_t FPort = 0;
  std::thread FThread;
};

// The probe's timeout: the scraper's less the margin (the default when it sent
// none), capped by the module's; never below a tenth of a second.
double ProbeTimeout(const TServeOptions& options, std::optional<double> scrapeSeconds, double moduleSeconds);

}  // namespace probe
