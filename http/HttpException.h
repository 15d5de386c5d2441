// Exceptions of the HTTP layer.
//
// EHttpException reports misuse of the client and, from the synchronous request
// operations, a failed request; ErrorNumber is the client's code (1 busy, 2
// nothing to post, 5 bad version, 6 a URL holding CR, LF or NUL) or the final
// HTTP status.
// EHttpContentCodingException reports a content-coding class that cannot name
// its coding, and content a decoder cannot decode (the client turns the latter
// into a failed request).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "core/SysUtils.h"

namespace http {

class EHttpException : public core::Exception {
 public:
  EHttpException(std::string message, uint16_t errorNumber)
      : core::Exception(std::move(message)), FErrorNumber(errorNumber) {}
  uint16_t ErrorNumber() const { return FErrorNumber; }
  std::string ClassName() const override { return "EHttpException"; }

 private:
  uint16_t FErrorNumber;
};

class EHttpContentCodingException : public core::Exception {
 public:
  using core::Exception::Exception;
  std::string ClassName() const override { return "EHttpContentCodingException"; }
};

}  // namespace http
