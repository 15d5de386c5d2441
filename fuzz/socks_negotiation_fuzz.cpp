// Plays a SOCKS server to the socket's whole negotiation, with no network: the
// socket's transport is memory (a stand-in handle, sends recorded, receives served
// from what this driver offers), and each server reply is offered only once the
// client has sent the request it answers, as a real server would; the server
// closes once it has nothing more to say.
//
// Input: 11 bytes of set-up (see ReadSetup), the user code, password and host
// name, then the server's replies separated by "@@NEXT@@". Each input runs three
// times: one byte per receive, each reply whole, and in pseudo-random pieces.
// Checked:
// - Connect refuses exactly the fields a request cannot carry, before sending;
// - the bytes sent are exactly the requests this set-up asks for (greeting,
//   user/password, connect request at the chosen level, an IPv6 destination as
//   its 16 bytes at level 5 and refused below it), in the order the
//   server's replies call for, built here from the protocol's own layout;
// - a granted tunnel reports one successful connect and hands the application
//   exactly the bytes that followed the final reply; a failure reports one
//   SOCKS error, one failed connect with the same code, and no data;
// - for replies of the right length, the three runs give the same events, bytes
//   sent and data. (A method or authentication reply with extra bytes is judged
//   on what one receive brought, so only its crash-freedom is checked.)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>

#include "core/Application.h"
#include "net/WSocket.h"
#include "platform/WinSock.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr std::string_view kNext = "@@NEXT@@";
// Never handed out by the socket table: the transport is memory.
constexpr net::SOCKET kFakeHandle = 0x7ffffff0;
constexpr uint32_t kNamedAddress = 0x0700000A;  // 10.0.0.7 in network order

// Names resolve to 10.0.0.7; a name with a '!' does not resolve.
int FakeResolver(const std::string& name, bool /*byAddr*/, winapi::HostEntry& out) {
  if (name.find('!') != std::string::npos) return 11001;
  out.officialName = name;
  out.addrs = {kNamedAddress};
  return 0;
}

enum TLevel { lv4, lv4A, lv5 };

// Byte 0: bits 0-1 the level (4, 4A, 5, 5), bit 2 offer user/password, bits 3-4
// the level 4 destination (dotted from bytes 4-7, a name, a name that does not
// resolve), bit 5 the fields grow by 200 bytes (past what a request carries).
// Byte 1: seed of the pieces. Bytes 2-3: destination port. Then three length
// bytes and the fields' bytes (padded with 'a' when the input runs short).
struct TSetup {
  TLevel level = lv5;
  bool offerAuth = false;
  int destForm = 0;
  uint8_t seed = 0;
  uint16_t port = 0;
  uint8_t dotted[4] = {};
  std::string user, password, host;
  std::vector<std::string> replies;
};

std::string TakeField(std::string_view& rest, size_t len) {
  std::string f(rest.substr(0, len));
  rest.remove_prefix(f.size());
  f.resize(len, 'a');
  return f;
}

TSetup ReadSetup(const uint8_t* data, size_t size) {
  TSetup s;
  static constexpr TLevel kLevels[] = {lv4, lv4A, lv5, lv5};
  s.level = kLevels[data[0] & 3];
  s.offerAuth = data[0] & 4;
  s.destForm = (data[0] >> 3) & 3;
  const size_t grow = (data[0] & 32) ? 200 : 0;
  s.seed = data[1];
  s.port = static_cast<uint16_t>(data[2] << 8 | data[3]);
  std::memcpy(s.dotted, data + 4, 4);
  std::string_view rest(reinterpret_cast<const char*>(data + 11), size - 11);
  s.user = TakeField(rest, data[8] + grow);
  s.password = TakeField(rest, data[9] + grow);
  s.host = TakeField(rest, data[10] + grow);
  for (;;) {
    const size_t next = rest.find(kNext);
    s.replies.emplace_back(rest.substr(0, next));
    if (next == std::string_view::npos) break;
    rest.remove_prefix(next + kNext.size());
  }
  return s;
}

// The socket with memory under it.
class TMemorySocks : public net::TCustomSocksWSocket {
 public:
  using net::TCustomSocksWSocket::TCustomSocksWSocket;

  // What Connect does once the SOCKS server's address is known, without the
  // system's socket: the connect notification follows at once.
  void OpenTransport(uint16_t port) {
    FPortNum = port;
    FSocksState = net::socksNegotiateMethods;
    FSocksRcvdCnt = 0;
    FReply.Expect(net::socks::TSocksReplyKind::kMethods);
    FHSocket = kFakeHandle;
    ChangeState(net::wsConnected);
    TriggerSocketConnected(0);
  }
  int SendChunk(const void* Data, int Len) override {
    FWire.append(static_cast<const char*>(Data), static_cast<size_t>(Len));
    ++FSends;
    TriggerSendData(Len);
    return Len;
  }
  int RecvRaw(void* Buffer, int Size, int Flags) override {
    if (FSocksRcvdCnt > 0) return TCustomSocksWSocket::RecvRaw(Buffer, Size, Flags);
    if (FPending.empty()) {
      winapi::WSASetLastError(winapi::WSAEWOULDBLOCK);
      return -1;
    }
    const size_t n = std::min(FPending.size(), static_cast<size_t>(std::max(Size, 0)));
    std::memcpy(Buffer, FPending.data(), n);
    if (!(Flags & MSG_PEEK)) FPending.erase(0, n);
    FRcvdFlag = static_cast<int>(n) >= Size;
    return static_cast<int>(n);
  }
  int RcvdCount() override { return FSocksRcvdCnt > 0 ? FSocksRcvdCnt : static_cast<int>(FPending.size()); }
  void Shutdown(int /*How*/) override {}
  void InternalClose(bool Shut, uint16_t ErrCode) override {
    if (FHSocket == kFakeHandle) {
      FHSocket = net::INVALID_SOCKET;
      ++FCloses;
    }
    TCustomSocksWSocket::InternalClose(Shut, ErrCode);
  }

  // The server's end of the connection, as the network reports it.
  void PeerClosed() {
    core::TMessage m{};
    HandleFdClose(m);
  }
  // One read notification: returns the bytes taken from the network.
  size_t DeliverData() {
    const size_t before = FPending.size();
    TriggerDataAvailable(0);
    return before - FPending.size();
  }
  void Offer(std::string_view bytes) { FPending.append(bytes); }
  size_t Unread() const { return FPending.size(); }
  const std::string& Wire() const { return FWire; }
  int Sends() const { return FSends; }
  int Closes() const { return FCloses; }

 private:
  std::string FWire, FPending;
  int FSends = 0, FCloses = 0;
};

struct TRun {
  std::string refusal;  // Connect's report, when it refused
  std::vector<std::string> events;
  std::string wire, data;
  int connects = 0, connectError = -1, socksErrors = 0, socksError = 0;
};

enum TPieces { pcBytes, pcWhole, pcRandom };

void Configure(TMemorySocks& sock, const TSetup& s) {
  static constexpr const char* kLevelText[] = {"4", "4A", "5"};
  sock.SetSocksLevel(kLevelText[s.level]);
  sock.SetSocksServer("socks.test");
  // No port: Connect stops at resolving it, after its checks of the fields.
  sock.SetSocksPort("");
  sock.SetSocksUsercode(s.user);
  sock.SetSocksPassword(s.password);
  sock.SetSocksAuthentication(s.offerAuth ? net::socksAuthenticateUsercode : net::socksNoAuthentication);
  std::string dest = s.host;
  if (s.level == lv4) {
    if (s.destForm == 0)
      dest = std::to_string(s.dotted[0]) + "." + std::to_string(s.dotted[1]) + "." +
             std::to_string(s.dotted[2]) + "." + std::to_string(s.dotted[3]);
    else
      dest = s.destForm == 1 ? "dest.test" : "no!dest.test";
  }
  sock.SetAddr(dest);
  if (sock.Addr().empty()) sock.SetAddr("x");  // it trims blanks; none left is no address
  sock.SetPort(std::to_string(s.port));
}

void Attach(TMemorySocks& sock, TRun& run) {
  sock.OnSocksError = [&run](core::TComponent*, int code, const std::string& msg) {
    ++run.socksErrors;
    run.socksError = code;
    run.events.push_back("socks error " + std::to_string(code) + " " + msg);
  };
  sock.OnSocksAuthState = [&run](core::TComponent*, net::TSocksAuthState st) {
    run.events.push_back("auth " + std::to_string(st));
  };
  sock.OnSessionConnected = [&run](core::TComponent*, uint16_t err) {
    ++run.connects;
    run.connectError = err;
    run.events.push_back("connected " + std::to_string(err));
  };
  sock.OnSessionClosed = [&run](core::TComponent*, uint16_t err) {
    run.events.push_back("closed " + std::to_string(err));
  };
  sock.OnDataAvailable = [&run, &sock](core::TComponent*, uint16_t) {
    char buf[64];
    for (int n; (n = sock.Receive(buf, sizeof buf)) > 0;) run.data.append(buf, static_cast<size_t>(n));
  };
}

TRun Run(const TSetup& s, TPieces pieces) {
  TRun run;
  auto sock = core::MakeComponent<TMemorySocks>(nullptr);
  Configure(*sock, s);
  try {
    sock->Connect();
  } catch (const std::exception& e) {
    run.refusal = e.what();
  }
  // The port's failure is the expected stop; anything else is a refusal.
  if (run.refusal.find("Invalid Port") == std::string::npos) return run;
  run.refusal.clear();
  Attach(*sock, run);
  sock->OpenTransport(s.port);
  unsigned state = s.seed;
  for (size_t reply = 0; reply < s.replies.size(); ++reply) {
    // A reply answers a request: none comes before the client asked.
    if (sock->Sends() <= static_cast<int>(reply) || sock->State() != net::wsConnected) break;
    const std::string_view r = s.replies[reply];
    for (size_t at = 0; at < r.size() && sock->State() == net::wsConnected;) {
      size_t n = r.size() - at;
      if (pieces == pcBytes) n = 1;
      if (pieces == pcRandom) {
        state = state * 1103515245u + 12345u;
        n = std::min<size_t>(n, 1 + (state >> 16) % 7);
      }
      sock->Offer(r.substr(at, n));
      at += n;
      while (sock->Unread() > 0 && sock->State() == net::wsConnected && sock->DeliverData() > 0) {
      }
      core::Application().ProcessMessages();
    }
  }
  core::Application().ProcessMessages();
  // The server has said all it had to say: it closes.
  if (sock->State() == net::wsConnected) sock->PeerClosed();
  core::Application().ProcessMessages();
  run.wire = sock->Wire();
  return run;
}

// --- the protocol's own layout, for the requests and replies expected ---

std::string PortBytes(uint16_t port) {
  return std::string{static_cast<char>(port >> 8), static_cast<char>(port & 0xff)};
}

struct TExpected {
  bool refused = false;
  std::string wire;
  bool granted = false;
  bool lookupFails = false;  // level 4: reported, closed, no connect event
  bool framed = true;        // replies of the right length: runs must agree
  std::string data;          // granted: what follows the final reply
};

// An IPv6 address, bare or in the brackets of a URL.
bool IPv6Destination(const std::string& dest, in6_addr& out) {
  std::string bare = dest;
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
  return bare.find(':') != std::string::npos && inet_pton(AF_INET6, bare.c_str(), &out) == 1;
}

bool Refused(const TSetup& s, const std::string& dest) {
  in6_addr ignored{};
  // SOCKS 4 and 4A carry no IPv6 address.
  if (s.level != lv5 && IPv6Destination(dest, ignored)) return true;
  const bool sendsCredentials = s.level != lv5 || s.offerAuth;
  if (sendsCredentials && s.user.size() > 255) return true;
  if (s.level != lv4 && dest.size() > 255) return true;
  if (s.level == lv5 && s.offerAuth && s.password.size() > 255) return true;
  if (s.level != lv5 && s.user.find('\0') != std::string::npos) return true;
  return s.level == lv4A && dest.find('\0') != std::string::npos;
}

std::string ConnectRequest(const TSetup& s, const std::string& dest, bool& lookupFails) {
  lookupFails = false;
  in6_addr a6{};
  if (s.level == lv5 && IPv6Destination(dest, a6))
    return std::string("\x05\x01\x00\x04", 4) + std::string(reinterpret_cast<const char*>(&a6), 16) +
           PortBytes(s.port);
  if (s.level == lv5)
    return std::string("\x05\x01\x00\x03", 4) + static_cast<char>(dest.size()) + dest + PortBytes(s.port);
  std::string r = "\x04\x01" + PortBytes(s.port);
  if (s.level == lv4A) return r + std::string("\0\0\0\1", 4) + s.user + '\0' + dest + '\0';
  if (s.destForm == 0) {
    r.append(reinterpret_cast<const char*>(s.dotted), 4);
  } else if (s.destForm == 1) {
    r.append(reinterpret_cast<const char*>(&kNamedAddress), 4);
  } else {
    lookupFails = true;
  }
  return r + s.user + '\0';
}

// The final reply: granted with the bytes after it, or not.
void JudgeFinal(const TSetup& s, std::string_view f, TExpected& e) {
  size_t len = 0;
  if (s.level != lv5) {
    if (f.size() < 8 || f[0] != 0 || static_cast<uint8_t>(f[1]) != 90) return;
    len = 8;
  } else {
    if (f.size() < 5 || f[0] != 5 || f[1] != 0) return;
    const uint8_t type = static_cast<uint8_t>(f[3]);
    if (type != 1 && type != 3 && type != 4) return;
    len = type == 1 ? 10 : type == 4 ? 22 : 7 + static_cast<uint8_t>(f[4]);
    if (f.size() < len) return;
  }
  e.granted = true;
  e.data = f.substr(len);
}

TExpected Expect(const TSetup& s, const std::string& dest) {
  TExpected e;
  if (Refused(s, dest)) {
    e.refused = true;
    return e;
  }
  auto reply = [&s](size_t i) {
    return i < s.replies.size() ? std::string_view(s.replies[i]) : std::string_view();
  };
  bool lookupFails = false;
  const std::string connect = ConnectRequest(s, dest, lookupFails);
  if (s.level != lv5) {
    e.lookupFails = lookupFails;
    if (lookupFails) return e;
    e.wire = connect;
    JudgeFinal(s, reply(0), e);
    return e;
  }
  e.wire = std::string("\x05\x01", 2) + (s.offerAuth ? '\x02' : '\x00');
  const std::string_view m = reply(0);
  e.framed = m.size() <= 2;
  if (m.size() < 2 || m[0] != 5 || (m[1] != 0 && m[1] != 2)) return e;
  size_t final = 1;
  if (m[1] == 2) {
    if (s.user.size() > 255 || s.password.size() > 255) return e;
    e.wire += '\x01' + std::string(1, static_cast<char>(s.user.size())) + s.user +
              static_cast<char>(s.password.size()) + s.password;
    const std::string_view a = reply(1);
    e.framed = e.framed && a.size() <= 2;
    if (a.size() < 2 || a[0] != 1 || a[1] != 0) return e;
    final = 2;
  }
  e.wire += connect;
  JudgeFinal(s, reply(final), e);
  return e;
}

void CheckRun(const TRun& r, const TExpected& e) {
  Check(e.refused == !r.refusal.empty());
  if (e.refused) return;
  if (!e.framed) return;
  Check(r.wire == e.wire);
  if (e.lookupFails) {
    Check(r.connects == 0 && r.socksErrors == 1 && r.socksError == 20017);
  } else if (e.granted) {
    Check(r.connects == 1 && r.connectError == 0 && r.socksErrors == 0);
    Check(r.data == e.data);
  } else {
    Check(r.data.empty());
    Check(r.connects <= 1 && r.socksErrors == r.connects);
    if (r.connects == 1)
      Check(r.connectError == r.socksError && r.socksError >= 20001 && r.socksError <= 20017);
  }
}

void Same(const TRun& a, const TRun& b) {
  if (a.events == b.events && a.wire == b.wire && a.data == b.data && a.refusal == b.refusal) return;
  for (const TRun* r : {&a, &b}) {
    for (const auto& line : r->events) std::fprintf(stderr, "  [%s]\n", line.c_str());
    std::fprintf(stderr, "  data %zu bytes, wire %zu bytes\n--\n", r->data.size(), r->wire.size());
  }
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool hooked = [] {
    winapi::SetResolverHookForTesting(FakeResolver);
    return true;
  }();
  (void)hooked;
  if (size < 11) return 0;
  const TSetup setup = ReadSetup(data, size);
  TRun runs[3];
  for (TPieces p : {pcBytes, pcWhole, pcRandom}) runs[p] = Run(setup, p);
  // The destination as the socket took it (it trims blanks).
  std::string dest;
  {
    auto probe = core::MakeComponent<TMemorySocks>(nullptr);
    Configure(*probe, setup);
    dest = probe->Addr();
  }
  const TExpected expected = Expect(setup, dest);
  for (const TRun& r : runs) CheckRun(r, expected);
  if (expected.framed) {
    Same(runs[pcBytes], runs[pcWhole]);
    Same(runs[pcBytes], runs[pcRandom]);
  }
  return 0;
}
