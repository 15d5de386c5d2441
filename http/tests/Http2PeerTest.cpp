// HTTP/2 servers that misbehave, as exact frames from a scripted loopback peer
// (clear text, prior knowledge): every case ends the load with a reason that
// names the fault, never with a success and never by hanging.
#include <gtest/gtest.h>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::Script;
using testsupport::ScriptedPeer;

constexpr const char* kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
enum : uint8_t { kData = 0, kHeaders = 1, kRstStream = 3, kSettings = 4, kGoaway = 7, kContinuation = 9 };
enum : uint8_t { kEndStream = 1, kEndHeaders = 4 };

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string Frame(uint8_t type, uint8_t flags, uint32_t stream, const std::string& payload) {
  const auto n = static_cast<uint32_t>(payload.size());
  return Be32(n).substr(1) + std::string{static_cast<char>(type), static_cast<char>(flags)} + Be32(stream) +
         payload;
}

// HPACK integer with an n-bit prefix under first's high bits.
std::string HpackInt(uint8_t first, int bits, size_t v) {
  const size_t max = (1u << bits) - 1;
  if (v < max) return std::string(1, static_cast<char>(first | v));
  std::string s(1, static_cast<char>(first | max));
  for (v -= max; v >= 128; v >>= 7) s += static_cast<char>(0x80 | (v & 0x7F));
  return s + static_cast<char>(v);
}

// ":status 200" (static index 8) and literal fields without indexing.
std::string Block(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string b = "\x88";
  for (const auto& [name, value] : fields)
    b += std::string(1, '\0') + HpackInt(0, 7, name.size()) + name + HpackInt(0, 7, value.size()) + value;
  return b;
}

// A header block in a HEADERS frame and as many CONTINUATION frames as it takes.
std::string HeaderFrames(const std::string& block, bool endStream) {
  constexpr size_t kMax = 16384;
  std::string out;
  for (size_t at = 0; at < block.size() || at == 0; at += kMax) {
    const bool last = at + kMax >= block.size();
    const uint8_t flags =
        static_cast<uint8_t>((last ? kEndHeaders : 0) | (at == 0 && endStream ? kEndStream : 0));
    out += Frame(at == 0 ? kHeaders : kContinuation, flags, 1, block.substr(at, kMax));
    if (last) break;
  }
  return out;
}

std::string Settings() {
  return Frame(kSettings, 0, 0, "");
}

std::string Goaway(uint32_t last, uint32_t code) {
  return Frame(kGoaway, 0, 0, Be32(last) + Be32(code));
}

const std::string kTenBytes = "0123456789";

TEST(Http2Peer, BadServersFailTheLoadWithTheirFault) {
  std::vector<std::pair<std::string, std::string>> huge;
  for (int i = 0; i < 3; ++i) huge.emplace_back("x-big-" + std::to_string(i), std::string(60000, 'v'));
  const std::string head100 = HeaderFrames(Block({{"content-length", "100"}}), false);
  struct Case {
    const char* name;
    std::string frames;
    const char* reason;
  };
  const Case cases[] = {
      {"GOAWAY mid-stream", head100 + Frame(kData, 0, 1, kTenBytes) + Goaway(1, 2), "GOAWAY INTERNAL_ERROR"},
      {"GOAWAY before the answer", Goaway(0, 0), "went away (GOAWAY) before answering"},
      {"RST_STREAM", head100 + Frame(kData, 0, 1, kTenBytes) + Frame(kRstStream, 0, 1, Be32(2)),
       "stream reset by the server: INTERNAL_ERROR"},
      {"DATA on stream 0", Frame(kData, 0, 0, kTenBytes), "HTTP/2 protocol error"},
      {"no HTTP/2 at all", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", "HTTP/2 protocol error"},
      {"a field over the limits", HeaderFrames(Block({{"x-big", std::string(65530, 'v')}}), true),
       "Response header too large"},
      {"a block in too many frames", HeaderFrames(Block(huge), true), "HTTP/2 protocol error"},
      {"body shorter than its length", head100 + Frame(kData, kEndStream, 1, kTenBytes),
       "body of 10 bytes, not the 100 of its content-length"},
      {"status missing", HeaderFrames(std::string(), true), "protocol"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer;
    const bool http1 = c.frames.rfind("HTTP/1.1", 0) == 0;
    peer.AddScript(Script().Expect(kPreface).Send((http1 ? "" : Settings()) + c.frames));
    TestClient client("2");
    ASSERT_TRUE(client.Run(LoopbackUrl(peer.Port(), "/page")));
    EXPECT_EQ(client.cli->StatusCode(), 404);
    EXPECT_NE(client.cli->ReasonPhrase().find(c.reason), std::string::npos) << client.cli->ReasonPhrase();
    EXPECT_EQ(client.cli->Protocol(), "h2");
  }
}

// A server whose windows stay shut at 0 never gets the body of a POST: the
// request waits (it is not taken for sent) until the caller's time limit aborts
// it; the abort ends it at once.
TEST(Http2Peer, AWindowThatNeverOpensHoldsTheUploadUntilAbort) {
  ScriptedPeer peer;
  // SETTINGS_INITIAL_WINDOW_SIZE (4) = 0, and an empty answer to the first request.
  peer.AddScript(Script().Expect(kPreface).Send(Frame(kSettings, 0, 0, std::string("\0\x04", 2) + Be32(0)) +
                                                HeaderFrames(Block({{"content-length", "0"}}), true)));
  TestClient client("2");
  ASSERT_TRUE(client.Run(LoopbackUrl(peer.Port(), "/first")));
  ASSERT_EQ(client.cli->StatusCode(), 200);
  core::TMemoryStream upload;
  upload.WriteBuffer("abc", 3);
  upload.Seek(0, core::TSeekOrigin::soBeginning);
  client.cli->SetSendStream(&upload);
  client.cli->SetURL(LoopbackUrl(peer.Port(), "/up"));
  const int before = client.ev.requestDone;
  client.cli->PostAsync();
  // The HEADERS of stream 3 (END_HEADERS only) reached the peer; the body cannot follow.
  const std::string headers = std::string("\x01\x04\0\0\0\x03", 6);
  ASSERT_TRUE(PumpUntil([&] { return peer.Received(0).find(headers) != std::string::npos; },
                        std::chrono::seconds(10)));
  EXPECT_EQ(client.ev.requestDone, before);
  EXPECT_EQ(client.cli->SentCount(), 0);
  EXPECT_EQ(client.cli->Timeline().Current(), TLoadPhase::request);
  client.cli->Abort();
  EXPECT_EQ(client.cli->StatusCode(), 404);
  EXPECT_TRUE(PumpUntil([&] { return client.ev.requestDone > before; }, std::chrono::seconds(5)));
}

}  // namespace
}  // namespace http::testing
