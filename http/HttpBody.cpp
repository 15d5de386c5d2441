// THttpCli: the document body (length-delimited, chunked or delimited by the
// close) and the end of a connection.
#include <algorithm>
#include <climits>
#include <cstring>

#include "http/HttpContCod.h"
#include "http/HttpProt.h"
#include "http/Url.h"
#include "net/SocketErrorText.h"

namespace http {

void THttpCli::HandleBodyData() {
  if (FRequestType == httpHEAD || !FLineHandler) {
    // A HEAD response whose connection the server is closing: nothing more belongs
    // to this request.
    ClearReceiveBuffer();
    FSocket->Abort();
    return;
  }
  const uint64_t gen = FReceiveGen;
  PassBodySlice();
  if (FReceiveGen != gen || FProtocolFailed) return;
  AfterBodyStep();
}

// Hands the received bytes to one body step; bytes beyond the document stay.
void THttpCli::PassBodySlice() {
  FBodyDataStart = 0;
  FBodyDataLen = FReceiveLen;
  const bool chunked = core::Trim(FTransferEncoding) == "chunked";
  if (!chunked && FContentLength >= 0 && FContentLength < FRcvdCount + FReceiveLen)
    FBodyDataLen = FContentLength - FRcvdCount;
  const uint64_t gen = FReceiveGen;
  GetBodyLineNext();
  if (FReceiveGen != gen) return;
  CompactReceive(FBodyDataLen);
  FBodyDataLen = 0;
}

// Only where the receive buffer would hand the bytes on unchanged and whole: no
// bytes left over in it, no framing to take out, no decoder, none beyond the
// announced length (the receive is capped to it).
core::TMemoryStream* THttpCli::InPlaceBodyTarget() {
  if (FHttpState != httpWaitingBody || FReceiveLen != 0 || FBodyLineCount == 0) return nullptr;
  if (FRequestType == httpHEAD || !FLineHandler || FDiscardBody || FTunnelBodySkip) return nullptr;
  if (!FContCodHandler->CodingEntries().empty() || core::Trim(FTransferEncoding) == "chunked") return nullptr;
  if (FContentLength >= 0 && FRcvdCount >= FContentLength) return nullptr;
  return dynamic_cast<core::TMemoryStream*>(FRcvdStream);
}

// The steps of a receive into the buffer and of HandleBodyData, with the bytes
// already in the stream's room: the stream's write of them copies nothing.
bool THttpCli::ReceiveBodyInPlace() {
  core::TMemoryStream* target = InPlaceBodyTarget();
  if (target == nullptr) return false;
  int64_t room = BandwidthReadCap(kReceiveRoom);
  if (FContentLength >= 0) room = std::min(room, FContentLength - FRcvdCount);
  char* into = target->WriteRoom(room);
  const int n = ReceiveData(into, static_cast<int>(std::min<int64_t>(room, INT_MAX)));
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, "Data available. Len=" + std::to_string(n));
  if (FRequestType == httpABORT) return true;
  if (n <= 0) {
    if (CheckLogOptions(core::loProtSpecInfo))
      DebugLog(core::loProtSpecInfo, "**data available. Len=" + std::to_string(n));
    return true;
  }
  BandwidthReceived(n);
  FResponseBytes = true;
  FTimeline.Received(n);
  const uint64_t gen = FReceiveGen;
  FBodySlice = into;
  FBodyDataStart = 0;
  FBodyDataLen = n;
  GetBodyLineNext();
  FBodySlice = nullptr;
  FBodyDataLen = 0;
  if (FReceiveGen != gen || FProtocolFailed) return true;
  AfterBodyStep();
  return true;
}

// A memory stream that will take an announced length grows once instead of by
// doubling with a copy at every step.
void THttpCli::ReserveForDocument() {
  auto* memory = dynamic_cast<core::TMemoryStream*>(FRcvdStream);
  if (memory == nullptr || FContentLength <= 0) return;
  memory->Reserve(memory->Size() + std::min(FContentLength, kMaxReserveAhead));
}

void THttpCli::AfterBodyStep() {
  if (FLineHandler) return;  // the document goes on in the next receive
  if (FLocationFlag)
    StartRelocation();
  else
    SetReady();
}

// Known at the end of the header: this response's body is no page. The body of
// a relocation that will be followed (within the count, or left to the caller's
// handler) or of a challenge that will be answered is read for its framing only,
// so its coding cannot fail the load nor make it decode without end.
bool THttpCli::BodyThrownAway() const {
  if (ChallengeAnswered()) return true;
  if (!FLocationFlag) return false;
  // A step that needs a new connection counts twice, unless the body ends with
  // the close.
  const bool closeDelimited = FCloseReq && FContentLength < 0 && core::Trim(FTransferEncoding) != "chunked";
  const int steps = closeDelimited || (SameConnection() && !FCloseReq) ? 1 : 2;
  return FLocationChangeCurCount + steps <= FLocationChangeMaxCount || OnLocationChangeExceeded;
}

void THttpCli::Deliver(const char* P, int64_t N) {
  if (N <= 0 || FTunnelBodySkip || FDiscardBody) return;
  const TWriteProc& input = FContCodHandler->DecoderInput();
  if (!input) return;
  try {
    input(P, N);
  } catch (const EHttpContentCodingException& e) {
    FailDecoding(e.Message(), false);
  }
}

std::optional<std::string> THttpCli::CompleteDecoding() {
  try {
    FContCodHandler->Complete();
    return std::nullopt;
  } catch (const EHttpContentCodingException& e) {
    return e.Message();
  }
}

// A document that cannot be decoded is not a page that loaded: the request fails
// like one with broken framing.
void THttpCli::FailDecoding(const std::string& Reason, bool Closed) {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "Content decoding: " + Reason);
  // The chain stopped half way: nothing more goes through it.
  FContCodHandler->ClearCodings();
  if (!Closed) {
    FailProtocol(Reason);
    return;
  }
  FStatusCode = 404;
  FReasonPhrase = Reason;
  FProtocolFailed = true;
}

// A handler may end the request (Abort empties the buffer): every step below
// stops as soon as the buffer it works on is gone.
void THttpCli::GetBodyLineNext() {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "GetBodyLineNext begin");
  const uint64_t gen = FReceiveGen;
  if (FBodyLineCount == 0) {
    FChunkLength = 0;
    FChunkRcvd = 0;
    FChunkSizeScan = {};
    FChunkTrailer = false;
    FChunkCRSeen = false;
    FChunkState = httpChunkSize;
    TriggerDocBegin();
    if (FReceiveGen != gen) return;
    FContCodHandler->Prepare(FDiscardBody ? std::string() : FContentEncoding);
    FRcvdStreamStartSize = FRcvdStream ? FRcvdStream->Size() : 0;
    if (!FDiscardBody) ReserveForDocument();
  }
  ++FBodyLineCount;
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, "GetBodyLineNext FBodyDataLen=" + std::to_string(FBodyDataLen));
  const char* slice = (FBodySlice ? FBodySlice : FReceiveBuffer.data()) + FBodyDataStart;
  if (core::Trim(FTransferEncoding) == "chunked") {
    const int64_t used = DecodeChunks(slice, FBodyDataLen);
    if (FReceiveGen != gen) return;
    // Bytes after the last chunk's trailer belong to whatever follows.
    FBodyDataLen = used;
    if (FChunkState == httpChunkDone) {
      KeepOnlyIfNothingBeyond(FReceiveLen - FBodyDataStart - used);
      EndOfDocument(true);
    }
  } else {
    if (FBodyDataLen > 0) {
      FRcvdCount += FBodyDataLen;
      Deliver(slice, FBodyDataLen);
      if (FReceiveGen != gen) return;
    }
    if (FRcvdCount == FContentLength) {
      KeepOnlyIfNothingBeyond(FReceiveLen - FBodyDataStart - FBodyDataLen);
      EndOfDocument(false);
    }
  }
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "GetBodyLineNext end");
}

// Decodes chunked framing from P; returns the bytes consumed. Sizes, line ends and
// data may be split anywhere between calls: each step keeps its state in the
// client and takes what it can. After the last chunk the trailer lines are
// consumed up to the empty line.
int64_t THttpCli::DecodeChunks(const char* P, int64_t N) {
  const uint64_t gen = FReceiveGen;
  int64_t i = 0;
  while (FChunkState != httpChunkDone) {
    const int64_t before = i;
    const THttpChunkState state = FChunkState;
    switch (FChunkState) {
      case httpChunkSize:
        i = ChunkSizeStep(P, N, i);
        break;
      case httpChunkSizeEnd:
        i = SkipLine(P, N, i);
        break;
      case httpChunkData:
        i = ChunkDataStep(P, N, i);
        break;
      case httpChunkDataEnd:
        i = FChunkTrailer ? TrailerStep(P, N, i) : ChunkDataEndStep(P, N, i);
        break;
      case httpChunkDone:
        break;
    }
    if (FReceiveGen != gen) return N;                // failed, or ended from an event
    if (i == before && FChunkState == state) break;  // needs more bytes
  }
  return i;
}

// Hexadecimal digits of a size line, then an extension, blanks or the line end.
int64_t THttpCli::ChunkSizeStep(const char* P, int64_t N, int64_t I) {
  const TChunkSizeStep step = ScanChunkSize(FChunkSizeScan, P, N, I);
  FChunkLength = FChunkSizeScan.length;
  if (step.verdict == TChunkSizeVerdict::kInvalid) {
    FailProtocol("Invalid chunked encoding");
  } else if (step.verdict == TChunkSizeVerdict::kDone) {
    FChunkState = httpChunkSizeEnd;
    if (CheckLogOptions(core::loProtSpecInfo))
      DebugLog(core::loProtSpecInfo, "ChunkLength = " + std::to_string(FChunkLength));
  }
  return step.next;
}

// Skips the rest of a size line (extensions, the CR) through its LF; its data
// follows.
int64_t THttpCli::SkipLine(const char* P, int64_t N, int64_t I) {
  const void* lf = I < N ? std::memchr(P + I, '\n', static_cast<size_t>(N - I)) : nullptr;
  if (!lf) return N;
  FChunkState = httpChunkData;
  return static_cast<const char*>(lf) - P + 1;
}

// The line end that must follow a chunk's data (CR LF, or a lone LF as in the
// header). Anything else means the size did not describe the data: what follows
// cannot be trusted.
int64_t THttpCli::ChunkDataEndStep(const char* P, int64_t N, int64_t I) {
  for (; I < N; ++I) {
    if (P[I] == '\n') {
      NextChunk(httpChunkSize);
      return I + 1;
    }
    if (P[I] != '\r' || FChunkCRSeen) {
      FailProtocol("Invalid chunked encoding");
      return I;
    }
    FChunkCRSeen = true;
  }
  return I;
}

// The data of the current chunk; a zero-size chunk goes on to the trailer at once.
int64_t THttpCli::ChunkDataStep(const char* P, int64_t N, int64_t I) {
  const uint64_t k = std::min<uint64_t>(FChunkLength - FChunkRcvd, static_cast<uint64_t>(N - I));
  if (k > 0) {
    FRcvdCount += static_cast<int64_t>(k);
    FChunkRcvd += k;
    Deliver(P + I, static_cast<int64_t>(k));
    I += static_cast<int64_t>(k);
  }
  if (FChunkRcvd >= FChunkLength) {
    FChunkState = httpChunkDataEnd;
    FChunkTrailer = FChunkLength == 0;
    FChunkLineEmpty = true;
  }
  return I;
}

// Trailer lines after the last chunk, up to an empty one.
int64_t THttpCli::TrailerStep(const char* P, int64_t N, int64_t I) {
  while (I < N) {
    const char c = P[I++];
    if (c == '\n') {
      if (FChunkLineEmpty) {
        NextChunk(httpChunkDone);
        return I;
      }
      FChunkLineEmpty = true;
    } else if (c != '\r') {
      FChunkLineEmpty = false;
    }
  }
  return I;
}

void THttpCli::NextChunk(THttpChunkState State) {
  FChunkState = State;
  FChunkLength = 0;
  FChunkRcvd = 0;
  FChunkSizeScan = {};
  FChunkCRSeen = false;
}

// Bytes after a complete document are no response to anything we sent (a server
// counting characters instead of bytes, say): on a kept connection they would
// open the next response. The connection is closed instead and the next request
// takes a new one. Beyond is what the receive buffer holds past the document.
void THttpCli::KeepOnlyIfNothingBeyond(int64_t Beyond) {
  // On HTTP/2 the stream's end is the document's end, and other frames may follow.
  if (FCloseReq || FHttp2) return;
  if (Beyond <= 0 && (FSocket->State() != net::wsConnected || FSocket->RcvdCount() <= 0)) return;
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "Bytes beyond the document");
  FCloseReq = true;
}

void THttpCli::EndOfDocument(bool Chunked) {
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, Chunked ? "httpChunkDone, end of document" : "End of document");
  FBodyLineCount = 0;
  FLineHandler = nullptr;
  StateChange(httpBodyReceived);
  BandwidthDocumentEnd();
  if (const std::optional<std::string> failure = CompleteDecoding()) {
    // The document ended, but not as a page: the close that follows fails the
    // request, in the order of damage found earlier in the document.
    TriggerDocEnd();
    FailDecoding(*failure, false);
    return;
  }
  if (!Chunked && FRcvdStream && !FContentEncoding.empty() && CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, FContentEncoding + " content uncompressed from " +
                                       std::to_string(FContentLength) + " bytes to " +
                                       std::to_string(FRcvdStream->Size()) + " bytes");
  TriggerDocEnd();
  if (FCloseReq) {
    FSocket->CloseDelayed();
  } else if (!Chunked && !FLocationFlag) {
    SetReady();
  }
}

// --- the end of a connection ---

bool THttpCli::DocumentComplete() const {
  if (core::Trim(FTransferEncoding) == "chunked") return FChunkState == httpChunkDone;
  return FContentLength < 0 || FRcvdCount >= FContentLength;
}

// A request must not look successful when its connection closed before a response
// arrived, or before the end of its announced document.
void THttpCli::CheckSessionResult(uint16_t ErrCode) {
  if (FProtocolFailed) return;
  if (FHttpState == httpReady || FHttpState == httpAborting || FHttpState == httpClosing) return;
  if (!FStatusLineSeen && !FHeaderless && FStatusCode == 0) {
    const uint16_t code = ErrCode != 0 ? ErrCode : static_cast<uint16_t>(winapi::WSAECONNABORTED);
    FStatusCode = 404;
    FReasonPhrase = ErrCode != 0 ? net::SocketErrorText(ErrCode) + " (Error #" + std::to_string(ErrCode) + ")"
                                 : "Connection closed without response";
    FRequestDoneError = code;
    return;
  }
  // A header cut short is no more a complete answer than a document cut short.
  if (FHeaderInProgress && !FLocationFlag) {
    FDocTruncated = true;
    FRequestDoneError = ErrCode != 0 ? ErrCode : static_cast<uint16_t>(winapi::WSAECONNABORTED);
    return;
  }
  if (FHttpState == httpWaitingBody && FBodyExpected && !FLocationFlag && !DocumentComplete()) {
    FDocTruncated = true;
    FRequestDoneError = ErrCode != 0 ? ErrCode : static_cast<uint16_t>(winapi::WSAECONNABORTED);
  }
}

// A kept connection may have been closed by the server just as the request went
// out. A GET or HEAD that saw no byte of its response is sent once more on a new
// connection, within the same request.
bool THttpCli::RetryStaleConnection() {
  if (!FReusedConnection || FResponseBytes || FStaleRetried) return false;
  // Before the tunnel is open nothing of the request itself has gone out.
  if (FHttpState != httpWaitingProxyConnect) {
    if (FRequestType != httpGET && FRequestType != httpHEAD) return false;
    if (FHttpState != httpWaitingHeader || FHeaderLineCount != 0) return false;
  }
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, "Kept connection closed, sending again");
  FStaleRetried = true;
  FReusedConnection = false;
  FRequestDoneError = 0;
  FLineHandler = nullptr;
  ClearReceiveBuffer();
  StateChange(httpNotConnected);
  PostLogin();
  return true;
}

void THttpCli::SocketSessionClosed(core::TComponent* /*Sender*/, uint16_t ErrCode) {
  EndRequest(ErrCode);
}

void THttpCli::EndRequest(uint16_t ErrCode) {
  if (CheckLogOptions(core::loProtSpecInfo))
    DebugLog(core::loProtSpecInfo, "SessionClosed Error: " + std::to_string(ErrCode));
  if (ErrCode != 0) FRequestDoneError = ErrCode;
  FConnected = false;
  if (RetryStaleConnection()) return;
  CheckSessionResult(ErrCode);
  if (FHeaderInProgress) {
    TriggerHeaderEnd();
    if (FLocationFlag) {
      RelocationAfterClose(this, 0);
      return;
    }
  } else if (FBodyLineCount > 0) {
    FBodyLineCount = 0;
    BandwidthDocumentEnd();
    if (const std::optional<std::string> failure = CompleteDecoding()) FailDecoding(*failure, true);
    TriggerDocEnd();
    if (FLocationFlag) {
      RelocationAfterClose(this, 0);
      return;
    }
  }
  TriggerSessionClosed();
  if (FHttpState != httpReady) SetReady();
}

}  // namespace http
