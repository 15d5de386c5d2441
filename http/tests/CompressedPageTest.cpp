// Compressed pages through the client: from scripted peers (every coding, chains,
// split into single bytes, cut short, corrupt, expanding past the limit, codings
// we do not know) and from nginx with gzip on.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "http/tests/Encoders.h"
#include "http/tests/HttpTestSupport.h"
#include "testsupport/Nginx.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::Millis;
using testsupport::NginxServer;
using testsupport::Script;
using testsupport::ScriptedPeer;

// The window's HTTP/1.0 client with content coding on (or other options).
struct Client : TestClient {
  explicit Client(THttpCliOptions options = httpoEnableContentCoding) : TestClient("1.0") {
    cli->SetOptions(options);
  }
  using TestClient::Run;
  bool Run(const ScriptedPeer& peer) { return Run(LoopbackUrl(peer.Port())); }
};

std::string Coded(const std::string& codings, const std::string& body) {
  return HttpResponse(200, body, {"Content-Encoding: " + codings});
}

// The body in chunks of 7 bytes.
std::string Chunked(const std::string& codings, const std::string& body) {
  std::string r =
      "HTTP/1.1 200 OK\r\nContent-Encoding: " + codings + "\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (size_t i = 0; i < body.size(); i += 7) {
    const std::string piece = body.substr(i, 7);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    r += size + piece + "\r\n";
  }
  return r + "0\r\n\r\n";
}

TEST(CompressedPage, EveryCodingAndChainArrivesDecoded) {
  const std::string text = SampleText(200);
  const struct {
    const char* codings;  // in the order they were applied
    std::string body;
  } cases[] = {
      {"gzip", Gzip(text)},
      {"x-gzip", Gzip(text)},
      {"deflate", ZlibDeflate(text)},
      {"deflate", RawDeflate(text)},
      {"br", Brotli(text)},
      {"zstd", Zstd(text)},
      {"deflate, br", Brotli(ZlibDeflate(text))},
      {"GZIP,\"zstd\"", Zstd(Gzip(text))},
      {"identity, br", Brotli(text)},
      {"gzip, gzip, gzip, gzip, gzip", Gzip(Gzip(Gzip(Gzip(Gzip(text)))))},
  };
  for (const auto& c : cases) {
    for (bool chunked : {false, true}) {
      SCOPED_TRACE(std::string(c.codings) + (chunked ? " chunked" : " by length"));
      const std::string response = chunked ? Chunked(c.codings, c.body) : Coded(c.codings, c.body);
      ScriptedPeer peer({Script().ExpectRequest().SendSlowly(response, 1, Millis(0))});
      Client client;
      ASSERT_TRUE(client.Run(peer));
      EXPECT_EQ(client.cli->StatusCode(), 200);
      EXPECT_TRUE(client.body.DataString() == text);
      EXPECT_EQ(client.ev.docBytes, static_cast<int64_t>(text.size()));
      EXPECT_EQ(client.cli->RcvdCount(), static_cast<int64_t>(c.body.size()));  // the wire bytes
      EXPECT_EQ(client.ev.Count("DocEnd"), 1u);
    }
  }
}

TEST(CompressedPage, UnknownTooManyOrDisabledCodingsArriveAsSent) {
  const std::string six = Gzip(Gzip(Gzip(Gzip(Gzip(Gzip("six"))))));
  const struct {
    std::string response;
    THttpCliOptions options;
    std::string body;
  } cases[] = {
      {Coded("compress", "LZW?"), httpoEnableContentCoding, "LZW?"},
      {Coded("gzip, gzip, gzip, gzip, gzip, gzip", six), httpoEnableContentCoding, six},
      {Coded("gzip", Gzip("off")), 0, Gzip("off")},
  };
  for (const auto& c : cases) {
    ScriptedPeer peer({Script().ExpectRequest().Send(c.response)});
    Client client(c.options);
    ASSERT_TRUE(client.Run(peer));
    EXPECT_EQ(client.cli->StatusCode(), 200);
    EXPECT_TRUE(client.body.DataString() == c.body);
  }
}

// Damage found while the document arrives, when its length or last chunk ends
// it, and when the close of the connection does: each ends the request as a
// failure, once, with the reason, and a synchronous Get raises it.
TEST(CompressedPage, BrokenStreamsFailTheRequest) {
  const std::string text = SampleText(100);
  std::string corrupt = Gzip(text);
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x10);
  const std::string br = Brotli(text);
  const std::string zstd = Zstd(text);
  const std::string deflate = RawDeflate(text);
  const struct {
    std::string response;
    bool closes;  // the server closes after the response
    std::string reason;
  } cases[] = {
      {Coded("gzip", corrupt), false, "Corrupt gzip content: "},
      {Coded("deflate", deflate.substr(0, deflate.size() - 4)), false, "Truncated deflate content"},
      {Chunked("zstd", zstd.substr(0, zstd.size() - 1)), false, "Truncated zstd content"},
      {"HTTP/1.0 200 OK\r\nContent-Encoding: br\r\n\r\n" + br.substr(0, br.size() / 2), true,
       "Truncated br content"},
      {Coded("br", br + "tail"), false, "Corrupt br content: data after the end"},
      {Coded("zstd", "\x28\xb5\x2f\xfd not a frame"), false, "Corrupt zstd content: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    Script script = Script().ExpectRequest().Send(c.response);
    if (c.closes) script.Close();
    ScriptedPeer peer({script, script});
    Client client;
    ASSERT_TRUE(client.Run(peer));
    EXPECT_EQ(client.cli->StatusCode(), 404);
    EXPECT_EQ(client.cli->ReasonPhrase().rfind(c.reason, 0), 0u) << client.cli->ReasonPhrase();
    EXPECT_TRUE(client.ev.Text().ends_with("DocEnd; SessionClosed; RequestDone 0; ")) << client.ev.Text();
    EXPECT_EQ(client.ev.Count("DocEnd"), 1u);
    EXPECT_TRUE(peer.WaitForClientClose(0));
    core::Application().ProcessMessages();
    EXPECT_EQ(client.ev.requestDone, 1);

    try {
      client.cli->Get();
      ADD_FAILURE() << "no exception";
    } catch (const EHttpException& e) {
      EXPECT_EQ(e.Message().rfind(c.reason, 0), 0u) << e.Message();
    }
  }
}

TEST(CompressedPage, ABombStopsAtTheLimit) {
  const std::string bomb = Gzip(std::string(64 << 20, 'z'));
  ASSERT_LT(bomb.size(), 100000u);
  ScriptedPeer peer({Script().ExpectRequest().Send(Chunked("gzip", bomb))});
  Client client;
  EXPECT_EQ(client.cli->MaxDecodedSize(), int64_t{1} << 30);
  client.cli->SetMaxDecodedSize(1 << 20);
  ASSERT_TRUE(client.Run(peer));
  EXPECT_EQ(client.cli->StatusCode(), 404);
  EXPECT_EQ(client.cli->ReasonPhrase(), "Decoded content larger than 1048576 bytes");
  EXPECT_LE(client.body.Size(), 1 << 20);
}

// The body of a relocation being followed, or of a challenge being answered, is
// read for its framing only: its coding can neither fail the load nor make it
// decode without end, and it reaches neither the stream nor OnDocData. A body
// that ends the load (a refused relocation, an unanswered challenge) is the page.
TEST(CompressedPage, ThrownAwayBodiesAreNotDecoded) {
  const std::string garbage = "this is not gzip at all";
  const std::string bomb = Gzip(std::string(64 << 20, 'z'));
  const std::string basic = "WWW-Authenticate: Basic realm=\"x\"";
  struct Case {
    const char* what;
    std::string first;
    std::string user;
    int maxRelocations;
    int status;
    std::string body;
  } cases[] = {
      {"302, broken gzip", HttpResponse(302, garbage, {"Location: /next", "Content-Encoding: gzip"}), "", 5,
       200, "page"},
      {"302, a bomb in chunks", Chunked("gzip", bomb).replace(9, 6, "302 Found\r\nLocation: /next"), "", 5,
       200, "page"},
      {"401 answered, broken gzip", HttpResponse(401, garbage, {basic, "Content-Encoding: gzip"}), "u", 5,
       200, "page"},
      {"302 refused", HttpResponse(302, "moved", {"Location: /next"}), "", 0, 302, "moved"},
      {"401 unanswered", HttpResponse(401, "denied", {basic}), "", 5, 401, "denied"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    ScriptedPeer peer(
        {Script().ExpectRequest().Send(k.first), Script().ExpectRequest().Send(HttpResponse(200, "page"))});
    Client client;
    client.cli->SetMaxDecodedSize(1 << 20);
    client.cli->SetLocationChangeMaxCount(k.maxRelocations);
    client.cli->SetUsername(k.user);
    client.cli->SetPassword(k.user);
    ASSERT_TRUE(client.Run(peer));
    EXPECT_EQ(client.cli->StatusCode(), k.status) << client.cli->ReasonPhrase();
    EXPECT_EQ(client.body.DataString(), k.body);
    EXPECT_EQ(client.ev.docBytes, static_cast<int64_t>(k.body.size()));
  }
}

// nginx compresses text/html and text/plain for both versions; with content
// coding off it sends the same files plain.
TEST(CompressedPageNginx, PagesArriveDecodedAndEqualToTheFile) {
  TL_SKIP_UNLESS_INSTALLED(NginxServer::kBinary);
  NginxServer nginx;
  nginx.AddServerConfig("gzip on; gzip_http_version 1.0; gzip_types text/plain; gzip_min_length 1;");
  const std::string page = SampleText(40000);
  nginx.AddFile("page.html", page);
  ASSERT_TRUE(nginx.Start());
  std::ifstream file(nginx.Root() + "/big.txt", std::ios::binary);
  const std::string big((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::pair<const char*, std::string> files[] = {
      {"/index.html", "hello world\n"}, {"/page.html", page}, {"/big.txt", big}};

  for (THttpCliOptions options : {THttpCliOptions{httpoEnableContentCoding}, THttpCliOptions{0}}) {
    Client client(options);
    for (const char* version : {"1.0", "1.1"}) {
      client.cli->SetRequestVer(version);
      for (const auto& [path, contents] : files) {
        SCOPED_TRACE(std::string(path) + " over " + version + (options ? " compressed" : " plain"));
        client.body.Clear();
        client.cli->SetURL(nginx.Url(path));
        client.cli->Get();
        EXPECT_TRUE(client.body.DataString() == contents);
        EXPECT_EQ(client.cli->ContentEncoding(), options ? "gzip" : "");
        if (options && contents.size() > 1000) {
          EXPECT_LT(client.cli->RcvdCount(), static_cast<int64_t>(contents.size()) / 3);
        }
      }
    }
  }
}

}  // namespace
}  // namespace http::testing
