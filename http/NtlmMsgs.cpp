// Building and parsing the NTLM messages, and the LM and NT responses.
#include "http/NtlmMsgs.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "http/DES.h"
#include "http/MD4.h"
#include "http/MimeUtils.h"

namespace http {

namespace {

constexpr char kSignature[] = "NTLMSSP";  // with its terminating zero: 8 bytes
constexpr uint32_t kMessage1Flags = 0x00008207;
constexpr uint32_t kWorkstationSupplied = 0x00002000;
constexpr uint32_t kDomainSupplied = 0x00001000;
constexpr uint32_t kMessage3Flags = 0x00008205;
constexpr size_t kMaxField = 0xFFFF;

void Put16(std::string& m, size_t at, uint64_t v) {
  m[at] = static_cast<char>(v & 0xFF);
  m[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& m, size_t at, uint64_t v) {
  for (size_t i = 0; i < 4; ++i) m[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A security buffer: length twice, then the offset.
void PutField(std::string& m, size_t at, size_t length, size_t offset) {
  Put16(m, at, length);
  Put16(m, at + 2, length);
  Put32(m, at + 4, offset);
}

std::string Header(size_t size, uint32_t type) {
  std::string m(size, '\0');
  m.replace(0, sizeof(kSignature), kSignature, sizeof(kSignature));
  Put32(m, 8, type);
  return m;
}

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string Widen(std::string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (char c : s) {
    out += c;
    out += '\0';
  }
  return out;
}

// Reading message 2: bytes beyond the end read as zero. Positions are 64-bit, so
// no offset from the message can wrap around.
uint64_t Get(const std::string& m, uint64_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    const uint64_t p = at + static_cast<uint64_t>(i);
    v = (v << 8) | (p < m.size() ? static_cast<uint8_t>(m[p]) : 0u);
  }
  return v;
}

std::u16string Chars(const std::string& m, uint64_t offset, uint64_t length) {
  std::u16string out(length, u'\0');
  for (uint64_t i = 0; i < length && offset + i < m.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<uint8_t>(m[offset + i]));
  return out;
}

void WalkTargetInfo(const std::string& m, uint64_t at, TNTLM_Msg2_Info& info) {
  while (at + 4 <= m.size()) {
    const uint64_t type = Get(m, at, 2);
    const uint64_t length = Get(m, at + 2, 2);
    if (type == 0 && length == 0) return;
    if (at + 4 + length > m.size()) return;
    if (type == 1) info.ServerName = Chars(m, at + 4, length);
    if (type == 2) info.DomainName = Chars(m, at + 4, length);
    at += 4 + length;
  }
}

// Encrypts the challenge under the three keys made from a 21-byte hash.
std::string Respond(const std::string& hash21, const TNtlmChallenge& challenge) {
  std::string out;
  for (size_t k = 0; k < 3; ++k) {
    const TDesBlock block =
        DesEncryptBlock(DesKeyFrom7(reinterpret_cast<const uint8_t*>(hash21.data()) + 7 * k), challenge);
    out.append(reinterpret_cast<const char*>(block.data()), block.size());
  }
  return out;
}

// The item type of the server's time in the target information.
constexpr uint64_t kAvTimestamp = 7;

// The server's time from the target information, if it names one.
bool TargetInfoTimestamp(std::string_view info, uint64_t& timestamp) {
  const std::string m(info);
  for (uint64_t at = 0; at + 4 <= m.size();) {
    const uint64_t type = Get(m, at, 2);
    const uint64_t length = Get(m, at + 2, 2);
    if ((type == 0 && length == 0) || at + 4 + length > m.size()) return false;
    if (type == kAvTimestamp && length == 8) {
      timestamp = Get(m, at + 4, 8);
      return true;
    }
    at += 4 + length;
  }
  return false;
}

std::string HmacMd5(std::string_view key, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &length);
  return std::string(reinterpret_cast<const char*>(out), length);
}

std::string Bytes(const TNtlmChallenge& c) {
  return std::string(reinterpret_cast<const char*>(c.data()), c.size());
}

// Message 3 around its two responses; the names go in as 16-bit units.
std::string Message3(std::string_view Domain, std::string_view Workstation, std::string_view User,
                     const std::string& lm, const std::string& nt) {
  const std::string domain = Widen(Domain);
  const std::string user = Widen(User);
  const std::string workstation = Widen(Workstation);
  const size_t userOffset = 64 + domain.size();
  const size_t workstationOffset = userOffset + user.size();
  const size_t lmOffset = workstationOffset + workstation.size();
  std::string m = Header(64, 3);
  PutField(m, 12, lm.size(), lmOffset);
  PutField(m, 20, nt.size(), lmOffset + lm.size());
  PutField(m, 28, domain.size(), 64);
  PutField(m, 36, user.size(), userOffset);
  PutField(m, 44, workstation.size(), workstationOffset);
  PutField(m, 52, 0, 0);
  Put32(m, 60, kMessage3Flags);
  m += domain + user + workstation + lm + nt;
  return EncodeBase64(m);
}

}  // namespace

std::string BuildNtlmMessage1(std::string_view Workstation, std::string_view Domain) {
  if (Workstation.size() > kMaxField || Domain.size() > kMaxField) return {};
  std::string m = Header(32, 1);
  uint32_t flags = kMessage1Flags;
  if (!Workstation.empty()) flags |= kWorkstationSupplied;
  if (!Domain.empty()) flags |= kDomainSupplied;
  Put32(m, 12, flags);
  PutField(m, 16, Domain.size(), Domain.empty() ? 0 : 32 + Workstation.size());
  PutField(m, 24, Workstation.size(), Workstation.empty() ? 0 : 32);
  m += UpperAscii(Workstation);
  m += UpperAscii(Domain);
  return EncodeBase64(m);
}

TNTLM_Msg2_Info ParseNtlmMessage2(std::string_view Text) {
  TNTLM_Msg2_Info info;
  if (Text.empty()) return info;
  info.Valid = true;
  const std::string m = DecodeBase64(Text);
  info.TargetName = Chars(m, Get(m, 16, 4), Get(m, 12, 2));
  for (size_t i = 0; i < info.Challenge.size(); ++i)
    info.Challenge[i] = static_cast<uint8_t>(Get(m, 24 + i, 1));
  const uint64_t infoOffset = Get(m, 44, 4);
  WalkTargetInfo(m, infoOffset, info);
  if (infoOffset < m.size()) info.TargetInfo = m.substr(infoOffset, Get(m, 40, 2));
  return info;
}

bool NtlmMessage3Fits(std::string_view Domain, std::string_view Workstation, std::string_view User) {
  return Domain.size() * 2 <= kMaxField && Workstation.size() * 2 <= kMaxField &&
         User.size() * 2 <= kMaxField;
}

std::string BuildNtlmMessage3(std::string_view Domain, std::string_view Workstation, std::string_view User,
                              std::string_view Password, const TNtlmChallenge& Challenge) {
  if (!NtlmMessage3Fits(Domain, Workstation, User)) return {};
  return Message3(Domain, Workstation, User, LmResponse(Password, Challenge),
                  NtResponse(Password, Challenge));
}

std::string BuildNtlmMessage3V2(std::string_view Domain, std::string_view Workstation, std::string_view User,
                                std::string_view Password, const TNTLM_Msg2_Info& Info,
                                const TNtlmChallenge& ClientChallenge, uint64_t Timestamp) {
  if (!NtlmMessage3Fits(Domain, Workstation, User)) return {};
  // The server's own time, when it gives one, keeps clocks that differ out of it.
  TargetInfoTimestamp(Info.TargetInfo, Timestamp);
  std::string response =
      NtlmV2Response(User, Domain, Password, Info.Challenge, ClientChallenge, Timestamp, Info.TargetInfo);
  // The response carries the target information: a huge one would wrap its
  // 16-bit length and make the message lie about its own layout.
  if (response.size() > kMaxField) return {};
  return Message3(Domain, Workstation, User, std::string(), response);
}

std::string NtlmV2Response(std::string_view User, std::string_view Domain, std::string_view Password,
                           const TNtlmChallenge& Challenge, const TNtlmChallenge& ClientChallenge,
                           uint64_t Timestamp, std::string_view TargetInfo) {
  const TMD4Digest ntHash = Md4Digest(Widen(Password));
  const std::string key = HmacMd5(std::string(reinterpret_cast<const char*>(ntHash.data()), ntHash.size()),
                                  Widen(UpperAscii(User) + std::string(Domain)));
  std::string blob(16, '\0');
  blob[0] = blob[1] = 1;  // response version and the highest one understood
  for (size_t i = 0; i < 8; ++i) blob[8 + i] = static_cast<char>((Timestamp >> (8 * i)) & 0xFF);
  blob += Bytes(ClientChallenge) + std::string(4, '\0') + std::string(TargetInfo) + std::string(4, '\0');
  return HmacMd5(key, Bytes(Challenge) + blob) + blob;
}

std::string LmResponse(std::string_view Password, const TNtlmChallenge& Challenge) {
  // The published constant of the LM hash.
  static const TDesBlock kMagic = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  std::string key = UpperAscii(Password.substr(0, 14));
  key.resize(14, '\0');
  std::string hash;
  for (size_t half = 0; half < 2; ++half) {
    const TDesBlock block =
        DesEncryptBlock(DesKeyFrom7(reinterpret_cast<const uint8_t*>(key.data()) + 7 * half), kMagic);
    hash.append(reinterpret_cast<const char*>(block.data()), block.size());
  }
  hash.resize(21, '\0');
  return Respond(hash, Challenge);
}

std::string NtResponse(std::string_view Password, const TNtlmChallenge& Challenge) {
  const TMD4Digest digest = Md4Digest(Widen(Password));
  std::string hash(reinterpret_cast<const char*>(digest.data()), digest.size());
  hash.resize(21, '\0');
  return Respond(hash, Challenge);
}

}  // namespace http
