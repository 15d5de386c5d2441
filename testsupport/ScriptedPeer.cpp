#include "testsupport/ScriptedPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "testsupport/ScriptRunner.h"

namespace testsupport {

// ---- Script ----

Script& Script::Add(Op op, std::string data, size_t count, Millis pause) {
  steps_.push_back({op, std::move(data), count, pause});
  return *this;
}

Script& Script::Expect(std::string pattern) {
  return Add(Op::kExpect, std::move(pattern));
}
Script& Script::ReadBytes(size_t count) {
  return Add(Op::kReadBytes, {}, count);
}
Script& Script::ExpectRequest() {
  return Add(Op::kExpectRequest);
}
Script& Script::ServeHttp(std::string response) {
  return Add(Op::kServeHttp, std::move(response));
}
Script& Script::Send(std::string bytes) {
  return Add(Op::kSend, std::move(bytes));
}
Script& Script::SendSlowly(std::string bytes, size_t chunk, Millis pause) {
  return Add(Op::kSendSlowly, std::move(bytes), chunk == 0 ? 1 : chunk, pause);
}
Script& Script::SendForever(std::string pattern, Millis limit) {
  return Add(Op::kSendForever, std::move(pattern), 0, limit);
}
Script& Script::Wait(Millis duration) {
  return Add(Op::kWait, {}, 0, duration);
}
Script& Script::Pause(std::string gate) {
  return Add(Op::kPause, std::move(gate));
}
Script& Script::ShutdownWrite() {
  return Add(Op::kShutdownWrite);
}
Script& Script::Close() {
  return Add(Op::kClose);
}
Script& Script::CloseNow() {
  return Add(Op::kCloseNow);
}
Script& Script::Reset() {
  return Add(Op::kReset);
}
Script& Script::Hold() {
  return Add(Op::kHold);
}
Script& Script::DrainSlowly(size_t chunk, Millis pause) {
  return Add(Op::kDrainSlowly, {}, chunk == 0 ? 1 : chunk, pause);
}
Script& Script::Timeout(Millis timeout) {
  timeout_ = timeout;
  return *this;
}

// ---- ScriptedPeer ----

ScriptedPeer::ScriptedPeer() : ScriptedPeer(std::vector<Script>{}) {}

ScriptedPeer::ScriptedPeer(std::vector<Script> scripts, PeerOptions options)
    : shared_(std::make_shared<Shared>()) {
  for (auto& s : scripts) shared_->scripts.push_back(std::move(s));
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  shared_->wakeRead = wake[0];
  shared_->wakeWrite = wake[1];
  Listen(options);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedPeer::~ScriptedPeer() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->cv.notify_all();
  // The byte is never read, so every poller sees the pipe readable from now on.
  ssize_t ignored = write(shared_->wakeWrite, "x", 1);
  (void)ignored;
  acceptThread_.join();
  for (auto& c : shared_->connections) {
    if (c->thread.joinable()) c->thread.join();
  }
  close(listenFd_);
  close(shared_->wakeRead);
  close(shared_->wakeWrite);
}

void ScriptedPeer::Listen(const PeerOptions& options) {
  listenFd_ = socket(options.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // Set on the listener so accepted sockets inherit them before the handshake ends
  // (the window scale is fixed then).
  if (options.receiveBuffer > 0) {
    setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
  }
  if (options.sendBuffer > 0) {
    setsockopt(listenFd_, SOL_SOCKET, SO_SNDBUF, &options.sendBuffer, sizeof options.sendBuffer);
  }
  sockaddr_storage a{};
  socklen_t len = sizeof(sockaddr_in);
  ipv6_ = options.ipv6;
  if (options.ipv6) {
    auto& a6 = reinterpret_cast<sockaddr_in6&>(a);
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    len = sizeof a6;
  } else {
    auto& a4 = reinterpret_cast<sockaddr_in&>(a);
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      listen(listenFd_, 64) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    throw std::runtime_error(std::string("scripted peer cannot listen: ") + strerror(errno));
  }
  // sin_port and sin6_port sit at the same offset.
  port_ = ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
}

void ScriptedPeer::AcceptLoop() {
  for (;;) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {shared_->wakeRead, POLLIN, 0}};
    if (poll(p, 2, -1) < 0 && errno != EINTR) return;
    if (p[1].revents != 0) return;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    std::lock_guard lock(shared_->mutex);
    Script script = shared_->defaultScript;
    if (!shared_->scripts.empty()) {
      script = std::move(shared_->scripts.front());
      shared_->scripts.pop_front();
    }
    auto conn = std::make_unique<Connection>();
    conn->fd = fd;
    const size_t index = shared_->connections.size();
    Connection* raw = conn.get();
    conn->thread = std::thread([shared = shared_, raw, index, s = std::move(script)]() mutable {
      ScriptRunner(*shared, *raw, index, std::move(s)).Run();
    });
    shared_->connections.push_back(std::move(conn));
    shared_->cv.notify_all();
  }
}

void ScriptedPeer::AddScript(Script script) {
  std::lock_guard lock(shared_->mutex);
  shared_->scripts.push_back(std::move(script));
}

void ScriptedPeer::SetDefaultScript(Script script) {
  std::lock_guard lock(shared_->mutex);
  shared_->defaultScript = std::move(script);
}

void ScriptedPeer::Resume(std::string_view gate) {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->openGates.insert(std::string(gate));
  }
  shared_->cv.notify_all();
}

size_t ScriptedPeer::AcceptedCount() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->connections.size();
}

std::string ScriptedPeer::Received(size_t connection) const {
  std::lock_guard lock(shared_->mutex);
  return connection < shared_->connections.size() ? shared_->connections[connection]->received
                                                  : std::string();
}

uint64_t ScriptedPeer::BytesRead(size_t connection) const {
  std::lock_guard lock(shared_->mutex);
  return connection < shared_->connections.size() ? shared_->connections[connection]->bytesRead : 0;
}

uint64_t ScriptedPeer::TotalBytesRead() const {
  std::lock_guard lock(shared_->mutex);
  uint64_t total = 0;
  for (const auto& c : shared_->connections) total += c->bytesRead;
  return total;
}

std::vector<std::string> ScriptedPeer::Errors() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->errors;
}

bool ScriptedPeer::WaitForAccepted(size_t count, Millis timeout) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->cv.wait_for(lock, timeout, [&] { return shared_->connections.size() >= count; });
}

bool ScriptedPeer::WaitForReceived(size_t connection, std::string_view pattern, Millis timeout) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->cv.wait_for(lock, timeout, [&] {
    return connection < shared_->connections.size() &&
           shared_->connections[connection]->received.find(pattern) != std::string::npos;
  });
}

bool ScriptedPeer::WaitForBytesRead(uint64_t total, Millis timeout) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->cv.wait_for(lock, timeout, [&] {
    uint64_t sum = 0;
    for (const auto& c : shared_->connections) sum += c->bytesRead;
    return sum >= total;
  });
}

bool ScriptedPeer::WaitForClientClose(size_t connection, Millis timeout) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->cv.wait_for(lock, timeout, [&] {
    return connection < shared_->connections.size() && shared_->connections[connection]->clientClosed;
  });
}

bool ScriptedPeer::WaitForDone(size_t connection, Millis timeout) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->cv.wait_for(lock, timeout, [&] {
    return connection < shared_->connections.size() && shared_->connections[connection]->done;
  });
}

// ---- SinkServer, RefusedPort ----

namespace {
PeerOptions SinkOptions(int receiveBuffer) {
  PeerOptions o;
  o.receiveBuffer = receiveBuffer;
  return o;
}
}  // namespace

SinkServer::SinkServer(size_t chunk, Millis pause, int receiveBuffer, bool startPaused)
    : peer_({}, SinkOptions(receiveBuffer)) {
  Script s;
  if (startPaused) s.Pause("sink");
  peer_.SetDefaultScript(s.DrainSlowly(chunk, pause));
}

RefusedPort::RefusedPort() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    throw std::runtime_error("cannot reserve a loopback port");
  }
  port_ = ntohs(a.sin_port);
}

RefusedPort::~RefusedPort() {
  close(fd_);
}

}  // namespace testsupport
