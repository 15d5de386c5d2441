#include "testsupport/RawClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace testsupport {

RawClient::~RawClient() {
  Close();
}

bool RawClient::Connect(uint16_t port, const char* host) {
  Close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, host, &a.sin_addr);
  closed_ = reset_ = false;
  buffer_.clear();
  return fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool RawClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool RawClient::Fill(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0 || closed_) return false;
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  pollfd p{fd_, POLLIN, 0};
  int r = poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
  if (r <= 0) return false;
  char buf[65536];
  ssize_t n = recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) {
    closed_ = true;
    reset_ = n < 0 && errno == ECONNRESET;
    return false;
  }
  buffer_.append(buf, static_cast<size_t>(n));
  return true;
}

std::string RawClient::ReadUntil(std::string_view pattern, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    size_t pos = buffer_.find(pattern);
    if (pos != std::string::npos) {
      std::string out = buffer_.substr(0, pos + pattern.size());
      buffer_.erase(0, pos + pattern.size());
      return out;
    }
    if (!Fill(deadline)) return {};
  }
}

std::string RawClient::ReadBytes(size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (buffer_.size() < count && Fill(deadline)) {
  }
  std::string out = buffer_.substr(0, std::min(count, buffer_.size()));
  buffer_.erase(0, out.size());
  return out;
}

std::string RawClient::ReadToEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Fill(deadline)) {
  }
  return std::exchange(buffer_, std::string());
}

void RawClient::ShutdownWrite() {
  if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

void RawClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace testsupport
