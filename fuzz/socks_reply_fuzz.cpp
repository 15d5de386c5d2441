// Feeds arbitrary bytes to the SOCKS reply parser. The first byte chooses the reply
// expected (method, authentication, level 4 or level 5 connect) and the second how
// the rest is cut into receives. Besides crashes, it checks that the buffer count
// stays inside the buffer, that a granted reply lies within what was received,
// that failures carry a code of the family with a text, that a granted level 5
// reply ends where its address type puts the end, and that the verdict does
// not depend on the cuts (except for the authentication reply, whose check of
// extra bytes looks at what one receive brought).
#include <cstddef>
#include <cstdint>

#include "net/SocksProtocol.h"

namespace {

using net::socks::TSocksOutcome;
using net::socks::TSocksReplyKind;
using net::socks::TSocksReplyParser;
using net::socks::TSocksVerdict;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

struct Result {
  TSocksVerdict verdict;
  int count = 0;
};

// Cuts the input into pieces of 1 + (seed-driven) bytes, as receives would.
Result FeedInPieces(TSocksReplyKind kind, const uint8_t* data, size_t size, uint8_t seed) {
  TSocksReplyParser p;
  p.Expect(kind);
  size_t at = 0;
  unsigned state = seed;
  while (at < size) {
    state = state * 1103515245u + 12345u;
    const size_t piece = seed == 0 ? 1 : 1 + (state >> 16) % (seed + 1u);
    const int len = static_cast<int>(piece < size - at ? piece : size - at);
    const int roomBefore = p.Room();
    int used = 0;
    const TSocksVerdict v = p.Feed(data + at, len, used);
    Check(used >= 0 && used <= len && used <= roomBefore);
    Check(p.Count() >= 0 && p.Count() <= TSocksReplyParser::kCapacity);
    at += static_cast<size_t>(used);
    if (v.outcome != TSocksOutcome::kWait) return {v, p.Count()};
    if (used == 0) break;  // full: only level 4 stops reading, and it has judged by then
  }
  return {TSocksVerdict{}, p.Count()};
}

void CheckVerdict(TSocksReplyKind kind, const Result& r) {
  const TSocksVerdict& v = r.verdict;
  if (v.outcome == TSocksOutcome::kFailed) {
    Check(v.error.code >= 20001 && v.error.code <= 20016 && v.error.code != 20014);
    Check(!v.error.text.empty());
  }
  if (v.outcome == TSocksOutcome::kGranted) {
    Check(kind == TSocksReplyKind::kConnect4 || kind == TSocksReplyKind::kConnect5);
    if (kind == TSocksReplyKind::kConnect4) Check(v.replyLength == 8 && r.count == 0);
    if (kind == TSocksReplyKind::kConnect5) Check(v.replyLength >= 7 && v.replyLength <= r.count);
  }
  if (v.outcome == TSocksOutcome::kWait && kind == TSocksReplyKind::kConnect4) Check(r.count < 8);
  if (v.outcome == TSocksOutcome::kWait && kind == TSocksReplyKind::kConnect5) Check(r.count < 262);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const auto kind = static_cast<TSocksReplyKind>(data[0] % 4);
  const uint8_t seed = data[1];
  const Result cut = FeedInPieces(kind, data + 2, size - 2, seed);
  const Result bytewise = FeedInPieces(kind, data + 2, size - 2, 0);
  CheckVerdict(kind, cut);
  CheckVerdict(kind, bytewise);
  // A granted level 5 reply is as long as its bound address says: IPv4 (type 1),
  // a name (type 3, its length byte) or IPv6 (type 4, 16 bytes), whatever was asked.
  if (kind == TSocksReplyKind::kConnect5 && bytewise.verdict.outcome == TSocksOutcome::kGranted) {
    const uint8_t* r = data + 2;
    const int type = r[3];
    Check(type == 1 || type == 3 || type == 4);
    Check(bytewise.verdict.replyLength == (type == 1 ? 10 : type == 4 ? 22 : r[4] + 7));
  }
  if (kind != TSocksReplyKind::kAuth) {
    Check(cut.verdict.outcome == bytewise.verdict.outcome);
    Check(cut.verdict.error.code == bytewise.verdict.error.code);
    Check(cut.verdict.error.text == bytewise.verdict.error.text);
    Check(cut.verdict.replyLength == bytewise.verdict.replyLength);
  }
  return 0;
}
