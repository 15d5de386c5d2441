// Bandwidth control: the budget arithmetic step by step, then whole transfers from
// a scripted loopback server (throttled, unthrottled, a zero limit, a pause left on
// a kept connection, a server closing during a pause).
#include <gtest/gtest.h>

#include <chrono>

#include "http/tests/HttpTestSupport.h"
#include "testsupport/ScriptedPeer.h"

namespace http::testing {
namespace {

using testsupport::HttpResponse;
using testsupport::Millis;
using testsupport::Script;
using testsupport::ScriptedPeer;

// Shows the protected bandwidth state and lets a test call its steps directly.
class TBandwidthCli : public THttpCli {
 public:
  using THttpCli::THttpCli;
  void Start() { BandwidthRequestStart(); }
  void Received(int64_t n) { BandwidthReceived(n); }
  void Tick() { BandwidthTimerTick(); }
  int64_t Count() const { return FBandwidthCount; }
  int64_t Budget() const { return FBandwidthMaxCount; }
  int64_t Cap(int64_t room) const { return BandwidthReadCap(room); }
  bool PausedByLimit() const { return FBandwidthPaused; }
  bool TimerCreated() const { return FBandwidthTimer.has_value(); }
  bool TimerRunning() const { return FBandwidthTimer && FBandwidthTimer->Enabled; }
  uint32_t TimerInterval() const { return FBandwidthTimer ? FBandwidthTimer->Interval : 0; }
};

core::ComponentPtr<TBandwidthCli> NewClient(THttpCliOptions options, int limit, int sampling) {
  auto c = core::MakeComponent<TBandwidthCli>(nullptr);
  c->SetOptions(options);
  c->SetBandwidthLimit(limit);
  c->SetBandwidthSampling(sampling);
  return c;
}

// One step: 'r' reads n bytes, 't' is a tick; then the count, the pause and how
// much the next read may take from a 64 KiB room.
struct Step {
  char op;
  int64_t n;
  int64_t count;
  bool paused;
  int64_t cap = -1;  // -1: not checked
};

TEST(HttpBandwidth, BudgetPausesAndTicks) {
  struct Row {
    const char* name;
    THttpCliOptions options;
    int limit, sampling;
    int64_t budget;
    uint32_t interval;  // 0: no timer
    std::vector<Step> steps;
  };
  const std::vector<Row> rows = {
      {"defaults",
       httpoBandwidthControl,
       10000,
       1000,
       10000,
       1000,
       {{'t', 0, 0, false, 10000},  // nothing paused: the count stays
        {'r', 8192, 8192, false, 1808},
        {'r', 1808, 10000, true, 1},  // spending the whole budget pauses
        {'r', 5000, 15000, true},     // counted, no second pause
        {'t', 0, 5000, false, 5000},
        {'t', 0, 5000, false, 5000},
        {'r', 4999, 9999, false, 1},
        {'r', 8192, 18191, true},
        {'t', 0, 8191, false, 1809}}},
      {"reads larger than the budget wait until they are paid off",
       httpoBandwidthControl,
       1000,
       1000,
       1000,
       1000,
       {{'r', 8192, 8192, true},
        {'t', 0, 7192, true},
        {'t', 0, 6192, true},
        {'t', 0, 5192, true},
        {'t', 0, 4192, true},
        {'t', 0, 3192, true},
        {'t', 0, 2192, true},
        {'t', 0, 1192, true},
        {'t', 0, 192, false, 808},
        {'r', 808, 1000, true},
        {'t', 0, 0, false, 1000}}},
      {"limit 0",
       httpoBandwidthControl,
       0,
       20,
       0,
       20,
       {{'r', 1, 1, true, 1}, {'t', 0, 1, false, 1}, {'r', 1, 2, true}, {'t', 0, 2, false, 1}}},
      // 0.999 bytes a period: the first byte is owed, the second period pays it.
      {"fractions of a byte carry over",
       httpoBandwidthControl,
       999,
       1,
       0,
       1,
       {{'r', 1, 1, true}, {'t', 0, 1, true}, {'t', 0, 0, false, 1}, {'r', 1, 1, true}}},
      // 1 B/s in periods of 100 ms: nine empty periods, then one byte.
      {"a limit under one byte a period",
       httpoBandwidthControl,
       1,
       100,
       0,
       100,
       {{'r', 1, 1, true},
        {'t', 0, 1, true},
        {'t', 0, 1, true},
        {'t', 0, 1, true},
        {'t', 0, 1, true},
        {'t', 0, 1, true},
        {'t', 0, 1, true},
        {'t', 0, 1, true},
        {'t', 0, 1, true},
        {'t', 0, 1, true},  // the tenth period brings a byte, owed already
        {'t', 0, 0, true},  // paid; the next nine periods have nothing
        {'t', 0, 0, true}}},
      {"no zero period, no negative limit", httpoBandwidthControl, -5, 0, 0, 1000, {{'r', 1, 1, true}}},
      {"negative period", httpoBandwidthControl, 3000, -20, 3000, 1000, {{'r', 2999, 2999, false, 1}}},
      {"64-bit budget",
       httpoBandwidthControl,
       INT32_MAX,
       INT32_MAX,
       4611686014132420,
       INT32_MAX,
       {{'r', INT32_MAX, INT32_MAX, false}}},
      {"option off", 0, 0, 20, 0, 0, {{'r', 1000000, 1000000, false, 65536}, {'t', 0, 1000000, false}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto c = NewClient(row.options, row.limit, row.sampling);
    c->Start();
    EXPECT_EQ(c->TimerCreated(), row.interval != 0);
    EXPECT_EQ(c->TimerInterval(), row.interval);
    EXPECT_EQ(c->Socket()->ComponentOptions().Contains(net::wsoNoReceiveLoop), row.interval != 0);
    if (row.interval != 0) {
      EXPECT_EQ(c->Budget(), row.budget);
    }
    for (size_t i = 0; i < row.steps.size(); ++i) {
      const Step& s = row.steps[i];
      if (s.op == 'r') {
        c->Received(s.n);
      } else {
        c->Tick();
      }
      EXPECT_EQ(c->Count(), s.count) << "step " << i;
      EXPECT_EQ(c->PausedByLimit(), s.paused) << "step " << i;
      EXPECT_EQ(c->Socket()->Paused(), s.paused) << "step " << i;
      if (s.cap >= 0) {
        EXPECT_EQ(c->Cap(65536), s.cap) << "step " << i;
      }
    }
    // The next request counts afresh and is never paused at its start.
    c->Start();
    EXPECT_EQ(c->Count(), 0);
    EXPECT_FALSE(c->Socket()->Paused());
  }
}

TEST(HttpBandwidth, SettingsChangedDuringATransferApplyAtTheNextRequest) {
  auto c = NewClient(httpoBandwidthControl, 10000, 1000);
  c->Start();
  c->SetBandwidthLimit(100);
  c->SetBandwidthSampling(50);
  c->Received(9000);
  EXPECT_FALSE(c->PausedByLimit());
  EXPECT_EQ(c->Budget(), 10000);
  EXPECT_EQ(c->TimerInterval(), 1000u);
  c->Start();
  EXPECT_EQ(c->Budget(), 5);
  EXPECT_EQ(c->TimerInterval(), 50u);
  // The option itself: switched on in the middle of a request, it waits for the
  // next one too (there is no tick yet that could release a pause).
  auto late = NewClient(0, 0, 1000);
  late->Start();
  late->SetOptions(httpoBandwidthControl);
  late->Received(5000);
  EXPECT_FALSE(late->Socket()->Paused());
}

// --- whole transfers ---

struct Client {
  core::ComponentPtr<TBandwidthCli> cli;
  HttpEvents ev;
  core::TMemoryStream body;
  int pausedReads = 0;
  int reads = 0;

  Client(THttpCliOptions options, int limit, int sampling) : cli(NewClient(options, limit, sampling)) {
    WindowSettings(*cli);
    cli->SetRequestVer("1.1");
    ev.Attach(*cli);
    cli->SetRcvdStream(&body);
    // The pause comes before the bytes of its read are handed on.
    cli->OnDocData = [this](core::TComponent*, const void*, int len) {
      ev.docBytes += len;
      ++reads;
      if (cli->Socket()->Paused()) ++pausedReads;
    };
  }
  bool Run(const std::string& url, Millis timeout = Millis(10000)) {
    return RunUntilReady(*cli, ev, url, timeout);
  }
};

std::string Url(const ScriptedPeer& peer) {
  return LoopbackUrl(peer.Port());
}

// A body whose every position is checkable.
std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

TEST(HttpBandwidthTransfer, LimitHoldsAWholeDocumentToItsRate) {
  const std::string page = Pattern(200000);
  ScriptedPeer peer({Script().ExpectRequest().Send(HttpResponse(200, page))});
  Client c(httpoBandwidthControl, 50000, 1000);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.Run(Url(peer), Millis(15000)));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(c.body.DataString(), page);
  EXPECT_EQ(c.ev.lastErr, 0);
  // Four budgets of 50,000 bytes, the first one at once: about three seconds.
  // Neither unthrottled nor stuck is all this can assert on a shared machine.
  EXPECT_GT(elapsed, std::chrono::seconds(2));
  EXPECT_LT(elapsed, std::chrono::seconds(12));
  EXPECT_FALSE(c.cli->TimerRunning());
}

TEST(HttpBandwidthTransfer, OptionOffCreatesNoTimerAndNeverPauses) {
  const std::string second = HttpResponse(200, "short");
  ScriptedPeer peer({testsupport::HttpScript({HttpResponse(200, Pattern(300000)), second})});
  Client c(0, 0, 10);
  ASSERT_TRUE(c.Run(Url(peer)));
  ASSERT_TRUE(c.Run(Url(peer)));
  EXPECT_EQ(c.body.Size(), 300005);
  EXPECT_EQ(c.pausedReads, 0);
  EXPECT_FALSE(c.cli->TimerCreated());
  EXPECT_FALSE(c.cli->Socket()->ComponentOptions().Contains(net::wsoNoReceiveLoop));
  // The count still restarts with every request.
  EXPECT_EQ(c.cli->Count(), static_cast<int64_t>(second.size()));
}

TEST(HttpBandwidthTransfer, ZeroLimitPausesAfterEveryReadAndTicksReleaseThem) {
  const std::string page = Pattern(20);
  ScriptedPeer peer({Script().ExpectRequest().Send(HttpResponse(200, page))});
  Client c(httpoBandwidthControl, 0, 1);
  ASSERT_TRUE(c.Run(Url(peer)));
  EXPECT_EQ(c.body.DataString(), page);
  // One byte a tick: every byte of the body is a read of its own.
  EXPECT_EQ(c.reads, 20);
  EXPECT_EQ(c.pausedReads, c.reads);
}

// Pages smaller than one receive block, and limits under one byte a period, are
// held to the limit too. Only the order of magnitude is checked here: the
// accuracy is measured by bench/bandwidth_bench.
TEST(HttpBandwidthTransfer, SmallPagesAndTinyLimitsAreLimited) {
  struct Row {
    const char* name;
    size_t size;
    int limit, sampling;
    Millis timeout;  // the time limit a user would set
    bool completes;
  };
  const Row rows[] = {
      // Four budgets of 3,000 bytes (with the header): three periods at least.
      {"a page smaller than one read", 12000 - 64, 10000, 300, Millis(20000), true},
      // 1 B/s over 2 s cannot even bring the header.
      {"1 B/s", 100000, 1, 100, Millis(2000), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string page = Pattern(row.size);
    ScriptedPeer peer({Script().ExpectRequest().Send(HttpResponse(200, page))});
    Client c(httpoBandwidthControl, row.limit, row.sampling);
    const auto start = std::chrono::steady_clock::now();
    const bool done = c.Run(Url(peer), row.timeout);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(done, row.completes);
    if (row.completes) {
      EXPECT_EQ(c.body.DataString(), page);
      EXPECT_GT(elapsed, Millis(row.sampling * 2));
    } else {
      EXPECT_LT(c.cli->RcvdCount(), 100);
      c.cli->Abort();
    }
  }
}

// With no tick due for minutes, only the start of the next request can release
// the pause its predecessor's last read left on the kept connection.
TEST(HttpBandwidthTransfer, OverrunOnTheLastReadOfAKeptConnection) {
  for (THttpCliOptions next : {THttpCliOptions{httpoBandwidthControl}, THttpCliOptions{0}}) {
    const std::string first = HttpResponse(200, "first");
    ScriptedPeer peer({testsupport::HttpScript({first, HttpResponse(200, "other")})});
    // Each response spends its budget exactly.
    Client c(httpoBandwidthControl, static_cast<int>(first.size()), 1000);
    ASSERT_TRUE(c.Run(Url(peer)));
    EXPECT_TRUE(c.cli->Socket()->Paused());
    EXPECT_FALSE(c.cli->TimerRunning());
    c.cli->SetOptions(next);
    ASSERT_TRUE(c.Run(Url(peer)));
    EXPECT_EQ(c.body.DataString(), "firstother");
    EXPECT_EQ(peer.AcceptedCount(), 1u);
  }
}

TEST(HttpBandwidthTransfer, ServerClosingDuringAPauseEndsACloseDelimitedBodyNormally) {
  const std::string page = Pattern(40000);
  ScriptedPeer peer(
      {Script().ExpectRequest().Send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + page).Close()});
  Client c(httpoBandwidthControl, 400000, 10);
  ASSERT_TRUE(c.Run(Url(peer)));
  EXPECT_EQ(c.body.DataString(), page);
  EXPECT_EQ(c.cli->StatusCode(), 200);
  EXPECT_FALSE(c.cli->DocumentTruncated());
  EXPECT_EQ(c.ev.lastErr, 0);
  EXPECT_EQ(c.ev.Count("DocEnd"), 1u);
  EXPECT_GE(c.pausedReads, 1);
  EXPECT_FALSE(c.cli->TimerRunning());
}

}  // namespace
}  // namespace http::testing
