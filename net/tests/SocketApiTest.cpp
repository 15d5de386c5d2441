#include "net/SocketApi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "net/AddressText.h"
#include "net/SocketErrorText.h"

namespace net {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// The message of the ESocketException that fn raises ("" when it raises none).
template <class Fn>
std::string SocketExceptionOf(Fn fn) {
  try {
    fn();
  } catch (const ESocketException& e) {
    return e.Message();
  }
  return "";
}

// Each case starts and ends unbound, with no socket counted and no fault armed.
class SocketBinding : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SocketUseCount(), 0) << "a socket of another test is still alive";
    SetSocketApiFaultsForTesting({});
    UnloadSocketLibrary();
    ASSERT_FALSE(SocketLibraryLoaded());
  }
  void TearDown() override {
    SetSocketApiFaultsForTesting({});
    UnloadSocketLibrary();
    EXPECT_TRUE(SetRequestedVersionLow(1));
    EXPECT_TRUE(SetRequestedVersionHigh(1));
    EXPECT_EQ(SocketUseCount(), 0);
  }

  // A TCP socket made and closed through the binding: fails unless started.
  static bool SocketWorks() {
    winapi::SOCKET s = api::socket(AF_INET, SOCK_STREAM, 0);
    if (s == winapi::INVALID_SOCKET) return false;
    api::closesocket(s);
    return true;
  }
};

TEST_F(SocketBinding, LoadsOnFirstCallNotWhenASocketIsCounted) {
  IncrementSocketUseCount();  // as a socket's constructor does
  EXPECT_FALSE(SocketLibraryLoaded());
  EXPECT_TRUE(SocketWorks());
  EXPECT_TRUE(SocketLibraryLoaded());
  EXPECT_FALSE(SocketLibrary2Loaded()) << "the second library is only for WSAIoctl";
  DecrementSocketUseCount();
  EXPECT_FALSE(SocketLibraryLoaded());
}

TEST_F(SocketBinding, UnloadsOnlyWhenTheLastSocketGoesAndStartsAgainLater) {
  IncrementSocketUseCount();
  IncrementSocketUseCount();
  ASSERT_TRUE(SocketWorks());
  UnloadSocketLibrary();
  EXPECT_TRUE(SocketLibraryLoaded()) << "two sockets are alive";
  DecrementSocketUseCount();
  EXPECT_TRUE(SocketLibraryLoaded());
  DecrementSocketUseCount();
  EXPECT_FALSE(SocketLibraryLoaded());

  IncrementSocketUseCount();
  EXPECT_TRUE(SocketWorks()) << "a new start-up after the unload";
  DecrementSocketUseCount();
}

TEST_F(SocketBinding, ConcurrentFirstCallsAllSucceed) {
  IncrementSocketUseCount();
  std::atomic<int> working{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      if (SocketWorks()) ++working;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(working, 4);
  DecrementSocketUseCount();
  EXPECT_FALSE(SocketLibraryLoaded());
}

TEST_F(SocketBinding, BoundEntryIsNotLookedUpAgainUntilUnloaded) {
  ASSERT_TRUE(SocketWorks());
  SetSocketApiFaultsForTesting({.missingProc = "socket"});
  EXPECT_TRUE(SocketWorks()) << "the stored pointer is used";
  UnloadSocketLibrary();
  EXPECT_THAT(SocketExceptionOf([] { SocketWorks(); }),
              StartsWith("Procedure socket not found in wsock32.dll - "));
}

TEST_F(SocketBinding, MissingProcedureIsReportedAndRetriedOnTheNextCall) {
  SetSocketApiFaultsForTesting({.missingProc = "send"});
  std::string message = SocketExceptionOf([] { api::send(winapi::INVALID_SOCKET, "x", 1, 0); });
  EXPECT_EQ(message, "Procedure send not found in wsock32.dll - " + SystemErrorMessage(ENOSYS));
  EXPECT_TRUE(SocketLibraryLoaded()) << "loaded and started before the look-up";

  SetSocketApiFaultsForTesting({});
  EXPECT_EQ(SocketExceptionOf([] { api::send(winapi::INVALID_SOCKET, "x", 1, 0); }), "");
}

TEST_F(SocketBinding, IoctlComesFromTheSecondLibrary) {
  SetSocketApiFaultsForTesting({.missingProc = "WSAIoctl"});
  EXPECT_THAT(
      SocketExceptionOf([] { api::WSAIoctl(-1, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr); }),
      StartsWith("Procedure WSAIoctl not found in ws2_32.dll - "));
  EXPECT_TRUE(SocketLibraryLoaded());
  EXPECT_TRUE(SocketLibrary2Loaded());
  EXPECT_THAT(SocketExceptionOf([] { BindSocketProc("WSAIoctl"); }),
              StartsWith("Procedure WSAIoctl not found in wsock32.dll"));
  EXPECT_THAT(SocketExceptionOf([] { BindSocket2Proc("send"); }),
              StartsWith("Procedure send not found in ws2_32.dll"));

  UnloadSocketLibrary();
  EXPECT_FALSE(SocketLibrary2Loaded());
}

TEST_F(SocketBinding, LoadFailuresLeaveTheLibraryUnloadedAndAreRetried) {
  SetSocketApiFaultsForTesting({.missingProc = "", .loadError = ENOENT});
  EXPECT_EQ(SocketExceptionOf([] { SocketWorks(); }),
            "Unable to load wsock32.dll - " + SystemErrorMessage(ENOENT));
  EXPECT_FALSE(SocketLibraryLoaded());

  SetSocketApiFaultsForTesting({.missingProc = "", .loadError = 0, .load2Error = ENOENT});
  EXPECT_TRUE(SocketWorks());
  EXPECT_EQ(SocketExceptionOf([] { BindSocket2Proc("WSAIoctl"); }),
            "Unable to load ws2_32.dll - " + SystemErrorMessage(ENOENT));
  EXPECT_FALSE(SocketLibrary2Loaded());
  SetSocketApiFaultsForTesting({});
  EXPECT_NE(BindSocket2Proc("WSAIoctl"), nullptr);
}

TEST_F(SocketBinding, EmptyNameOnlyLoadsAndStarts) {
  EXPECT_EQ(BindSocketProc(""), nullptr);
  EXPECT_TRUE(SocketLibraryLoaded());
  EXPECT_TRUE(SocketWorks());
}

TEST_F(SocketBinding, RequestedVersionIsUsedAtStartUpAndFrozenWhileLoaded) {
  ASSERT_TRUE(SetRequestedVersionLow(0));
  ASSERT_TRUE(SetRequestedVersionHigh(0));
  EXPECT_EQ(SocketExceptionOf([] { api::WSAGetLastError(); }),
            "Winsock startup error wsock32.dll - " + SystemErrorMessage(10092));
  EXPECT_THAT(SystemErrorMessage(10092), HasSubstr("(#10092)"));

  // The failed library stays loaded and is not started again until unloaded.
  EXPECT_TRUE(SocketLibraryLoaded());
  EXPECT_FALSE(SetRequestedVersionLow(1));
  EXPECT_EQ(RequestedVersionLow(), 0);
  EXPECT_EQ(SocketExceptionOf([] { EXPECT_FALSE(SocketWorks()); }), "");
  EXPECT_EQ(api::WSAGetLastError(), winapi::WSANOTINITIALISED);

  UnloadSocketLibrary();
  ASSERT_TRUE(SetRequestedVersionLow(1));
  ASSERT_TRUE(SetRequestedVersionHigh(1));
  EXPECT_TRUE(SocketWorks());
}

TEST_F(SocketBinding, WrappersHoldTheCountOnlyDuringTheCall) {
  SetSocketApiFaultsForTesting({.missingProc = "gethostname"});
  std::string name = "unchanged";
  EXPECT_THAT(SocketExceptionOf([&] { WSocket_gethostname(name); }), StartsWith("Procedure gethostname"));
  EXPECT_EQ(SocketUseCount(), 0) << "released when the call raises";
  SetSocketApiFaultsForTesting({});

  EXPECT_EQ(WSocket_gethostname(name), 0);
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find('\0'), std::string::npos);
  EXPECT_EQ(LocalHostName(), name);
  EXPECT_EQ(SocketUseCount(), 0);
  EXPECT_TRUE(SocketLibraryLoaded()) << "a wrapper's release never unloads";

  in_addr loopback{};
  loopback.s_addr = api::inet_addr("127.0.0.1");
  EXPECT_EQ(WSocket_inet_ntoa(loopback), "127.0.0.1");
  EXPECT_EQ(api::NetToHostShort(api::HostToNetShort(0x1234)), 0x1234);
  EXPECT_EQ(api::HostToNetShort(0x0050), winapi::WORD{0x5000}) << "this machine is little-endian";
}

TEST(SocketErrorTexts, KnownAndUnknownCodes) {
  EXPECT_EQ(SocketErrorText(0), "No Error");
  EXPECT_EQ(SocketErrorText(10035), "Operation would block");
  EXPECT_EQ(SocketErrorText(10061), "Connection refused");
  EXPECT_EQ(SocketErrorText(11004), "No Data");
  EXPECT_EQ(SocketErrorText(12345), "Not a WinSock error");
  EXPECT_EQ(SocketErrorText(-1), "Not a WinSock error");
  EXPECT_EQ(SocketErrorMessage(10061), "Connection refused (#10061)");
  EXPECT_EQ(SocketErrorMessage(12345), "Not a WinSock error (#12345)");
}

// The lookup family is exactly 11001 to 11004; its neighbours are other failures.
TEST(SocketErrorTexts, LookupErrorsAreTheHostLookupFamily) {
  for (int code : {11001, 11002, 11003, 11004}) EXPECT_TRUE(IsLookupError(code)) << code;
  for (int code : {0, 10061, 11000, 11005, -11001}) EXPECT_FALSE(IsLookupError(code)) << code;
}

TEST(SocketErrorTexts, SystemMessages) {
  EXPECT_EQ(SystemErrorMessage(ENOENT), "No such file or directory (#2)");
  EXPECT_EQ(SystemErrorMessage(10054), "Connection reset by peer (#10054)");
  EXPECT_THAT(SystemErrorMessage(99999), HasSubstr("(#99999)"));
}

TEST(DottedAddress, Accepts) {
  for (const char* text : {"10.0.0.1", "  10.0.0.1  ", "255.255.255.255", "0.0.0.0", "127.000.0.1"})
    EXPECT_TRUE(IsDottedAddress(text)) << text;
}

TEST(DottedAddress, Rejects) {
  for (const char* text :
       {"", "   ", "1.2.3", "1.2.3.4.5", "10..0.1", ".1.2.3", "1.2.3.", "1.2.3.256", "256.1.2.3", "1.2.3.4x",
        "a.b.c.d", "1.2.3.4 5", "1.2 .3.4", "1.2.3.-4", "localhost"})
    EXPECT_FALSE(IsDottedAddress(text)) << text;
}

TEST(DottedAddress, HugePartsDoNotWrapIntoRange) {
  // 4294967297 is 1 modulo 2^32: a part that kept growing would look valid.
  EXPECT_FALSE(IsDottedAddress("1.2.3.4294967297"));
  EXPECT_FALSE(IsDottedAddress("4294967297.2.3.4"));
  EXPECT_FALSE(IsDottedAddress("1.2.3.99999999999999999999999999999999"));
}

TEST(ParseDigits, LeadingBlanksThenDigitsUpToTheFirstOther) {
  EXPECT_EQ(ParseDigits("  80abc"), 80u);
  EXPECT_EQ(ParseDigits("abc"), 0u);
  EXPECT_EQ(ParseDigits(""), 0u);
  EXPECT_EQ(ParseDigits("   "), 0u);
  EXPECT_EQ(ParseDigits("8 0"), 8u);
  EXPECT_EQ(ParseDigits("-80"), 0u);
}

TEST(ParseDigits, LargeValuesWrapWithoutOverflow) {
  EXPECT_EQ(ParseDigits("70000") & 0xFFFF, 4464u);
  EXPECT_EQ(ParseDigits("4294967297"), 1u);
  ParseDigits(std::string(500, '9'));  // must not trip the sanitizers
}

TEST(ParseDigits, DigitChars) {
  EXPECT_TRUE(IsDigitChar('0'));
  EXPECT_TRUE(IsDigitChar('9'));
  EXPECT_FALSE(IsDigitChar('/'));
  EXPECT_FALSE(IsDigitChar(':'));
  EXPECT_FALSE(IsDigitChar(' '));
}

}  // namespace
}  // namespace net
