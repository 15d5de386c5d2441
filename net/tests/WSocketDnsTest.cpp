// Asynchronous host lookups: immediate results, replaced and cancelled lookups,
// several addresses, and the system resolver for localhost. Names other than
// localhost go only to the resolver hook.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "net/tests/WSocketTestSupport.h"

namespace net::testing {
namespace {

// The hook's gate: "block.test" waits until the test opens it.
std::mutex gateMutex;
std::condition_variable gateCv;
bool gateOpen = false;
std::atomic<int> hookCalls{0};

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;  // network order
}

int FakeResolver(const std::string& name, bool byAddr, winapi::HostEntry& out) {
  ++hookCalls;
  if (byAddr) {
    if (name != "10.0.0.1") return winapi::WSAHOST_NOT_FOUND;
    out.officialName = "ten.test";
    out.aliases = {"alias1.test", "", "alias2.test"};
    out.addrs = {Ip(10, 0, 0, 1)};
    return 0;
  }
  if (name == "block.test") {
    std::unique_lock<std::mutex> lock(gateMutex);
    gateCv.wait(lock, [] { return gateOpen; });
  }
  if (name == "multi.test" || name == "block.test") {
    out.officialName = name;
    out.addrs = {Ip(10, 0, 0, 3), Ip(10, 0, 0, 1), Ip(10, 0, 0, 2)};
    return 0;
  }
  if (name == "dual.test" || name == "dual4first.test") {
    out.officialName = name;
    out.addrs = {Ip(10, 0, 0, 1)};
    in6_addr a6{};
    ::inet_pton(AF_INET6, "2001:db8::1", &a6);
    out.addrs6 = {a6};
    out.ipv4First = name == "dual4first.test";
    return 0;
  }
  if (name == "one.test") {
    out.officialName = name;
    out.addrs = {Ip(192, 168, 7, 7)};
    return 0;
  }
  return winapi::WSAHOST_NOT_FOUND;
}

class WSocketDns : public ::testing::Test {
 protected:
  void SetUp() override {
    gateOpen = false;
    winapi::SetResolverHookForTesting(FakeResolver);
    log.Attach(*s);
  }
  void TearDown() override {
    OpenGate();
    winapi::SetResolverHookForTesting(nullptr);
  }
  static void OpenGate() {
    std::lock_guard<std::mutex> lock(gateMutex);
    gateOpen = true;
    gateCv.notify_all();
  }
  std::vector<std::string> Results() const { return s->DnsResultList().Items(); }

  EventLog log;
  core::ComponentPtr<TWSocket> s = core::MakeComponent<TWSocket>(nullptr);
};

TEST_F(WSocketDns, DottedAddressReportsBeforeReturning) {
  hookCalls = 0;
  for (const char* name : {"127.0.0.1", " 127.0.0.1", "127.0.0.1 "}) {
    SCOPED_TRACE(name);
    log.events.clear();
    s->DnsLookup(name);
    EXPECT_EQ(log.events, std::vector<std::string>{"dns 0"});
    EXPECT_EQ(s->DnsResult(), "127.0.0.1");
    EXPECT_EQ(Results(), std::vector<std::string>{"127.0.0.1"});
  }
  EXPECT_EQ(hookCalls, 0);
}

TEST_F(WSocketDns, SeveralAddressesKeepTheirOrder) {
  s->DnsLookup("multi.test");
  EXPECT_TRUE(log.events.empty());
  ASSERT_TRUE(PumpUntil([&] { return log.Has("dns 0"); }));
  EXPECT_EQ(Results(), (std::vector<std::string>{"10.0.0.3", "10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(s->DnsResult(), "10.0.0.3");
}

TEST_F(WSocketDns, UnknownNameReportsTheLookupError) {
  s->DnsLookup("nowhere.test");
  ASSERT_TRUE(PumpUntil([&] { return !log.events.empty(); }));
  EXPECT_EQ(log.events, std::vector<std::string>{"dns 11001"});
  EXPECT_EQ(s->DnsResult(), "");
}

TEST_F(WSocketDns, SecondLookupReplacesTheFirstSilently) {
  s->DnsLookup("block.test");
  s->DnsLookup("one.test");
  OpenGate();
  // One resolver thread, first in first out: the replaced lookup's completion, if
  // any, came before this one.
  ASSERT_TRUE(PumpUntil([&] { return log.Has("dns 0"); }));
  PumpPending();
  EXPECT_EQ(log.events, std::vector<std::string>{"dns 0"});
  EXPECT_EQ(Results(), std::vector<std::string>{"192.168.7.7"});
}

TEST_F(WSocketDns, CancelReportsOnceAndDropsTheResult) {
  s->DnsLookup("block.test");
  s->CancelDnsLookup();
  EXPECT_EQ(log.events, std::vector<std::string>{"dns 10004"});
  OpenGate();
  s->CancelDnsLookup();  // nothing pending: no event
  s->DnsLookup("one.test");
  ASSERT_TRUE(PumpUntil([&] { return log.Has("dns 0"); }));
  EXPECT_EQ(log.events, (std::vector<std::string>{"dns 10004", "dns 0"}));
  EXPECT_EQ(Results(), std::vector<std::string>{"192.168.7.7"});
}

TEST_F(WSocketDns, NothingToCancelOnceTheCompletionWasHandled) {
  s->DnsLookup("one.test");
  ASSERT_TRUE(PumpUntil([&] { return log.Has("dns 0"); }));
  s->CancelDnsLookup();
  s->Abort();
  PumpPending();
  EXPECT_EQ(log.events, std::vector<std::string>{"dns 0"});
}

TEST_F(WSocketDns, CancelAfterCompletionStillEndsWithOneEvent) {
  s->DnsLookup("one.test");
  // Wait until the resolver has answered, without dispatching its completion.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!winapi::ThreadHasPendingWork() && std::chrono::steady_clock::now() < deadline)
    core::Application().WaitMessage(5);
  s->CancelDnsLookup();
  PumpPending();
  EXPECT_EQ(log.events, std::vector<std::string>{"dns 10004"});
}

TEST_F(WSocketDns, EmptyNameIsReportedThenFails) {
  int errors = 0;
  s->OnError = [&](core::TComponent*) { ++errors; };
  s->DnsLookup("");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(log.events, std::vector<std::string>{"dns 10022"});
  s->OnError = nullptr;
  EXPECT_EQ(ReportOf([&] { s->ReverseDnsLookup(""); }), "Reverse DNS Lookup: Invalid host name.");
}

TEST_F(WSocketDns, ReverseLookupGivesNameThenAliases) {
  s->ReverseDnsLookup("10.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return log.Has("dns 0"); }));
  EXPECT_EQ(Results(), (std::vector<std::string>{"ten.test", "alias1.test", "alias2.test"}));
  EXPECT_EQ(s->DnsResult(), "ten.test");
  log.events.clear();
  s->ReverseDnsLookupSync("10.0.0.1");
  EXPECT_EQ(log.events, std::vector<std::string>{"dns 0"});
  EXPECT_EQ(Results(), (std::vector<std::string>{"ten.test", "alias1.test", "alias2.test"}));
}

TEST_F(WSocketDns, FreeWithALookupPendingRaisesNoEvent) {
  auto other = core::MakeComponent<TWSocket>(nullptr);
  int events = 0;
  other->OnDnsLookupDone = [&](core::TComponent*, uint16_t) { ++events; };
  other->DnsLookup("block.test");
  other.reset();
  OpenGate();
  s->DnsLookup("one.test");
  ASSERT_TRUE(PumpUntil([&] { return log.Has("dns 0"); }));
  EXPECT_EQ(events, 0);
}

// What each family setting gives: the families asked for, in the resolver's
// order; literals answer before DnsLookup returns.
TEST_F(WSocketDns, FamiliesAndLiterals) {
  struct Case {
    const char* name;
    int family;
    std::string events;
    std::vector<std::string> results;
  };
  const Case cases[] = {
      {"dual.test", AF_UNSPEC, "dns 0; ", {"2001:db8::1", "10.0.0.1"}},
      {"dual4first.test", AF_UNSPEC, "dns 0; ", {"10.0.0.1", "2001:db8::1"}},
      {"dual.test", AF_INET6, "dns 0; ", {"2001:db8::1"}},
      {"dual.test", AF_INET, "dns 0; ", {"10.0.0.1"}},
      {"one.test", AF_INET6, "dns 11004; ", {}},
      {"[2001:DB8:0::7]", AF_UNSPEC, "dns 0; ", {"2001:db8::7"}},
      {"::1", AF_INET6, "dns 0; ", {"::1"}},
      {"127.0.0.1", AF_INET6, "dns 11004; ", {}},
      {"127.0.0.1", AF_UNSPEC, "dns 0; ", {"127.0.0.1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " family " + std::to_string(c.family));
    log.events.clear();
    s->SetDnsFamily(c.family);
    s->DnsLookup(c.name);
    ASSERT_TRUE(PumpUntil([&] { return !log.events.empty(); }));
    EXPECT_EQ(log.Text(), c.events);
    EXPECT_EQ(Results(), c.results);
  }
}

TEST_F(WSocketDns, TwoFamilyLookupCancelledMidwayLeavesNothing) {
  s->SetDnsFamily(AF_UNSPEC);
  hookCalls = 0;
  s->DnsLookup("block.test");
  // The resolver is inside the lookup when it is cancelled.
  ASSERT_TRUE(PumpUntil([&] { return hookCalls == 1; }));
  s->CancelDnsLookup();
  EXPECT_EQ(log.Text(), "dns 10004; ");
  OpenGate();
  s->DnsLookup("dual.test");
  ASSERT_TRUE(PumpUntil([&] { return log.Has("dns 0"); }));
  PumpPending();
  EXPECT_EQ(log.Text(), "dns 10004; dns 0; ");
  EXPECT_EQ(Results(), (std::vector<std::string>{"2001:db8::1", "10.0.0.1"}));
}

TEST(WSocketDnsSystem, LocalhostResolves) {
  auto s = core::MakeComponent<TWSocket>(nullptr);
  std::vector<int> codes;
  s->OnDnsLookupDone = [&](core::TComponent*, uint16_t e) { codes.push_back(e); };
  s->DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return !codes.empty(); }));
  EXPECT_EQ(codes, std::vector<int>{0});
  EXPECT_EQ(s->DnsResult(), "127.0.0.1");
}

}  // namespace
}  // namespace net::testing
