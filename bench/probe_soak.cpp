// The probe server under load, in-process on loopback. Two parts:
//
// 1. Twenty scrapes at once over five targets, four scrapes each: four nginx
//    pages and one peer that reads the request and never answers. Each scrape
//    sends a scrape timeout of T seconds; meanwhile /metrics is asked again and
//    again. Reported: each target's slowest answer against T, and the slowest
//    /metrics answer.
// 2. 500 connections at once that send half a request line and stay: /metrics
//    and a probe are still answered, and how long they took.
// 3. P probes in a row of one nginx page: the process's resident memory and
//    open descriptors after the first tenth and at the end.
//
// Exits 1 when a scrape answers after its timeout, /metrics takes 50 ms or
// more, or memory grows by more than 10% or descriptors at all between the two
// samples of part 2.
//
// Usage: probe_soak [--probes P] [--timeout T]   (defaults 10000 and 3)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "app/probe/ProbeServer.h"
#include "testsupport/Nginx.h"
#include "testsupport/RawClient.h"
#include "testsupport/ScriptedPeer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string Scrape(uint16_t port, const std::string& target, double timeout) {
  testsupport::RawClient c;
  char header[96];
  std::snprintf(header, sizeof header, "X-Prometheus-Scrape-Timeout-Seconds: %g\r\n", timeout);
  if (!c.Connect(port) || !c.Send("GET " + target + " HTTP/1.1\r\n" + header + "\r\n")) return {};
  return c.ReadToEnd(std::chrono::seconds(60));
}

long ResidentKb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE) / 1024;
}

size_t OpenFds() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

bool Concurrent(uint16_t port, const std::vector<std::string>& targets, double timeout) {
  std::vector<double> slowest(targets.size(), 0);
  std::vector<int> succeeded(targets.size(), 0);
  std::atomic<bool> done{false};
  double worstMetrics = 0;
  int metricsAsked = 0;
  std::thread metrics([&] {
    while (!done) {
      const Clock::time_point t = Clock::now();
      const bool ok = Scrape(port, "/metrics", 10).find("tachyload_probes_total") != std::string::npos;
      worstMetrics = std::max(worstMetrics, ok ? Since(t) : 1e9);
      ++metricsAsked;
    }
  });
  std::vector<std::thread> scrapers;
  std::mutex lock;
  for (size_t i = 0; i < targets.size() * 4; ++i) {
    scrapers.emplace_back([&, i] {
      const size_t t = i % targets.size();
      const Clock::time_point start = Clock::now();
      const std::string answer = Scrape(port, "/probe?target=" + targets[t], timeout);
      const double took = Since(start);
      std::lock_guard guard(lock);
      slowest[t] = std::max(slowest[t], took);
      if (answer.find("\nprobe_success 1\n") != std::string::npos) ++succeeded[t];
    });
  }
  for (auto& s : scrapers) s.join();
  done = true;
  metrics.join();
  bool ok = worstMetrics < 0.05;
  for (size_t t = 0; t < targets.size(); ++t) {
    std::printf("  %-40s slowest answer %.3f s of %.1f s, %d of 4 succeeded\n", targets[t].c_str(),
                slowest[t], timeout, succeeded[t]);
    ok = ok && slowest[t] < timeout;
  }
  std::printf("  /metrics asked %d times meanwhile, slowest %.1f ms\n", metricsAsked, worstMetrics * 1000);
  return ok;
}

bool Crowded(uint16_t port, const std::string& target) {
  std::vector<std::unique_ptr<testsupport::RawClient>> crowd;
  for (int i = 0; i < 500; ++i) {
    crowd.push_back(std::make_unique<testsupport::RawClient>());
    if (!crowd.back()->Connect(port) || !crowd.back()->Send("GET /met")) return false;
  }
  Clock::time_point t = Clock::now();
  const bool metrics = Scrape(port, "/metrics", 10).find("tachyload_connections_total") != std::string::npos;
  const double metricsTook = Since(t);
  t = Clock::now();
  const bool probed =
      Scrape(port, "/probe?target=" + target, 10).find("\nprobe_success 1\n") != std::string::npos;
  std::printf("  with 500 half-sent requests open: /metrics %s in %.1f ms, a probe %s in %.1f ms\n",
              metrics ? "answered" : "NOT answered", metricsTook * 1000, probed ? "succeeded" : "FAILED",
              Since(t) * 1000);
  return metrics && probed;
}

bool InARow(uint16_t port, const std::string& target, int probes) {
  long rssTenth = 0;
  size_t fdsTenth = 0;
  int failed = 0;
  const Clock::time_point start = Clock::now();
  for (int i = 1; i <= probes; ++i) {
    if (Scrape(port, "/probe?target=" + target, 10).find("\nprobe_success 1\n") == std::string::npos)
      ++failed;
    if (i == std::max(1, probes / 10)) {
      rssTenth = ResidentKb();
      fdsTenth = OpenFds();
    }
  }
  const double took = Since(start);
  const long rssEnd = ResidentKb();
  const size_t fdsEnd = OpenFds();
  std::printf("  %d probes in %.1f s (%.2f ms each), %d failed\n", probes, took, took * 1000 / probes,
              failed);
  std::printf("  resident memory %ld kB after %d probes, %ld kB after %d\n", rssTenth,
              std::max(1, probes / 10), rssEnd, probes);
  std::printf("  open descriptors %zu after %d probes, %zu after %d\n", fdsTenth, std::max(1, probes / 10),
              fdsEnd, probes);
  return failed == 0 && rssEnd <= rssTenth * 11 / 10 && fdsEnd <= fdsTenth;
}

}  // namespace

int main(int argc, char** argv) {
  int probes = 10000;
  double timeout = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--probes") == 0) probes = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--timeout") == 0) timeout = std::atof(argv[i + 1]);
  }
  // Both ends of the 500 connections are in this process.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 4096) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    setrlimit(RLIMIT_NOFILE, &files);
  }
  testsupport::NginxServer nginx;
  if (!nginx.Start()) return 2;
  testsupport::ScriptedPeer silent;
  probe::TServeOptions options;
  options.port = "0";
  probe::TProbeServer server(options, {});
  std::vector<std::string> targets;
  for (const char* path : {"/", "/dir/page.htm", "/dir/next.htm", "/big.txt"})
    targets.push_back(nginx.Url(path));
  targets.push_back("http://" + silent.Address() + "/");

  std::printf("20 scrapes at once over 5 targets (the last never answers), timeout %.1f s:\n", timeout);
  const bool concurrent = Concurrent(server.Port(), targets, timeout);
  std::printf("500 connections at once:\n");
  const bool crowded = Crowded(server.Port(), targets[0]);
  std::printf("%d probes in a row:\n", probes);
  const bool flat = InARow(server.Port(), targets[0], probes);
  return concurrent && crowded && flat ? 0 : 1;
}
