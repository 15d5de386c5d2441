#include "testsupport/Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// Orphaned grandchildren come to us instead of PID 1, which never reaps them here.
void BecomeSubreaper() {
  static const bool done = [] { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }();
  (void)done;
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& additions) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const auto& add : additions) {
    const auto name = add.substr(0, add.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
    env.push_back(add);
  }
  return env;
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void ExecChild(const char* file, char* const* argv, char* const* envp, const char* dir,
                            int outFd, int errFd, int reportFd) {
  setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  int nullFd = open("/dev/null", O_RDONLY);
  dup2(nullFd, 0);
  dup2(outFd, 1);
  dup2(errFd, 2);
  // Sockets and pipes of the test process must not live on in the server.
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  int err = 0;
  if (dir[0] != '\0' && chdir(dir) != 0) {
    err = errno;
  } else {
    if (strchr(file, '/') != nullptr) {
      execve(file, argv, envp);
    } else {
      execvpe(file, argv, envp);
    }
    err = errno;
  }
  ssize_t ignored = write(reportFd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

// Every process below root, from /proc (parent ids), taken before the signal:
// a child that left the group (squid's helpers call setsid) is still ours to end.
std::vector<pid_t> Descendants(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> links;  // (pid, parent)
  for (const auto& entry : std::filesystem::directory_iterator(
           "/proc", std::filesystem::directory_options::skip_permission_denied)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = ReadFile(entry.path() / "stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state;
    pid_t parent = 0;
    rest >> state >> parent;
    links.emplace_back(static_cast<pid_t>(std::stol(name)), parent);
  }
  std::vector<pid_t> found{root};
  for (size_t i = 0; i < found.size(); ++i) {
    for (const auto& [pid, parent] : links) {
      if (parent == found[i]) found.push_back(pid);
    }
  }
  found.erase(found.begin());
  return found;
}

}  // namespace

ChildProcess::~ChildProcess() {
  Stop(SIGTERM);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
  *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Stop(SIGTERM);
    pid_ = std::exchange(other.pid_, -1);
    status_ = std::exchange(other.status_, std::nullopt);
    stdoutFd_ = std::exchange(other.stdoutFd_, -1);
    stdoutBuffer_ = std::move(other.stdoutBuffer_);
    logPath_ = std::move(other.logPath_);
    error_ = std::move(other.error_);
  }
  return *this;
}

void ChildProcess::Reset() {
  if (stdoutFd_ >= 0) close(stdoutFd_);
  stdoutFd_ = -1;
  stdoutBuffer_.clear();
  status_.reset();
  error_.clear();
  pid_ = -1;
}

bool ChildProcess::Start(const ProcessOptions& options) {
  Stop(SIGTERM);
  Reset();
  BecomeSubreaper();
  logPath_ = options.logPath;
  std::vector<std::string> args = options.argv;
  std::vector<std::string> env = MergedEnvironment(options.env);
  std::vector<char*> argv = CStrings(args);
  std::vector<char*> envp = CStrings(env);
  const char* log = options.logPath.empty() ? "/dev/null" : options.logPath.c_str();
  int logFd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int outPipe[2] = {-1, -1};
  int report[2] = {-1, -1};
  if (logFd < 0 || args.empty() || pipe2(report, O_CLOEXEC) != 0 ||
      (options.pipeStdout && pipe2(outPipe, O_CLOEXEC) != 0)) {
    error_ = "cannot prepare " + std::string(log) + ": " + strerror(errno);
    if (logFd >= 0) close(logFd);
    return false;
  }
  const int outFd = options.pipeStdout ? outPipe[1] : logFd;
  pid_t pid = fork();
  if (pid == 0) {
    ExecChild(argv[0], argv.data(), envp.data(), options.workDir.c_str(), outFd, logFd, report[1]);
  }
  close(logFd);
  close(report[1]);
  if (options.pipeStdout) close(outPipe[1]);
  if (pid < 0) {
    error_ = std::string("fork: ") + strerror(errno);
    close(report[0]);
    if (options.pipeStdout) close(outPipe[0]);
    return false;
  }
  pid_ = pid;
  stdoutFd_ = options.pipeStdout ? outPipe[0] : -1;
  int err = 0;
  ssize_t n;
  do {
    n = read(report[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) {
    error_ = "cannot run " + args[0] + ": " + strerror(err);
    Stop(SIGKILL);
    return false;
  }
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = status;
    return false;
  }
  return r == 0;
}

int ChildProcess::Stop(int sig) {
  if (pid_ <= 0) return -1;
  ReapGroup(sig);
  if (stdoutFd_ >= 0) close(stdoutFd_);
  stdoutFd_ = -1;
  return status_ ? *status_ : -1;
}

// Signals the group and every descendant, then collects them all: the leader, and
// the orphans the subreaper inherits. Anything still there after 5 s gets SIGKILL.
void ChildProcess::ReapGroup(int sig) {
  int status = 0;
  if (status_ && waitpid(-pid_, &status, WNOHANG) < 0) return;  // nothing of ours left to signal
  std::vector<pid_t> others = status_ ? std::vector<pid_t>{} : Descendants(pid_);
  kill(-pid_, sig);
  if (!status_) kill(pid_, sig);  // in case exec'd code left the group
  for (pid_t p : others) kill(p, sig);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  bool killed = sig == SIGKILL;
  for (;;) {
    if (!status_) {
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      // Reaped by another waiter of the process (a toolkit's child handler): gone all the same.
      if (r == pid_ || (r < 0 && errno == ECHILD)) status_ = r == pid_ ? status : 0;
    }
    while (waitpid(-pid_, &status, WNOHANG) > 0) {
    }
    // An orphan is ours once its parent died; one whose /proc entry is gone was reaped elsewhere.
    std::erase_if(others, [](pid_t p) {
      int st;
      return waitpid(p, &st, WNOHANG) == p || access(("/proc/" + std::to_string(p)).c_str(), F_OK) != 0;
    });
    if (status_ && others.empty()) return;
    if (!killed && Clock::now() > deadline) {
      kill(-pid_, SIGKILL);
      for (pid_t p : others) kill(p, SIGKILL);
      killed = true;
    }
    std::this_thread::sleep_for(Millis(1));
  }
}

std::optional<std::string> ChildProcess::ReadLine(Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto nl = stdoutBuffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = stdoutBuffer_.substr(0, nl);
      stdoutBuffer_.erase(0, nl + 1);
      return line;
    }
    if (stdoutFd_ < 0) return std::nullopt;
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd p{stdoutFd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char buf[4096];
    ssize_t n = read(stdoutFd_, buf, sizeof buf);
    if (n <= 0) return std::nullopt;  // end of file: the child closed stdout or died
    stdoutBuffer_.append(buf, static_cast<size_t>(n));
  }
}

std::string ChildProcess::Log() const {
  return logPath_.empty() ? std::string() : ReadFile(logPath_);
}

std::pair<int, std::string> RunAndCapture(const std::vector<std::string>& argv, Millis timeout) {
  ChildProcess child;
  if (!child.Start({argv, {}, "", "", true})) return {-1, child.Error()};
  std::string out;
  const auto deadline = Clock::now() + timeout;
  while (auto line = child.ReadLine(std::chrono::duration_cast<Millis>(deadline - Clock::now()))) {
    out += *line + "\n";
  }
  if (Clock::now() >= deadline) {
    child.Stop(SIGKILL);
    return {-1, out};
  }
  return {child.Stop(0), out};
}

TempDir::TempDir(std::string_view prefix, std::string_view parent) {
  std::string templ = std::string(parent) + "/" + std::string(prefix) + "XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    throw std::runtime_error("mkdtemp " + templ + ": " + strerror(errno));
  }
  path_ = templ;
}

TempDir::~TempDir() {
  if (keep_ || CurrentTestFailed()) {
    std::cerr << "[ testsupport ] kept " << path_ << "\n";
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

std::string TempDir::Write(std::string_view relative, std::string_view contents) const {
  std::string path = File(relative);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFile(path, contents);
  return path;
}

std::string TempDir::Read(std::string_view relative) const {
  return ReadFile(File(relative));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool CurrentTestFailed() {
  return ::testing::UnitTest::GetInstance()->current_test_info() != nullptr && ::testing::Test::HasFailure();
}

bool ProgramInstalled(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  if (fd >= 0) close(fd);
  if (port == 0) throw std::runtime_error("no free loopback port");
  return port;
}

bool IPv6LoopbackAvailable() {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

bool CanConnect(uint16_t port, const char* host) {
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_port = htons(port);
  const bool v6 = inet_pton(AF_INET6, host, &a6.sin6_addr) == 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, host, &a.sin_addr);
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = v6 ? connect(fd, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0
                     : connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

WaitResult WaitUntil(const std::function<bool()>& ready, Millis timeout, ChildProcess* child) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (child != nullptr && !child->Running()) return WaitResult::kDied;
    if (ready()) return WaitResult::kReady;
    if (Clock::now() > deadline) return WaitResult::kTimeout;
    std::this_thread::sleep_for(Millis(10));
  }
}

WaitResult WaitForPort(uint16_t port, Millis timeout, ChildProcess* child, const char* host) {
  return WaitUntil([port, host] { return CanConnect(port, host); }, timeout, child);
}

std::optional<uint16_t> ReadReadyPort(ChildProcess& child, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  while (auto line = child.ReadLine(std::chrono::duration_cast<Millis>(deadline - Clock::now()))) {
    if (line->rfind("READY ", 0) == 0) {
      int port = std::atoi(line->c_str() + 6);
      if (port > 0 && port < 65536) return static_cast<uint16_t>(port);
    }
  }
  return std::nullopt;
}

}  // namespace testsupport
