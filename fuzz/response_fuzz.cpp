// Feeds the HTTP client's response parser (status line, fields, bodies by length,
// chunks or the close, interim answers, several responses on one connection) with
// arbitrary bytes cut at arbitrary points, through the client's receive seam.
//
// Input layout: byte 0 chooses the request (GET or HEAD), the version asked for
// and whether the server closes at the end; bytes 1-4 seed the split points; the
// rest is what the server sends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/Application.h"
#include "http/HttpProt.h"

namespace {

class TFuzzCli : public http::THttpCli {
 public:
  using THttpCli::THttpCli;

  void Begin(http::THttpRequest rq) {
    FRequestType = rq;
    ResetRequestState();
    FReusedConnection = false;
    FResponseBytes = false;
    FLineHandler = &THttpCli::GetHeaderLineNext;
    StateChange(http::httpConnected);
    StateChange(http::httpWaitingHeader);
  }
  void Feed(const uint8_t* data, size_t size) {
    FPending.assign(reinterpret_cast<const char*>(data), size);
    while (!FPending.empty()) {
      SocketDataAvailable(Socket(), 0);
      CheckInvariants();
    }
    core::Application().ProcessMessages();
  }
  void PeerCloses(uint16_t errCode) {
    SocketSessionClosed(Socket(), errCode);
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
  // What must hold whatever the server sends: the buffer is consistent and bounded,
  // and a length-delimited document never takes more than its length.
  void CheckInvariants() const {
    if (FReceiveLen < 0 || static_cast<size_t>(FReceiveLen) >= FReceiveBuffer.size()) __builtin_trap();
    if (FReceiveBuffer[static_cast<size_t>(FReceiveLen)] != 0) __builtin_trap();
    if (FReceiveBuffer.size() > static_cast<size_t>(kMaxHeaderLine + 2 * kReceiveRoom) + 2) __builtin_trap();
    if (TransferEncoding() != "chunked" && FContentLength >= 0 && FRcvdCount > FContentLength)
      __builtin_trap();
    if (FHeaderBytes > kMaxHeaderSize + kMaxHeaderLine + 2) __builtin_trap();
  }

  std::string FPending;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t mode = data[0];
  uint32_t seed;
  std::memcpy(&seed, data + 1, 4);
  data += 5;
  size -= 5;

  core::TMemoryStream body;
  auto cli = core::MakeComponent<TFuzzCli>(nullptr);
  cli->SetRcvdStream(&body);
  cli->SetRequestVer((mode & 2) ? "1.1" : "1.0");
  const http::THttpRequest rq = (mode & 1) ? http::httpHEAD : http::httpGET;
  cli->Begin(rq);
  while (size > 0) {
    // A small linear congruential generator chooses the next receive's size.
    seed = seed * 1103515245u + 12345u;
    const size_t piece = std::min<size_t>(size, 1 + (seed >> 16) % ((mode & 8) ? 3 : 700));
    cli->Feed(data, piece);
    data += piece;
    size -= piece;
    // The next response on a kept connection.
    if (cli->State() == http::httpReady) cli->Begin(rq);
  }
  if (mode & 4) cli->PeerCloses((mode & 16) ? 10054 : 0);
  return 0;
}
