// Streaming inflate over zlib, shared by the gzip and deflate codings.
#pragma once

#include <zlib.h>

#include <string>
#include <vector>

#include "http/HttpContCod.h"

namespace http {

class TInflateCoding : public THttpContentCoding {
 public:
  // coding names the coding in failure texts; with members, another stream may
  // follow the end of one (gzip's concatenated members).
  TInflateCoding(TWriteProc writeProc, std::string coding, bool members);
  ~TInflateCoding() override;

  void Complete() override;

 protected:
  bool Started() const { return FStarted; }
  // Opens the stream with zlib's windowBits: 15 + 16 gzip, 15 zlib, -15 raw deflate.
  void Start(int windowBits);
  void Inflate(const char* buffer, int64_t count);

 private:
  void InflatePiece(const char* buffer, uInt count);
  // One call to inflate; false when it needs more input.
  bool Step();

  std::string FCoding;
  bool FMembers;
  z_stream FStream{};
  bool FStarted = false;
  bool FEnded = false;
  std::vector<char> FOut;
};

}  // namespace http
