// A datagram echo server: a datagram socket that listens sends every datagram back
// to its sender with SendTo. With --group it also joins a multicast group on the
// interface given by --bind, and answers what is sent to the group.
//
// Usage: udp_echo_server [--port N] [--bind A] [--group G]
//   N: the port (0, the default, lets the system choose); A: the local address to
//   listen on, an IPv4 or IPv6 literal (default 0.0.0.0; the older --addr also
//   takes a name). Prints "listening on PORT" once it listens.
#include <cstdio>
#include <cstring>
#include <string>

#include "net/AddressText.h"
#include "net/SocketErrorText.h"
#include "net/WSocket.h"

namespace {

// --bind takes an address: a name could stand for either family, or for several.
bool IsAddressLiteral(const char* text) {
  return net::IsDottedAddress(text) || net::IsIPv6Literal(text);
}

constexpr int kMaxDatagram = 65536;

bool ParseArgs(int argc, char** argv, std::string& port, std::string& addr, std::string& group) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    if (std::strcmp(argv[i], "--port") == 0)
      port = argv[i + 1];
    else if (std::strcmp(argv[i], "--addr") == 0)
      addr = argv[i + 1];
    else if (std::strcmp(argv[i], "--bind") == 0 && IsAddressLiteral(argv[i + 1]))
      addr = argv[i + 1];
    else if (std::strcmp(argv[i], "--group") == 0)
      group = argv[i + 1];
    else
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string port = "0", addr = "0.0.0.0", group;
  if (!ParseArgs(argc, argv, port, addr, group)) {
    std::fprintf(stderr, "usage: udp_echo_server [--port N] [--bind IPv4-or-IPv6-address] [--group G]\n");
    return 2;
  }
  try {
    auto s = core::MakeComponent<net::TWSocket>(nullptr);
    s->SetProto("udp");
    s->SetAddr(addr);
    s->SetPort(port);
    s->SetMultiCast(!group.empty());
    s->SetMultiCastAddrStr(group);
    static char buf[kMaxDatagram];
    s->OnDataAvailable = [&s](core::TComponent*, uint16_t) {
      sockaddr_storage from{};  // a sender of either family
      int fromLen = sizeof from;
      const int n = s->ReceiveFrom(buf, sizeof buf, from, fromLen);
      if (n >= 0) s->SendTo(from, fromLen, buf, n);
    };
    s->Listen();
    // From here on a failed send is reported and the server goes on.
    s->OnError = [&s](core::TComponent*) {
      std::fprintf(stderr, "udp_echo_server: %s\n", net::SocketErrorMessage(s->LastError()).c_str());
    };
    std::printf("listening on %s\n", s->GetBoundPort().c_str());
    std::fflush(stdout);
    s->MessageLoop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "udp_echo_server: %s\n", core::ExceptionMessage(e).c_str());
    return 1;
  }
  return 0;
}
