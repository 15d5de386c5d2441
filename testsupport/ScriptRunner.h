// Internal to ScriptedPeer: the state shared with the connection threads, and the
// runner that plays one Script on one accepted socket.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/ScriptedPeer.h"

namespace testsupport {

struct ScriptedPeer::Connection {
  int fd = -1;           // owned by the runner thread; closed when its script ends
  std::string received;  // guarded by Shared::mutex, like every field below
  uint64_t bytesRead = 0;
  bool clientClosed = false;  // end of file or a reset seen
  bool done = false;
  std::thread thread;  // set and joined by the peer
};

struct ScriptedPeer::Shared {
  mutable std::mutex mutex;
  mutable std::condition_variable cv;  // notified on every change below
  std::deque<std::unique_ptr<Connection>> connections;
  std::deque<Script> scripts;
  Script defaultScript = Script().Hold();
  std::set<std::string> openGates;
  std::vector<std::string> errors;
  bool stopping = false;
  int wakeRead = -1;  // readable once the peer stops
  int wakeWrite = -1;
};

class ScriptRunner {
 public:
  ScriptRunner(ScriptedPeer::Shared& shared, ScriptedPeer::Connection& conn, size_t index, Script script);
  void Run();

 private:
  enum class Io { kData, kEof, kError, kTimeout, kStopped };
  using Clock = std::chrono::steady_clock;

  bool RunStep(const Script::Step& step);
  // Reads what is there (up to max bytes), waiting at most until deadline.
  Io ReadSome(Clock::time_point deadline, size_t max = 65536, bool keep = true);
  // Waits for POLLOUT; false on stop, error or deadline.
  bool WaitWritable(Clock::time_point deadline);
  bool SendAll(std::string_view bytes);
  bool Expect(const std::string& pattern);
  bool ReadBytes(size_t count);
  bool ExpectRequest();
  bool ServeHttp(const std::string& response);
  bool HasUnconsumed() const;
  bool SendSlowly(const Script::Step& step);
  bool SendForever(const std::string& pattern, std::chrono::milliseconds limit);
  bool Sleep(std::chrono::milliseconds duration);  // false when the peer stops
  bool Pause(const std::string& gate);
  bool ReadUntilClose();
  bool DrainSlowly(const Script::Step& step);
  void CloseSocket(bool reset);
  void Fail(const std::string& what);
  Clock::time_point Deadline() const { return Clock::now() + script_.StepTimeout(); }

  ScriptedPeer::Shared& shared_;
  ScriptedPeer::Connection& conn_;
  size_t index_;
  Script script_;
  size_t stepIndex_ = 0;
  size_t cursor_ = 0;  // bytes of received consumed by earlier steps
  int fd_;
};

}  // namespace testsupport
