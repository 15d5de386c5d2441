// The SOCKS 4, 4A and 5 wire formats without any socket: the table of negotiation
// failures with their codes and texts, the requests the client sends, and an
// incremental parser of the server's replies that takes its bytes in any split.
//
// Thread: none of its own; a parser belongs to its socket. Values only, no ownership.
#pragma once

#include <cstdint>
#include <string>

namespace net::socks {

// Why a negotiation failed; each reason is one row of the code table.
enum class TSocksFailure : uint8_t {
  kLogicError,   // reply data during method negotiation at level 4
  kTooMuchData,  // authentication reply longer than 2 bytes
  kVersion,
  kMethodNotAcceptable,
  kGeneralFailure,  // SOCKS 5 reply codes 1 to 8, in order
  kNotAllowed,
  kNetworkUnreachable,
  kHostUnreachable,
  kConnectionRefused,
  kTtlExpired,
  kCommandNotSupported,
  kAddressTypeNotSupported,
  kUnassigned,  // the text is followed by the code received
  kInternal,
  kAuthenticationFailed,  // SOCKS 5 user/password refused
  kSocks4AuthFailed,      // SOCKS 4 status 93
  kRequestRejected,       // SOCKS 4 status 91
  kLookup,                // level 4: the destination did not resolve here
};

struct TSocksError {
  int code = 0;
  std::string text;
};

// The code and text of a failure; Detail completes kUnassigned's text.
TSocksError SocksError(TSocksFailure Reason, int Detail = 0);

// The largest user code, password or host name a request can carry.
constexpr size_t kMaxFieldLength = 255;

std::string GreetingRequest(uint8_t Method);  // one method offered
std::string AuthRequest(const std::string& User, const std::string& Password);
// Level "4": Address in network order; level "4A": HostName goes to the server.
std::string Connect4Request(uint16_t Port, uint32_t Address, const std::string& User);
std::string Connect4ARequest(uint16_t Port, const std::string& User, const std::string& HostName);
// An IPv6 literal ("::1" or "[::1]") goes as address type 4, anything else as a name.
std::string Connect5Request(uint16_t Port, const std::string& HostName);

enum class TSocksReplyKind : uint8_t { kMethods, kAuth, kConnect4, kConnect5 };

enum class TSocksOutcome : uint8_t {
  kWait,      // the reply is not complete yet
  kNoAuth,    // method reply: no authentication
  kUserAuth,  // method reply: user name and password
  kAuthOk,
  kGranted,  // the tunnel is open
  kFailed,
};

struct TSocksVerdict {
  TSocksOutcome outcome = TSocksOutcome::kWait;
  TSocksError error;    // kFailed
  int replyLength = 0;  // kGranted: the reply's own bytes; any beyond them came after it
};

// Collects one reply at a time. The caller receives into Tail() at most Room()
// bytes and hands the count to Take, which judges everything collected so far.
// A level 4 reply is never read beyond its 8 bytes, so later data stays in the
// network; a level 5 reply may bring the first bytes after it, which stay in the
// buffer (from replyLength to Count()) until a new reply is expected.
class TSocksReplyParser {
 public:
  // Holds the longest valid reply (a SOCKS 5 reply with a 255-byte name is 262 bytes).
  static constexpr int kCapacity = 512;

  void Expect(TSocksReplyKind Kind);
  TSocksReplyKind Kind() const { return FKind; }
  int Room() const;
  uint8_t* Tail() { return FBuf + FCount; }
  TSocksVerdict Take(int Count);
  // Copies what fits of Data (Used says how much) and judges it: for tests and fuzzing.
  TSocksVerdict Feed(const void* Data, int Len, int& Used);

  const uint8_t* Data() const { return FBuf; }
  int Count() const { return FCount; }

 private:
  TSocksVerdict JudgeMethods();
  TSocksVerdict JudgeAuth();
  TSocksVerdict JudgeConnect4();
  TSocksVerdict JudgeConnect5();
  int Connect5Length() const;

  TSocksReplyKind FKind = TSocksReplyKind::kMethods;
  uint8_t FBuf[kCapacity] = {};
  int FCount = 0;
};

}  // namespace net::socks
