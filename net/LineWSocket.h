// The line mode layer of the socket class chain.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "net/SocksWSocket.h"

namespace net {

using TLineLimitEvent = std::function<void(core::TComponent* Sender, int RcvdLength, bool& ClearData)>;

// With LineMode on, received bytes are held in a line buffer and OnDataAvailable
// fires once per complete line; Receive and ReceiveStr then return exactly that line,
// its line end included, and the handler is called again until it has read all of
// it. Bytes held when the mode is switched off are handed out first, as plain data,
// so nothing is lost or repeated. At the session's close, held bytes without a line
// end are delivered as one last line before OnSessionClosed. A handler may close the
// socket, switch the mode or wait for more messages while a line is delivered.
class TCustomLineWSocket : public TCustomSocksWSocket {
 public:
  explicit TCustomLineWSocket(core::TComponent* AOwner);

  virtual void TriggerLineLimitExceeded(int Cnt, bool& ClearData);
  virtual void StoreLineMode(bool Value);
  virtual void EditLine(int& Len);
  // Queues Str and the line end and starts sending both. Empty Str sends nothing and
  // gives 0; otherwise the length of Str + 2, or -1 when the send failed.
  virtual int SendLine(const std::string& Str);

  void WndProc(core::TMessage& MsgRec) override;
  bool TriggerDataAvailable(uint16_t ErrCode) override;
  void TriggerSessionClosed(uint16_t ErrCode) override;
  int RcvdCount() override;
  int RecvRaw(void* Buffer, int Size, int Flags) override;

  bool LineMode() const { return FLineModeOn; }
  void SetLineMode(bool Value) { StoreLineMode(Value); }
  int LineLimit() const { return FLineMax; }
  void SetLineLimit(int Value) { FLineMax = Value; }
  const std::string& LineEnd() const { return FLineEndText; }
  void SetLineEnd(const std::string& Value) { FLineEndText = Value; }
  bool LineEcho() const { return FLineEchoOn; }
  void SetLineEcho(bool Value) { FLineEchoOn = Value; }
  bool LineEdit() const { return FLineEditOn; }
  void SetLineEdit(bool Value) { FLineEditOn = Value; }
  // Bytes held in the line buffer, not yet handed to the application.
  int LineBufferCount() const { return FRcvdCnt; }

  TLineLimitEvent OnLineLimitExceeded;

 protected:
  void ProcessLineData();
  void StartAdoptedConnection() override;

  std::vector<char> FRcvdBuf;  // held bytes at FRcvdHead, then a zero byte
  int FRcvBufSize = 0;
  int FRcvdCnt = 0;
  std::string FLineEndText = "\r\n";
  bool FLineModeOn = false;
  int FLineLength = 0;  // unread bytes of the line being delivered (first of the held bytes)
  int FLineMax = 65536;
  bool FLineFound = false;
  bool FLineClearData = false;
  bool FLineEchoOn = false;
  bool FLineEditOn = false;

 private:
  int ReceiveIntoLineBuffer();
  void EnsureLineBuffer(int needed);
  int FindLineEnd(int searchFrom) const;
  void DeliverLines(int searchFrom, bool closing);
  void FireLine(bool closing);
  void DeliverPlain();
  void CheckLineLimit();
  void ConsumeHeld(int count);
  void FreeLineBuffer();
  char* Held() { return FRcvdBuf.data() + FRcvdHead; }

  int FRcvdHead = 0;  // held bytes start here; moved to 0 before each receive
  // Echo of the bytes just received, sent once the line buffer is consistent again
  // (a failing send may close the session, which delivers what is held).
  std::string FEchoPending;
};

}  // namespace net
