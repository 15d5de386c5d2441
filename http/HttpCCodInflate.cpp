#include "http/HttpCCodInflate.h"

#include <algorithm>
#include <new>

#include "http/HttpCCodecs.h"

namespace http {

TInflateCoding::TInflateCoding(TWriteProc writeProc, std::string coding, bool members)
    : THttpContentCoding(std::move(writeProc)), FCoding(std::move(coding)), FMembers(members) {}

TInflateCoding::~TInflateCoding() {
  if (FStarted) inflateEnd(&FStream);
}

void TInflateCoding::Start(int windowBits) {
  if (inflateInit2(&FStream, windowBits) != Z_OK) throw std::bad_alloc();
  FStarted = true;
  FOut.resize(kDecodeBufferSize);
}

void TInflateCoding::Inflate(const char* buffer, int64_t count) {
  // zlib counts in 32 bits.
  while (count > 0) {
    const auto piece = static_cast<uInt>(std::min<int64_t>(count, int64_t{1} << 30));
    InflatePiece(buffer, piece);
    buffer += piece;
    count -= piece;
  }
}

void TInflateCoding::InflatePiece(const char* buffer, uInt count) {
  FStream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(buffer));
  FStream.avail_in = count;
  for (;;) {
    if (FEnded) {
      if (FStream.avail_in == 0) return;
      if (!FMembers) FailCorrupt(FCoding, "data after the end");
      inflateReset(&FStream);
      FEnded = false;
    }
    if (!Step()) return;
  }
}

bool TInflateCoding::Step() {
  FStream.next_out = reinterpret_cast<Bytef*>(FOut.data());
  FStream.avail_out = static_cast<uInt>(FOut.size());
  const uInt before = FStream.avail_in;
  const int rc = inflate(&FStream, Z_NO_FLUSH);
  const auto produced = static_cast<int64_t>(FOut.size() - FStream.avail_out);
  if (rc == Z_STREAM_END) {
    FEnded = true;
  } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
    FailCorrupt(FCoding, rc == Z_NEED_DICT ? "needs a preset dictionary" : FStream.msg ? FStream.msg : "");
  }
  if (produced > 0) WriteDecoded(FOut.data(), produced);
  // A full output buffer may leave more behind even when all input was taken.
  if (FEnded || FStream.avail_out == 0) return true;
  if (FStream.avail_in == 0) return false;
  // Input left with room to spare: never dropped silently.
  if (FStream.avail_in == before && produced == 0) FailCorrupt(FCoding, "no progress");
  return true;
}

void TInflateCoding::Complete() {
  if (FStarted && !FEnded) FailTruncated(FCoding);
}

}  // namespace http
