// A line echo server: a listening socket hands every client to a socket of its own
// (Dup) in line mode, which sends each line back ended with CR LF. Many clients at
// once; a last line without a line end is echoed when its client closes.
//
// Usage: line_echo_server [--port N] [--bind A]
//   N: the port (0, the default, lets the system choose); A: the local address to
//   listen on, an IPv4 or IPv6 literal ("::1", "[::1]"; default 0.0.0.0; the older
//   --addr also takes a name). Prints "listening on PORT" once it listens.
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

bool ParseArgs(int argc, char** argv, std::string& port, std::string& addr) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    if (std::strcmp(argv[i], "--port") == 0)
      port = argv[i + 1];
    else if (std::strcmp(argv[i], "--addr") == 0)
      addr = argv[i + 1];
    else if (std::strcmp(argv[i], "--bind") == 0 && IsAddressLiteral(argv[i + 1]))
      addr = argv[i + 1];
    else
      return false;
  }
  return true;
}

// Sends the line that OnDataAvailable announced back, with CR LF.
void EchoLine(net::TWSocket& client) {
  std::string line = client.ReceiveStr();
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  // SendLine sends nothing for an empty text; an empty line still gets its answer.
  if (line.empty())
    client.SendStr("\r\n");
  else
    client.SendLine(line);
}

// A socket of its own for an accepted connection; it frees itself once closed.
void AdoptClient(net::SOCKET handle) {
  if (handle == net::INVALID_SOCKET) return;
  net::TWSocket* client = core::Create<net::TWSocket>(nullptr);
  client->SetLineMode(true);
  // A client that went away while we answered is not the server's failure.
  client->OnError = [](core::TComponent*) {};
  client->OnDataAvailable = [client](core::TComponent*, uint16_t) { EchoLine(*client); };
  client->OnSessionClosed = [client](core::TComponent*, uint16_t) { client->Release(); };
  client->Dup(handle);
  if (client->State() != net::wsConnected) client->Release();  // adopting failed
}

}  // namespace

int main(int argc, char** argv) {
  std::string port = "0", addr = "0.0.0.0";
  if (!ParseArgs(argc, argv, port, addr)) {
    std::fprintf(stderr, "usage: line_echo_server [--port N] [--bind IPv4-or-IPv6-address]\n");
    return 2;
  }
  try {
    auto server = core::MakeComponent<net::TWSocket>(nullptr);
    server->SetAddr(addr);
    server->SetPort(port);
    server->OnSessionAvailable = [&server](core::TComponent*, uint16_t) { AdoptClient(server->Accept()); };
    server->Listen();
    // From here on a failed accept is reported and the server goes on.
    server->OnError = [&server](core::TComponent*) {
      std::fprintf(stderr, "line_echo_server: %s\n", net::SocketErrorMessage(server->LastError()).c_str());
    };
    std::printf("listening on %s\n", server->GetBoundPort().c_str());
    std::fflush(stdout);
    server->MessageLoop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "line_echo_server: %s\n", core::ExceptionMessage(e).c_str());
    return 1;
  }
  return 0;
}
