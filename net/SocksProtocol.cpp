// SOCKS requests byte for byte, the failure table, and the reply parser.
#include "net/SocksProtocol.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "net/AddressText.h"

namespace net::socks {

namespace {

struct FailureRow {
  TSocksFailure reason;
  int code;
  const char* text;
};

// Every negotiation failure the socket reports. The texts are the ones users and
// logs have always seen, spelling included.
constexpr FailureRow kFailures[] = {
    {TSocksFailure::kLogicError, 20001, "TWSocket logic error"},
    {TSocksFailure::kTooMuchData, 20001, "too much data availaible"},
    {TSocksFailure::kVersion, 20002, "socks version error"},
    {TSocksFailure::kMethodNotAcceptable, 20003, "authentification method not acceptable"},
    {TSocksFailure::kGeneralFailure, 20004, "general SOCKS server failure"},
    {TSocksFailure::kNotAllowed, 20005, "connection not allowed by ruleset"},
    {TSocksFailure::kNetworkUnreachable, 20006, "network unreachable"},
    {TSocksFailure::kHostUnreachable, 20007, "host unreachable"},
    {TSocksFailure::kConnectionRefused, 20008, "connection refused"},
    {TSocksFailure::kTtlExpired, 20009, "time to live expired"},
    {TSocksFailure::kCommandNotSupported, 20010, "command not supported"},
    {TSocksFailure::kAddressTypeNotSupported, 20011, "address type not supported"},
    {TSocksFailure::kUnassigned, 20012, "unassigned error #"},
    {TSocksFailure::kInternal, 20013, "internal error"},
    {TSocksFailure::kAuthenticationFailed, 20015, "socks authentication failed"},
    {TSocksFailure::kSocks4AuthFailed, 20015, "authentification failed"},
    {TSocksFailure::kRequestRejected, 20016, "request rejected or failed"},
    {TSocksFailure::kLookup, 20017, ""},  // the text is the lookup's exception
};

constexpr uint8_t kSocks4Granted = 90;
constexpr int kSocks4ReplyLength = 8;

TSocksVerdict Failed(TSocksFailure Reason, int Detail = 0) {
  return {TSocksOutcome::kFailed, SocksError(Reason, Detail), 0};
}

TSocksVerdict Outcome(TSocksOutcome Outcome) {
  return {Outcome, {}, 0};
}

void AppendPort(std::string& s, uint16_t Port) {
  s += static_cast<char>(Port >> 8);
  s += static_cast<char>(Port & 0xFF);
}

}  // namespace

TSocksError SocksError(TSocksFailure Reason, int Detail) {
  for (const FailureRow& row : kFailures) {
    if (row.reason != Reason) continue;
    std::string text = row.text;
    if (Reason == TSocksFailure::kUnassigned) text += std::to_string(Detail);
    return {row.code, text};
  }
  return {20013, "internal error"};
}

// --- requests ---------------------------------------------------------------------

std::string GreetingRequest(uint8_t Method) {
  return std::string{'\x05', '\x01', static_cast<char>(Method)};
}

// RFC 1929: version 1, then each field with a length byte.
std::string AuthRequest(const std::string& User, const std::string& Password) {
  std::string s{'\x01'};
  s += static_cast<char>(User.size());
  s += User;
  s += static_cast<char>(Password.size());
  s += Password;
  return s;
}

std::string Connect4Request(uint16_t Port, uint32_t Address, const std::string& User) {
  std::string s{'\x04', '\x01'};
  AppendPort(s, Port);
  s.append(reinterpret_cast<const char*>(&Address), 4);
  s += User;
  s += '\0';
  return s;
}

// The address 0.0.0.1 tells the server that the host name follows the user code.
std::string Connect4ARequest(uint16_t Port, const std::string& User, const std::string& HostName) {
  std::string s{'\x04', '\x01'};
  AppendPort(s, Port);
  s += std::string{'\0', '\0', '\0', '\x01'};
  s += User;
  s += '\0';
  s += HostName;
  s += '\0';
  return s;
}

// A domain name (type 3), also for a dotted address: the server reads it. An IPv6
// literal is no name a server has to resolve; it goes as its 16 bytes (type 4).
std::string Connect5Request(uint16_t Port, const std::string& HostName) {
  in6_addr a6{};
  if (ParseIPv6(HostName, a6)) {
    std::string s{'\x05', '\x01', '\0', '\x04'};
    s.append(reinterpret_cast<const char*>(&a6), sizeof a6);
    AppendPort(s, Port);
    return s;
  }
  std::string s{'\x05', '\x01', '\0', '\x03'};
  s += static_cast<char>(HostName.size());
  s += HostName;
  AppendPort(s, Port);
  return s;
}

// --- replies ----------------------------------------------------------------------

void TSocksReplyParser::Expect(TSocksReplyKind Kind) {
  FKind = Kind;
  FCount = 0;
}

int TSocksReplyParser::Room() const {
  if (FKind == TSocksReplyKind::kConnect4) return std::max(0, kSocks4ReplyLength - FCount);
  return kCapacity - FCount;
}

TSocksVerdict TSocksReplyParser::Take(int Count) {
  FCount += std::clamp(Count, 0, Room());
  switch (FKind) {
    case TSocksReplyKind::kMethods:
      return JudgeMethods();
    case TSocksReplyKind::kAuth:
      return JudgeAuth();
    case TSocksReplyKind::kConnect4:
      return JudgeConnect4();
    case TSocksReplyKind::kConnect5:
      return JudgeConnect5();
  }
  return Failed(TSocksFailure::kInternal);
}

TSocksVerdict TSocksReplyParser::Feed(const void* Data, int Len, int& Used) {
  Used = std::clamp(Len, 0, Room());
  if (Used > 0) std::memcpy(Tail(), Data, static_cast<size_t>(Used));
  return Take(Used);
}

TSocksVerdict TSocksReplyParser::JudgeMethods() {
  if (FCount < 2) return Outcome(TSocksOutcome::kWait);
  FCount = 0;  // nothing else belongs to this reply
  if (FBuf[0] != 5) return Failed(TSocksFailure::kVersion);
  if (FBuf[1] == 0) return Outcome(TSocksOutcome::kNoAuth);
  if (FBuf[1] == 2) return Outcome(TSocksOutcome::kUserAuth);
  return Failed(TSocksFailure::kMethodNotAcceptable);
}

TSocksVerdict TSocksReplyParser::JudgeAuth() {
  if (FCount >= 1 && FBuf[0] != 1) return Failed(TSocksFailure::kVersion);
  if (FCount < 2) return Outcome(TSocksOutcome::kWait);
  if (FCount == 2 && FBuf[1] != 0) return Failed(TSocksFailure::kAuthenticationFailed);
  if (FCount > 2) return Failed(TSocksFailure::kTooMuchData);
  FCount = 0;
  return Outcome(TSocksOutcome::kAuthOk);
}

TSocksVerdict TSocksReplyParser::JudgeConnect4() {
  if (FCount < kSocks4ReplyLength) return Outcome(TSocksOutcome::kWait);
  FCount = 0;
  if (FBuf[0] != 0) return Failed(TSocksFailure::kVersion);
  switch (FBuf[1]) {
    case kSocks4Granted:
      return {TSocksOutcome::kGranted, {}, kSocks4ReplyLength};
    case 91:
      return Failed(TSocksFailure::kRequestRejected);
    case 92:
      return Failed(TSocksFailure::kConnectionRefused);
    case 93:
      return Failed(TSocksFailure::kSocks4AuthFailed);
    default:
      return Failed(TSocksFailure::kUnassigned, FBuf[1]);
  }
}

// Reply codes 1 to 8 map in order onto the rows from kGeneralFailure on.
TSocksVerdict TSocksReplyParser::JudgeConnect5() {
  if (FCount >= 1 && FBuf[0] != 5) return Failed(TSocksFailure::kVersion);
  if (FCount >= 2 && FBuf[1] != 0) {
    const int code = FBuf[1];
    if (code > 8) return Failed(TSocksFailure::kUnassigned, code);
    return Failed(static_cast<TSocksFailure>(static_cast<int>(TSocksFailure::kGeneralFailure) + code - 1));
  }
  if (FCount < 5) return Outcome(TSocksOutcome::kWait);
  const int length = Connect5Length();
  if (FCount < length) return Outcome(TSocksOutcome::kWait);
  const uint8_t type = FBuf[3];
  if (type != 1 && type != 3 && type != 4) return Failed(TSocksFailure::kAddressTypeNotSupported);
  return {TSocksOutcome::kGranted, {}, length};
}

// Header (4), bound address, bound port (2). A server that reached the destination
// over IPv6 reports a 16-byte bound address; that is still a granted tunnel.
int TSocksReplyParser::Connect5Length() const {
  switch (FBuf[3]) {
    case 1:
      return 10;
    case 3:
      return FBuf[4] + 7;
    case 4:
      return 22;
    default:
      return 5;
  }
}

static_assert(std::size(kFailures) == static_cast<size_t>(TSocksFailure::kLookup) + 1,
              "one row per failure reason");

}  // namespace net::socks
