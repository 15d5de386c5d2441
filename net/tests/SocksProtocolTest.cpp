// The SOCKS reply parser fed whole, one byte per receive and split at every
// position (the requests are checked byte for byte by the socket tests).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/SocksProtocol.h"

namespace net::socks {
namespace {

using namespace std::string_literals;

struct Judged {
  TSocksOutcome outcome = TSocksOutcome::kWait;
  int code = 0;
  std::string text;
  int replyLength = 0;
  std::string after;  // bytes left in the buffer behind the reply
  size_t unread = 0;  // bytes the parser did not take (they stay in the network)
};

// Feeds the reply in pieces cut at the given positions, stopping at the first
// verdict as the socket does.
Judged FeedSplit(TSocksReplyKind kind, const std::string& reply, const std::vector<size_t>& cuts) {
  TSocksReplyParser p;
  p.Expect(kind);
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(reply.size());
  for (size_t end : ends) {
    while (from < end) {
      int used = 0;
      const TSocksVerdict v = p.Feed(reply.data() + from, static_cast<int>(end - from), used);
      from += static_cast<size_t>(used);
      if (v.outcome != TSocksOutcome::kWait) {
        std::string after;
        if (v.outcome == TSocksOutcome::kGranted && p.Count() > v.replyLength)
          after.assign(reinterpret_cast<const char*>(p.Data()) + v.replyLength,
                       static_cast<size_t>(p.Count() - v.replyLength));
        return {v.outcome, v.error.code, v.error.text, v.replyLength, after, reply.size() - from};
      }
      if (used == 0) break;
    }
  }
  return {TSocksOutcome::kWait, 0, {}, 0, {}, reply.size() - from};
}

// Whole, one byte at a time, and cut once at every position: all must agree with
// the whole feed, except that a reply read at once may carry the bytes after it.
void ExpectSameInEverySplit(TSocksReplyKind kind, const std::string& reply, const Judged& expected) {
  std::vector<std::vector<size_t>> splits{{}};
  std::vector<size_t> bytes;
  for (size_t i = 1; i < reply.size(); ++i) {
    bytes.push_back(i);
    splits.push_back({i});
  }
  splits.push_back(bytes);
  for (const auto& cuts : splits) {
    const Judged got = FeedSplit(kind, reply, cuts);
    const std::string where =
        "cuts " + std::to_string(cuts.size()) + (cuts.empty() ? "" : " first " + std::to_string(cuts[0]));
    EXPECT_EQ(got.outcome, expected.outcome) << where;
    EXPECT_EQ(got.code, expected.code) << where;
    EXPECT_EQ(got.text, expected.text) << where;
    EXPECT_EQ(got.replyLength, expected.replyLength) << where;
    EXPECT_EQ(got.after + reply.substr(reply.size() - got.unread), expected.after) << where;
  }
}

Judged Expected(TSocksOutcome outcome, int code = 0, std::string text = {}, int replyLength = 0,
                std::string after = {}) {
  return {outcome, code, std::move(text), replyLength, std::move(after), 0};
}

std::string Socks5Reply(uint8_t code, uint8_t type, const std::string& address) {
  return "\x05"s + static_cast<char>(code) + '\0' + static_cast<char>(type) + address + "\x1f\x90"s;
}

TEST(SocksReplies, SuccessesInEverySplit) {
  using K = TSocksReplyKind;
  using O = TSocksOutcome;
  const std::string name255(255, 'b');
  struct Case {
    const char* what;
    K kind;
    std::string reply;
    Judged expected;
  };
  const Case cases[] = {
      {"method none", K::kMethods, "\x05\x00"s, Expected(O::kNoAuth)},
      {"method user", K::kMethods, "\x05\x02"s, Expected(O::kUserAuth)},
      {"auth ok", K::kAuth, "\x01\x00"s, Expected(O::kAuthOk)},
      {"socks4 granted", K::kConnect4, "\x00\x5a\x00\x50\x7f\x00\x00\x01"s, Expected(O::kGranted, 0, {}, 8)},
      // Level 4 never reads past its reply: what follows stays in the network.
      {"socks4 then data", K::kConnect4, "\x00\x5a\x00\x50\x7f\x00\x00\x01HTTP/1.0"s,
       Expected(O::kGranted, 0, {}, 8, "HTTP/1.0")},
      {"socks5 ipv4", K::kConnect5, Socks5Reply(0, 1, "\x7f\x00\x00\x01"s), Expected(O::kGranted, 0, {}, 10)},
      {"socks5 ipv4 then data", K::kConnect5, Socks5Reply(0, 1, "\x7f\x00\x00\x01"s) + "HTTP/1.1 200",
       Expected(O::kGranted, 0, {}, 10, "HTTP/1.1 200")},
      {"socks5 name", K::kConnect5, Socks5Reply(0, 3, "\x05proxy"s), Expected(O::kGranted, 0, {}, 12)},
      {"socks5 255-byte name then data", K::kConnect5, Socks5Reply(0, 3, "\xff"s + name255) + "X",
       Expected(O::kGranted, 0, {}, 262, "X")},
      {"socks5 ipv6", K::kConnect5, Socks5Reply(0, 4, std::string(16, '\1')),
       Expected(O::kGranted, 0, {}, 22)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectSameInEverySplit(c.kind, c.reply, c.expected);
  }
}

TEST(SocksReplies, EveryFailureWithItsCodeAndText) {
  using K = TSocksReplyKind;
  struct Case {
    K kind;
    std::string reply;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {K::kMethods, "\x04\x00"s, 20002, "socks version error"},
      {K::kMethods, "\x05\x01"s, 20003, "authentification method not acceptable"},
      {K::kMethods, "\x05\xff"s, 20003, "authentification method not acceptable"},
      {K::kAuth, "\x05"s, 20002, "socks version error"},
      {K::kAuth, "\x01\x01"s, 20015, "socks authentication failed"},
      {K::kAuth, "\x01\xff"s, 20015, "socks authentication failed"},
      {K::kConnect4, "\x04\x5a\x00\x00\x00\x00\x00\x00"s, 20002, "socks version error"},
      {K::kConnect4, "\x00\x5b\x00\x00\x00\x00\x00\x00"s, 20016, "request rejected or failed"},
      {K::kConnect4, "\x00\x5c\x00\x00\x00\x00\x00\x00"s, 20008, "connection refused"},
      {K::kConnect4, "\x00\x5d\x00\x00\x00\x00\x00\x00"s, 20015, "authentification failed"},
      {K::kConnect4, "\x00\x00\x00\x00\x00\x00\x00\x00"s, 20012, "unassigned error #0"},
      {K::kConnect4, "\x00\xff\x00\x00\x00\x00\x00\x00"s, 20012, "unassigned error #255"},
      {K::kConnect5, "\x04"s, 20002, "socks version error"},
      {K::kConnect5, "\x05\x01"s, 20004, "general SOCKS server failure"},
      {K::kConnect5, "\x05\x02"s, 20005, "connection not allowed by ruleset"},
      {K::kConnect5, "\x05\x03"s, 20006, "network unreachable"},
      {K::kConnect5, "\x05\x04"s, 20007, "host unreachable"},
      {K::kConnect5, "\x05\x05"s, 20008, "connection refused"},
      {K::kConnect5, "\x05\x06"s, 20009, "time to live expired"},
      {K::kConnect5, "\x05\x07"s, 20010, "command not supported"},
      {K::kConnect5, "\x05\x08"s, 20011, "address type not supported"},
      {K::kConnect5, "\x05\x09"s, 20012, "unassigned error #9"},
      {K::kConnect5, "\x05\xfe"s, 20012, "unassigned error #254"},
      {K::kConnect5, "\x05\x00\x00\x02\x00"s, 20011, "address type not supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.reply));
    ExpectSameInEverySplit(c.kind, c.reply, Expected(TSocksOutcome::kFailed, c.code, c.text));
  }
}

// An authentication reply with bytes beyond its two is judged on what one receive
// brought: read at once it is refused, read byte by byte the first two decide.
TEST(SocksReplies, AuthenticationReplyWithExtraBytes) {
  const Judged whole = FeedSplit(TSocksReplyKind::kAuth, "\x01\x00\x00"s, {});
  EXPECT_EQ(whole.code, 20001);
  EXPECT_EQ(whole.text, "too much data availaible");
  EXPECT_EQ(FeedSplit(TSocksReplyKind::kAuth, "\x01\x00\x00"s, {1, 2}).outcome, TSocksOutcome::kAuthOk);
}

}  // namespace
}  // namespace net::socks
