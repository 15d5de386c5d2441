// The page server behind `tachyload-cli --demo`: a first try that needs no web
// server of one's own. It serves one fixed page on a free loopback port from a
// thread of its own, so the event-driven client in the main thread measures it
// like any other server. The thread runs its own message loop: the library's
// listening socket hands each client to a socket of its own, and the loop wakes
// when the next piece of a page is due.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <thread>

#include "platform/WinMsg.h"

namespace core {
class TComponent;
}

namespace app {

struct TStartup;

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
  class TConnection;
  // The server thread: listens, reports the port (or why it cannot) through
  // started, then runs the thread's message loop until the destructor wakes it.
  void Serve(TStartup& started);
  void RunLoop(core::TComponent& listener);
  winapi::DWORD SendDuePieces(core::TComponent& listener);

  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FAnswered{0};
  winapi::HWND FWake = nullptr;  // the listening socket's window, posted to from any thread
  std::thread FThread;
};

struct CliOptions;

// --demo: starts the server, points the run at it and says so on out.
std::unique_ptr<TDemoServer> StartDemo(CliOptions& o, std::ostream& out);

}  // namespace app
