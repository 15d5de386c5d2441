// The example programs end to end: each test starts them, reads "listening on PORT"
// and drives them over loopback.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Application.h"
#include "net/WSocket.h"
#include "testsupport/MessagePump.h"
#include "testsupport/Process.h"
#include "testsupport/RawClient.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

// Starts a server example on a free loopback port; nullopt when it printed no port.
std::optional<std::string> StartServer(ChildProcess& child, const std::string& program,
                                       std::vector<std::string> extra = {},
                                       const std::string& bind = "127.0.0.1") {
  std::vector<std::string> argv{program, "--port", "0", "--bind", bind};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!child.Start({argv, {}, "", "", true})) return std::nullopt;
  const auto line = child.ReadLine(10s);
  const std::string prefix = "listening on ";
  if (!line || line->rfind(prefix, 0) != 0) return std::nullopt;
  return line->substr(prefix.size());
}

int ExitCode(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

// Lines of client i, and the odd sizes its bytes are cut into.
std::string ClientText(int i) {
  std::string t;
  for (int j = 0; j < 4; ++j) t += "client " + std::to_string(i) + " line " + std::to_string(j) + "\r\n";
  return t + "\r\nlast words of " + std::to_string(i);  // an empty line, and one ended by the close
}

TEST(Examples, LineEchoServerServesTwentyClientsAtOnce) {
  ChildProcess server;
  const auto port = StartServer(server, TL_LINE_ECHO_SERVER);
  ASSERT_TRUE(port) << server.Error();
  constexpr int kClients = 20;
  std::vector<std::unique_ptr<testsupport::RawClient>> clients;
  std::vector<std::string> texts;
  std::vector<size_t> sent(kClients, 0);
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<testsupport::RawClient>());
    ASSERT_TRUE(clients.back()->Connect(static_cast<uint16_t>(std::stoi(*port))));
    texts.push_back(ClientText(i));
  }
  // Round after round every client sends its next piece, the cuts falling inside
  // words and between CR and LF.
  for (size_t round = 0; std::any_of(sent.begin(), sent.end(), [&](size_t n) { return n > 0 || round == 0; });
       ++round) {
    bool any = false;
    for (int i = 0; i < kClients; ++i) {
      const size_t piece = 1 + (round * 7 + static_cast<size_t>(i) * 3) % 11;
      if (sent[i] >= texts[i].size()) continue;
      ASSERT_TRUE(clients[i]->Send(texts[i].substr(sent[i], piece)));
      sent[i] += piece;
      any = true;
    }
    if (!any) break;
  }
  for (int i = 0; i < kClients; ++i) clients[i]->ShutdownWrite();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(clients[i]->ReadToEnd(), texts[i] + "\r\n") << "client " << i;
    EXPECT_TRUE(clients[i]->ClosedByPeer()) << "client " << i;
  }
  EXPECT_TRUE(server.Running());
}

TEST(Examples, LineClientAgainstTheServer) {
  ChildProcess server;
  const auto port = StartServer(server, TL_LINE_ECHO_SERVER);
  ASSERT_TRUE(port) << server.Error();
  const auto [status, out] =
      testsupport::RunAndCapture({TL_LINE_CLIENT, "127.0.0.1", *port, "hello", "two words", "", "end"});
  EXPECT_EQ(ExitCode(status), 0);
  EXPECT_EQ(out, "hello\ntwo words\n\nend\n");
}

TEST(Examples, LineClientFailsWithoutAServer) {
  ChildProcess server;
  const auto port = StartServer(server, TL_LINE_ECHO_SERVER);
  ASSERT_TRUE(port) << server.Error();
  server.Stop();
  const auto [status, out] = testsupport::RunAndCapture({TL_LINE_CLIENT, "127.0.0.1", *port, "hello"});
  EXPECT_EQ(ExitCode(status), 1);
  EXPECT_EQ(out, "");
}

// Sends count datagrams to addr:port from a socket of ours and collects the answers.
std::vector<std::string> EchoDatagrams(const std::string& addr, const std::string& port, int count,
                                       bool multicast = false, const std::string& local = "127.0.0.1") {
  auto c = core::MakeComponent<net::TWSocket>(nullptr);
  c->SetProto("udp");
  c->SetAddr(addr);
  c->SetPort(port);
  c->SetLocalAddr(local);
  c->SetMultiCast(multicast);
  c->SetMultiCastIpTTL(0);  // a group's datagrams never leave this host
  std::vector<std::string> got;
  c->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    if (std::string d = c->ReceiveStr(); !d.empty()) got.push_back(d);
  };
  c->Connect();
  for (int i = 0; i < count; ++i) c->SendStr("datagram " + std::to_string(i));
  testsupport::PumpUntil([&] { return got.size() >= static_cast<size_t>(count); });
  return got;
}

std::vector<std::string> Expected(int count) {
  std::vector<std::string> v;
  for (int i = 0; i < count; ++i) v.push_back("datagram " + std::to_string(i));
  return v;
}

TEST(Examples, UdpEchoServerAnswersFiftyDatagrams) {
  ChildProcess server;
  const auto port = StartServer(server, TL_UDP_ECHO_SERVER);
  ASSERT_TRUE(port) << server.Error();
  auto got = EchoDatagrams("127.0.0.1", *port, 50);
  std::sort(got.begin(), got.end());
  auto want = Expected(50);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

TEST(Examples, UdpEchoServerAsAMulticastMemberOnLoopback) {
  ChildProcess server;
  const auto port = StartServer(server, TL_UDP_ECHO_SERVER, {"--group", "239.255.42.97"});
  if (!port) {
    server.Stop();
    GTEST_SKIP() << "this system refuses multicast membership on loopback: " << server.Log();
  }
  EXPECT_EQ(EchoDatagrams("239.255.42.97", *port, 5, true), Expected(5));
}

// --bind takes an IPv4 or IPv6 address, bracketed or not: the line server and
// client, and the datagram server, echo over ::1.
TEST(Examples, EchoOverIPv6) {
  if (!testsupport::IPv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  for (const char* bind : {"::1", "[::1]"}) {
    SCOPED_TRACE(bind);
    ChildProcess lines;
    const auto linePort = StartServer(lines, TL_LINE_ECHO_SERVER, {}, bind);
    ASSERT_TRUE(linePort) << lines.Error() << lines.Log();
    const auto [status, out] =
        testsupport::RunAndCapture({TL_LINE_CLIENT, "--bind", bind, "::1", *linePort, "over", "IPv6"});
    EXPECT_EQ(ExitCode(status), 0);
    EXPECT_EQ(out, "over\nIPv6\n");
    // Bound to an IPv6 address, the client cannot reach an IPv4 one.
    EXPECT_EQ(
        ExitCode(
            testsupport::RunAndCapture({TL_LINE_CLIENT, "--bind", bind, "127.0.0.1", *linePort, "x"}).first),
        1);
    ChildProcess datagrams;
    const auto udpPort = StartServer(datagrams, TL_UDP_ECHO_SERVER, {}, bind);
    ASSERT_TRUE(udpPort) << datagrams.Error() << datagrams.Log();
    EXPECT_EQ(EchoDatagrams("::1", *udpPort, 3, false, "::1"), Expected(3));
  }
}

// A name is no address to bind to: each program refuses it with its usage.
TEST(Examples, BindTakesOnlyAnAddress) {
  const std::vector<std::vector<std::string>> commands = {
      {TL_LINE_ECHO_SERVER, "--bind", "localhost"},
      {TL_UDP_ECHO_SERVER, "--port", "0", "--bind", "::1%lo"},
      {TL_LINE_CLIENT, "--bind", "localhost", "127.0.0.1", "1", "x"},
  };
  for (const auto& argv : commands) {
    SCOPED_TRACE(argv[0]);
    EXPECT_EQ(ExitCode(testsupport::RunAndCapture(argv).first), 2);
  }
}

}  // namespace
