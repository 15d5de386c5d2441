// Child processes, temporary directories and ports for tests that run real servers.
//
// ChildProcess starts a program with fork/exec in a process group of its own and
// always reaps it: in this sandbox PID 1 does not reap orphans, so the test process
// makes itself a child subreaper and collects the whole group (nginx workers, squid
// helpers, the SOCKS script's relay children) when it stops one.
// Thread: a ChildProcess is used from one thread (the test's). Lifecycle: the
// destructor stops a child that still runs (SIGTERM, then SIGKILL after 5 s).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

using Millis = std::chrono::milliseconds;

struct ProcessOptions {
  std::vector<std::string> argv;  // argv[0] is the program; a name without '/' is looked up in PATH
  std::vector<std::string> env;   // "NAME=value" entries added to (or replacing in) the environment
  std::string workDir;            // empty: the test's own working directory
  std::string logPath;            // stdout and stderr go here (appended); empty: /dev/null
  bool pipeStdout = false;        // stdout to a pipe read with ReadLine; stderr still to logPath
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the program. False, with the reason in Error(), when fork or exec failed
  // (the exec error comes back through a close-on-exec pipe, so it is known here).
  bool Start(const ProcessOptions& options);
  // Still running? Polls with waitpid(WNOHANG) and reaps the child if it ended.
  bool Running();
  // Signals the whole process group and reaps it. Returns the leader's wait status
  // (as waitpid gives it), or the stored one if it already ended; -1 if never started.
  int Stop(int sig = 15 /* SIGTERM */);
  // Reads one line (without '\n') from the stdout pipe, waiting up to timeout.
  std::optional<std::string> ReadLine(Millis timeout);

  pid_t Pid() const { return pid_; }
  bool Started() const { return pid_ > 0; }
  std::optional<int> WaitStatus() const { return status_; }
  const std::string& Error() const { return error_; }
  const std::string& LogPath() const { return logPath_; }
  std::string Log() const;  // contents of the log file

 private:
  void ReapGroup(int sig);
  void Reset();

  pid_t pid_ = -1;
  std::optional<int> status_;
  int stdoutFd_ = -1;
  std::string stdoutBuffer_;
  std::string logPath_;
  std::string error_;
};

// Starts the program, waits for it and returns (wait status, captured stdout).
// The status is -1 when it could not start or did not end within timeout.
std::pair<int, std::string> RunAndCapture(const std::vector<std::string>& argv,
                                          Millis timeout = Millis(10000));

// A private directory made with mkdtemp. Removed recursively at the end, unless the
// current test failed: then it is kept and its path printed for the post-mortem.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "tl", std::string_view parent = "/tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(std::string_view relative) const;  // Path() + "/" + relative
  // Writes a file (parents created); returns its full path.
  std::string Write(std::string_view relative, std::string_view contents) const;
  std::string Read(std::string_view relative) const;  // empty when missing
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

std::string ReadFile(const std::string& path);  // whole file; empty when missing
void WriteFile(const std::string& path, std::string_view contents);
bool ProgramInstalled(const std::string& path);  // executable file at path
// True inside a GoogleTest test that has failed so far (false outside tests, e.g. in benchmarks).
bool CurrentTestFailed();

// A loopback port that was free a moment ago (bind 127.0.0.1:0, read it, close).
uint16_t FreePort();
// True when this host (or the test's network namespace) has ::1 to bind to.
bool IPv6LoopbackAvailable();
// One TCP connect attempt to host:port (an IPv4 or IPv6 address).
bool CanConnect(uint16_t port, const char* host = "127.0.0.1");

enum class WaitResult { kReady, kDied, kTimeout };
// Calls ready() every 10 ms until it returns true, the child ends (checked with
// WNOHANG each round; nullptr: no child) or timeout passes.
WaitResult WaitUntil(const std::function<bool()>& ready, Millis timeout, ChildProcess* child = nullptr);
// WaitUntil with a connect to host:port as the readiness test.
WaitResult WaitForPort(uint16_t port, Millis timeout, ChildProcess* child = nullptr,
                       const char* host = "127.0.0.1");
// Reads lines from the child's stdout pipe until one reads "READY <port>"; nullopt
// when the child ends, writes something else forever, or timeout passes.
std::optional<uint16_t> ReadReadyPort(ChildProcess& child, Millis timeout);

// Skips the current test when a program the test needs is missing.
#define TL_SKIP_UNLESS_INSTALLED(path)                                                 \
  do {                                                                                 \
    if (!::testsupport::ProgramInstalled(path))                                        \
      GTEST_SKIP() << (path) << " is not installed (scripts/install-test-servers.sh)"; \
  } while (0)

// Skips the current test when condition is false.
#define TL_SKIP_UNLESS(condition, what)                                               \
  do {                                                                                \
    if (!(condition)) GTEST_SKIP() << (what) << " (scripts/install-test-servers.sh)"; \
  } while (0)

}  // namespace testsupport
