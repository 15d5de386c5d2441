#include "http/HttpCCodecs.h"

#include "http/HttpException.h"

namespace http {

void RegisterCompressionCodings(TContCodingsList& codings) {
  codings.RegisterCoding(GzipCodingClass(), 1);
  codings.RegisterCoding(XGzipCodingClass(), 0);
  codings.RegisterCoding(DeflateCodingClass(), 1);
  codings.RegisterCoding(BrotliCodingClass(), 1);
  codings.RegisterCoding(ZstdCodingClass(), 1);
}

void FailCorrupt(const std::string& coding, const std::string& detail) {
  throw EHttpContentCodingException("Corrupt " + coding + " content" + (detail.empty() ? "" : ": " + detail));
}

void FailTruncated(const std::string& coding) {
  throw EHttpContentCodingException("Truncated " + coding + " content");
}

}  // namespace http
