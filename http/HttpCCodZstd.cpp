// "zstd": one or more zstd frames, one after the other. Windows are held to
// 8 MiB, the most an HTTP sender may use, so a frame cannot make the decoder
// allocate the library's default limit of 128 MiB.
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "http/HttpCCodecs.h"

namespace http {

namespace {

class TZstdCoding : public THttpContentCoding {
 public:
  explicit TZstdCoding(TWriteProc writeProc)
      : THttpContentCoding(std::move(writeProc)), FContext(ZSTD_createDCtx()) {
    if (!FContext) throw std::bad_alloc();
    ZSTD_DCtx_setParameter(FContext, ZSTD_d_windowLogMax, kWindowLogMax);
  }
  ~TZstdCoding() override { ZSTD_freeDCtx(FContext); }

  void DecodeBytes(const char* buffer, int64_t count) override {
    if (count <= 0) return;
    FInputSeen = true;
    ZSTD_inBuffer in{buffer, static_cast<size_t>(count), 0};
    PeekHeader(in);
    for (;;) {
      ZSTD_outBuffer out{FOut.data(), FOut.size(), 0};
      const size_t inBefore = in.pos;
      const size_t rc = ZSTD_decompressStream(FContext, &out, &in);
      if (ZSTD_isError(rc)) FailCorrupt("zstd", ZSTD_getErrorName(rc));
      if (out.pos > 0) WriteDecoded(FOut.data(), static_cast<int64_t>(out.pos));
      FFrameOut += out.pos;
      // 0: a frame is complete and all its output written; the call stops there.
      // A call that finds nothing to do after that (the last output filled the
      // buffer exactly) does not start another frame.
      if (rc == 0) {
        FrameEnded();
        PeekHeader(in);
      } else if (in.pos > inBefore || out.pos > 0) {
        FFrameEnded = false;
      }
      // A full output buffer may leave more behind even when all input was taken.
      if (in.pos == in.size && out.pos < out.size) return;
    }
  }

  void Complete() override {
    if (FInputSeen && !FFrameEnded) FailTruncated("zstd");
  }

 private:
  // The first bytes of the current frame, as many as its header may take.
  // The library also reads the formats of its early versions, which no HTTP
  // sender uses and which it checks differently whole and in pieces: a frame must
  // be a current or a skippable one.
  void PeekHeader(const ZSTD_inBuffer& in) {
    const size_t take = std::min(kHeaderMax - FHeader.size(), in.size - in.pos);
    FHeader.append(static_cast<const char*>(in.src) + in.pos, take);
    if (FHeader.size() < 4 || FHeader.size() - take >= 4) return;
    uint32_t magic = 0;
    for (int i = 3; i >= 0; --i)
      magic = magic << 8 | static_cast<unsigned char>(FHeader[static_cast<size_t>(i)]);
    if (magic != ZSTD_MAGICNUMBER && (magic & ZSTD_MAGIC_SKIPPABLE_MASK) != ZSTD_MAGIC_SKIPPABLE_START)
      FailCorrupt("zstd", "not a zstd frame");
  }

  // The library checks a frame's declared size when it decodes the frame in one
  // go, but not when the frame arrives in pieces: checked here, so every split of
  // the input ends the same way.
  void FrameEnded() {
    const unsigned long long declared = ZSTD_getFrameContentSize(FHeader.data(), FHeader.size());
    if (declared < ZSTD_CONTENTSIZE_ERROR && declared != FFrameOut)
      FailCorrupt("zstd", "frame size differs from its header");
    FHeader.clear();
    FFrameOut = 0;
    FFrameEnded = true;
  }

  static constexpr size_t kHeaderMax = 18;  // the longest frame header
  static constexpr int kWindowLogMax = 23;

  ZSTD_DCtx* FContext;
  std::vector<char> FOut = std::vector<char>(kDecodeBufferSize);
  bool FInputSeen = false;
  bool FFrameEnded = false;
  std::string FHeader;
  unsigned long long FFrameOut = 0;
};

}  // namespace

const THttpContentCodingClass& ZstdCodingClass() {
  static const THttpContentCodingClass kClass = MakeCodingClass<TZstdCoding>("THttpCCodZstd", "zstd");
  return kClass;
}

}  // namespace http
