// raw_get: the floor under tachy_get. A blocking socket, one HTTP/1.0 request per
// load, receives of 64 KiB; the memory sink takes one block of the announced
// length and receives straight into it, the discard sink reuses one buffer. No
// event loop, no parsing beyond the header's end and Content-Length.
//
//   raw_get [-n LOADS] [--sink memory|discard] http://127.0.0.1:PORT/PATH
//
// Prints the same key=value line as tachy_get (loads, bytes, wall_ms), so
// bench/compare_curl.sh can read both alike.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kBlock = 64 * 1024;

bool ParseUrl(const std::string& url, std::string& host, int& port, std::string& path) {
  const std::string prefix = "http://";
  if (url.compare(0, prefix.size(), prefix) != 0) return false;
  const size_t slash = url.find('/', prefix.size());
  const std::string authority = url.substr(prefix.size(), slash - prefix.size());
  path = slash == std::string::npos ? "/" : url.substr(slash);
  const size_t colon = authority.find(':');
  host = authority.substr(0, colon);
  port = colon == std::string::npos ? 80 : std::atoi(authority.c_str() + colon + 1);
  return true;
}

// One load; returns the body bytes, or -1.
long long Load(const sockaddr_in& addr, const std::string& request, bool memory) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return -1;
  if (::send(s, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) return -1;
  static std::vector<char> scratch(kBlock);
  std::string head;
  long long body = 0;
  char* block = nullptr;
  size_t capacity = 0;
  for (;;) {
    char* into = scratch.data();
    size_t room = kBlock;
    if (block != nullptr) {
      if (static_cast<size_t>(body) >= capacity) break;
      into = block + body;
      room = std::min(kBlock, capacity - static_cast<size_t>(body));
    }
    const ssize_t n = ::recv(s, into, room, 0);
    if (n <= 0) break;
    if (block != nullptr || head.empty() == false) {
      body += n;
      continue;
    }
    // Still in the header: find its end and the announced length.
    const std::string_view got(into, static_cast<size_t>(n));
    const size_t end = got.find("\r\n\r\n");
    if (end == std::string_view::npos) continue;  // headers of a test server fit one receive
    head.assign(got.substr(0, end));
    const size_t rest = got.size() - end - 4;
    body = static_cast<long long>(rest);
    const size_t at = head.find("Content-Length: ");
    if (memory && at != std::string::npos) {
      capacity = std::strtoull(head.c_str() + at + 16, nullptr, 10);
      block = static_cast<char*>(std::malloc(capacity > 0 ? capacity : 1));
      std::memcpy(block, got.data() + end + 4, rest);
    }
  }
  std::free(block);
  ::close(s);
  return body;
}

}  // namespace

int main(int argc, char** argv) {
  long long loads = 1;
  bool memory = true;
  std::string url;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-n" && i + 1 < argc)
      loads = std::atoll(argv[++i]);
    else if (a == "--sink" && i + 1 < argc)
      memory = std::string(argv[++i]) == "memory";
    else
      url = a;
  }
  std::string host, path;
  int port = 0;
  if (!ParseUrl(url, host, port, path) || loads <= 0) {
    std::fprintf(stderr, "usage: raw_get [-n LOADS] [--sink memory|discard] http://HOST:PORT/PATH\n");
    return 2;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return 2;
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
  long long total = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long long i = 0; i < loads; ++i) {
    const long long got = Load(addr, request, memory);
    if (got < 0) return 1;
    total += got;
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("loads=%lld bytes=%lld wall_ms=%.3f sink=%s\n", loads, total, ms,
              memory ? "memory" : "discard");
  return 0;
}
