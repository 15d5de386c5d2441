// A scripted loopback TCP server for exact bytes and hostile input.
//
// ScriptedPeer listens on 127.0.0.1 (or ::1, PeerOptions::ipv6; Port()) from its constructor on, accepts
// connections in a thread of its own and runs one Script per connection, in
// accept order, each on a thread of its own (so a held connection does not block
// the next one). A connection with no script of its own runs the default script
// (Hold: read until the client closes). After its last step a script holds the
// connection until the client closes, so a reply is never cut by a RST.
//
// Everything the client sent is kept per connection (Received). The test waits for
// events with the Wait* functions, which block on a condition variable with a
// watchdog and return false when it fires. A step that fails (an Expect whose
// pattern never came, a send to a closed client...) ends its script and is listed by
// Errors(); a test usually ends with EXPECT_TRUE(peer.Errors().empty()).
//
// Thread: all member functions may be called from any thread. Lifecycle: scripts
// are given before the client connects; the destructor wakes and joins every thread
// and closes every socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

using Millis = std::chrono::milliseconds;
inline constexpr Millis kWatchdog{10000};

// The steps for one connection, built with chained calls:
//   Script().ExpectRequest().Send(HttpResponse(200, "hi")).Close()
class Script {
 public:
  enum class Op {
    kExpect,
    kReadBytes,
    kExpectRequest,
    kServeHttp,
    kSend,
    kSendSlowly,
    kSendForever,
    kWait,
    kPause,
    kShutdownWrite,
    kClose,
    kCloseNow,
    kReset,
    kHold,
    kDrainSlowly
  };
  struct Step {
    Op op;
    std::string data;
    size_t count = 0;
    Millis pause{0};
  };

  // Reads until pattern arrived after what earlier steps consumed; consumes up to its end.
  Script& Expect(std::string pattern);
  Script& ReadBytes(size_t count);  // consumes exactly count more bytes
  // Consumes one HTTP request: the header block and a body given by Content-Length
  // or chunked encoding.
  Script& ExpectRequest();
  // Answers every request with response until the client closes.
  Script& ServeHttp(std::string response);
  Script& Send(std::string bytes);
  Script& SendSlowly(std::string bytes, size_t chunk, Millis pause);
  // Sends pattern again and again (a line without LF forever...) until the client closes,
  // or, with a limit above 0, until that much time has passed (a watchdog, so a client
  // that never stops reading cannot hang the test).
  Script& SendForever(std::string pattern, Millis limit = Millis(0));
  Script& Wait(Millis duration);
  // Blocks, reading nothing, until the test calls ScriptedPeer::Resume(gate).
  Script& Pause(std::string gate);
  Script& ShutdownWrite();  // FIN; reading goes on
  // Graceful close: FIN, then reads until the client closes (unread input would turn
  // close() into a RST). CloseNow closes at once; Reset sends a RST (SO_LINGER 0).
  Script& Close();
  Script& CloseNow();
  Script& Reset();
  Script& Hold();  // reads until the client closes
  // Reads chunk bytes every pause until the client closes; counts the bytes
  // (BytesRead) without keeping them.
  Script& DrainSlowly(size_t chunk, Millis pause);
  // Watchdog of the reading steps (default 10 s).
  Script& Timeout(Millis timeout);

  const std::vector<Step>& Steps() const { return steps_; }
  Millis StepTimeout() const { return timeout_; }

 private:
  Script& Add(Op op, std::string data = {}, size_t count = 0, Millis pause = Millis(0));
  std::vector<Step> steps_;
  Millis timeout_ = kWatchdog;
};

// "HTTP/1.1 <status> <reason>\r\n" + headers + Content-Length (unless headers carry a
// Content-Length or Transfer-Encoding) + "\r\n" + body.
std::string HttpResponse(int status, std::string_view body = {},
                         const std::vector<std::string>& headers = {});
// One ExpectRequest + Send per response, in order, then the default end (hold).
Script HttpScript(const std::vector<std::string>& responses);

struct PeerOptions {
  int receiveBuffer = 0;  // SO_RCVBUF of accepted sockets; 0: the system's
  int sendBuffer = 0;     // SO_SNDBUF
  bool ipv6 = false;      // listen on ::1 instead of 127.0.0.1
};

class ScriptedPeer {
 public:
  ScriptedPeer();
  explicit ScriptedPeer(std::vector<Script> scripts, PeerOptions options = {});
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  void AddScript(Script script);         // for the next connection without a script
  void SetDefaultScript(Script script);  // for connections beyond the scripted ones
  void Resume(std::string_view gate);    // opens Pause(gate), now or for later

  uint16_t Port() const { return port_; }
  std::string Address() const { return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_); }
  size_t AcceptedCount() const;
  std::string Received(size_t connection) const;  // every byte read on it so far
  uint64_t BytesRead(size_t connection) const;    // including DrainSlowly's
  uint64_t TotalBytesRead() const;
  std::vector<std::string> Errors() const;

  bool WaitForAccepted(size_t count, Millis timeout = kWatchdog) const;
  bool WaitForReceived(size_t connection, std::string_view pattern, Millis timeout = kWatchdog) const;
  bool WaitForBytesRead(uint64_t total, Millis timeout = kWatchdog) const;  // all connections
  bool WaitForClientClose(size_t connection, Millis timeout = kWatchdog) const;
  bool WaitForDone(size_t connection, Millis timeout = kWatchdog) const;  // script ended, socket closed

  // Used by the connection threads.
  struct Connection;
  struct Shared;

 private:
  void AcceptLoop();
  void Listen(const PeerOptions& options);

  std::shared_ptr<Shared> shared_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  bool ipv6_ = false;
  std::thread acceptThread_;
};

// A server that reads slowly (or not at all until Resume) for flow-control tests.
class SinkServer {
 public:
  // Reads chunk bytes every pause on each connection, with SO_RCVBUF receiveBuffer.
  explicit SinkServer(size_t chunk = 4096, Millis pause = Millis(10), int receiveBuffer = 4096,
                      bool startPaused = false);
  uint16_t Port() const { return peer_.Port(); }
  size_t AcceptedCount() const { return peer_.AcceptedCount(); }
  uint64_t BytesRead() const { return peer_.TotalBytesRead(); }
  bool WaitForBytes(uint64_t total, Millis timeout = kWatchdog) const {
    return peer_.WaitForBytesRead(total, timeout);
  }
  void Resume() { peer_.Resume("sink"); }  // starts reading when built with startPaused
  ScriptedPeer& Peer() { return peer_; }

 private:
  ScriptedPeer peer_;
};

// A loopback port where connections are refused: bound, never listening, held for
// the object's life so nobody else takes it.
class RefusedPort {
 public:
  RefusedPort();
  ~RefusedPort();
  RefusedPort(const RefusedPort&) = delete;
  RefusedPort& operator=(const RefusedPort&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace testsupport
