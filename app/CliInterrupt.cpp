#include "app/CliInterrupt.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace app {

namespace {

std::atomic<bool> GInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");
std::atomic<int> GWakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the descriptor is read in a signal handler");

struct sigaction GPrevious;

constexpr char kInterrupt = 'i', kStop = 's';

void OnInterrupt(int) {
  const int savedErrno = errno;
  GInterrupted.store(true);
  const int fd = GWakeFd.load();
  if (fd >= 0) (void)!write(fd, &kInterrupt, 1);
  errno = savedErrno;
}

}  // namespace

TInterruptGuard::TInterruptGuard(std::function<void()> wake) : FWake(std::move(wake)) {
  GInterrupted.store(false);
  if (pipe2(FPipe, O_CLOEXEC) == 0) {
    // The watcher is started with SIGINT blocked, so the signal goes to the
    // program's own threads and never interrupts the watcher's read.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    FWatcher = std::thread([this] { Watch(); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    GWakeFd.store(FPipe[1]);
  }
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(SIGINT, &sa, &GPrevious);
}

TInterruptGuard::~TInterruptGuard() {
  sigaction(SIGINT, &GPrevious, nullptr);
  GWakeFd.store(-1);
  if (FWatcher.joinable()) {
    (void)!write(FPipe[1], &kStop, 1);
    FWatcher.join();
  }
  for (int fd : FPipe)
    if (fd >= 0) close(fd);
}

void TInterruptGuard::Watch() {
  for (;;) {
    char c = 0;
    const ssize_t n = read(FPipe[0], &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == kStop) return;
    FWake();
  }
}

bool TInterruptGuard::Interrupted() {
  return GInterrupted.load();
}

}  // namespace app
