// "br": one brotli stream.
#include <brotli/decode.h>

#include <new>
#include <vector>

#include "http/HttpCCodecs.h"

namespace http {

namespace {

class TBrotliCoding : public THttpContentCoding {
 public:
  explicit TBrotliCoding(TWriteProc writeProc)
      : THttpContentCoding(std::move(writeProc)),
        FState(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {
    if (!FState) throw std::bad_alloc();
  }
  ~TBrotliCoding() override { BrotliDecoderDestroyInstance(FState); }

  void DecodeBytes(const char* buffer, int64_t count) override {
    if (count <= 0) return;
    if (FEnded) FailCorrupt("br", "data after the end");
    FInputSeen = true;
    auto availIn = static_cast<size_t>(count);
    auto nextIn = reinterpret_cast<const uint8_t*>(buffer);
    for (;;) {
      size_t availOut = FOut.size();
      auto nextOut = reinterpret_cast<uint8_t*>(FOut.data());
      const BrotliDecoderResult rc =
          BrotliDecoderDecompressStream(FState, &availIn, &nextIn, &availOut, &nextOut, nullptr);
      if (rc == BROTLI_DECODER_RESULT_ERROR) FailCorrupt("br", "");
      const auto produced = static_cast<int64_t>(FOut.size() - availOut);
      if (produced > 0) WriteDecoded(FOut.data(), produced);
      if (rc == BROTLI_DECODER_RESULT_SUCCESS) {
        FEnded = true;
        if (availIn > 0) FailCorrupt("br", "data after the end");
        return;
      }
      if (rc == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) return;  // all input taken
    }
  }

  void Complete() override {
    if (FInputSeen && !FEnded) FailTruncated("br");
  }

 private:
  BrotliDecoderState* FState;
  std::vector<char> FOut = std::vector<char>(kDecodeBufferSize);
  bool FInputSeen = false;
  bool FEnded = false;
};

}  // namespace

const THttpContentCodingClass& BrotliCodingClass() {
  static const THttpContentCodingClass kClass = MakeCodingClass<TBrotliCoding>("THttpCCodBrotli", "br");
  return kClass;
}

}  // namespace http
