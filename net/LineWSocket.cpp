// Line mode: received bytes are held in one buffer and handed to the application a
// line at a time, with optional echo and backspace/tab editing.
//
// Layout of the line buffer: the held bytes start at FRcvdHead and are followed by a
// zero byte; a line being delivered is always the first FLineLength held bytes. Reads
// take bytes from the front by moving FRcvdHead, so a packet of many lines is cut
// without moving its tail once per line; the held bytes move back to the start of
// the buffer once per receive. Every step re-reads these fields after an event
// handler returns: a handler may read, close the socket (which delivers and frees
// what is held), switch the mode or pump messages that receive more.
#include <algorithm>
#include <cstring>

#include "net/LineWSocket.h"

namespace net {

namespace {
constexpr int kDefaultReceive = 255;  // what to ask for when the system reports nothing waiting
constexpr char kBackspace = 8;
constexpr char kTab = 9;
constexpr int kTabStop = 8;
constexpr char kBackspaceEcho[] = "\b \b";
// Passes of the posted line-data handler that may find no line before it gives up.
constexpr int kPassesWithoutLine = 4;
}  // namespace

TCustomLineWSocket::TCustomLineWSocket(core::TComponent* AOwner) : TCustomSocksWSocket(AOwner) {}

void TCustomLineWSocket::WndProc(core::TMessage& MsgRec) {
  if (MsgRec.Msg == 0 || MsgRec.Msg != FMsgLineData) return TCustomSocksWSocket::WndProc(MsgRec);
  try {
    ProcessLineData();
  } catch (const std::exception& e) {
    HandleBackgroundError(e);
  }
}

// --- properties and small operations ---------------------------------------------------

void TCustomLineWSocket::StoreLineMode(bool Value) {
  if (Value == FLineModeOn) return;
  FLineModeOn = Value;
  const bool held = FRcvdCnt > 0 || FLineLength > 0;
  // Off: the rest of a line being delivered is plain data now, still at the front.
  if (!Value) FLineLength = 0;
  if (held) winapi::PostMessage(Handle(), FMsgLineData, 0, 0);
}

void TCustomLineWSocket::TriggerLineLimitExceeded(int Cnt, bool& ClearData) {
  if (TLineLimitEvent handler = OnLineLimitExceeded) handler(this, Cnt, ClearData);
}

int TCustomLineWSocket::SendLine(const std::string& Str) {
  if (Str.empty()) return 0;
  QueueSendString(Str);
  // An empty line end still has to start the transmission of what was queued.
  const int sent = FLineEndText.empty() ? Send(nullptr, 0) : SendStr(FLineEndText);
  return sent < 0 ? -1 : static_cast<int>(Str.size()) + 2;
}

int TCustomLineWSocket::RcvdCount() {
  if (FLineModeOn) return FLineLength;
  // Held bytes are read first; a handler that sizes its read by this count must see
  // them, or it would read nothing and be called again for ever.
  if (FRcvdCnt > 0) return FRcvdCnt;
  return TCustomSocksWSocket::RcvdCount();
}

int TCustomLineWSocket::RecvRaw(void* Buffer, int Size, int Flags) {
  const int pending = FLineModeOn ? FLineLength : FRcvdCnt;
  if (pending <= 0) return TCustomSocksWSocket::RecvRaw(Buffer, Size, Flags);
  const int n = std::clamp(Size, 0, pending);
  if (n > 0) std::memcpy(Buffer, Held(), static_cast<size_t>(n));
  if (Flags & MSG_PEEK) return n;  // a look leaves the bytes where they are
  ConsumeHeld(n);
  if (FLineModeOn)
    FLineLength -= n;
  else
    // Plain data from the buffer: the receive loop must go on to the network, or a
    // read notification answered from here (no system receive, which alone
    // re-enables it) would leave what the peer sent since unannounced.
    FRcvdFlag = true;
  return n;
}

void TCustomLineWSocket::StartAdoptedConnection() {
  TCustomSocksWSocket::StartAdoptedConnection();
  FreeLineBuffer();
  FLineFound = false;
  FLineClearData = false;
  FEchoPending.clear();
}

// --- the line buffer ----------------------------------------------------------------------

void TCustomLineWSocket::EnsureLineBuffer(int needed) {
  if (FRcvdHead > 0) {
    std::memmove(FRcvdBuf.data(), Held(), static_cast<size_t>(FRcvdCnt) + 1);
    FRcvdHead = 0;
  }
  if (FRcvBufSize >= needed) return;
  FRcvdBuf.resize(static_cast<size_t>(needed));
  FRcvBufSize = needed;
}

void TCustomLineWSocket::ConsumeHeld(int count) {
  FRcvdHead += count;
  FRcvdCnt -= count;
  if (FRcvdCnt == 0 && FRcvBufSize > 0) {
    FRcvdHead = 0;
    FRcvdBuf[0] = 0;
  }
}

void TCustomLineWSocket::FreeLineBuffer() {
  std::vector<char>().swap(FRcvdBuf);
  FRcvBufSize = 0;
  FRcvdCnt = 0;
  FRcvdHead = 0;
  FLineLength = 0;
}

// Receives what is waiting behind the held bytes, edits or echoes it, and returns
// where the search for a line end resumes, or -1 when there is nothing to look at.
int TCustomLineWSocket::ReceiveIntoLineBuffer() {
  int wanted = TCustomSocksWSocket::RcvdCount();
  if (wanted < 0) return -1;
  if (wanted == 0) wanted = kDefaultReceive;
  EnsureLineBuffer(FRcvdCnt + wanted + 1);
  // Straight from the layer below: our own RecvRaw would serve a pending line.
  int got = TCustomSocksWSocket::RecvRaw(Held() + FRcvdCnt, wanted, 0);
  if (got < 0) FLastError = api::WSAGetLastError();
  if (got <= 0) {
    if (FRcvdCnt == 0) return -1;
    got = 0;
  }
  FEchoPending.clear();
  if (got > 0) {
    if (FLineEditOn)
      EditLine(got);
    else if (FLineEchoOn)
      FEchoPending.assign(Held() + FRcvdCnt, static_cast<size_t>(got));
  }
  // A line end split across two receives is found.
  const int searchFrom = std::max(0, FRcvdCnt - static_cast<int>(FLineEndText.size()));
  FRcvdCnt += got;
  Held()[FRcvdCnt] = 0;
  if (!FEchoPending.empty()) {
    const std::string echo = std::move(FEchoPending);
    FEchoPending.clear();
    Send(echo.data(), static_cast<int>(echo.size()));
    if (FRcvBufSize == 0) return -1;  // the send failed and closed the session
  }
  return searchFrom;
}

void TCustomLineWSocket::EditLine(int& Len) {
  const int start = FRcvdCnt;
  // A line being handed out (the application pumps messages from its handler) is
  // out of a backspace's reach, and so is every line that ends within these bytes:
  // the result must not depend on how the peer's bytes were cut into receives.
  int lineStart = FLineLength;
  std::string work;  // the edited bytes from the buffer's start, once editing began
  bool editing = false;
  int w = start, low = start;
  const int endLen = static_cast<int>(FLineEndText.size());
  // After each byte written: a line end just completed starts a new line.
  const auto noteLineEnd = [&] {
    if (endLen == 0 || w - lineStart < endLen) return;
    const char* written = editing ? work.data() : Held();
    if (std::equal(FLineEndText.begin(), FLineEndText.end(), written + w - endLen)) lineStart = w;
  };
  const auto put = [&](char ch) {
    if (static_cast<size_t>(w) < work.size())
      work[static_cast<size_t>(w)] = ch;
    else
      work.push_back(ch);
    ++w;
    noteLineEnd();
  };
  for (int i = 0; i < Len; ++i) {
    const char ch = Held()[start + i];
    if (!editing && (ch == kBackspace || ch == kTab)) {
      editing = true;
      work.assign(Held(), static_cast<size_t>(w));
    }
    if (ch == kBackspace) {
      if (w > lineStart) {
        if (FLineEchoOn) FEchoPending += kBackspaceEcho;
        --w;
        low = std::min(low, w);
      }
    } else if (ch == kTab) {
      // Tab stops count from the start of the line the tab is on.
      const int column0 = lineStart;
      do {
        put(' ');
        if (FLineEchoOn) FEchoPending += ' ';
      } while ((w - column0) % kTabStop != 0);
    } else {
      if (FLineEchoOn) FEchoPending += ch;
      if (editing) {
        put(ch);
      } else {
        ++w;  // already in place
        noteLineEnd();
      }
    }
  }
  if (!editing) return;
  EnsureLineBuffer(w + 1);
  std::memcpy(Held() + low, work.data() + low, static_cast<size_t>(w - low));
  Held()[w] = 0;
  FRcvdCnt = low;
  Len = w - low;
}

// --- delivery -----------------------------------------------------------------------------

int TCustomLineWSocket::FindLineEnd(int searchFrom) const {
  const int endLen = static_cast<int>(FLineEndText.size());
  if (endLen == 0 || FRcvdCnt < endLen) return 0;
  const char* begin = FRcvdBuf.data() + FRcvdHead;
  const char* end = begin + FRcvdCnt;
  const char* at =
      std::search(begin + std::clamp(searchFrom, 0, FRcvdCnt), end, FLineEndText.begin(), FLineEndText.end());
  return at == end ? 0 : static_cast<int>(at - begin) + endLen;
}

bool TCustomLineWSocket::TriggerDataAvailable(uint16_t ErrCode) {
  if (!FLineModeOn || FLineEndText.empty() || FSocksState != socksData)
    return TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
  const int searchFrom = ReceiveIntoLineBuffer();
  if (searchFrom >= 0) DeliverLines(searchFrom, false);
  return true;
}

void TCustomLineWSocket::DeliverLines(int searchFrom, bool closing) {
  for (;;) {
    if (!FLineModeOn) {
      DeliverPlain();
      if (!FLineModeOn || FRcvdCnt == 0) return;
      searchFrom = 0;
      continue;
    }
    if (FLineLength == 0) {
      const int lineLen = FindLineEnd(searchFrom);
      if (lineLen == 0) {
        if (!closing) CheckLineLimit();
        return;
      }
      FLineLength = lineLen;
      FLineFound = true;
    }
    FireLine(closing);
    if (closing && FLineLength > 0) return;  // the handler leaves the line unread
    searchFrom = 0;
  }
}

// Notifies the application until it has read the pending line or switched the mode
// off. At close nothing more can arrive, so a handler that reads nothing ends it.
void TCustomLineWSocket::FireLine(bool closing) {
  while (FLineModeOn && FLineLength > 0) {
    const int before = FLineLength;
    if (!TCustomSocksWSocket::TriggerDataAvailable(0)) {
      ConsumeHeld(FLineLength);  // nobody reads: the line is dropped
      FLineLength = 0;
      return;
    }
    if (closing && FLineLength == before) return;
  }
}

// The held bytes as plain data, after the mode went off. A handler that reads nothing
// leaves them for the next notification; with no handler they are dropped.
void TCustomLineWSocket::DeliverPlain() {
  FLineLength = 0;
  while (!FLineModeOn && FRcvdCnt > 0) {
    const int before = FRcvdCnt;
    if (!TCustomSocksWSocket::TriggerDataAvailable(0)) {
      ConsumeHeld(FRcvdCnt);
      return;
    }
    if (FRcvdCnt == before) return;
  }
}

void TCustomLineWSocket::CheckLineLimit() {
  if (FLineMax <= 0 || FRcvdCnt <= FLineMax) return;
  FLineClearData = true;
  TriggerLineLimitExceeded(FRcvdCnt, FLineClearData);
  if (!FLineClearData) return;
  if (FRcvdCnt > 0) ConsumeHeld(FRcvdCnt);
  FLineLength = 0;
  FLineClearData = false;
}

void TCustomLineWSocket::ProcessLineData() {
  int passes = 0;
  while (FRcvdCnt > 0) {
    ++passes;
    FLineFound = false;
    const int before = FRcvdCnt;
    const bool lineMode = FLineModeOn;
    if (!TriggerDataAvailable(0)) {
      ConsumeHeld(FRcvdCnt);  // plain data nobody reads: dropped
      FLineLength = 0;
      return;
    }
    if (FLineModeOn && !FLineFound && passes >= kPassesWithoutLine) return;
    if (!FLineModeOn && !lineMode && FRcvdCnt == before) return;
  }
}

void TCustomLineWSocket::TriggerSessionClosed(uint16_t ErrCode) {
  if (FRcvBufSize > 0) {
    if (FLineModeOn && FRcvdCnt > 0 && !FLineClearData) {
      // Complete lines still held (the handler closed while more were waiting) go
      // out one by one; what is left without a line end is the last line.
      DeliverLines(0, true);
      if (FLineModeOn && FRcvdCnt > 0) {
        FLineLength = FRcvdCnt;
        FireLine(true);
      }
    } else if (!FLineModeOn && FRcvdCnt > 0) {
      DeliverPlain();
    }
    FreeLineBuffer();
  }
  TCustomSocksWSocket::TriggerSessionClosed(ErrCode);
}

}  // namespace net
