// THttpCli: receiving into the buffer and cutting the response into lines, each
// handed to the step that waits for it.
#include <algorithm>
#include <climits>
#include <cstring>

#include "http/HttpProt.h"

namespace http {

namespace {

bool IsHeaderState(THttpState s) {
  return s == httpWaitingHeader || s == httpWaitingBody;
}

}  // namespace

// Seam: the socket's Receive; tests and the fuzz target feed bytes here instead.
int THttpCli::ReceiveData(void* Buffer, int BufferSize) {
  if (FHttp2) return Http2Take(Buffer, BufferSize);
  return FSocket->Receive(Buffer, BufferSize);
}

void THttpCli::EnsureReceiveRoom() {
  const auto needed = static_cast<size_t>(FReceiveLen + kReceiveRoom + 1);
  if (FReceiveBuffer.size() >= needed) return;
  FReceiveBuffer.resize(needed);
  FReceiveBuffer[static_cast<size_t>(FReceiveLen)] = 0;
}

void THttpCli::ClearReceiveBuffer() {
  FReceiveLen = 0;
  FTakenLen = 0;
  FLineScanned = 0;
  ++FReceiveGen;
  if (!FReceiveBuffer.empty()) FReceiveBuffer[0] = 0;
}

// Drops the first Start bytes (lines already taken) by moving the rest forward.
void THttpCli::CompactReceive(int64_t Start) {
  if (Start <= 0) return;
  const int64_t rest = FReceiveLen - Start;
  if (rest > 0) std::memmove(FReceiveBuffer.data(), FReceiveBuffer.data() + Start, static_cast<size_t>(rest));
  FReceiveLen = std::max<int64_t>(rest, 0);
  FReceiveBuffer[static_cast<size_t>(FReceiveLen)] = 0;
}

void THttpCli::DropTakenLines() {
  CompactReceive(FTakenLen);
  FTakenLen = 0;
}

// An HTTP/2 connection's frames go to its session first; what the running
// stream makes of them comes back through ReceiveData.
void THttpCli::SocketDataAvailable(core::TComponent* /*Sender*/, uint16_t ErrCode) {
  if (FHttp2)
    Http2DataAvailable(ErrCode);
  else
    ReceiveAndParse(ErrCode);
}

void THttpCli::ReceiveAndParse(uint16_t ErrCode) {
  // Lines already taken by a step still running (this receive comes from inside
  // one of its events) leave the buffer first.
  DropTakenLines();
  if (ReceiveBodyInPlace()) return;
  EnsureReceiveRoom();
  const int64_t room = BandwidthReadCap(static_cast<int64_t>(FReceiveBuffer.size()) - FReceiveLen - 1);
  const int n =
      ReceiveData(FReceiveBuffer.data() + FReceiveLen, static_cast<int>(std::min<int64_t>(room, INT_MAX)));
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, "Data available. Len=" + std::to_string(n));
  if (FRequestType == httpABORT) return;
  if (n <= 0) {
    if (CheckLogOptions(core::loProtSpecInfo))
      DebugLog(core::loProtSpecInfo, "**data available. Len=" + std::to_string(n));
    return;
  }
  BandwidthReceived(n);
  FResponseBytes = true;
  FReceiveLen += n;
  FReceiveBuffer[static_cast<size_t>(FReceiveLen)] = 0;
  // The proxy's answer to CONNECT is no byte of the page.
  if (FHttpState == httpWaitingProxyConnect) {
    TakeTunnelReply();
    return;
  }
  FTimeline.Received(n);
  if (FHttpState == httpWaitingBody) {
    HandleBodyData();
    return;
  }
  CutHeaderLines(ErrCode);
}

// True when the bytes from Start on may still grow into an acceptable line. A
// response header that outgrows its limits fails the request; anything else that
// runs on without a line end is dropped, so memory stays bounded. A line is
// measured without its CR LF, here as when it is complete: a CR at the end may be
// the first half of the terminator, so the verdict does not depend on where the
// receive was cut.
bool THttpCli::CheckLineLimits(int64_t Start) {
  int64_t text = FReceiveLen - Start;
  if (text > 0 && FReceiveBuffer[static_cast<size_t>(FReceiveLen - 1)] == '\r') --text;
  if (text <= kMaxHeaderLine) return true;
  if (FHttpState == httpWaitingHeader) {
    FailProtocol("Response header too large");
  } else {
    ClearReceiveBuffer();
  }
  return false;
}

// A line is taken out of the buffer before its step runs, so a step whose event
// handler processes messages (and so receives more data) finds only the bytes not
// yet taken. A plain field line is only counted off (FTakenLen) and moved out with
// the next one that needs the buffer: that keeps a long header linear.
void THttpCli::CutHeaderLines(uint16_t ErrCode) {
  const uint64_t gen = FReceiveGen;
  while (FReceiveLen - FTakenLen > 0) {
    char* base = FReceiveBuffer.data();
    const int64_t start = FTakenLen;
    const int64_t from = start + FLineScanned;
    const void* lf = from < FReceiveLen
                         ? std::memchr(base + from, '\n', static_cast<size_t>(FReceiveLen - from))
                         : nullptr;
    if (!lf) {
      DropTakenLines();
      FLineScanned = FReceiveLen;
      CheckLineLimits(0);
      return;
    }
    const int64_t lfPos = static_cast<const char*>(lf) - base;
    FCurrentLineCR = lfPos > start && base[lfPos - 1] == '\r';
    FCurrentLine.assign(base + start, static_cast<size_t>(lfPos - start - (FCurrentLineCR ? 1 : 0)));
    FLineScanned = 0;
    const int64_t lineBytes = lfPos + 1 - start;
    FTakenLen = lfPos + 1;
    if (CheckLogOptions(core::loProtSpecDump)) DebugLog(core::loProtSpecDump, ">|" + FCurrentLine + "|");
    if (FHttpState == httpWaitingHeader) {
      FHeaderBytes += lineBytes;
      if (FHeaderBytes > kMaxHeaderSize || static_cast<int64_t>(FCurrentLine.size()) > kMaxHeaderLine) {
        DropTakenLines();
        FailProtocol("Response header too large");
        return;
      }
    }
    if (!IsHeaderState(FHttpState)) {
      DropTakenLines();
      if (auto h = OnDataPush) h(this, ErrCode);
    } else if (!FLineHandler) {
      DropTakenLines();
      SetReady();
    } else {
      // Every step but a plain field line may look at the bytes that follow the
      // line, so they are moved to the front first.
      const bool plainField = FLineHandler == &THttpCli::GetHeaderLineNext &&
                              FHttpState == httpWaitingHeader && !FCurrentLine.empty() &&
                              FHeaderLineCount > 0;
      if (!plainField) DropTakenLines();
      (this->*FLineHandler)();
    }
    if (FReceiveGen != gen) return;  // the buffer was emptied by the step
  }
  DropTakenLines();
}

}  // namespace http
