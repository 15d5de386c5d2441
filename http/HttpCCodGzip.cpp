// "gzip" and its old name "x-gzip": one or more gzip members, one after the other.
#include "http/HttpCCodInflate.h"
#include "http/HttpCCodecs.h"

namespace http {

namespace {

class TGzipCoding : public TInflateCoding {
 public:
  explicit TGzipCoding(TWriteProc writeProc) : TInflateCoding(std::move(writeProc), "gzip", true) {}

  void DecodeBytes(const char* buffer, int64_t count) override {
    if (count <= 0) return;
    if (!Started()) Start(15 + 16);  // 16: a gzip header and trailer around the deflate data
    Inflate(buffer, count);
  }
};

}  // namespace

const THttpContentCodingClass& GzipCodingClass() {
  static const THttpContentCodingClass kClass = MakeCodingClass<TGzipCoding>("THttpCCodGzip", "gzip");
  return kClass;
}

const THttpContentCodingClass& XGzipCodingClass() {
  static const THttpContentCodingClass kClass = MakeCodingClass<TGzipCoding>("THttpCCodXGzip", "x-gzip");
  return kClass;
}

}  // namespace http
