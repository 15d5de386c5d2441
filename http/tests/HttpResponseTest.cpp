// The response parser fed from the test: status lines, fields, keep-alive,
// interim answers, bodies by length, by chunks and by the close. Every case runs
// with the response whole, one byte per receive and in 7-byte receives, and must
// give the same outcome.
#include <gtest/gtest.h>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/EverySplit.h"

namespace http::testing {
namespace {

struct Outcome {
  std::string events;
  int status = 0;
  std::string reason;
  std::string body;
  int64_t rcvdCount = 0;
  int64_t contentLength = 0;
  bool closeReq = false;
  std::vector<std::string> header;
  std::vector<std::string> pushed;
  std::string state;
  uint16_t err = 0;
  bool truncated = false;
  std::string unconsumed;
};

struct Case {
  std::string response;
  THttpRequest rq = httpGET;
  std::string requestVer = "1.1";
  bool peerCloses = false;  // the server closes after the response
  uint16_t closeErr = 0;
};

Outcome RunCase(const Case& c, size_t chunk, HttpEvents* keep = nullptr) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  core::TMemoryStream body;
  HttpEvents ev;
  ev.Attach(*cli);
  cli->SetRequestVer(c.requestVer);
  cli->SetRcvdStream(&body);
  cli->Begin(c.rq);
  cli->Feed(c.response, chunk);
  if (c.peerCloses) cli->PeerCloses(c.closeErr);
  core::Application().ProcessMessages();
  Outcome o;
  o.events = ev.Text();
  o.status = cli->StatusCode();
  o.reason = cli->ReasonPhrase();
  o.body = body.DataString();
  o.rcvdCount = cli->RcvdCount();
  o.contentLength = cli->ContentLength();
  o.closeReq = cli->CloseReq();
  o.header = cli->RcvdHeader().Items();
  o.pushed = ev.pushed;
  o.state = HttpStateName(cli->State());
  o.err = ev.lastErr;
  o.truncated = cli->DocumentTruncated();
  o.unconsumed = cli->Unconsumed();
  if (keep) *keep = ev;
  return o;
}

// Runs the case whole, byte by byte and in 7-byte pieces; the three must agree.
Outcome RunAllWays(const Case& c) {
  const Outcome whole = RunCase(c, SIZE_MAX);
  for (size_t chunk : {size_t{1}, size_t{7}}) {
    const Outcome split = RunCase(c, chunk);
    EXPECT_EQ(split.events, whole.events) << "chunk " << chunk;
    EXPECT_EQ(split.status, whole.status) << "chunk " << chunk;
    EXPECT_EQ(split.reason, whole.reason) << "chunk " << chunk;
    EXPECT_EQ(split.body, whole.body) << "chunk " << chunk;
    EXPECT_EQ(split.rcvdCount, whole.rcvdCount) << "chunk " << chunk;
    EXPECT_EQ(split.closeReq, whole.closeReq) << "chunk " << chunk;
    EXPECT_EQ(split.header, whole.header) << "chunk " << chunk;
    EXPECT_EQ(split.truncated, whole.truncated) << "chunk " << chunk;
  }
  return whole;
}

TEST(HttpResponseStatus, CodeAndReasonPhrase) {
  Outcome o = RunAllWays({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
  EXPECT_EQ(o.status, 200);
  EXPECT_EQ(o.reason, "OK");
  EXPECT_EQ(o.state, "httpReady");
  EXPECT_EQ(o.events, "HeaderBegin; HeaderData; HeaderData; HeaderEnd; RequestDone 0; ");

  o = RunAllWays({"HTTP/1.1 204\r\n\r\n"});
  EXPECT_EQ(o.status, 204);
  EXPECT_EQ(o.reason, "");

  o = RunAllWays({"HTTP/1.0 404 Not Found\nContent-Length: 0\n\n", httpGET, "1.0", true});
  EXPECT_EQ(o.status, 404);
  EXPECT_EQ(o.reason, "Not Found");
  EXPECT_EQ(o.err, 0);
}

TEST(HttpResponseStatus, KeepAliveDecision) {
  // A 1.0 request kept open by the server's keep-alive.
  EXPECT_FALSE(
      RunAllWays({"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\nx", httpGET, "1.0"})
          .closeReq);
  EXPECT_TRUE(RunAllWays({"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", httpGET, "1.0"}).closeReq);
  // A 1.1 request answered by a 1.0 server is closed.
  EXPECT_TRUE(RunAllWays({"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx", httpGET, "1.1"}).closeReq);
  EXPECT_FALSE(RunAllWays({"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", httpGET, "1.1"}).closeReq);
  EXPECT_TRUE(RunAllWays({"HTTP/1.1 200 OK\r\nConnection: Close \r\nContent-Length: 1\r\n\r\nx"}).closeReq);
  EXPECT_FALSE(RunAllWays({"HTTP/1.1 200 OK\r\nProxy-Connection: close\r\nConnection: "
                           "keep-alive\r\nContent-Length: 1\r\n\r\nx"})
                   .closeReq);
}

TEST(HttpResponseStatus, InterimAnswersAreSkipped) {
  for (const char* interim :
       {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n"}) {
    const Outcome o = RunAllWays({std::string(interim) + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
    EXPECT_EQ(o.status, 200);
    EXPECT_EQ(o.body, "ok");
    EXPECT_EQ(o.header, (std::vector<std::string>{"HTTP/1.1 200 OK", "Content-Length: 2"}));
    HttpEvents ev;
    RunCase({std::string(interim) + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, SIZE_MAX, &ev);
    EXPECT_EQ(ev.Count("HeaderBegin"), 1u);
    EXPECT_EQ(ev.Count("HeaderEnd"), 1u);
  }
}

TEST(HttpResponseStatus, FirstLineThatIsNotAStatusLine) {
  HttpEvents ev;
  Outcome o = RunCase({"FOO/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"}, SIZE_MAX, &ev);
  EXPECT_EQ(ev.dataPush2, 1);
  EXPECT_EQ(o.status, 404);  // no status: it cannot pass as a success
  EXPECT_EQ(o.reason, "Connection closed without response");
  EXPECT_NE(o.err, 0);
}

TEST(HttpResponseStatus, StatusCodeThatIsNotANumber) {
  const Outcome o = RunAllWays({"HTTP/1.1 2x0 OK\r\nContent-Length: 0\r\n\r\n"});
  EXPECT_EQ(o.status, 404);
  EXPECT_EQ(o.reason, "Connection closed without response");
  EXPECT_EQ(o.err, 10053);
}

TEST(HttpResponseFields, NamesAreNotTrimmedAndRangesAreRead) {
  Outcome o = RunAllWays({"HTTP/1.1 200 OK\r\nContent-Length : 5\r\n\r\nhello", httpGET, "1.1", true});
  EXPECT_EQ(o.contentLength, -1);  // read until the close
  EXPECT_EQ(o.body, "hello");

  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  cli->Begin(httpGET);
  cli->Feed(
      "HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-499/1234\r\nAccept-Ranges: bytes\r\n"
      "Content-Type: Text/HTML\r\nContent-Encoding: Identity\r\nTransfer-Encoding: Chunked\r\n"
      "Set-Cookie: a=b\r\n\r\n0\r\n\r\n");
  EXPECT_EQ(cli->ContentRangeBegin(), "0");
  EXPECT_EQ(cli->ContentRangeEnd(), "499");
  EXPECT_EQ(cli->AcceptRanges(), "bytes");
  EXPECT_EQ(cli->ContentType(), "text/html");
  EXPECT_EQ(cli->ContentEncoding(), "Identity");
  EXPECT_EQ(cli->TransferEncoding(), "chunked");
}

TEST(HttpResponseFields, ContentLengthIsStrictAnd64Bit) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  cli->SetRequestVer("1.1");
  cli->Begin(httpGET);
  cli->Feed("HTTP/1.1 200 OK\r\nContent-Length:  5000000000 \r\n\r\nabc");
  EXPECT_EQ(cli->ContentLength(), 5000000000);
  EXPECT_FALSE(cli->CloseReq());
  EXPECT_EQ(cli->RcvdCount(), 3);
  for (const char* bad : {"12abc", "+5", "-1", "99999999999999999999", ""}) {
    cli->PeerCloses();
    cli->Begin(httpGET);
    cli->Feed(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + bad + "\r\n\r\n");
    EXPECT_EQ(cli->ContentLength(), -1) << bad;
    EXPECT_TRUE(cli->CloseReq()) << bad;  // framing unknown: the connection is not reused
  }
  // Not even when the server asks to keep it, before or after the length: the bytes
  // of an unframed body would prefix the next response.
  for (const char* fields : {"Content-Length: 12abc\r\nConnection: keep-alive\r\n",
                             "Connection: keep-alive\r\nContent-Length: 12abc\r\n"}) {
    cli->PeerCloses();
    cli->Begin(httpGET);
    cli->Feed(std::string("HTTP/1.1 302 Found\r\n") + fields + "\r\nbody after");
    EXPECT_TRUE(cli->CloseReq()) << fields;
  }
  // An interim answer's bad length does not outlive it.
  cli->PeerCloses();
  cli->Begin(httpGET);
  cli->Feed("HTTP/1.1 100 Continue\r\nContent-Length: x\r\n\r\nHTTP/1.1 304 Not Modified\r\n\r\n");
  EXPECT_FALSE(cli->CloseReq());
}

// A handler that processes messages may receive the rest of the response inside
// its own event: the lines already taken must not be read a second time.
TEST(HttpResponseFields, MoreDataArrivesInsideAFieldEvent) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  core::TMemoryStream body;
  cli->SetRcvdStream(&body);
  cli->SetRequestVer("1.1");
  int lines = 0;
  cli->OnHeaderData = [&](core::TComponent*) {
    if (++lines == 2) cli->Feed("Content-Length: 2\r\n\r\nok");
  };
  cli->Begin(httpGET);
  cli->Feed("HTTP/1.1 200 OK\r\nX-A: 1\r\nX-B: 2\r\n");
  core::Application().ProcessMessages();
  EXPECT_EQ(cli->RcvdHeader().Items(),
            (std::vector<std::string>{"HTTP/1.1 200 OK", "X-A: 1", "X-B: 2", "Content-Length: 2"}));
  EXPECT_EQ(body.DataString(), "ok");
  EXPECT_EQ(cli->State(), httpReady);
  EXPECT_EQ(cli->Unconsumed(), "");
}

TEST(HttpResponseFields, ReceivedRangeCarriesNoLineBreaks) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  cli->Begin(httpGET);
  cli->Feed(
      std::string("HTTP/1.1 206 P\r\nContent-Range: bytes 1\r0\0-2\r/9\r\nContent-Length: 0\r\n\r\n", 69));
  EXPECT_EQ(cli->ContentRangeBegin(), "10");
  EXPECT_EQ(cli->ContentRangeEnd(), "2");
}

TEST(HttpResponseFields, CookiesAreReported) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  std::vector<std::string> cookies;
  cli->OnCookie = [&](core::TComponent*, const std::string& data, bool& accept) {
    EXPECT_TRUE(accept);
    cookies.push_back(data);
  };
  cli->Begin(httpGET);
  cli->Feed("HTTP/1.1 200 OK\r\nSet-Cookie:   a=b; path=/\r\nSet-Cookie: c=d\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(cookies, (std::vector<std::string>{"a=b; path=/", "c=d"}));
}

TEST(HttpResponseBody, NoBodyFor304AndHead) {
  Outcome o = RunAllWays({"HTTP/1.1 304 Not Modified\r\n\r\n"});
  EXPECT_EQ(o.events, "HeaderBegin; HeaderData; HeaderEnd; RequestDone 0; ");
  // Whatever they announce.
  o = RunAllWays({"HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n"});
  EXPECT_EQ(o.state, "httpReady");
  EXPECT_EQ(o.events.find("DocBegin"), std::string::npos);
  o = RunAllWays({"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", httpHEAD});
  EXPECT_EQ(o.state, "httpReady");
  EXPECT_EQ(o.events.find("DocBegin"), std::string::npos);
  // A HEAD whose connection the server closes: ends with the close.
  o = RunAllWays({"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n", httpHEAD, "1.0", true});
  EXPECT_EQ(o.events, "HeaderBegin; HeaderData; HeaderData; HeaderEnd; SessionClosed; RequestDone 0; ");
  // A headerless answer, and what came with its first line.
  for (const char* page : {"<HTML>\no", "<!DOCTYPE html>\r\n<p>x</p>"}) {
    o = RunAllWays({page, httpHEAD, "1.1", true});
    EXPECT_EQ(o.body, "") << page;
    EXPECT_EQ(o.events, "HeaderBegin; HeaderEnd; SessionClosed; RequestDone 0; ") << page;
  }
}

TEST(HttpResponseBody, LengthDeliveredInTwoReceives) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  HttpEvents ev;
  ev.Attach(*cli);
  core::TMemoryStream body;
  cli->SetRcvdStream(&body);
  cli->Begin(httpGET);
  cli->Feed("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
  cli->Feed("abcd");
  cli->Feed("efghij");
  EXPECT_EQ(ev.docPieces, (std::vector<int>{4, 6}));
  EXPECT_EQ(ev.Count("DocBegin"), 1u);
  EXPECT_EQ(ev.Count("DocEnd"), 1u);
  EXPECT_EQ(cli->RcvdCount(), 10);
  EXPECT_EQ(body.DataString(), "abcdefghij");
  EXPECT_EQ(ev.requestDone, 1);
}

TEST(HttpResponseBody, BytesAfterTheDocumentStay) {
  HttpEvents ev;
  const Outcome o = RunCase({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789extra"}, SIZE_MAX, &ev);
  EXPECT_EQ(o.body, "0123456789");
  EXPECT_EQ(o.rcvdCount, 10);
  EXPECT_EQ(o.unconsumed, "extra");
  // Complete lines among them are pushed at once: nobody waits for them.
  const Outcome p =
      RunCase({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789one\r\ntwo"}, SIZE_MAX, &ev);
  EXPECT_EQ(ev.pushed, (std::vector<std::string>{"one"}));
  EXPECT_EQ(p.unconsumed, "two");
}

const char* const kChunked =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
    "4\r\nabcd\r\n5\r\nefghi\r\n0\r\n\r\n";

TEST(HttpResponseChunked, ExampleWholeAndByteByByte) {
  const Outcome o = RunAllWays({kChunked});
  EXPECT_EQ(o.body, "abcdefghi");
  EXPECT_EQ(o.rcvdCount, 9);
  EXPECT_EQ(o.state, "httpReady");
  EXPECT_EQ(o.unconsumed, "");
  EXPECT_EQ(o.events,
            "HeaderBegin; HeaderData; HeaderData; HeaderEnd; DocBegin; DocData; DocEnd; RequestDone 0; ");
}

// A body framed by chunks or by a length, and for the length bytes beyond it that
// arrive in a later receive: every split of the response gives the same document.
TEST(HttpResponseBody, SplitAtEveryPosition) {
  struct Split {
    std::string response;
    std::string document;
  };
  const Split splits[] = {{kChunked, "abcdefghi"},
                          {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789extra", "0123456789"}};
  for (const Split& sp : splits) {
    for (const testsupport::TSplit& split : testsupport::EverySplit(sp.response)) {
      auto cli = core::MakeComponent<TFeedCli>(nullptr);
      HttpEvents ev;
      ev.Attach(*cli);
      core::TMemoryStream body;
      cli->SetRcvdStream(&body);
      cli->Begin(httpGET);
      for (std::string_view piece : split.pieces) cli->Feed(piece);
      EXPECT_EQ(body.DataString(), sp.document) << split.name;
      EXPECT_EQ(ev.docBytes, static_cast<int64_t>(sp.document.size())) << split.name;
      EXPECT_EQ(cli->RcvdCount(), static_cast<int64_t>(sp.document.size())) << split.name;
      EXPECT_EQ(cli->State(), httpReady) << split.name;
      EXPECT_EQ(ev.requestDone, 1) << split.name;
    }
  }
}

TEST(HttpResponseChunked, ExtensionsCaseTrailersAndLength) {
  Outcome o =
      RunAllWays({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"
                  "A;name=value\r\n0123456789\r\nf\r\nabcdefghijklmno\r\nF\r\nABCDEFGHIJKLMNO\r\n0\r\nX-Sum: "
                  "1\r\nX-Two: 2\r\n\r\n"});
  EXPECT_EQ(o.body, "0123456789abcdefghijklmnoABCDEFGHIJKLMNO");  // the length is ignored
  EXPECT_EQ(o.state, "httpReady");
  EXPECT_EQ(o.unconsumed, "");
  EXPECT_TRUE(o.pushed.empty());
}

TEST(HttpResponseChunked, BytesAfterTheLastChunkStay) {
  const Outcome o = RunCase({std::string(kChunked) + "HTTP/1.1"}, SIZE_MAX);
  EXPECT_EQ(o.body, "abcdefghi");
  EXPECT_EQ(o.unconsumed, "HTTP/1.1");
}

TEST(HttpResponseChunked, BadSizesFailTheRequest) {
  for (const char* size : {"10000000000000000", "xyz", ""}) {
    const Outcome o = RunAllWays({std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") +
                                  size + "\r\nabc\r\n0\r\n\r\n"});
    EXPECT_EQ(o.status, 404) << size;
    EXPECT_EQ(o.reason, "Invalid chunked encoding") << size;
    EXPECT_EQ(o.state, "httpReady") << size;
  }
  // Up to 16 significant digits fit; leading zeros do not count.
  for (const char* size : {"0000100000000", "1000000000000000", "00001000000000000000", "7fffffffffffffff"}) {
    const Outcome big =
        RunAllWays({std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") + size + "\r\nabc",
                    httpGET, "1.1", true});
    EXPECT_EQ(big.status, 200) << size;
    EXPECT_EQ(big.body, "abc") << size;
    EXPECT_TRUE(big.truncated) << size;
  }
}

TEST(HttpResponseBody, CloseDelimited) {
  const Outcome o = RunAllWays({"HTTP/1.0 200 OK\r\n\r\nall of it", httpGET, "1.0", true});
  EXPECT_EQ(o.body, "all of it");
  EXPECT_FALSE(o.truncated);
  EXPECT_EQ(o.events,
            "HeaderBegin; HeaderData; HeaderEnd; DocBegin; DocData; DocEnd; SessionClosed; RequestDone 0; ");
}

TEST(HttpResponseBody, ConnectionLostDuringTheBody) {
  const Outcome o = RunAllWays({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", httpGET, "1.1", true});
  EXPECT_EQ(o.status, 200);
  EXPECT_TRUE(o.truncated);
  EXPECT_EQ(o.err, 10053);
  EXPECT_EQ(
      o.events,
      "HeaderBegin; HeaderData; HeaderData; HeaderEnd; DocBegin; DocData; DocEnd; SessionClosed; RequestDone "
      "10053; ");
  const Outcome reset = RunAllWays(
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", httpGET, "1.1", true, 10054});
  EXPECT_TRUE(reset.truncated);
  EXPECT_EQ(reset.err, 10054);
}

TEST(HttpResponseBody, CloseAfterATruncatedDocumentSucceeds) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  cli->SetRequestVer("1.1");
  cli->Begin(httpGET);
  cli->Feed("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
  cli->PeerCloses();
  ASSERT_TRUE(cli->DocumentTruncated());
  EXPECT_NO_THROW(cli->Close());
  EXPECT_EQ(cli->StatusCode(), 200);
  EXPECT_FALSE(cli->DocumentTruncated());
}

TEST(HttpResponseBody, ConnectionLostDuringTheHeader) {
  const Outcome o = RunAllWays({"HTTP/1.1 200 OK\r\nContent-Len", httpGET, "1.1", true});
  EXPECT_EQ(o.events, "HeaderBegin; HeaderData; HeaderEnd; SessionClosed; RequestDone 10053; ");
  EXPECT_TRUE(o.truncated);
}

TEST(HttpResponseBody, HeaderlessHtmlBecomesTheDocument) {
  const std::string page = "<HTML>\r\n<body>hi</body>\n</html>";
  const Outcome o = RunAllWays({page, httpGET, "1.0", true});
  EXPECT_EQ(o.body, page);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, 0);
  EXPECT_EQ(o.events, "HeaderBegin; HeaderEnd; DocBegin; DocData; DocEnd; SessionClosed; RequestDone 0; ");
  EXPECT_EQ(RunAllWays({"<!doctype html>\n<p>x", httpGET, "1.0", true}).body, "<!doctype html>\n<p>x");
}

TEST(HttpResponseBody, ContentCodingsPassThroughTheHandler) {
  for (const char* coding : {"identity", "x-unknown", "identity, identity"}) {
    auto cli = core::MakeComponent<TFeedCli>(nullptr);
    core::TMemoryStream body;
    cli->SetRcvdStream(&body);
    cli->SetOptions(httpoEnableContentCoding);
    cli->Begin(httpGET);
    cli->Feed(std::string("HTTP/1.1 200 OK\r\nContent-Encoding: ") + coding +
              "\r\nContent-Length: 5\r\n\r\nbytes");
    EXPECT_EQ(body.DataString(), "bytes") << coding;
    EXPECT_EQ(cli->RcvdCount(), 5);
    EXPECT_EQ(cli->ContentEncoding(), coding);
  }
}

TEST(HttpResponseBody, AbortFromADocumentEvent) {
  for (const std::string& response :
       {std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789"),
        std::string(
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n")}) {
    auto cli = core::MakeComponent<TFeedCli>(nullptr);
    HttpEvents ev;
    ev.Attach(*cli);
    cli->SetRequestVer("1.1");
    cli->OnDocData = [&](core::TComponent*, const void*, int) { cli->Abort(); };
    cli->Begin(httpGET);
    cli->Feed(response);
    core::Application().ProcessMessages();
    EXPECT_EQ(ev.requestDone, 1) << response;
    EXPECT_EQ(ev.lastErr, 3);
    EXPECT_EQ(cli->StatusCode(), 404);
    EXPECT_EQ(cli->State(), httpReady);
  }
}

TEST(HttpResponseHostile, NoResponseAtAll) {
  Outcome o = RunCase({"", httpGET, "1.1", true}, SIZE_MAX);
  EXPECT_EQ(o.status, 404);
  EXPECT_EQ(o.reason, "Connection closed without response");
  EXPECT_EQ(o.err, 10053);
  o = RunCase({"", httpGET, "1.1", true, 10054}, SIZE_MAX);
  EXPECT_EQ(o.status, 404);
  EXPECT_EQ(o.reason, "Connection reset by peer (Error #10054)");
  EXPECT_EQ(o.err, 10054);
}

TEST(HttpResponseHostile, LineWithoutEndKeepsMemoryBounded) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  HttpEvents ev;
  ev.Attach(*cli);
  cli->Begin(httpGET);
  const std::string block(4096, 'a');
  for (int i = 0; i < 100 && cli->State() != httpReady; ++i) cli->Feed(block);
  EXPECT_EQ(cli->State(), httpReady);
  EXPECT_EQ(cli->StatusCode(), 404);
  EXPECT_EQ(cli->ReasonPhrase(), "Response header too large");
  EXPECT_LE(cli->ReceiveCapacity(), size_t{THttpCli::kMaxHeaderLine + 2 * THttpCli::kReceiveRoom + 2});
  EXPECT_EQ(ev.requestDone, 1);
}

// A header line is measured without its line end, whether or not the end arrived
// in the same receive: 64 KiB of text passes and one byte more fails, wherever the
// response is cut (before, between and after the CR and the LF, or byte by byte).
TEST(HttpResponseHostile, LongestHeaderLineGetsOneVerdictInEverySplit) {
  constexpr auto kMax = static_cast<size_t>(THttpCli::kMaxHeaderLine);
  const std::string status = "HTTP/1.1 200 OK\r\n";
  for (size_t text : {kMax - 1, kMax, kMax + 1}) {
    for (const std::string end : {"\r\n", "\n"}) {
      const std::string response =
          status + "X-Long: " + std::string(text - 8, 'v') + end + "Content-Length: 2\r\n\r\nok";
      const size_t lineEnd = status.size() + text;
      std::vector<std::vector<size_t>> splits = {{}};
      for (size_t cut = lineEnd - 2; cut <= lineEnd + end.size() + 1; ++cut) splits.push_back({cut});
      splits.push_back({lineEnd, lineEnd + 1});
      for (size_t piece : {size_t{1}, size_t{4096}}) {
        std::vector<size_t> cuts;
        for (size_t c = piece; c < response.size(); c += piece) cuts.push_back(c);
        splits.push_back(cuts);
      }
      for (const auto& cuts : splits) {
        auto cli = core::MakeComponent<TFeedCli>(nullptr);
        core::TMemoryStream body;
        cli->SetRcvdStream(&body);
        cli->SetRequestVer("1.1");
        cli->Begin(httpGET);
        size_t from = 0;
        for (size_t cut : cuts) {
          cli->Feed(std::string_view(response).substr(from, cut - from));
          from = cut;
        }
        cli->Feed(std::string_view(response).substr(from));
        const std::string where = std::to_string(text) + " bytes, " + std::to_string(end.size()) +
                                  "-byte end, " + std::to_string(cuts.size()) + " cuts from " +
                                  (cuts.empty() ? std::string("-") : std::to_string(cuts[0]));
        if (text <= kMax) {
          EXPECT_EQ(cli->StatusCode(), 200) << where;
          EXPECT_EQ(body.DataString(), "ok") << where;
        } else {
          EXPECT_EQ(cli->StatusCode(), 404) << where;
          EXPECT_EQ(cli->ReasonPhrase(), "Response header too large") << where;
        }
      }
    }
  }
}

TEST(HttpResponseHostile, ManyHeaderLines) {
  std::string header = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 10000; ++i) header += "X-Line-" + std::to_string(i) + ": v\r\n";
  Outcome o = RunCase({header + "Content-Length: 2\r\n\r\nok"}, SIZE_MAX);
  EXPECT_EQ(o.status, 200);
  EXPECT_EQ(o.body, "ok");
  EXPECT_EQ(o.header.size(), 10002u);
  // More than a megabyte of header fails.
  std::string huge = "HTTP/1.1 200 OK\r\n";
  const std::string line = "X-Big: " + std::string(1000, 'b') + "\r\n";
  while (huge.size() < (1u << 20) + 4096) huge += line;
  o = RunCase({huge + "Content-Length: 2\r\n\r\nok"}, 65536);
  EXPECT_EQ(o.status, 404);
  EXPECT_EQ(o.reason, "Response header too large");
}

TEST(HttpResponseKeptConnection, SecondResponseAfter304WithLength) {
  auto cli = core::MakeComponent<TFeedCli>(nullptr);
  core::TMemoryStream body;
  cli->SetRcvdStream(&body);
  cli->SetRequestVer("1.1");
  cli->Begin(httpGET);
  cli->Feed("HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\n");
  ASSERT_EQ(cli->State(), httpReady);
  EXPECT_FALSE(cli->CloseReq());
  cli->Begin(httpGET);
  cli->Feed("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew");
  EXPECT_EQ(cli->StatusCode(), 200);
  EXPECT_EQ(body.DataString(), "new");
}

}  // namespace
}  // namespace http::testing
