// "deflate": meant as zlib-wrapped deflate data, but servers have long sent raw
// deflate data under that name too, so the first two bytes decide which it is.
#include <algorithm>
#include <string>

#include "http/HttpCCodInflate.h"
#include "http/HttpCCodecs.h"

namespace http {

namespace {

// A zlib header: method 8 (deflate) with a window of at most 32 KiB, and the
// check bits that make the 16-bit value a multiple of 31. Raw deflate data
// starting like this would begin with a stored block with non-zero padding bits,
// which no encoder writes.
bool IsZlibHeader(unsigned char cmf, unsigned char flg) {
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
}

class TDeflateCoding : public TInflateCoding {
 public:
  explicit TDeflateCoding(TWriteProc writeProc) : TInflateCoding(std::move(writeProc), "deflate", false) {}

  void DecodeBytes(const char* buffer, int64_t count) override {
    if (!Started()) {
      const int64_t take = std::min<int64_t>(count, 2 - static_cast<int64_t>(FHead.size()));
      FHead.append(buffer, static_cast<size_t>(std::max<int64_t>(take, 0)));
      if (FHead.size() < 2) return;
      buffer += take;
      count -= take;
      StartWithHead();
    }
    if (count > 0) Inflate(buffer, count);
  }

  void Complete() override {
    // A single byte cannot be a whole stream either way: inflating it as raw data
    // reports the truncation.
    if (!Started() && !FHead.empty()) StartWithHead();
    TInflateCoding::Complete();
  }

 private:
  void StartWithHead() {
    const bool zlib = FHead.size() == 2 && IsZlibHeader(static_cast<unsigned char>(FHead[0]),
                                                        static_cast<unsigned char>(FHead[1]));
    Start(zlib ? 15 : -15);
    Inflate(FHead.data(), static_cast<int64_t>(FHead.size()));
  }

  std::string FHead;  // the first bytes, held until they tell the form
};

}  // namespace

const THttpContentCodingClass& DeflateCodingClass() {
  static const THttpContentCodingClass kClass =
      MakeCodingClass<TDeflateCoding>("THttpCCodDeflate", "deflate");
  return kClass;
}

}  // namespace http
