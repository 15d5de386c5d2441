// A blocking loopback TCP client for checking peers and servers from a test,
// independent of the project's own sockets. Every read has a watchdog.
// Thread: one thread at a time. Lifecycle: the destructor closes the socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace testsupport {

class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connect(uint16_t port, const char* host = "127.0.0.1");
  bool Send(std::string_view bytes);
  // Reads until pattern is in what was read so far (not consumed by earlier calls);
  // returns everything up to and including it, or "" on timeout or close.
  std::string ReadUntil(std::string_view pattern,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads exactly count bytes (fewer on close or timeout).
  std::string ReadBytes(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads until the server closes; ClosedByPeer() then tells whether it did.
  std::string ReadToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool ClosedByPeer() const { return closed_; }
  bool ResetByPeer() const { return reset_; }
  void ShutdownWrite();
  void Close();
  int Fd() const { return fd_; }

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  std::string buffer_;
  bool closed_ = false;
  bool reset_ = false;
};

}  // namespace testsupport
