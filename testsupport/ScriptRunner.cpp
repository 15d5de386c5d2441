#include "testsupport/ScriptRunner.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace testsupport {
namespace {

const char* OpName(Script::Op op) {
  static constexpr const char* kNames[] = {
      "Expect", "ReadBytes",     "ExpectRequest", "ServeHttp", "Send",  "SendSlowly", "SendForever", "Wait",
      "Pause",  "ShutdownWrite", "Close",         "CloseNow",  "Reset", "Hold",       "DrainSlowly"};
  return kNames[static_cast<int>(op)];
}

int MillisUntil(std::chrono::steady_clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// Content-Length of a header block, -1 for a chunked body, 0 when neither.
int64_t BodyLength(std::string_view head) {
  int64_t length = 0;
  size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string_view::npos) {
    pos += 2;
    std::string_view line = head.substr(pos, head.find("\r\n", pos) - pos);
    if (line.size() > 15 && strncasecmp(line.data(), "content-length:", 15) == 0) {
      length = std::strtoll(std::string(line.substr(15)).c_str(), nullptr, 10);
    } else if (line.size() > 18 && strncasecmp(line.data(), "transfer-encoding:", 18) == 0 &&
               line.find("chunked") != std::string_view::npos) {
      return -1;
    }
  }
  return length;
}

}  // namespace

ScriptRunner::ScriptRunner(ScriptedPeer::Shared& shared, ScriptedPeer::Connection& conn, size_t index,
                           Script script)
    : shared_(shared), conn_(conn), index_(index), script_(std::move(script)), fd_(conn.fd) {}

void ScriptRunner::Run() {
  bool ok = true;
  for (; ok && stepIndex_ < script_.Steps().size(); ++stepIndex_) ok = RunStep(script_.Steps()[stepIndex_]);
  if (ok && fd_ >= 0) ReadUntilClose();  // never cut a reply short with a RST
  CloseSocket(false);
  std::lock_guard lock(shared_.mutex);
  conn_.done = true;
  shared_.cv.notify_all();
}

bool ScriptRunner::RunStep(const Script::Step& step) {
  using Op = Script::Op;
  const bool needsSocket = step.op != Op::kWait && step.op != Op::kPause;
  if (needsSocket && fd_ < 0) {
    Fail("the socket is already closed");
    return false;
  }
  switch (step.op) {
    case Op::kExpect:
      return Expect(step.data);
    case Op::kReadBytes:
      return ReadBytes(step.count);
    case Op::kExpectRequest:
      return ExpectRequest();
    case Op::kServeHttp:
      return ServeHttp(step.data);
    case Op::kSend:
      return SendAll(step.data);
    case Op::kSendSlowly:
      return SendSlowly(step);
    case Op::kSendForever:
      return SendForever(step.data, step.pause);
    case Op::kWait:
      return Sleep(step.pause);
    case Op::kPause:
      return Pause(step.data);
    case Op::kShutdownWrite:
      return shutdown(fd_, SHUT_WR) == 0;
    case Op::kClose:
      ReadSome(Clock::now(), 1 << 20);  // take pending input so close() sends a FIN
      shutdown(fd_, SHUT_WR);
      ReadUntilClose();
      CloseSocket(false);
      return true;
    case Op::kCloseNow:
      CloseSocket(false);
      return true;
    case Op::kReset:
      CloseSocket(true);
      return true;
    case Op::kHold:
      return ReadUntilClose();
    case Op::kDrainSlowly:
      return DrainSlowly(step);
  }
  return false;
}

ScriptRunner::Io ScriptRunner::ReadSome(Clock::time_point deadline, size_t max, bool keep) {
  for (;;) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {shared_.wakeRead, POLLIN, 0}};
    int r = poll(p, 2, MillisUntil(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (p[1].revents != 0) return Io::kStopped;
    if (r == 0) return Io::kTimeout;
    char buf[65536];
    ssize_t n = recv(fd_, buf, std::min(max, sizeof buf), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    std::lock_guard lock(shared_.mutex);
    if (n <= 0) {
      conn_.clientClosed = true;
      shared_.cv.notify_all();
      return n == 0 ? Io::kEof : Io::kError;
    }
    if (keep) conn_.received.append(buf, static_cast<size_t>(n));
    conn_.bytesRead += static_cast<uint64_t>(n);
    shared_.cv.notify_all();
    return Io::kData;
  }
}

bool ScriptRunner::WaitWritable(Clock::time_point deadline) {
  for (;;) {
    pollfd p[2] = {{fd_, POLLOUT, 0}, {shared_.wakeRead, POLLIN, 0}};
    int r = poll(p, 2, MillisUntil(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (p[1].revents != 0 || r <= 0) return false;
    return (p[0].revents & POLLOUT) != 0;
  }
}

bool ScriptRunner::SendAll(std::string_view bytes) {
  const auto deadline = Deadline();
  while (!bytes.empty()) {
    ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitWritable(deadline)) {
        Fail("the client did not take the bytes");
        return false;
      }
    } else {
      Fail(std::string("send: ") + strerror(errno));
      return false;
    }
  }
  return true;
}

bool ScriptRunner::Expect(const std::string& pattern) {
  const auto deadline = Deadline();
  for (;;) {
    {
      std::lock_guard lock(shared_.mutex);
      size_t pos = conn_.received.find(pattern, cursor_);
      if (pos != std::string::npos) {
        cursor_ = pos + pattern.size();
        return true;
      }
    }
    Io io = ReadSome(deadline);
    if (io == Io::kStopped) return false;
    if (io != Io::kData) {
      Fail("\"" + pattern + "\" never came" + (io == Io::kTimeout ? " (timeout)" : " (client closed)"));
      return false;
    }
  }
}

bool ScriptRunner::ReadBytes(size_t count) {
  const auto deadline = Deadline();
  for (;;) {
    {
      std::lock_guard lock(shared_.mutex);
      if (conn_.received.size() - cursor_ >= count) {
        cursor_ += count;
        return true;
      }
    }
    Io io = ReadSome(deadline);
    if (io == Io::kStopped) return false;
    if (io != Io::kData) {
      Fail(std::to_string(count) + " bytes never came");
      return false;
    }
  }
}

bool ScriptRunner::ExpectRequest() {
  const size_t start = cursor_;
  if (!Expect("\r\n\r\n")) return false;
  std::string head;
  {
    std::lock_guard lock(shared_.mutex);
    head = conn_.received.substr(start, cursor_ - start);
  }
  int64_t length = BodyLength(head);
  if (length >= 0) return ReadBytes(static_cast<size_t>(length));
  // Chunked: up to the last chunk and an empty trailer.
  if (!Expect("0\r\n\r\n")) return false;
  return true;
}

bool ScriptRunner::ServeHttp(const std::string& response) {
  for (;;) {
    // Between requests, end of file is the normal end.
    while (!HasUnconsumed()) {
      Io io = ReadSome(Clock::now() + std::chrono::hours(1));
      if (io == Io::kStopped) return false;
      if (io == Io::kEof || io == Io::kError) return true;
    }
    if (!ExpectRequest() || !SendAll(response)) return false;
  }
}

bool ScriptRunner::HasUnconsumed() const {
  std::lock_guard lock(shared_.mutex);
  return cursor_ < conn_.received.size();
}

bool ScriptRunner::SendSlowly(const Script::Step& step) {
  std::string_view rest = step.data;
  while (!rest.empty()) {
    size_t n = std::min(step.count, rest.size());
    if (!SendAll(rest.substr(0, n))) return false;
    rest.remove_prefix(n);
    if (!rest.empty() && !Sleep(step.pause)) return false;
  }
  return true;
}

// Ends when the client closes (end of file or a send error): that is its purpose.
bool ScriptRunner::SendForever(const std::string& pattern, std::chrono::milliseconds limit) {
  if (pattern.empty()) return ReadUntilClose();
  const auto end = Clock::now() + limit;
  size_t offset = 0;  // keeps the stream an exact repetition across partial sends
  for (;;) {
    int timeout = -1;
    if (limit.count() > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return true;
      timeout = static_cast<int>(left);
    }
    pollfd p[2] = {{fd_, POLLIN | POLLOUT, 0}, {shared_.wakeRead, POLLIN, 0}};
    if (poll(p, 2, timeout) < 0 && errno != EINTR) return false;
    if (p[1].revents != 0) return true;
    if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      Io io = ReadSome(Clock::now());
      if (io == Io::kEof || io == Io::kError) return true;
    }
    if ((p[0].revents & POLLOUT) != 0) {
      std::string chunk = pattern.substr(offset);
      while (chunk.size() < 16384) chunk += pattern;
      ssize_t n = send(fd_, chunk.data(), chunk.size(), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return true;
      if (n > 0) offset = (offset + static_cast<size_t>(n)) % pattern.size();
    }
  }
}

bool ScriptRunner::Sleep(std::chrono::milliseconds duration) {
  pollfd p{shared_.wakeRead, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(duration.count())) == 0;
}

bool ScriptRunner::Pause(const std::string& gate) {
  std::unique_lock lock(shared_.mutex);
  shared_.cv.wait(lock, [&] { return shared_.stopping || shared_.openGates.count(gate) != 0; });
  return !shared_.stopping;
}

bool ScriptRunner::ReadUntilClose() {
  for (;;) {
    Io io = ReadSome(Clock::now() + std::chrono::hours(1));
    if (io != Io::kData && io != Io::kTimeout) return io != Io::kStopped;
  }
}

bool ScriptRunner::DrainSlowly(const Script::Step& step) {
  for (;;) {
    Io io = ReadSome(Clock::now() + std::chrono::hours(1), step.count, false);
    if (io == Io::kStopped) return false;
    if (io == Io::kEof || io == Io::kError) return true;
    if (!Sleep(step.pause)) return false;
  }
}

void ScriptRunner::CloseSocket(bool reset) {
  if (fd_ < 0) return;
  if (reset) {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  close(fd_);
  fd_ = -1;
}

void ScriptRunner::Fail(const std::string& what) {
  std::lock_guard lock(shared_.mutex);
  shared_.errors.push_back("connection " + std::to_string(index_) + " step " + std::to_string(stepIndex_) +
                           " " + OpName(script_.Steps()[stepIndex_].op) + ": " + what);
  shared_.cv.notify_all();
}

}  // namespace testsupport
