// Loopback throughput of the socket component against a plain blocking floor.
//
// Each case moves 64 MiB over 127.0.0.1: the floor with blocking send/recv of
// 64 KiB on both sides; "Send" with one TWSocket::Send to a plain blocking reader
// (chunks of the default 1460 bytes, and of 64 KiB for comparison); "ReceiveLoop"
// with a plain blocking writer feeding the socket's OnDataAvailable loop (Receive
// into 64 KiB). The best rates and their ratios to the floor are printed at the
// end. The plain peers are POSIX sockets on a thread of their own: they are the
// yardstick, so they must not go through the layer being measured.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/Application.h"
#include "net/WSocket.h"

namespace {

constexpr size_t kTotal = 64u << 20;
constexpr size_t kBlock = 64u << 10;

double gRawRate = 0, gSendRate = 0, gReceiveRate = 0;

// A listening loopback socket on a free port.
int ListenLoopback(uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 4) != 0) return -1;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

int ConnectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  return fd;
}

// Accepts one connection and reads until the total arrived or the peer closed.
void ReadAll(int listenFd) {
  const int fd = ::accept(listenFd, nullptr, nullptr);
  std::vector<char> buf(kBlock);
  size_t got = 0;
  while (got < kTotal) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
}

std::atomic<bool> gWriterGo{false};

// Accepts one connection and, once the measurement started, writes the total in blocks.
void WriteAll(int listenFd) {
  const int fd = ::accept(listenFd, nullptr, nullptr);
  while (!gWriterGo.load()) std::this_thread::yield();
  std::vector<char> buf(kBlock, 'x');
  size_t sent = 0;
  while (sent < kTotal) {
    const ssize_t n = ::send(fd, buf.data(), std::min(buf.size(), kTotal - sent), MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  ::close(fd);
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Report(benchmark::State& state, double seconds, double& best) {
  state.SetIterationTime(seconds);
  const double rate = static_cast<double>(kTotal) / seconds;
  if (rate > best) best = rate;
}

void BM_RawBlockingFloor(benchmark::State& state) {
  for (auto _ : state) {
    uint16_t port = 0;
    const int lfd = ListenLoopback(port);
    std::thread reader(ReadAll, lfd);
    const int fd = ConnectLoopback(port);
    const auto start = std::chrono::steady_clock::now();
    std::vector<char> buf(kBlock, 'x');
    size_t sent = 0;
    while (sent < kTotal) {
      const ssize_t n = ::send(fd, buf.data(), buf.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    reader.join();
    Report(state, Seconds(start), gRawRate);
    ::close(fd);
    ::close(lfd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

// Pumps the thread's messages until done holds (the benchmark has no watchdog to
// fail; a broken run shows as a very low rate instead of hanging for long).
template <class F>
void PumpUntil(F done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    core::Application().ProcessMessages();
    if (!done()) core::Application().WaitMessage(50);
  }
}

void BM_WSocketSend(benchmark::State& state) {
  const std::string data(kTotal, 'x');
  for (auto _ : state) {
    uint16_t port = 0;
    const int lfd = ListenLoopback(port);
    std::thread reader(ReadAll, lfd);
    auto s = core::MakeComponent<net::TWSocket>(nullptr);
    s->SetBufSize(static_cast<int>(state.range(0)));
    s->SetAddr("127.0.0.1");
    s->SetPort(std::to_string(port));
    s->Connect();
    PumpUntil([&] { return s->State() == net::wsConnected; });
    const auto start = std::chrono::steady_clock::now();
    s->SendStr(data);
    PumpUntil([&] { return s->AllSent(); });
    s->Close();
    reader.join();
    // The default chunk size is the one compared with the floor.
    double ignored = 0;
    Report(state, Seconds(start), state.range(0) == net::kDefaultBufSize ? gSendRate : ignored);
    ::close(lfd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_WSocketReceiveLoop(benchmark::State& state) {
  std::vector<char> buf(kBlock);
  for (auto _ : state) {
    uint16_t port = 0;
    const int lfd = ListenLoopback(port);
    auto s = core::MakeComponent<net::TWSocket>(nullptr);
    size_t got = 0;
    s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
      const int n = s->Receive(buf.data(), static_cast<int>(buf.size()));
      if (n > 0) got += static_cast<size_t>(n);
    };
    s->SetAddr("127.0.0.1");
    s->SetPort(std::to_string(port));
    s->Connect();
    gWriterGo = false;
    std::thread writer(WriteAll, lfd);
    PumpUntil([&] { return s->State() == net::wsConnected; });
    const auto start = std::chrono::steady_clock::now();
    gWriterGo = true;
    PumpUntil([&] { return got >= kTotal; });
    Report(state, Seconds(start), gReceiveRate);
    writer.join();
    s->Close();
    ::close(lfd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

BENCHMARK(BM_RawBlockingFloor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
// One system send per chunk: the default 1460 bytes, and 64 KiB for comparison.
BENCHMARK(BM_WSocketSend)
    ->Arg(net::kDefaultBufSize)
    ->Arg(64 << 10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_WSocketReceiveLoop)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double mib = 1024.0 * 1024.0;
  std::printf("best rates, MiB/s: raw floor %.0f, Send %.0f, receive loop %.0f\n", gRawRate / mib,
              gSendRate / mib, gReceiveRate / mib);
  if (gRawRate > 0)
    std::printf("ratio to the raw floor: Send %.2f, receive loop %.2f\n", gSendRate / gRawRate,
                gReceiveRate / gRawRate);
  return 0;
}
