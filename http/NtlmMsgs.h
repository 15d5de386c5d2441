// NTLM messages for HTTP authentication: the negotiate message
// (type 1), the server's challenge (type 2), the authenticate message (type 3)
// with the LM and NT responses of NTLMv1 or the NTLMv2 response.
//
// Pure functions on 8-bit strings (which may hold zero bytes); no state, any
// thread. Multi-byte integers in the messages are little-endian. Names go into
// the messages as 8-bit text: message 1 upper-cases a to z, message 3 widens each
// byte to a 16-bit unit; there is no code page conversion.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace http {

using TNtlmChallenge = std::array<uint8_t, 8>;

// The parsed challenge. The names keep one character per byte of the message
// (a UTF-16 name thus keeps its zero bytes as characters).
struct TNTLM_Msg2_Info {
  bool Valid = false;  // false when the challenge text was empty
  std::u16string TargetName;
  std::u16string DomainName;  // target information item of type 2
  std::u16string ServerName;  // target information item of type 1
  TNtlmChallenge Challenge{};
  // The target information block as received (NTLMv2 signs it), clipped to the
  // message.
  std::string TargetInfo;
};

// Base64 of message 1. Flags 0x00008207, plus 0x2000 / 0x1000 when a workstation /
// domain is given. "" when a name does not fit a 16-bit length.
std::string BuildNtlmMessage1(std::string_view Workstation, std::string_view Domain);

// Parses the Base64 text that follows "NTLM " in a challenge. Never fails: bytes
// a field would need beyond the end of the message count as zero, and an item of
// the target information that runs past the end ends the walk.
TNTLM_Msg2_Info ParseNtlmMessage2(std::string_view Text);

// True when the names fit message 3's 16-bit field lengths (each byte becomes two).
bool NtlmMessage3Fits(std::string_view Domain, std::string_view Workstation, std::string_view User);

// Base64 of message 3 with the LM and NT responses for Password; "" when
// NtlmMessage3Fits is false.
std::string BuildNtlmMessage3(std::string_view Domain, std::string_view Workstation, std::string_view User,
                              std::string_view Password, const TNtlmChallenge& Challenge);

// Base64 of message 3 carrying the NTLMv2 response to Info's challenge and no LM
// response; "" when NtlmMessage3Fits is false or the response (which carries the
// target information) is longer than its 16-bit length field. ClientChallenge is the client's
// 8 random bytes; Timestamp (tenths of a microsecond since 1601) is used when the
// target information carries none.
std::string BuildNtlmMessage3V2(std::string_view Domain, std::string_view Workstation, std::string_view User,
                                std::string_view Password, const TNTLM_Msg2_Info& Info,
                                const TNtlmChallenge& ClientChallenge, uint64_t Timestamp);

// The NTLMv2 response: the 16-byte HMAC-MD5 proof followed by the signed client
// blob (version, Timestamp, ClientChallenge, TargetInfo). The key is HMAC-MD5 of
// the NT hash over the upper-cased user and the domain, in 16-bit units.
std::string NtlmV2Response(std::string_view User, std::string_view Domain, std::string_view Password,
                           const TNtlmChallenge& Challenge, const TNtlmChallenge& ClientChallenge,
                           uint64_t Timestamp, std::string_view TargetInfo);

// The 24-byte NTLMv1 responses. The LM response uses the first 14 bytes of the
// upper-cased password; the NT response the whole password, not upper-cased.
std::string LmResponse(std::string_view Password, const TNtlmChallenge& Challenge);
std::string NtResponse(std::string_view Password, const TNtlmChallenge& Challenge);

}  // namespace http
