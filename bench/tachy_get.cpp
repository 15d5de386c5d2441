// tachy_get: downloads one URL N times with the HTTP client's synchronous Get, the
// way the speed test does, and prints one line of key=value figures. It is the
// program bench/compare_curl.sh sets beside curl, so it takes its choices from the
// command line instead of being a Google Benchmark case:
//
//   tachy_get [-n LOADS] [--http-version 1.0|1.1|2] [--connection VALUE] [--new-connection]
//             [--sink memory|discard] [--expect BYTES] [--cacert FILE] URL
//
// One client serves every load: with HTTP/1.1 (and no "Connection: close") nginx
// keeps the connection, so the loads after the first reuse it; with HTTP/1.0 every
// load opens a connection of its own. With 2 (HTTP/2: ALPN for https, prior
// knowledge for http) every load is a stream on one connection, unless
// --new-connection closes it after each load. The memory sink is a TMemoryStream emptied
// before each load (it keeps its block, as a reused buffer would); the discard sink
// counts and drops, so the figure is the client's cost alone. An https URL is
// checked against the CA certificates of --cacert.
//
// Output (one line; MB is 10^6 bytes, wall time covers the loads only):
//   loads=100 bytes=1024000 wall_ms=12.345 mb_s=82.9 loads_s=8100.4 version=1.0 connection= sink=memory
// Exit status: 0 after every load, 1 when a load failed or had the wrong size, 2 on bad usage.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "bench/DiscardStream.h"
#include "core/Classes.h"
#include "core/SysUtils.h"
#include "http/HttpProt.h"

namespace {

using bench::TDiscardStream;

struct TOptions {
  int64_t loads = 1;
  std::string version = "1.1";
  std::string connection;
  bool newConnection = false;
  std::string sink = "memory";
  int64_t expect = -1;  // bytes per load; -1: every load as long as the first
  std::string caFile;
  std::string url;
};

void Usage(const char* why) {
  std::fprintf(
      stderr,
      "tachy_get: %s\nusage: tachy_get [-n LOADS] [--http-version 1.0|1.1|2] [--connection VALUE]\n"
      "                 [--new-connection] [--sink memory|discard] [--expect BYTES] [--cacert FILE] URL\n",
      why);
}

bool ParseCount(const char* text, int64_t& out) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0) return false;
  out = v;
  return true;
}

// False (after printing why) on bad usage.
bool ParseOptions(int argc, char** argv, TOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if ((a == "-n" || a == "--loads") && hasValue) {
      if (!ParseCount(argv[++i], o.loads) || o.loads == 0) return Usage("bad number of loads"), false;
    } else if (a == "--http-version" && hasValue) {
      o.version = argv[++i];
      if (o.version != "1.0" && o.version != "1.1" && o.version != "2")
        return Usage("version must be 1.0, 1.1 or 2"), false;
    } else if (a == "--new-connection") {
      o.newConnection = true;
    } else if (a == "--connection" && hasValue) {
      o.connection = argv[++i];
    } else if (a == "--sink" && hasValue) {
      o.sink = argv[++i];
      if (o.sink != "memory" && o.sink != "discard") return Usage("sink must be memory or discard"), false;
    } else if (a == "--expect" && hasValue) {
      if (!ParseCount(argv[++i], o.expect)) return Usage("bad --expect"), false;
    } else if (a == "--cacert" && hasValue) {
      o.caFile = argv[++i];
    } else if (!a.empty() && a[0] != '-' && o.url.empty()) {
      o.url = a;
    } else {
      return Usage(("unexpected argument: " + a).c_str()), false;
    }
  }
  if (o.url.empty()) return Usage("no URL"), false;
  return true;
}

// Runs the loads; returns the total body bytes, or -1 after printing the failure.
int64_t RunLoads(const TOptions& o, core::TStream& sink) {
  auto cli = core::MakeComponent<http::THttpCli>(nullptr);
  cli->SetURL(o.url);
  cli->SetRequestVer(o.version);
  cli->SetConnection(o.connection);
  cli->SetRcvdStream(&sink);
  cli->SetSslCaFile(o.caFile);
  int64_t total = 0;
  int64_t expect = o.expect;
  for (int64_t i = 0; i < o.loads; ++i) {
    sink.SetSize(0);
    cli->Get();
    const int64_t got = cli->RcvdCount();
    if (expect < 0) expect = got;
    if (got != expect) {
      std::fprintf(stderr, "tachy_get: load %lld received %lld bytes, expected %lld\n",
                   static_cast<long long>(i + 1), static_cast<long long>(got),
                   static_cast<long long>(expect));
      return -1;
    }
    total += got;
    if (o.newConnection) cli->Close();
  }
  cli->SetRcvdStream(nullptr);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  if (!ParseOptions(argc, argv, o)) return 2;
  core::TMemoryStream memory;
  TDiscardStream discard;
  core::TStream& sink = o.sink == "memory" ? static_cast<core::TStream&>(memory) : discard;
  int64_t bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  try {
    bytes = RunLoads(o, sink);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tachy_get: %s\n", core::ExceptionMessage(e).c_str());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (bytes < 0) return 1;
  const double safe = seconds > 0 ? seconds : 1e-9;
  std::printf("loads=%lld bytes=%lld wall_ms=%.3f mb_s=%.1f loads_s=%.1f version=%s connection=%s sink=%s\n",
              static_cast<long long>(o.loads), static_cast<long long>(bytes), seconds * 1000,
              static_cast<double>(bytes) / 1e6 / safe, static_cast<double>(o.loads) / safe, o.version.c_str(),
              o.connection.c_str(), o.sink.c_str());
  return 0;
}
