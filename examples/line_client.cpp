// A line client written as straight-line code over the asynchronous socket: it
// connects, sends each LINE with SendLine, waits for the answer line with
// WaitUntilDone and prints it.
//
// Usage: line_client [--bind A] HOST PORT LINE...
//   A: the local address to connect from, an IPv4 or IPv6 literal of HOST's family.
// Exits 0 when every line got its answer, 1 on a failure (after 10 s at the most).
#include <cstdio>
#include <cstring>
#include <string>

#include "net/AddressText.h"
#include "net/SocketErrorText.h"
#include "net/WSocket.h"

namespace {

constexpr int kTimeoutMs = 10000;

std::string WithoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bind;
  int first = 1;  // HOST
  if (argc > 2 && std::strcmp(argv[1], "--bind") == 0) {
    bind = argv[2];
    first = 3;
  }
  if (argc < first + 3 || (first == 3 && !net::IsDottedAddress(bind) && !net::IsIPv6Literal(bind))) {
    std::fprintf(stderr, "usage: line_client [--bind IPv4-or-IPv6-address] HOST PORT LINE...\n");
    return 2;
  }
  try {
    auto s = core::MakeComponent<net::TWSocket>(nullptr);
    s->SetAddr(argv[first]);
    s->SetPort(argv[first + 1]);
    if (!bind.empty()) s->SetLocalAddr(net::WithoutBrackets(bind));
    s->SetLineMode(true);
    s->SetTimeout(kTimeoutMs);

    // The events only set the flag that the waits below look at.
    bool done = false, closed = false;
    uint16_t connectError = 0;
    std::string reply;
    s->OnSessionConnected = [&](core::TComponent*, uint16_t e) {
      connectError = e;
      done = true;
    };
    s->OnDataAvailable = [&](core::TComponent*, uint16_t) {
      reply = s->ReceiveStr();
      done = true;
    };
    s->OnSessionClosed = [&](core::TComponent*, uint16_t) {
      closed = true;
      done = true;
    };

    if (s->RunAndWait([&] { s->Connect(); }, done) != 0) {
      std::fprintf(stderr, "line_client: cannot connect: no answer within %d ms\n", kTimeoutMs);
      return 1;
    }
    if (connectError != 0) {
      std::fprintf(stderr, "line_client: cannot connect: %s\n",
                   net::SocketErrorMessage(connectError).c_str());
      return 1;
    }
    for (int i = first + 2; i < argc; ++i) {
      const std::string line = argv[i];
      done = false;
      reply.clear();
      if (line.empty())
        s->SendStr("\r\n");
      else
        s->SendLine(line);
      if (s->WaitUntilDone(done) != 0 || closed) {
        std::fprintf(stderr, "line_client: no answer to \"%s\"\n", line.c_str());
        return 1;
      }
      std::printf("%s\n", WithoutLineEnd(reply).c_str());
    }
    s->Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "line_client: %s\n", core::ExceptionMessage(e).c_str());
    return 1;
  }
  return 0;
}
