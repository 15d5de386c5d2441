// Builds NTLM message 3 (NTLMv1 and NTLMv2) for names of any length up to and
// past the limits, decodes it and reads it back as a server would.
//
// Input: byte 0 chooses NTLMv2 (bit 0); bytes 1-6 are the lengths of domain,
// workstation and user (two bytes each: a short length, or around the limit),
// bytes 7-8 that of the server's target information (up to what the client
// accepts); the rest is cycled to fill the names, the password and the target
// information.
// Checked:
// - the builder refuses exactly the names whose 16-bit units would not fit a
//   16-bit length, and nothing else;
// - the message is "NTLMSSP", type 3, and each of its six security buffers has
//   its length twice and lies inside the message, after the 64-byte header;
// - the buffers hold the names widened to 16-bit units and the responses, back
//   to back with nothing between them and nothing after them;
// - the responses are those for the password (24 bytes each for NTLMv1; no LM
//   response and the NTLMv2 response over the target information for NTLMv2).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/MimeUtils.h"
#include "http/NtlmMsgs.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

uint64_t Get(const std::string& m, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(m[at + i])) << (8 * i);
  return v;
}

std::string Fill(std::string_view pool, size_t& at, size_t len) {
  std::string s(len, 'x');
  if (pool.empty()) return s;
  for (size_t i = 0; i < len; ++i) s[i] = pool[at++ % pool.size()];
  return s;
}

std::string Widen(std::string_view s) {
  std::string out;
  for (char c : s) out += std::string{c, '\0'};
  return out;
}

// The buffer at its header position, after checking where it lies.
std::string Buffer(const std::string& m, size_t at) {
  const uint64_t len = Get(m, at, 2);
  Check(Get(m, at + 2, 2) == len);
  const uint64_t offset = Get(m, at + 4, 4);
  if (len == 0) return {};
  Check(offset >= 64 && offset + len <= m.size());
  return m.substr(offset, len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  const bool v2 = data[0] & 1;
  // Most names are short, which keeps the runs fast; bit 0 of a length's second
  // byte puts it around the limit of 32767 bytes instead.
  auto len16 = [data](size_t i) {
    return (data[i + 1] & 1) ? size_t{0x7FFF} - 2 + data[i] % 5 : static_cast<size_t>(data[i]);
  };
  const std::string_view pool(reinterpret_cast<const char*>(data + 9), size - 9);
  size_t at = 0;
  const std::string domain = Fill(pool, at, len16(1));
  const std::string workstation = Fill(pool, at, len16(3));
  const std::string user = Fill(pool, at, len16(5));
  const std::string password = Fill(pool, at, pool.size() % 64);
  http::TNtlmChallenge challenge{}, client{};
  for (size_t i = 0; i < 8; ++i) {
    challenge[i] = static_cast<uint8_t>(i < pool.size() ? pool[i] : i);
    client[i] = static_cast<uint8_t>(0xA0 + i);
  }
  http::TNTLM_Msg2_Info info;
  info.Valid = true;
  info.Challenge = challenge;
  // The client reads at most 1000 characters of a challenge, so the target
  // information it can hold is at most 750 bytes; the NTLMv2 response over a
  // much larger one would outgrow its 16-bit length.
  info.TargetInfo = v2 ? Fill(pool, at, (data[7] | data[8] << 8) % 751) : std::string();
  constexpr uint64_t kTime = 0x01D0000000000000ull;

  const std::string text =
      v2 ? http::BuildNtlmMessage3V2(domain, workstation, user, password, info, client, kTime)
         : http::BuildNtlmMessage3(domain, workstation, user, password, challenge);
  const bool fits =
      domain.size() * 2 <= 0xFFFF && workstation.size() * 2 <= 0xFFFF && user.size() * 2 <= 0xFFFF;
  Check(http::NtlmMessage3Fits(domain, workstation, user) == fits);
  Check(text.empty() == !fits);
  if (!fits) return 0;

  const std::string m = http::DecodeBase64(text);
  Check(m.size() >= 64 && m.compare(0, 8, std::string("NTLMSSP\0", 8)) == 0 && Get(m, 8, 4) == 3);
  const std::string lm = Buffer(m, 12), nt = Buffer(m, 20);
  Check(Buffer(m, 28) == Widen(domain));
  Check(Buffer(m, 36) == Widen(user));
  Check(Buffer(m, 44) == Widen(workstation));
  Check(Get(m, 52, 2) == 0);  // no session key
  // Back to back, in the order domain, user, workstation, LM, NT, to the end.
  size_t expected = 64;
  for (size_t field : {28u, 36u, 44u, 12u, 20u}) {
    if (Get(m, field, 2) > 0) Check(Get(m, field + 4, 4) == expected);
    expected += Get(m, field, 2);
  }
  Check(expected == m.size());
  if (v2) {
    Check(lm.empty());
    // Proof, blob header, the target information and the closing zeros.
    Check(nt.size() == 16 + 28 + info.TargetInfo.size() + 4);
  } else {
    Check(lm == http::LmResponse(password, challenge));
    Check(nt == http::NtResponse(password, challenge));
  }
  return 0;
}
