// Feeds arbitrary challenges to ParseNtlmMessage2: the first byte chooses whether
// the rest is taken as the Base64 text of a header (as the client passes it, at
// most 1000 characters) or as a raw message to encode first, so both hostile text
// and hostile message layouts are reached. Besides crashes, it checks that the
// names never outgrow what their 16-bit lengths and the message allow.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/MimeUtils.h"
#include "http/NtlmMsgs.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string text = (data[0] & 1) ? http::EncodeBase64(rest) : rest.substr(0, 1000);

  const http::TNTLM_Msg2_Info info = http::ParseNtlmMessage2(text);

  Check(info.Valid == !text.empty());
  const size_t messageSize = http::DecodeBase64(text).size();
  Check(info.TargetName.size() <= 0xFFFF);
  Check(info.DomainName.size() <= messageSize && info.ServerName.size() <= messageSize);
  if (!info.Valid) {
    Check(info.TargetName.empty() && info.DomainName.empty() && info.ServerName.empty());
    for (uint8_t b : info.Challenge) Check(b == 0);
  }
  return 0;
}
