// Line mode against a peer socket of our own, so each test decides exactly how the
// bytes are split: every case runs with the data whole, one byte at a time and cut
// in two at every position.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "net/tests/WSocketTestSupport.h"

namespace net::testing {
namespace {

using Fragments = std::vector<std::string>;

// Whole, byte by byte, and in two parts at every position.
std::vector<Fragments> Splits(const std::string& data) {
  std::vector<Fragments> all{{data}, {}};
  for (char ch : data) all[1].push_back(std::string(1, ch));
  for (size_t cut = 1; cut < data.size(); ++cut) all.push_back({data.substr(0, cut), data.substr(cut)});
  return all;
}

std::string Show(const Fragments& f) {
  std::string t;
  for (const auto& s : f) t += "[" + s + "]";
  return t;
}

// Counts the bytes that reach editing, which may shrink what is held.
class TEditProbe : public TWSocket {
 public:
  using TWSocket::TWSocket;
  int64_t edited = 0;
  void EditLine(int& Len) override {
    edited += Len;
    TWSocket::EditLine(Len);
  }
};

// The line socket (client) and the peer that feeds it (adopted from our listener).
struct LinePair {
  core::ComponentPtr<TWSocket> server = core::MakeComponent<TWSocket>(nullptr);
  core::ComponentPtr<TWSocket> peer = core::MakeComponent<TWSocket>(nullptr);
  core::ComponentPtr<TEditProbe> line = core::MakeComponent<TEditProbe>(nullptr);
  std::vector<std::string> reads;  // every read the handler made, in order
  std::vector<std::string> events;
  std::string echoed;  // what the peer got back
  int64_t fed = 0, readBytes = 0, dropped = 0;
  size_t readSize = 1 << 16;  // the handler's read buffer

  LinePair() {
    server->SetAddr("127.0.0.1");
    server->SetPort("0");
    server->OnSessionAvailable = [this](core::TComponent*, uint16_t) { peer->Dup(server->Accept()); };
    server->Listen();
    peer->OnDataAvailable = [this](core::TComponent*, uint16_t) { echoed += peer->ReceiveStr(); };
    line->SetAddr("127.0.0.1");
    line->SetPort(server->GetBoundPort());
    line->SetLineMode(true);
    line->OnDataAvailable = [this](core::TComponent*, uint16_t) { Read(); };
    line->OnSessionClosed = [this](core::TComponent*, uint16_t e) {
      events.push_back("closed " + std::to_string(e));
    };
    line->Connect();
    EXPECT_TRUE(PumpUntil([&] { return line->State() == wsConnected && peer->State() == wsConnected; }));
  }
  // One read of at most readSize bytes, recorded.
  std::string Read() {
    std::string buf(readSize, '\0');
    const int n = line->Receive(buf.data(), static_cast<int>(buf.size()));
    buf.resize(static_cast<size_t>(std::max(n, 0)));
    if (!buf.empty()) {
      reads.push_back(buf);
      events.push_back("data " + buf);
      readBytes += n;
    }
    return buf;
  }
  // Sends each fragment and waits until the line socket has taken it in.
  void Feed(const Fragments& fragments) {
    for (const auto& f : fragments) {
      fed += static_cast<int64_t>(f.size());
      peer->SendStr(f);
      ASSERT_TRUE(PumpUntil([&] { return Arrived() >= fed; })) << Show(fragments);
    }
  }
  int64_t Arrived() const {
    return line->LineEdit() ? line->edited : readBytes + line->LineBufferCount() + dropped;
  }
  std::string AllRead() const { return std::accumulate(reads.begin(), reads.end(), std::string()); }
};

TEST(LineMode, DeliversOneLinePerEventWhateverTheSplit) {
  struct Case {
    std::string end, data;
    size_t readSize;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"\r\n", "ab\r\ncd\r\n", 1 << 16, {"ab\r\n", "cd\r\n"}},                  // two lines in one packet
      {"\r\n", "one\r\n\r\ntwo\r\n", 1 << 16, {"one\r\n", "\r\n", "two\r\n"}},  // an empty line
      {"\r\n", "abcdefg\r\nxy\r\n", 3, {"abc", "def", "g\r\n", "xy\r", "\n"}},  // reads smaller than lines
      {"\n", "a\rb\nc\n", 1 << 16, {"a\rb\n", "c\n"}},
      {"END", "aENEND.END", 1 << 16, {"aENEND", ".END"}},  // a partial end before the real one
  };
  for (const Case& c : cases) {
    for (const Fragments& f : Splits(c.data)) {
      LinePair p;
      p.line->SetLineEnd(c.end);
      p.readSize = c.readSize;
      p.Feed(f);
      EXPECT_EQ(p.reads, c.lines) << Show(f);
      EXPECT_EQ(p.line->LineBufferCount(), 0) << Show(f);
    }
  }
}

TEST(LineMode, LineLimitDiscardsUnlessTheHandlerKeepsTheBytes) {
  for (const bool keep : {false, true}) {
    for (const Fragments& f : Splits("0123456789A")) {
      LinePair p;
      p.line->SetLineLimit(10);
      std::vector<int> reported;
      p.line->OnLineLimitExceeded = [&](core::TComponent*, int length, bool& clear) {
        reported.push_back(length);
        if (keep)
          clear = false;
        else
          p.dropped += length;
      };
      p.Feed(f);
      ASSERT_FALSE(reported.empty()) << Show(f);
      EXPECT_EQ(reported.front(), 11) << Show(f);
      EXPECT_EQ(p.line->LineBufferCount(), keep ? 11 : 0) << Show(f);
      p.Feed({"Z\r\n"});
      EXPECT_EQ(p.reads, std::vector<std::string>{keep ? "0123456789AZ\r\n" : "Z\r\n"}) << Show(f);
    }
  }
}

TEST(LineMode, HeldBytesAreTheLastLineAtClose) {
  for (const Fragments& f : Splits("ab\r\ntail")) {
    LinePair p;
    p.Feed(f);
    p.peer->Close();
    ASSERT_TRUE(PumpUntil([&] { return p.line->State() == wsClosed; })) << Show(f);
    EXPECT_EQ(p.events, (std::vector<std::string>{"data ab\r\n", "data tail", "closed 0"})) << Show(f);
  }
}

TEST(LineMode, CloseFromTheHandlerStillDeliversWhatIsHeld) {
  LinePair p;
  p.line->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    if (p.Read() == "a\r\n") p.line->Close();
  };
  p.Feed({"a\r\nb\r\nc"});
  EXPECT_EQ(p.events, (std::vector<std::string>{"data a\r\n", "data b\r\n", "data c", "closed 0"}));
  EXPECT_EQ(p.line->State(), wsClosed);
}

// The handler reads part of the first line, switches the mode (and back, in the
// second script); every byte must come out once, in order.
TEST(LineMode, SwitchingTheModeWithBytesHeldLosesAndRepeatsNothing) {
  const std::string data = "abcdef\r\nline two\r\nplain rest\r\n";
  for (const bool backOn : {false, true}) {
    for (const Fragments& f : Splits(data)) {
      LinePair p;
      int calls = 0;
      p.line->OnDataAvailable = [&](core::TComponent*, uint16_t) {
        ++calls;
        if (calls == 1) {
          p.readSize = 3;
          p.Read();
          p.line->SetLineMode(false);
          p.readSize = 2;
          return;
        }
        p.Read();
        if (backOn && calls == 3) p.line->SetLineMode(true);
      };
      p.Feed(f);
      PumpPending();
      EXPECT_EQ(p.AllRead(), data) << Show(f);
      EXPECT_EQ(p.line->LineBufferCount(), 0) << Show(f);
    }
  }
}

// Outside any event: the held partial line comes out as plain data once the posted
// line-data message is handled, with nothing more from the network.
TEST(LineMode, SwitchingOffLaterHandsOutTheHeldBytes) {
  LinePair p;
  p.Feed({"x\r\nabc"});
  EXPECT_EQ(p.line->LineBufferCount(), 3);
  p.line->SetLineMode(false);
  EXPECT_EQ(p.reads, std::vector<std::string>{"x\r\n"});
  char first = 0;  // a look at the held bytes takes nothing
  EXPECT_EQ(p.line->RecvRaw(&first, 1, MSG_PEEK), 1);
  EXPECT_EQ(first, 'a');
  EXPECT_EQ(p.line->LineBufferCount(), 3);
  ASSERT_TRUE(PumpUntil([&] { return p.AllRead() == "x\r\nabc"; })) << p.AllRead();
  EXPECT_EQ(p.line->LineBufferCount(), 0);
}

// A read notification answered from held bytes alone made no system receive; the
// bytes the peer sent since must still arrive.
TEST(LineMode, ModeOffWithBytesHeldStillHearsTheNetwork) {
  LinePair p;
  p.Feed({"abc"});
  PumpPending();
  // Straight to the system: the peer component would queue a notification of its own.
  ASSERT_EQ(winapi::send(p.peer->HSocket(), "defgh", 5, 0), 5);
  ASSERT_TRUE(WaitUntilQueued());  // the read notification, ahead of the line-data message
  p.line->SetLineMode(false);
  EXPECT_TRUE(PumpUntil([&] { return p.AllRead() == "abcdefgh"; })) << p.AllRead();
}

// While a line is pending, the count and ReceiveStr give exactly that line.
TEST(LineMode, PendingLineCountAndReceiveStr) {
  LinePair p;
  std::vector<int> counts;
  p.line->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    counts.push_back(p.line->RcvdCount());
    p.reads.push_back(p.line->ReceiveStr());
    p.readBytes += static_cast<int64_t>(p.reads.back().size());
  };
  p.Feed({"ab\r\nlonger\r\ntail"});
  EXPECT_EQ(counts, (std::vector<int>{4, 8}));
  EXPECT_EQ(p.reads, (std::vector<std::string>{"ab\r\n", "longer\r\n"}));
}

// LineLimit 0 or less keeps any partial line; an empty LineEnd cuts nothing.
TEST(LineMode, NoLimitAndNoCutting) {
  const std::string data(100, 'x');
  for (const int limit : {0, -1}) {
    LinePair p;
    p.line->SetLineLimit(limit);
    bool exceeded = false;
    p.line->OnLineLimitExceeded = [&](core::TComponent*, int, bool&) { exceeded = true; };
    p.Feed({data});
    EXPECT_FALSE(exceeded) << limit;
    EXPECT_EQ(p.line->LineBufferCount(), 100) << limit;
  }
  LinePair p;
  p.line->SetLineEnd("");
  p.Feed({"ab\r\ncd"});
  EXPECT_EQ(p.AllRead(), "ab\r\ncd");
  EXPECT_EQ(p.line->LineBufferCount(), 0);
}

// Closing from OnLineLimitExceeded with ClearData left true: the discarded bytes
// are not delivered as a last line.
TEST(LineMode, CloseFromTheLineLimitEvent) {
  LinePair p;
  p.line->SetLineLimit(4);
  p.line->OnLineLimitExceeded = [&](core::TComponent*, int length, bool&) {
    p.dropped += length;
    p.line->Close();
  };
  p.Feed({"0123456789"});
  EXPECT_EQ(p.events, std::vector<std::string>{"closed 0"});
  EXPECT_EQ(p.line->State(), wsClosed);
  EXPECT_EQ(p.line->LineBufferCount(), 0);
}

// A line socket adopting a new connection starts without the old one's bytes.
TEST(LineMode, DupStartsWithoutTheHeldBytes) {
  LinePair p;
  p.Feed({"from A, partial"});
  auto other = core::MakeComponent<TWSocket>(nullptr);
  p.server->OnSessionAvailable = [&](core::TComponent*, uint16_t) { p.line->Dup(p.server->Accept()); };
  other->SetAddr("127.0.0.1");
  other->SetPort(p.server->GetBoundPort());
  other->OnSessionConnected = [&](core::TComponent*, uint16_t) { other->SendStr("from B\r\n"); };
  other->Connect();
  ASSERT_TRUE(PumpUntil([&] { return !p.reads.empty(); }));
  EXPECT_EQ(p.reads, std::vector<std::string>{"from B\r\n"});
  EXPECT_EQ(p.line->ReadCount(), 8);
}

TEST(LineMode, PlainHeldBytesWithoutAHandlerAreDropped) {
  LinePair p;
  p.line->OnDataAvailable = [&](core::TComponent*, uint16_t) {
    p.Read();
    p.line->OnDataAvailable = nullptr;
    p.line->SetLineMode(false);
  };
  p.readSize = 2;
  p.Feed({"ab"});  // held, no line end yet
  p.peer->SendStr("\r\nmore");
  ASSERT_TRUE(PumpUntil([&] { return !p.line->OnDataAvailable; }));
  PumpPending();
  EXPECT_EQ(p.AllRead(), "ab");
  EXPECT_EQ(p.line->LineBufferCount(), 0);
}

TEST(LineMode, EditingAndEcho) {
  struct Case {
    bool edit, echo;
    std::string in;
    std::vector<std::string> lines;
    std::string echoed;
  };
  const Case cases[] = {
      {true, false, "ab\bc\r\n", {"ac\r\n"}, ""},
      {true, false, "ab\tX\r\n", {"ab      X\r\n"}, ""},  // tab at column 2: six blanks
      {true, false, "\tX\r\n", {"        X\r\n"}, ""},    // at column 0: eight
      {true, true, "\bab\r\n", {"ab\r\n"}, "ab\r\n"},     // nothing to erase: nothing echoed
      {true, true, "ab\bc\r\n", {"ac\r\n"}, "ab\b \bc\r\n"},
      {true, true, "a\t\r\n", {"a       \r\n"}, "a       \r\n"},
      // A line that ended is out of a backspace's reach, and the next one's tab
      // stops count from its own start, however the bytes were cut.
      {true, true, "ab\r\n\bc\r\n", {"ab\r\n", "c\r\n"}, "ab\r\nc\r\n"},
      {true, false, "ab\r\n\tX\r\n", {"ab\r\n", "        X\r\n"}, ""},
      {false, true, "x\by\tz\r\n", {"x\by\tz\r\n"}, "x\by\tz\r\n"},  // echo alone: unchanged
  };
  for (const Case& c : cases) {
    for (const Fragments& f : Splits(c.in)) {
      LinePair p;
      p.line->SetLineEdit(c.edit);
      p.line->SetLineEcho(c.echo);
      p.Feed(f);
      EXPECT_EQ(p.reads, c.lines) << Show(f);
      if (c.echo) {
        EXPECT_TRUE(PumpUntil([&] { return p.echoed == c.echoed; })) << Show(f) << " got " << p.echoed;
      }
    }
  }
}

TEST(LineMode, SendLine) {
  LinePair p;
  EXPECT_EQ(p.line->SendLine(""), 0);
  EXPECT_EQ(p.line->SendLine("hello"), 7);
  p.line->SetLineEnd("\n");
  EXPECT_EQ(p.line->SendLine("x"), 3);  // the default end's length, whatever LineEnd holds
  p.line->SetLineEnd("");
  EXPECT_EQ(p.line->SendLine("y"), 3);
  EXPECT_TRUE(PumpUntil([&] { return p.echoed == "hello\r\nx\ny"; })) << p.echoed;
}

}  // namespace
}  // namespace net::testing
