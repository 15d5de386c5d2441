#include "app/DemoServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>

#include "app/CliOptions.h"
#include "core/SysUtils.h"

namespace app {

namespace {

constexpr size_t kPageBytes = 10 * 1024;
constexpr size_t kMaxRequest = 16 * 1024;  // a request head larger than this is not a browser's
constexpr int kRequestWaitMs = 10000;      // a client that connects and says nothing is let go
constexpr size_t kPieceBytes = 1024;
constexpr std::chrono::milliseconds kPiecePause{2};

std::string MakePage() {
  std::string page =
      "<html>\r\n<head><title>Tachyload demo page</title></head>\r\n<body>\r\n"
      "<p>This page comes from the page server inside tachyload-cli --demo.</p>\r\n";
  const std::string tail = "</body>\r\n</html>\r\n";
  const auto lineText = [](int n) {
    return "<p>Line " + std::to_string(n) + ": the quick brown fox jumps over the lazy dog.</p>\r\n";
  };
  for (int n = 1; page.size() + lineText(n).size() + tail.size() <= kPageBytes; ++n) page += lineText(n);
  // Dots fill the rest, so the page is exactly 10 kB.
  const size_t rest = kPageBytes - page.size() - tail.size();
  if (rest >= 2)
    page += std::string(rest - 2, '.') + "\r\n";
  else
    page += std::string(rest, ' ');
  page += tail;
  return page;
}

void SendAll(int conn, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(conn, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went away: nothing to tell it
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

const std::string& TDemoServer::Page() {
  static const std::string page = MakePage();
  return page;
}

TDemoServer::TDemoServer() {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FListen < 0) throw core::Exception(std::string("demo: no socket: ") + std::strerror(errno));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FListen, 16) != 0 ||
      ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    const std::string why = std::strerror(errno);
    ::close(FListen);
    throw core::Exception("demo: cannot listen on 127.0.0.1: " + why);
  }
  FPort = ntohs(a.sin_port);
  FThread = std::thread([this] { Serve(); });
}

TDemoServer::~TDemoServer() {
  FStopping = true;
  // Wakes the accept loop's poll.
  ::shutdown(FListen, SHUT_RDWR);
  FThread.join();
  ::close(FListen);
}

std::string TDemoServer::Url() const {
  return "http://127.0.0.1:" + std::to_string(FPort) + "/";
}

void TDemoServer::Serve() {
  while (!FStopping) {
    pollfd p{FListen, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
    if (FStopping) return;
    const int conn = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    Answer(conn);
    ::close(conn);
  }
}

// One request per connection, answered with HTTP/1.0 and closed: every load
// then costs a connection, as it does against most servers at HTTP 1.0.
void TDemoServer::Answer(int conn) {
  std::string head;
  char buf[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequest) {
    pollfd p{conn, POLLIN, 0};
    if (::poll(&p, 1, kRequestWaitMs) <= 0) return;
    const ssize_t n = ::recv(conn, buf, sizeof buf, 0);
    if (n <= 0) return;
    head.append(buf, static_cast<size_t>(n));
  }
  const bool isGet = head.compare(0, 4, "GET ") == 0;
  const bool isHead = head.compare(0, 5, "HEAD ") == 0;
  if (!isGet && !isHead) {
    SendAll(conn, "HTTP/1.0 405 Method Not Allowed\r\nContent-Length: 0\r\nAllow: GET, HEAD\r\n\r\n");
    return;
  }
  // Counted before the answer goes out: once the client has the whole page it
  // may ask at once, and must find this request counted.
  ++FAnswered;
  const std::string& page = Page();
  SendAll(conn, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                    std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n");
  // Paced in pieces: on loopback the whole page would arrive in well under the
  // report's one-millisecond resolution, and a time of 0 ms has no speed.
  for (size_t at = 0; isGet && at < page.size() && !FStopping; at += kPieceBytes) {
    if (at != 0) std::this_thread::sleep_for(kPiecePause);
    SendAll(conn, page.substr(at, kPieceBytes));
  }
}

std::unique_ptr<TDemoServer> StartDemo(CliOptions& o, std::ostream& out) {
  auto server = std::make_unique<TDemoServer>();
  o.urls = {server->Url()};
  out << "demo: serving a " << TDemoServer::Page().size() / 1024 << " kB page on " << server->Url()
      << " (1 kB every 2 ms) from inside this program; loading it " << o.loads << " time"
      << (o.loads == "1" ? "" : "s") << " (tachyload-cli URL measures a page of your own)\n";
  return server;
}

}  // namespace app
