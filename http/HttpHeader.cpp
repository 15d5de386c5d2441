// THttpCli: taking in the status line and header fields up to the empty line
// that ends the header.
#include <algorithm>
#include <cstring>

#include "http/HttpProt.h"
#include "http/HttpUtils.h"

namespace http {

namespace {

// A value copied from a response into a later request line loses its control
// bytes: they would split or corrupt that line.
std::string WithoutControlBytes(std::string s) {
  s.erase(std::remove_if(s.begin(), s.end(),
                         [](char c) {
                           const auto b = static_cast<unsigned char>(c);
                           return b < 0x20 || b == 0x7F;
                         }),
          s.end());
  return s;
}

}  // namespace

// --- header lines ---

bool THttpCli::IsHeaderless() const {
  if (FHeaderLineCount != 1 || FCurrentLine.empty() || FCurrentLine[0] != '<') return false;
  return core::SameText(core::Copy(FCurrentLine, 1, 6), "<HTML>") ||
         core::SameText(core::Copy(FCurrentLine, 1, 9), "<!DOCTYPE");
}

// The line that revealed a headerless document is its first line: it goes back in
// front of the bytes that followed it, and all of them become the body.
void THttpCli::StartHeaderless() {
  FHeaderless = true;
  if (FContentType.empty()) FContentType = "text/html";
  if (FRequestType == httpHEAD) {
    // A HEAD response never has a body: the line and whatever follows it are
    // dropped, and since nothing frames them the connection ends the request.
    FLineHandler = nullptr;
    FCloseReq = true;
    TriggerHeaderEnd();
    ClearReceiveBuffer();
    StateChange(httpWaitingBody);
    FSocket->CloseDelayed();
    return;
  }
  StateChange(httpWaitingBody);
  FLineHandler = &THttpCli::GetBodyLineNext;
  FBodyExpected = true;
  TriggerHeaderEnd();
  const std::string first = FCurrentLine + (FCurrentLineCR ? "\r\n" : "\n");
  const auto firstLen = static_cast<int64_t>(first.size());
  FReceiveLen += firstLen;
  EnsureReceiveRoom();
  char* base = FReceiveBuffer.data();
  std::memmove(base + firstLen, base, static_cast<size_t>(FReceiveLen - firstLen));
  std::memcpy(base, first.data(), first.size());
  base[FReceiveLen] = 0;
  PassBodySlice();
  ++FReceiveGen;  // the lines of this receive are all taken now
  AfterBodyStep();
}

void THttpCli::GetHeaderLineNext() {
  if (FHeaderLineCount == 0) {
    TriggerHeaderBegin();
  } else if (FHeaderLineCount == -1) {
    FHeaderLineCount = 0;
  }
  ++FHeaderLineCount;
  if (IsHeaderless()) {
    StartHeaderless();
    return;
  }
  if (FCurrentLine.empty()) {
    EndOfHeader();
    return;
  }
  FRcvdHeader.Add(FCurrentLine);
  if (FHeaderLineCount == 1) {
    TakeStatusLine(FCurrentLine);
  } else if (FCurrentLine.find(':') != std::string::npos) {
    TakeFieldLine(FCurrentLine);
  }
  if (auto h = OnHeaderData) h(this);
}

void THttpCli::TakeStatusLine(const std::string& Line) {
  const TStatusLine status = ParseStatusLine(Line);
  if (!status.http1) {
    if (auto h = OnDataPush2) h(this);
    return;
  }
  FServerVersion = status.version;
  if (WireVer() == "1.1" && FServerVersion == "1.0")
    FCloseReq = true;
  else
    FCloseReq = WireVer() == "1.0";
  if (!FHttp2 && FServerVersion == "1.0") FProtocolUsed = "http/1.0";
  if (CheckLogOptions(core::loProtSpecDump))
    DebugLog(core::loProtSpecDump, std::string("FCloseReq=") + (FCloseReq ? "1" : "0"));
  // Without a usable code the status stays at 0: the request then cannot end as
  // a success.
  if (status.code == 0) return;
  FStatusCode = status.code;
  FStatusLineSeen = true;
  FReasonPhrase = status.reason;
}

void THttpCli::TakeFieldLine(const std::string& Line) {
  const std::optional<THeaderField> field = SplitFieldLine(Line);
  if (!field) return;
  const std::string& name = field->name;
  const std::string& value = field->value;
  if (name == "location") {
    TakeLocation(value);
  } else if (name == "content-length") {
    // Strict: anything but plain decimal digits, or a second value that differs,
    // leaves the framing unknown; the end of the header fails the request then.
    const int64_t length = ParseContentLength(value);
    if (length < 0 || (FLengthSeen && length != FContentLength)) {
      FLengthInvalid = true;
      FCloseReq = true;
    } else {
      FContentLength = length;
      FLengthSeen = true;
    }
  } else if (name == "transfer-encoding") {
    // Several lines make one list of codings.
    const std::string coding = core::LowerCase(value);
    FTransferEncoding = FTransferEncoding.empty() ? coding : FTransferEncoding + ", " + coding;
  } else if (name == "content-range") {
    const int64_t d = core::Pos("-", value);
    const int64_t s = core::Pos("/", value);
    FContentRangeBegin = WithoutControlBytes(core::Copy(value, 7, d - 7));
    FContentRangeEnd = WithoutControlBytes(core::Copy(value, d + 1, s - d - 1));
    FContentRangeOrigin = FSentOrigin;  // a location before it has changed the target
  } else if (name == "accept-ranges") {
    FAcceptRanges = value;
  } else if (name == "content-type") {
    FContentType = core::LowerCase(value);
  } else if (name == "www-authenticate" || name == "proxy-authenticate") {
    AddChallenges(value);
  } else if (name == "set-cookie") {
    bool accept = true;
    TriggerCookie(value, accept);
  } else if (name == "connection" || name == "proxy-connection") {
    const std::string v = core::LowerCase(core::Trim(value));
    if (v == "close") {
      FCloseReq = true;
    } else if (v == "keep-alive" && !FLengthInvalid) {
      FCloseReq = false;
    }
  } else if (name == "content-encoding") {
    FContentEncoding = value;
  }
}

// --- end of the header ---

bool THttpCli::BodyFollows() const {
  // A HEAD, 1xx, 204 or 304 response never has a body, whatever it announces.
  if (FRequestType == httpHEAD) return false;
  if (FStatusCode < 200 || FStatusCode == 204 || FStatusCode == 304) return false;
  if (core::Trim(FTransferEncoding) == "chunked") return true;
  if (FContentLength == 0) return false;
  if (FContentLength == -1 &&
      (FStatusCode == 301 || FStatusCode == 302 || FStatusCode == 401 || FStatusCode == 407))
    return false;
  return true;
}

void THttpCli::EndOfHeader() {
  if (CheckLogOptions(core::loProtSpecInfo)) DebugLog(core::loProtSpecInfo, "End of header");
  // An interim 1xx answer (any but 101) is followed by the real one.
  if (FStatusLineSeen && FStatusCode >= 100 && FStatusCode < 200 && FStatusCode != 101) {
    FRcvdHeader.Clear();
    FHeaderLineCount = -1;
    FStatusLineSeen = false;
    FStatusCode = 0;
    FContentLength = -1;
    FLengthInvalid = false;
    FLengthSeen = false;
    FTransferEncoding.clear();
    return;
  }
  TriggerHeaderEnd();
  if (FHttpState == httpReady) {
    ClearReceiveBuffer();
    return;
  }
  if (!FStatusLineSeen) {
    // No usable status line: the response cannot be trusted, nor the connection.
    FLineHandler = nullptr;
    FCloseReq = true;
    ClearReceiveBuffer();
    CloseNow();
    return;
  }
  if (!FramingIsSound()) return;
  if (BodyFollows()) {
    FBodyExpected = true;
    FDiscardBody = BodyThrownAway();
    FDocName = AdjustDocNameExt(FDocName, FContentType);
    StateChange(httpWaitingBody);
    FLineHandler = &THttpCli::GetBodyLineNext;
    if (FReceiveLen > 0) {
      const uint64_t gen = FReceiveGen;
      PassBodySlice();
      if (FReceiveGen != gen || FProtocolFailed) return;
    }
    AfterBodyStep();
    return;
  }
  FLineHandler = nullptr;
  KeepOnlyIfNothingBeyond(FReceiveLen - FTakenLen);
  if (FLocationFlag) {
    StartRelocation();
  } else if (!FCloseReq) {
    SetReady();
  } else {
    if (FRequestType == httpHEAD) {
      ClearReceiveBuffer();
      StateChange(httpWaitingBody);
    }
    FSocket->CloseDelayed();
  }
}

// A response whose end cannot be known for sure, or that switches to a protocol
// nobody asked for, ends the request: reading on would take the rest of it (or a
// smuggled second response) for the next document.
bool THttpCli::FramingIsSound() {
  if (FLengthInvalid) {
    FailProtocol("Invalid Content-Length");
  } else if (!FTransferEncoding.empty() && core::Trim(FTransferEncoding) != "chunked") {
    FailProtocol("Unsupported transfer coding");
  } else if (FStatusCode == 101 && !FUpgradeRequested) {
    FailProtocol("Unexpected 101 Switching Protocols");
  } else {
    // After a switch the connection no longer speaks HTTP: it is not reused.
    if (FStatusCode == 101) FCloseReq = true;
    return true;
  }
  return false;
}

void THttpCli::FailProtocol(const std::string& Reason) {
  FStatusCode = 404;
  FReasonPhrase = Reason;
  FProtocolFailed = true;
  FLineHandler = nullptr;
  FCloseReq = true;
  ClearReceiveBuffer();
  CloseNow();
}

void THttpCli::CloseNow() {
  if (FSocket->State() != net::wsClosed) {
    FSocket->Abort();
  } else if (FHttpState != httpReady) {
    EndRequest(0);
  }
}

}  // namespace http
