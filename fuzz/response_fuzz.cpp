// Plays a server to the HTTP client, with no network: the client's socket is
// replaced by one that lives in memory, so a lookup, a connect and every byte the
// client sends are only recorded, and this driver delivers the lookup, the
// connect, the data-sent events, the server's bytes and its close. The client's
// own Login, relocation and request code run unchanged, including the checks that
// keep a server's bytes out of the next request.
//
// Input: 8 bytes of set-up (see TSetup), then the server's answers, one per
// request the client sends (a CONNECT to the proxy included), separated by
// "@@NEXT@@". Each input runs three times: all bytes at once, in pseudo-random
// pieces, and finely cut: one byte per receive where the parsers change state
// (the start of an answer, and each side of every CR and LF: line ends, the ends
// of chunk sizes and chunk data) and pieces of pseudo-random size up to 127
// between, so a long line or body does not cost a receive per byte. Checked:
// - the client's buffer stays consistent and bounded, and a length-delimited
//   document never takes more than its length;
// - every request is well formed and carries no control byte (tab included) that
//   came from a server's answer (a Location, a content-range fed to Range, ...);
// - the three runs give the same statuses, reasons, bodies, counts, truncation
//   verdicts, relocation targets and requests, up to the client's last read of
//   an answer it did not read to the end (what it does with the rest depends on
//   where the rest was cut);
// - every request ends once, and once the server has closed and nothing is
//   pending, the request has ended.
//
// The environment variable TL_FUZZ_WIRE_CONTROLS=line-breaks narrows the request
// check to CR, LF and NUL; TL_FUZZ_TRACE (any value) prints what the finely cut
// run recorded, to see what an input reaches.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Application.h"
#include "core/SysUtils.h"
#include "http/HttpContCod.h"
#include "http/HttpProt.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr std::string_view kNext = "@@NEXT@@";

// Byte 0: bits 0-1 the method (GET, HEAD, POST, PUT), bit 2 HTTP/1.1, bit 3
// through a proxy, bit 4 the server resets instead of closing, bits 5-7 the event
// whose handler calls Abort (see TAbortEvent). Byte 1: bit 0 the server closes
// after `cut` bytes in all, bit 1 relocations are not followed, bit 2 the caller
// allows relocations past the limit, bit 3 the client has the server's
// credentials, bit 4 the proxy's, bit 5 the document is https through the proxy
// (a tunnel; sets bit 3 of byte 0 too), bit 6 NTLM answers with NTLMv2, bit 7
// content coding is on with a small decoded-size limit. Bytes 2-3: cut. Bytes
// 4-7: the seed of the random pieces.
struct TSetup {
  http::THttpRequest method = http::httpGET;
  bool version11 = false, proxy = false, reset = false, cutShort = false, noRelocation = false,
       allowMore = false, serverCredentials = false, proxyCredentials = false, tunnel = false, ntlmV2 = false,
       coding = false;
  int abortAt = 0;
  size_t cut = 0;
  uint32_t seed = 0;
  std::vector<std::string_view> answers;
};

enum TAbortEvent { abNone, abHeaderEnd = 3, abDocBegin, abLocationChange, abSessionConnected, abHeaderData };

TSetup ReadSetup(const uint8_t* data, size_t size) {
  static constexpr http::THttpRequest kMethods[] = {http::httpGET, http::httpHEAD, http::httpPOST,
                                                    http::httpPUT};
  TSetup s;
  s.method = kMethods[data[0] & 3];
  s.version11 = data[0] & 4;
  s.proxy = data[0] & 8;
  s.reset = data[0] & 16;
  s.abortAt = data[0] >> 5;
  s.cutShort = data[1] & 1;
  s.noRelocation = data[1] & 2;
  s.allowMore = data[1] & 4;
  s.serverCredentials = data[1] & 8;
  s.proxyCredentials = data[1] & 16;
  s.tunnel = data[1] & 32;
  s.proxy = s.proxy || s.tunnel;
  s.ntlmV2 = data[1] & 64;
  s.coding = data[1] & 128;
  s.cut = data[2] | static_cast<size_t>(data[3]) << 8;
  std::memcpy(&s.seed, data + 4, 4);
  std::string_view rest(reinterpret_cast<const char*>(data + 8), size - 8);
  for (;;) {
    const size_t next = rest.find(kNext);
    s.answers.push_back(rest.substr(0, next));
    if (next == std::string_view::npos) break;
    rest.remove_prefix(next + kNext.size());
  }
  return s;
}

// A socket with nothing under it. What the network would report later is only
// noted here (the ...Due flags) and delivered by the driver.
class TMemorySocket : public net::TSslWSocket {
 public:
  using net::TSslWSocket::TSslWSocket;

  void DnsLookup(const std::string& /*HostName*/) override { FLookupDue = true; }
  void CancelDnsLookup() override { FLookupDue = false; }
  void Connect() override {
    ChangeState(net::wsConnecting);
    FConnectDue = true;
  }
  int Send(const void* Data, int Len) override {
    if (State() != net::wsConnected) return net::TSslWSocket::Send(Data, Len);
    if (Len > 0) QueueSendData(Data, Len);
    const char* p = nullptr;
    for (int n; (n = FBufHandler->Peek(p)) > 0;) {
      FWire.append(p, static_cast<size_t>(n));
      FBufHandler->Remove(n);
    }
    FBufferedByteCount = 0;
    FAllSent = true;
    FSentDue = true;
    return Len;
  }
  // Only the CONNECT to a proxy goes out this way; the hook sees what it sent.
  int SendStr(const std::string& Str) override {
    const size_t before = FWire.size();
    const int sent = net::TSslWSocket::SendStr(Str);
    if (OnStrSent) OnStrSent(FWire.substr(before));
    return sent;
  }
  int Receive(void* Buffer, int BufferSize) override {
    const size_t n = std::min(FPending.size(), static_cast<size_t>(std::max(BufferSize, 0)));
    std::memcpy(Buffer, FPending.data(), n);
    FPending.erase(0, n);
    FTaken += n;
    return static_cast<int>(n);
  }
  void InternalClose(bool /*Shut*/, uint16_t ErrCode) override {
    FLookupDue = FConnectDue = FSentDue = false;
    if (State() == net::wsClosed) return;
    ChangeState(net::wsClosed);
    if (!Destroying()) TriggerSessionClosed(ErrCode);
  }

  // The network's part. Each returns true when it delivered something.
  bool DeliverDue() {
    if (FLookupDue) {
      FLookupDue = false;
      FDnsResult = "127.0.0.1";
      TriggerDnsLookupDone(0);
    } else if (FConnectDue) {
      FConnectDue = false;
      ChangeState(net::wsConnected);
      TriggerSessionConnected(0);
    } else if (FSentDue) {
      FSentDue = false;
      TriggerDataSent(0);
    } else {
      return false;
    }
    return true;
  }
  // The server's bytes wait here until the client reads them.
  void Offer(std::string_view bytes) { FPending.append(bytes); }
  size_t Unread() const { return FPending.size(); }
  void DropUnread() { FPending.clear(); }
  // One read event, as the network gives one: the client reads what it wants and
  // whatever it posted meanwhile runs before the next. Returns the bytes read.
  size_t DeliverData() {
    FTaken = 0;
    TriggerDataAvailable(0);
    return FTaken;
  }
  void PeerCloses(uint16_t ErrCode) {
    if (State() == net::wsClosed) return;
    ChangeState(net::wsClosed);
    TriggerSessionClosed(ErrCode);
  }
  bool Idle() const { return !FLookupDue && !FConnectDue && !FSentDue; }
  // Everything the client sent.
  const std::string& Wire() const { return FWire; }
  std::function<void(const std::string&)> OnStrSent;

 private:
  bool FLookupDue = false, FConnectDue = false, FSentDue = false;
  std::string FWire;
  std::string FPending;
  size_t FTaken = 0;
};

bool WireLineBreaksOnly() {
  static const bool only = [] {
    const char* v = std::getenv("TL_FUZZ_WIRE_CONTROLS");
    return v && std::string_view(v) == "line-breaks";
  }();
  return only;
}

// Every field the client may write into a request header.
bool KnownField(std::string_view line) {
  static constexpr std::string_view kNames[] = {"From: ",
                                                "Accept: ",
                                                "Referer: ",
                                                "Connection: ",
                                                "Accept-Language: ",
                                                "Accept-Encoding: ",
                                                "Content-Type: ",
                                                "User-Agent: ",
                                                "Host: ",
                                                "Pragma: ",
                                                "Proxy-Connection: ",
                                                "Content-Length: ",
                                                "If-Modified-Since: ",
                                                "Cookie: ",
                                                "Range: ",
                                                "Authorization: ",
                                                "Proxy-Authorization: "};
  return std::any_of(std::begin(kNames), std::end(kNames),
                     [line](std::string_view n) { return line.substr(0, n.size()) == n; });
}

// A request header as the client must send it: the request line, known fields,
// the empty line, and no control byte inside a line. A CONNECT names host:port
// and carries none of the server's credentials.
void CheckRequest(std::string_view header, const std::string& method) {
  if (method == "CONNECT") {
    const std::string_view target = header.substr(8, header.find(" HTTP/1.1\r\n") - 8);
    Check(!target.empty() && target.find_first_of(" /@") == std::string_view::npos && target.find(':') != 0);
    Check(header.find("\r\nAuthorization: ") == std::string_view::npos);
  }
  Check(header.size() >= 4 && header.substr(header.size() - 4) == "\r\n\r\n");
  header.remove_suffix(2);
  size_t index = 0;
  while (!header.empty()) {
    const size_t end = header.find("\r\n");
    const std::string_view line = header.substr(0, end);
    header.remove_prefix(end + 2);
    Check(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos);
    if (!WireLineBreaksOnly())
      Check(std::none_of(line.begin(), line.end(), [](char c) { return (c >= 0 && c < 32) || c == 127; }));
    if (index++ == 0) {
      Check(line.substr(0, method.size() + 1) == method + " ");
      Check(line.ends_with(" HTTP/1.0") || line.ends_with(" HTTP/1.1"));
    } else {
      Check(KnownField(line));
    }
  }
}

// An NTLMv2 message 3 holds a random client challenge and the time: only its
// size is compared between runs.
std::string Comparable(std::string header) {
  static constexpr std::string_view kMsg3 = "NTLM TlRMTVNTUAADAAAA";
  for (size_t at = 0; (at = header.find(kMsg3, at)) != std::string::npos;) {
    const size_t end = header.find("\r\n", at);
    const std::string size = "NTLM message 3 of " + std::to_string(end - at) + " characters";
    header.replace(at, end - at, size);
    at += size.size();
  }
  return header;
}

class TFuzzCli : public http::THttpCli {
 public:
  using THttpCli::THttpCli;

  void CreateSocket() override {
    FSocket = core::Create<TMemorySocket>(this);
    Memory().OnStrSent = [this](const std::string& header) { TakeRequest(header, "CONNECT"); };
  }
  TMemorySocket& Memory() const { return *static_cast<TMemorySocket*>(FSocket); }

  void SendRequest(const std::string& Method, const std::string& Version) override {
    const size_t before = Memory().Wire().size();
    THttpCli::SendRequest(Method, Version);
    TakeRequest(Memory().Wire().substr(before), Method);
  }
  void SocketDataAvailable(core::TComponent* Sender, uint16_t ErrCode) override {
    const bool awaitingProxy = FHttpState == http::httpWaitingProxyConnect && !FTunnelBodySkip;
    const int headers = FHeaderEnds;
    THttpCli::SocketDataAvailable(Sender, ErrCode);
    CheckInvariants();
    // A proxy's 2xx to CONNECT is taken without a header event, and leaves the
    // client waiting for a TLS handshake that this socket cannot run.
    if (awaitingProxy && FHttpState == http::httpWaitingProxyConnect && !FTunnelBodySkip &&
        FReceiveLen == 0 && FHeaderEnds == headers && !FTunnelOpen) {
      FTunnelOpen = true;
      Note("tunnel open");
    }
  }
  void TriggerHeaderEnd() override {
    ++FHeaderEnds;
    THttpCli::TriggerHeaderEnd();
  }

  int Requests() const { return FRequests; }
  // The latest CONNECT was granted; the driver plays the handshake's failure.
  bool TunnelOpen() const { return FTunnelOpen; }
  void Note(std::string s) { FRecords.push_back(std::move(s)); }
  const std::vector<std::string>& Records() const { return FRecords; }

 private:
  void TakeRequest(const std::string& header, const std::string& method) {
    CheckRequest(header, method);
    ++FRequests;
    FTunnelOpen = false;
    Note("request " + Comparable(header));
  }
  // What must hold whatever the server sends.
  void CheckInvariants() const {
    Check(FReceiveLen >= 0 && static_cast<size_t>(FReceiveLen) < FReceiveBuffer.size());
    Check(FReceiveBuffer[static_cast<size_t>(FReceiveLen)] == 0);
    Check(FReceiveBuffer.size() <= static_cast<size_t>(kMaxHeaderLine + 2 * kReceiveRoom) + 2);
    // The client trims the transfer coding before it compares.
    if (core::Trim(FTransferEncoding) != "chunked" && FContentLength >= 0)
      Check(FRcvdCount <= FContentLength);
    Check(FHeaderBytes <= kMaxHeaderSize + kMaxHeaderLine + 2);
  }

  int FRequests = 0;
  bool FTunnelOpen = false;
  int FHeaderEnds = 0;
  std::vector<std::string> FRecords;
};

struct TRun {
  std::vector<std::string> records;
  // Records that do not depend on where the answers were cut (SIZE_MAX: all).
  size_t comparable = SIZE_MAX;
};

enum TPieces { pcFine, pcWhole, pcRandom };

// The fine run gives one byte per receive to the first kFineHead bytes of an
// answer and to every byte from kBeforeLineEnd before a CR or LF to
// kAfterLineEnd after it.
constexpr size_t kFineHead = 16;
constexpr size_t kBeforeLineEnd = 1, kAfterLineEnd = 1;
// Small enough for a short coded body to pass it.
constexpr int64_t kSmallDecodedLimit = 600;

uint32_t NextRandom(uint32_t& seed) {
  seed = seed * 1103515245u + 12345u;
  return seed;
}

// The next piece of the fine run: one byte near a line end, else bytes up to
// the next such place, at most a pseudo-random few.
size_t FinePiece(std::string_view answer, size_t at, uint32_t& seed) {
  if (at < kFineHead) return 1;
  const size_t most = 1 + (NextRandom(seed) >> 16) % 127;
  // Only the window the piece may cover is searched: a long line stays linear.
  const size_t from = at - kAfterLineEnd;
  const std::string_view window = answer.substr(from, most + kBeforeLineEnd + kAfterLineEnd);
  size_t near = window.size();
  for (const char c : {'\r', '\n'}) {
    if (const void* p = std::memchr(window.data(), c, window.size()))
      near = std::min(near, static_cast<size_t>(static_cast<const char*>(p) - window.data()));
  }
  if (near == window.size()) return most;
  near += from;
  return near <= at + kBeforeLineEnd ? 1 : std::min(most, near - kBeforeLineEnd - at);
}

// The size of the next piece of an answer, `at` bytes into it.
size_t PieceSize(TPieces pieces, std::string_view answer, size_t at, uint32_t& seed) {
  if (pieces == pcWhole) return answer.size() - at;
  if (pieces == pcFine) return FinePiece(answer, at, seed);
  const uint32_t r = NextRandom(seed);
  return 1 + (r >> 16) % ((r & 0x80000000u) ? 9 : 3000);
}

void StartRequest(TFuzzCli& cli, http::THttpRequest method, core::TMemoryStream& upload) {
  upload.Seek(0, core::TSeekOrigin::soBeginning);
  switch (method) {
    case http::httpHEAD:
      cli.HeadAsync();
      break;
    case http::httpPOST:
      cli.PostAsync();
      break;
    case http::httpPUT:
      cli.PutAsync();
      break;
    default:
      cli.GetAsync();
  }
}

// What the handlers share; the client calls a copy of each handler, so they keep
// no state of their own.
struct THandlerState {
  bool aborted = false;
  int headerLines = 0;
  int started = 0, done = 0;
  int64_t bodyMark = 0;  // the body's size when the last request ended
};

// The document was decoded: it names at most as many codings as the client
// chains, each one it decodes (else the body passes as it came, unlimited).
bool Decoded(const std::string& codings) {
  static constexpr std::string_view kKnown[] = {"gzip", "x-gzip", "deflate", "br", "zstd"};
  size_t start = 0;
  for (size_t count = 1; count <= http::THttpContCodHandler::kMaxCodings; ++count) {
    const size_t comma = std::min(codings.find(',', start), codings.size());
    const std::string name = core::LowerCase(core::Trim(codings.substr(start, comma - start)));
    if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) return false;
    if (comma == codings.size()) return true;
    start = comma + 1;
  }
  return false;
}

bool DecodingFailed(const std::string& reason) {
  for (const char* prefix : {"Corrupt ", "Truncated ", "Decoded content larger than "}) {
    if (reason.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

void Attach(TFuzzCli& cli, const TSetup& s, core::TMemoryStream& body, THandlerState& st) {
  auto abortOn = [&cli, &st](bool now) {
    if (now && !st.aborted) {
      st.aborted = true;
      cli.Abort();
    }
  };
  cli.OnRequestDone = [&cli, &s, &body, &st](core::TComponent*, http::THttpRequest rq, uint16_t err) {
    // Each request ends once.
    Check(++st.done <= st.started);
    // A decoded document never outgrows the limit. Where decoding failed, how
    // much came out before the failure depends on the pieces: that part is
    // dropped, the verdict is compared.
    if (s.coding && Decoded(cli.ContentEncoding())) Check(body.Size() - st.bodyMark <= kSmallDecodedLimit);
    if (DecodingFailed(cli.ReasonPhrase())) {
      body.SetSize(st.bodyMark);
      body.Seek(0, core::TSeekOrigin::soEnd);
    }
    st.bodyMark = body.Size();
    cli.Note("done " + std::to_string(rq) + " " + std::to_string(err) + " " +
             std::to_string(cli.StatusCode()) + " " + cli.ReasonPhrase() + " " +
             std::to_string(cli.RcvdCount()) + " " + (cli.DocumentTruncated() ? "cut " : "whole ") +
             cli.Location() + " " + body.DataString());
  };
  cli.OnHeaderEnd = [&cli, &s, abortOn](core::TComponent*) {
    cli.Note("header " + std::to_string(cli.StatusCode()) + " " + cli.ReasonPhrase());
    abortOn(s.abortAt == abHeaderEnd);
  };
  cli.OnLocationChange = [&cli, &s, abortOn](core::TComponent*) {
    cli.Note("relocation " + cli.Location());
    abortOn(s.abortAt == abLocationChange);
  };
  cli.OnDocBegin = [&s, abortOn](core::TComponent*) { abortOn(s.abortAt == abDocBegin); };
  cli.OnSessionConnected = [&s, abortOn](core::TComponent*) { abortOn(s.abortAt == abSessionConnected); };
  cli.OnHeaderData = [&s, &st, abortOn](core::TComponent*) {
    abortOn(s.abortAt == abHeaderData && ++st.headerLines == 2);
  };
  cli.OnLocationChangeExceeded = [&s](core::TComponent*, int, bool& allow) { allow = s.allowMore; };
}

TRun Run(const TSetup& s, TPieces pieces) {
  core::TMemoryStream body, upload;
  upload.WriteBuffer("name=value&x=1", 14);
  auto cli = core::MakeComponent<TFuzzCli>(nullptr);
  THandlerState st;
  Attach(*cli, s, body, st);
  cli->SetRcvdStream(&body);
  cli->SetSendStream(&upload);
  cli->SetRequestVer(s.version11 ? "1.1" : "1.0");
  cli->SetFollowRelocation(!s.noRelocation);
  cli->SetURL(s.tunnel ? "https://www.example.test/dir/page.html?q=1"
                       : "http://www.example.test:8080/dir/page.html?q=1");
  if (s.proxy) {
    cli->SetProxy("proxy.example.test");
    cli->SetProxyPort("3128");
  }
  if (s.serverCredentials) {
    cli->SetUsername("user");
    cli->SetPassword("secret");
  }
  if (s.proxyCredentials) {
    cli->SetProxyUsername("puser");
    cli->SetProxyPassword("psecret");
  }
  cli->SetNtlmVersion(s.ntlmV2 ? 2 : 1);
  if (s.coding) {
    cli->SetOptions(http::httpoEnableContentCoding);
    cli->SetMaxDecodedSize(kSmallDecodedLimit);
  }
  TMemorySocket& net = cli->Memory();
  TRun run;
  // Records made before the current answer began: when an answer leaves bytes
  // over, what the client did with it depends on how it was cut. Whether bytes
  // beyond a document had arrived when the document ended decides whether its
  // connection is kept, and with that how a relocation counts against its limit,
  // so the answer's own records are not compared either.
  size_t settled = 0;
  auto leftOver = [&run, &settled] {
    if (run.comparable == SIZE_MAX) run.comparable = settled;
  };
  auto start = [&] {
    ++st.started;
    StartRequest(*cli, s.method, upload);
  };
  start();

  uint32_t seed = s.seed;
  size_t offered = 0;    // bytes of all answers offered, for the cut
  int answer = -1;       // the answer being delivered: the one to the latest request
  size_t at = 0;         // the next byte of that answer to offer
  bool closed = false;   // the server closed after the latest request
  size_t budget = 4096;  // events besides the data
  for (const auto a : s.answers) budget += 2 * a.size();
  // The answer to a request; a request past the last answer gets none.
  auto answerTo = [&s](int request) {
    return request >= 0 && static_cast<size_t>(request) < s.answers.size()
               ? s.answers[static_cast<size_t>(request)]
               : std::string_view();
  };
  while (budget-- > 0) {
    core::Application().ProcessMessages();
    if (net.DeliverDue()) continue;
    const std::string_view current = answerTo(answer);
    // The answer is over for the client once it sent the next request, is ready,
    // or the connection is gone: bytes it did not read belong to nobody.
    const bool over =
        cli->Requests() > answer + 1 || cli->State() == http::httpReady || net.State() != net::wsConnected;
    if (over && (net.Unread() > 0 || at < current.size())) {
      leftOver();
      net.DropUnread();
      at = current.size();
    }
    if (cli->Requests() > answer + 1) {
      answer = cli->Requests() - 1;
      at = 0;
      closed = false;
      settled = cli->Records().size();
      continue;
    }
    if (cli->State() == http::httpReady) {
      if (st.aborted || static_cast<size_t>(answer + 1) >= s.answers.size()) break;
      start();
      continue;
    }
    if (net.State() == net::wsConnected && !closed && cli->TunnelOpen()) {
      // The TLS handshake in the tunnel fails: the proxy's bytes after its answer
      // would have been records, and the connection closes.
      closed = true;
      net.DropUnread();
      at = current.size();
      net.PeerCloses(0);
      continue;
    }
    if (net.State() == net::wsConnected) {
      const bool cutNow = s.cutShort && offered >= s.cut;
      if (net.Unread() == 0 && at < current.size() && !cutNow) {
        size_t n = std::min(current.size() - at, PieceSize(pieces, current, at, seed));
        if (s.cutShort) n = std::min(n, s.cut - offered);
        net.Offer(current.substr(at, n));
        at += n;
        offered += n;
      }
      if (net.Unread() > 0) {
        if (net.DeliverData() == 0) {
          // The client stopped reading: the server gives up and closes.
          leftOver();
          net.DropUnread();
          at = current.size();
        }
        continue;
      }
      if (!closed) {
        // Nothing more to send (or the cut): the server closes.
        closed = true;
        at = current.size();
        net.PeerCloses(s.reset ? 10054 : 0);
        continue;
      }
    }
    // Nothing pending and the connection is gone: the request must have ended.
    Check(cli->State() == http::httpReady);
    break;
  }
  if (budget == SIZE_MAX)
    leftOver();  // ran out of steps: the rest is not compared
  else
    Check(st.done == st.started);
  run.records = cli->Records();
  return run;
}

// Shows where two runs part, for the one reading the finding.
void Differ(const TRun& a, const TRun& b, TPieces pieces) {
  std::fprintf(stderr, "fine pieces and %s differ:\n", pieces == pcWhole ? "all at once" : "random pieces");
  for (const TRun* r : {&a, &b}) {
    for (const auto& line : r->records) std::fprintf(stderr, "  [%s]\n", line.c_str());
    std::fprintf(stderr, "--\n");
  }
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const TSetup setup = ReadSetup(data, size);
  const TRun fine = Run(setup, pcFine);
  static const bool trace = std::getenv("TL_FUZZ_TRACE") != nullptr;
  if (trace)
    for (const auto& line : fine.records) std::fprintf(stderr, "[%s]\n", line.c_str());
  for (TPieces pieces : {pcWhole, pcRandom}) {
    const TRun other = Run(setup, pieces);
    const size_t n = std::min({fine.comparable, other.comparable, fine.records.size(), other.records.size()});
    for (size_t i = 0; i < n; ++i) {
      if (fine.records[i] != other.records[i]) Differ(fine, other, pieces);
    }
    if (fine.comparable == SIZE_MAX && other.comparable == SIZE_MAX &&
        fine.records.size() != other.records.size())
      Differ(fine, other, pieces);
  }
  return 0;
}
