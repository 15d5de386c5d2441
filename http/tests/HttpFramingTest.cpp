// Strict framing: content lengths, status codes, interim answers, protocol
// switches, chunk line ends and transfer codings. Each response is fed whole, one
// byte per receive and split in two at every position, and must end the same way;
// a response the client cannot frame ends the request and its connection.
#include <gtest/gtest.h>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::Script;
using testsupport::ScriptedPeer;

struct Ending {
  int status = 0;
  std::string reason;
  std::string body;
  std::string state;
  bool operator==(const Ending&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Ending& e) {
  return os << e.status << " \"" << e.reason << "\" body \"" << e.body << "\" " << e.state;
}

// Feeds the pieces, then lets the server close, as the peer of a failed request
// would be closed by the client anyway.
Ending Run(const std::vector<std::string>& pieces, size_t chunk = SIZE_MAX) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  core::TMemoryStream body;
  cli->SetRequestVer("1.1");
  cli->SetRcvdStream(&body);
  cli->Begin(httpGET);
  for (const std::string& piece : pieces) cli->Feed(piece, chunk);
  if (cli->State() != httpReady) cli->PeerCloses();
  core::Application().ProcessMessages();
  return {cli->StatusCode(), cli->ReasonPhrase(), body.DataString(), HttpStateName(cli->State())};
}

// The ending of the response fed whole, after checking that byte-by-byte delivery
// and every two-piece split end the same way.
Ending RunEveryWay(const std::string& response) {
  const Ending whole = Run({response});
  EXPECT_EQ(Run({response}, 1), whole) << "byte by byte: " << response;
  for (size_t cut = 1; cut < response.size(); ++cut)
    EXPECT_EQ(Run({response.substr(0, cut), response.substr(cut)}), whole)
        << "cut at " << cut << ": " << response;
  return whole;
}

const Ending kNoStatus{404, "Connection closed without response", "", "httpReady"};
const Ending kBadLength{404, "Invalid Content-Length", "", "httpReady"};
// The data of the chunks before the fault has reached the stream already.
Ending BadChunks(const std::string& bodySoFar) {
  return {404, "Invalid chunked encoding", bodySoFar, "httpReady"};
}
const Ending kBadCoding{404, "Unsupported transfer coding", "", "httpReady"};

Ending Fine(const std::string& body, int status = 200, const std::string& reason = "OK") {
  return {status, reason, body, "httpReady"};
}

void ExpectEndings(const std::vector<std::pair<std::string, Ending>>& cases) {
  for (const auto& [response, want] : cases) EXPECT_EQ(RunEveryWay(response), want) << response;
}

std::string WithLength(const std::string& value, const std::string& body = "hello") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + value + "\r\n\r\n" + body;
}

TEST(HttpFraming, ContentLengthMustBePlainDigitsAndAgree) {
  ExpectEndings({
      {WithLength("5"), Fine("hello")},
      {WithLength("  5 "), Fine("hello")},
      {WithLength("5\r\nContent-Length: 5"), Fine("hello")},
      {WithLength("5\r\nContent-Length: 6"), kBadLength},
      {WithLength("6\r\nX: y\r\ncontent-length: 5"), kBadLength},
      {WithLength("+5"), kBadLength},
      {WithLength("-5"), kBadLength},
      {WithLength("5a"), kBadLength},
      {WithLength("0x5"), kBadLength},
      {WithLength("5, 5"), kBadLength},
      {WithLength("5 5"), kBadLength},
      {WithLength(""), kBadLength},
      {WithLength("9223372036854775808"), kBadLength},
      {WithLength("99999999999999999999999"), kBadLength},
      // Framing matters even where no body is read: the connection's next bytes.
      {"HTTP/1.1 304 Not Modified\r\nContent-Length: x\r\n\r\n", kBadLength},
  });
  // The largest length that fits is taken as it is.
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  cli->Begin(httpGET);
  cli->Feed(WithLength("9223372036854775807", "abc"));
  EXPECT_EQ(cli->ContentLength(), INT64_MAX);
  EXPECT_EQ(cli->State(), httpWaitingBody);
}

TEST(HttpFraming, StatusCodeIsThreeDigitsFrom100To599) {
  auto status = [](const std::string& line) { return line + "\r\nContent-Length: 2\r\n\r\nok"; };
  ExpectEndings({
      {status("HTTP/1.1 200 OK"), Fine("ok")},
      {status("HTTP/1.1 599 Odd"), Fine("ok", 599, "Odd")},
      {status("HTTP/1.1  201"), Fine("ok", 201, "")},
      {status("HTTP/1.1 20 OK"), kNoStatus},
      {status("HTTP/1.1 2000 OK"), kNoStatus},
      {status("HTTP/1.1 000 Zero"), kNoStatus},
      {status("HTTP/1.1 099 Low"), kNoStatus},
      {status("HTTP/1.1 600 High"), kNoStatus},
      {status("HTTP/1.1 abc OK"), kNoStatus},
      {status("HTTP/1.1 2x0 OK"), kNoStatus},
      {status("HTTP/1.1200 OK"), kNoStatus},
      {status("HTTP/1.1 200OK"), kNoStatus},
      {status("HTTP/1.1"), kNoStatus},
  });
}

TEST(HttpFraming, InterimAnswersAndProtocolSwitches) {
  const std::string final = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  ExpectEndings({
      {"HTTP/1.1 100 Continue\r\n\r\n" + final, Fine("ok")},
      {"HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\nHTTP/1.1 100 Continue\r\n\r\n" + final, Fine("ok")},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n" + final,
       {404, "Unexpected 101 Switching Protocols", "", "httpReady"}},
  });
}

std::string Chunked(const std::string& chunks, const std::string& coding = "chunked") {
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: " + coding + "\r\n\r\n" + chunks;
}

TEST(HttpFraming, ChunkDataEndsWithItsLineEnd) {
  ExpectEndings({
      {Chunked("4\r\nabcd\r\n2\r\nef\r\n0\r\n\r\n"), Fine("abcdef")},
      {Chunked("4\nabcd\n0\n\n"), Fine("abcd")},
      {Chunked("3\r\nabcd\r\n0\r\n\r\n"), BadChunks("abc")},
      {Chunked("4\r\nabcdX\r\n0\r\n\r\n"), BadChunks("abcd")},
      {Chunked("4\r\nabcd\r\r\n0\r\n\r\n"), BadChunks("abcd")},
      {Chunked("4\r\nabcd\r\n2\r\nef 0\r\n\r\n"), BadChunks("abcdef")},
  });
}

TEST(HttpFraming, OnlyTheChunkedTransferCodingIsUnderstood) {
  ExpectEndings({
      {Chunked("2\r\nok\r\n0\r\n\r\n", "Chunked "), Fine("ok")},
      {Chunked("2\r\nok\r\n0\r\n\r\n", "gzip"), kBadCoding},
      {Chunked("2\r\nok\r\n0\r\n\r\n", "gzip, chunked"), kBadCoding},
      {Chunked("2\r\nok\r\n0\r\n\r\n", "identity"), kBadCoding},
      {Chunked("2\r\nok\r\n0\r\n\r\n", "chunked\r\nTransfer-Encoding: chunked"), kBadCoding},
  });
}

struct PeerClient {
  core::ComponentPtr<THttpCli> cli = core::MakeComponent<THttpCli>(nullptr);
  core::TMemoryStream body;

  PeerClient() {
    WindowSettings(*cli);
    cli->SetRequestVer("1.1");
    cli->SetRcvdStream(&body);
  }
  // The synchronous Get; the exception's message and number, or "" and 0.
  std::pair<std::string, int> Get(const std::string& url) { return GetOrFailure(*cli, url); }
};

std::string Url(const ScriptedPeer& peer, const std::string& path = "/") {
  return LoopbackUrl(peer.Port(), path);
}

// Through the socket: the failure raises from Get, the connection is closed, and
// the next request takes a new one.
TEST(HttpFraming, AnUnframedResponseClosesItsConnection) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {WithLength("5\r\nContent-Length: 7"), "Invalid Content-Length"},
      {Chunked("3\r\nabcd\r\n0\r\n\r\n"), "Invalid chunked encoding"},
      {Chunked("2\r\nok\r\n0\r\n\r\n", "br"), "Unsupported transfer coding"},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n", "Unexpected 101 Switching Protocols"},
  };
  for (const auto& [response, reason] : cases) {
    ScriptedPeer peer({Script().ExpectRequest().Send(response).Hold(),
                       Script().ExpectRequest().Send(HttpResponse(200, "next"))});
    PeerClient c;
    c.cli->SetURL(Url(peer));
    c.cli->GetAsync();
    ASSERT_TRUE(PumpUntil([&] { return c.cli->State() == httpReady; })) << response;
    EXPECT_EQ(c.cli->StatusCode(), 404) << response;
    EXPECT_EQ(c.cli->ReasonPhrase(), reason);
    EXPECT_TRUE(peer.WaitForClientClose(0)) << response;
    c.body.Clear();
    EXPECT_EQ(c.Get(Url(peer, "/next")), std::make_pair(std::string(), 0));
    EXPECT_EQ(c.body.DataString(), "next");
    EXPECT_EQ(peer.AcceptedCount(), 2u);
  }
}

// Bytes after a complete document, in the same receive or waiting behind it, are
// no answer to anything: the connection is not kept, and the next request (a
// relocation's too) takes a new one.
TEST(HttpFraming, BytesBeyondTheDocumentCloseItsConnection) {
  struct Case {
    const char* name;
    std::string response;
    std::string body;  // the first load's
    bool relocates;
  };
  const Case cases[] = {
      {"a length counted in characters", WithLength("5", "hell\xc3\xb6"), "hell\xc3", false},
      {"after the last chunk", Chunked("5\r\nhello\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n"), "hello", false},
      {"after an empty document", WithLength("0", "x"), "", false},
      {"after a 204", "HTTP/1.1 204 No Content\r\n\r\nx", "", false},
      {"after a relocation's body", "HTTP/1.1 302 Found\r\nLocation: /moved\r\nContent-Length: 2\r\n\r\nabc",
       "next", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedPeer peer({Script().ExpectRequest().Send(k.response).Hold(),
                       Script().ExpectRequest().Send(HttpResponse(200, "next"))});
    PeerClient c;
    EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string(), 0));
    EXPECT_EQ(c.body.DataString(), k.body);
    // A kept connection would hang the next load: the script holds it silently.
    ASSERT_TRUE(peer.WaitForClientClose(0));
    if (!k.relocates) {
      c.body.Clear();
      EXPECT_EQ(c.Get(Url(peer, "/next")), std::make_pair(std::string(), 0));
      EXPECT_EQ(c.body.DataString(), "next");
    }
    EXPECT_EQ(peer.AcceptedCount(), 2u);
  }
}

// A request that offered the upgrade takes the 101 as its answer; the connection,
// no longer speaking HTTP, is not kept.
TEST(HttpFraming, ARequestedSwitchIsTheAnswer) {
  ScriptedPeer peer(
      {Script().ExpectRequest().Send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n").Hold()});
  PeerClient c;
  c.cli->OnBeforeHeaderSend = [](core::TComponent*, const std::string&, core::TStringList& headers) {
    headers.Add("Upgrade: x");
  };
  EXPECT_EQ(c.Get(Url(peer)), std::make_pair(std::string(), 0));
  EXPECT_EQ(c.cli->StatusCode(), 101);
  EXPECT_TRUE(peer.WaitForClientClose(0));
}

}  // namespace
}  // namespace http::testing
