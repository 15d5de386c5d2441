// A response whose body is coded (gzip, deflate, br, zstd or a chain), framed by
// its length, by chunks or by the close, fed to the client with content coding on
// three times: all at once, finely (one byte per receive over the start of the
// body, where the decoders read their own headers, and small pieces after), and
// in pseudo-random pieces.
// Whatever the body holds, the request ends, either decoded or failed with a
// decoding reason, and never holds more than the limit; and the three runs agree
// on the verdict and, when decoded, on every byte. How much a failed document
// decoded before its failure depends on the pieces, so that is not compared,
// and of a failure only its kind ("Corrupt", "Truncated", "Decoded content
// larger") is: which check strikes first, and in a chain of codings which
// decoder, depends on how far each had got.
//
// Input layout: byte 0 chooses the coding (low 3 bits) and the framing (next 2
// bits); bytes 1-4 seed the receive sizes and chunk sizes; the rest is the body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/Application.h"
#include "http/HttpProt.h"

namespace {

constexpr int64_t kLimit = 1 << 20;

class TFuzzCli : public http::THttpCli {
 public:
  using THttpCli::THttpCli;

  void Begin() {
    FRequestType = http::httpGET;
    ResetRequestState();
    FReusedConnection = false;
    FResponseBytes = false;
    FLineHandler = &THttpCli::GetHeaderLineNext;
    StateChange(http::httpConnected);
    StateChange(http::httpWaitingHeader);
  }
  void Feed(const std::string& bytes) {
    FPending = bytes;
    while (!FPending.empty() && FLineHandler) SocketDataAvailable(Socket(), 0);
    FPending.clear();
    core::Application().ProcessMessages();
  }
  void PeerCloses() {
    SocketSessionClosed(Socket(), 0);
    core::Application().ProcessMessages();
  }

 protected:
  int ReceiveData(void* Buffer, int BufferSize) override {
    const size_t n = std::min(FPending.size(), static_cast<size_t>(BufferSize));
    std::memcpy(Buffer, FPending.data(), n);
    FPending.erase(0, n);
    return static_cast<int>(n);
  }

 private:
  std::string FPending;
};

const char* const kCodings[] = {"gzip",   "deflate",     "br",         "zstd",
                                "x-gzip", "deflate, br", "gzip, zstd", "br, br"};

uint32_t Next(uint32_t& seed) {
  seed = seed * 1103515245u + 12345u;
  return seed >> 16;
}

std::string Chunked(const std::string& body, uint32_t& seed) {
  std::string out;
  for (size_t i = 0; i < body.size();) {
    const size_t n = std::min<size_t>(body.size() - i, 1 + Next(seed) % 300);
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", n);
    out += size + body.substr(i, n) + "\r\n";
    i += n;
  }
  return out + "0\r\n\r\n";
}

bool DecodingReason(const std::string& reason) {
  for (const char* prefix : {"Corrupt ", "Truncated ", "Decoded content larger than "}) {
    if (reason.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

enum TPieces { pcWhole, pcFine, pcRandom };

// The fine run gives the header in one piece (its parser is another target's),
// then one byte per receive to the first kFineBytes of the body, where the
// decoders read their own headers, and small pieces after.
constexpr size_t kFineBytes = 64;

size_t PieceSize(TPieces pieces, size_t at, size_t bodyStart, uint32_t& seed) {
  if (pieces == pcWhole) return SIZE_MAX;
  if (pieces == pcFine) {
    if (at < bodyStart) return bodyStart - at;
    return at < bodyStart + kFineBytes ? 1 : 1 + Next(seed) % 16;
  }
  return 1 + Next(seed) % 512;
}

struct TOutcome {
  int status = 0;
  std::string reason, decoded;
  bool operator==(const TOutcome&) const = default;
};

TOutcome Run(const std::string& response, bool closeDelimited, bool http10, TPieces pieces, uint32_t seed) {
  core::TMemoryStream stream;
  auto cli = core::MakeComponent<TFuzzCli>(nullptr);
  cli->SetRcvdStream(&stream);
  cli->SetRequestVer(http10 ? "1.0" : "1.1");
  cli->SetOptions(http::httpoEnableContentCoding);
  cli->SetMaxDecodedSize(kLimit);
  cli->Begin();
  const size_t bodyStart = response.find("\r\n\r\n") + 4;
  for (size_t at = 0; at < response.size();) {
    const size_t piece = std::min(response.size() - at, PieceSize(pieces, at, bodyStart, seed));
    cli->Feed(response.substr(at, piece));
    at += piece;
  }
  if (closeDelimited) cli->PeerCloses();

  if (stream.Size() > kLimit) __builtin_trap();
  // The request ended: decoded, or failed for its content.
  if (cli->State() != http::httpReady && cli->State() != http::httpBodyReceived) __builtin_trap();
  TOutcome out{cli->StatusCode(), cli->ReasonPhrase(), {}};
  if (out.status != 200 && !(out.status == 404 && DecodingReason(out.reason))) __builtin_trap();
  if (out.status == 200) out.decoded = stream.DataString();
  if (out.status != 200) out.reason = out.reason.substr(0, out.reason.find(' '));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t mode = data[0];
  uint32_t seed;
  std::memcpy(&seed, data + 1, 4);
  const std::string body(reinterpret_cast<const char*>(data) + 5, size - 5);
  const int framing = (mode >> 3) % 3;  // 0 length, 1 chunks, 2 the close

  std::string response = std::string(framing == 2 ? "HTTP/1.0" : "HTTP/1.1") +
                         " 200 OK\r\nContent-Encoding: " + kCodings[mode & 7] + "\r\n";
  if (framing == 0) response += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  if (framing == 1) response += "Transfer-Encoding: chunked\r\n\r\n" + Chunked(body, seed);
  if (framing == 2) response += "\r\n" + body;

  const TOutcome whole = Run(response, framing == 2, framing == 2, pcWhole, seed);
  for (TPieces pieces : {pcFine, pcRandom}) {
    const TOutcome other = Run(response, framing == 2, framing == 2, pieces, seed);
    if (!(other == whole)) {
      std::fprintf(stderr, "all at once: %d %s (%zu bytes); %s: %d %s (%zu bytes)\n", whole.status,
                   whole.reason.c_str(), whole.decoded.size(), pieces == pcFine ? "fine" : "random",
                   other.status, other.reason.c_str(), other.decoded.size());
      __builtin_trap();
    }
  }
  return 0;
}
