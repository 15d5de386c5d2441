// The page server behind `tachyload-cli --demo`: a first try that needs no web
// server of one's own. It serves one fixed page on a free loopback port from a
// thread of its own, so the event-driven client in the main thread measures it
// like any other server.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <thread>

namespace app {

class TDemoServer {
 public:
  // Listens on 127.0.0.1 at a port the system picks. Raises core::Exception
  // when no socket can be had.
  TDemoServer();
  ~TDemoServer();
  TDemoServer(const TDemoServer&) = delete;
  TDemoServer& operator=(const TDemoServer&) = delete;

  std::string Url() const;
  uint16_t Port() const { return FPort; }
  // The GET and HEAD requests answered, each counted as its answer starts.
  int Answered() const { return FAnswered.load(); }

  // The page it serves: 10 kB of HTML in lines of text.
  static const std::string& Page();

 private:
  void Serve();
  void Answer(int conn);

  int FListen = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FAnswered{0};
  std::thread FThread;
};

struct CliOptions;

// --demo: starts the server, points the run at it and says so on out.
std::unique_ptr<TDemoServer> StartDemo(CliOptions& o, std::ostream& out);

}  // namespace app
