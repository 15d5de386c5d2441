// The memory a response can make the client take: an announced length is reserved
// ahead only up to a cap, since the server chooses that number. A body that goes
// unchanged into a memory stream is received straight into the stream's room.
#include <gtest/gtest.h>

#include "http/tests/Encoders.h"
#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::Script;
using testsupport::ScriptedPeer;

TEST(HttpReceiveRoom, AnAnnouncedLengthIsReservedOnlyUpToTheCap) {
  ScriptedPeer peer({Script()
                         .ExpectRequest()
                         .Send("HTTP/1.0 200 OK\r\nContent-Length: 1000000000000\r\n\r\nhello")
                         .Close()});
  auto cli = core::MakeComponent<THttpCli>(nullptr);
  WindowSettings(*cli);
  HttpEvents ev;
  ev.Attach(*cli);
  core::TMemoryStream body;
  cli->SetRcvdStream(&body);
  cli->SetURL("http://127.0.0.1:" + std::to_string(peer.Port()) + "/");
  cli->GetAsync();
  ASSERT_TRUE(PumpUntil([&] { return ev.requestDone > 0; }, testsupport::Millis(10000)));
  EXPECT_EQ(body.DataString(), "hello");
  EXPECT_GE(body.Capacity(), THttpCli::kMaxReserveAhead);
  EXPECT_LE(body.Capacity(), THttpCli::kMaxReserveAhead * 2);
  cli->SetRcvdStream(nullptr);
}

// Notes whether each receive was made into the memory of the stream the body
// goes to or into the client's own buffer.
class TRoomCli : public TFeedCli {
 public:
  using TFeedCli::TFeedCli;
  core::TMemoryStream* stream = nullptr;
  int intoStream = 0, intoBuffer = 0;

 protected:
  int ReceiveData(void* Buffer, int BufferSize) override {
    const char* p = static_cast<const char*>(Buffer);
    const char* block = stream->Memory();
    (block != nullptr && p >= block && p < block + stream->Capacity() ? intoStream : intoBuffer)++;
    return TFeedCli::ReceiveData(Buffer, BufferSize);
  }
};

// Only a body that reaches the stream byte for byte is received into it; the
// stream and the data events see the same bytes either way, and nothing of what
// follows a document of announced length.
TEST(HttpReceiveRoom, AnUnchangedBodyIsReceivedIntoTheStream) {
  std::string page(300000, 'x');
  uint32_t seed = 99;
  for (char& c : page) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
  const std::string length = "Content-Length: " + std::to_string(page.size()) + "\r\n";
  std::string chunked;
  for (size_t at = 0; at < page.size(); at += 70000) {
    const std::string data = page.substr(at, 70000);
    chunked += core::IntToHex(data.size(), 1) + "\r\n" + data + "\r\n";
  }
  chunked += "0\r\n\r\n";
  struct Case {
    std::string name, fields, body;
    bool inPlace;
  };
  for (const Case& c : {Case{"length", length, page, true},
                        Case{"length, bytes beyond", length, page + "HTTP/1.1 200 OK\r\n", true},
                        Case{"until the close", "Connection: close\r\n", page, true},
                        Case{"chunked", "Transfer-Encoding: chunked\r\n", chunked, false},
                        Case{"gzip", "Content-Encoding: gzip\r\n", Gzip(page), false}}) {
    for (size_t piece : {size_t{1000}, size_t{100000}}) {
      SCOPED_TRACE(c.name + ", receives of " + std::to_string(piece));
      auto cli = core::MakeComponent<TRoomCli>(nullptr);
      core::TMemoryStream body;
      std::string events;
      cli->stream = &body;
      cli->SetRequestVer("1.1");
      cli->SetOptions(httpoEnableContentCoding);
      cli->SetRcvdStream(&body);
      cli->OnDocData = [&](core::TComponent*, const void* b, int n) {
        events.append(static_cast<const char*>(b), static_cast<size_t>(n));
      };
      cli->Begin(httpGET);
      cli->Feed("HTTP/1.1 200 OK\r\n" + c.fields + "\r\n" + c.body, piece);
      if (cli->State() != httpReady) cli->PeerCloses();
      EXPECT_EQ(cli->StatusCode(), 200);
      EXPECT_TRUE(body.DataString() == page);
      EXPECT_TRUE(events == page);
      EXPECT_EQ(cli->intoStream > 0, c.inPlace) << cli->intoStream << " receives into the stream";
    }
  }
}

}  // namespace
}  // namespace http::testing
