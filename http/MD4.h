// The MD4 message digest (RFC 1320), for the NT hash of NTLM.
//
// A context is a plain value: Md4Init loads it, Md4Update feeds any number of
// bytes in any number of calls, Md4Final pads, returns the 16-byte digest and
// clears the context (so it must be initialised again before further use).
// Updating or finishing a context that is not initialised raises MD4Exception
// ("MD4 not initialized"). No allocation, no shared state: any thread may use
// its own contexts.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "core/SysUtils.h"

namespace http {

class MD4Exception : public core::Exception {
 public:
  using core::Exception::Exception;
  std::string ClassName() const override { return "MD4Exception"; }
};

using TMD4Digest = std::array<uint8_t, 16>;

struct TMD4Context {
  uint64_t BitCount = 0;
  uint32_t Buffered = 0;  // bytes waiting in Block
  uint32_t State[4] = {};
  uint8_t Block[64] = {};
  bool Initialized = false;
};

void Md4Init(TMD4Context& Context);
void Md4Update(TMD4Context& Context, std::string_view Bytes);
TMD4Digest Md4Final(TMD4Context& Context);
// Init, Update and Final in one call.
TMD4Digest Md4Digest(std::string_view Bytes);

}  // namespace http
