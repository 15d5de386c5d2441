// THttp2Session: the client side of one HTTP/2 connection, without a socket.
//
// nghttp2 does the framing, HPACK and flow control; this class feeds it the bytes
// the connection received (Feed) and collects what it has to send (Produce), so
// the caller decides where bytes come from and go to (the socket chain, a test,
// the fuzz target). It carries many streams at once.
//
// Each stream's response comes out as the HTTP/1.1 text the client's response
// parser already reads: a status line, the fields, the framing, the body. A body
// without a length is framed with chunks, and one that ends with its header gets
// a length of 0, so the parser sees the same end the stream had. Informational
// (1xx) header blocks and trailers are left out. A stream that fails (reset by the
// server, a protocol error nghttp2 found, a header over the limits, a body whose
// length differs from its content-length, a GOAWAY before it was answered) says
// why in StreamFailure; its text stops where it failed.
//
// Flow control: the connection window and every stream's window are large (16
// MiB) so a fast transfer is never throttled by them; received bytes free their
// window only as the caller takes them (Take), so a caller that takes slowly
// (bandwidth control) slows the server down instead of buffering without end.
//
// Thread and lifecycle: one thread; the caller owns the object. A request body
// (TStream) belongs to the caller and must outlive its stream.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/Classes.h"

typedef struct nghttp2_session nghttp2_session;

namespace http {

// One request: fields are (lower-case name, value), without pseudo-fields.
struct THttp2Request {
  std::string method = "GET";
  std::string scheme = "https";
  std::string authority;
  std::string path = "/";
  std::vector<std::pair<std::string, std::string>> fields;
  core::TStream* body = nullptr;  // POST/PUT: sent from its position to its end
};

// A response header over these limits fails its stream.
struct THttp2Limits {
  int64_t headerBytes = 1024 * 1024;
  int64_t fieldBytes = 64 * 1024;
};

class THttp2Session {
 public:
  static constexpr int32_t kWindow = 16 * 1024 * 1024;
  explicit THttp2Session(THttp2Limits limits = {});
  ~THttp2Session();
  THttp2Session(const THttp2Session&) = delete;
  THttp2Session& operator=(const THttp2Session&) = delete;

  // Starts a stream; its id, or 0 when the connection takes no more (Failure()).
  int32_t Submit(const THttp2Request& request);
  // Received bytes; false once the connection failed (Failure() says why).
  bool Feed(const char* data, size_t size);
  // Appends what is to be sent (the preface and SETTINGS first); false on failure.
  bool Produce(std::string& out);

  // The response text of a stream not yet taken, and taking it.
  size_t Pending(int32_t id) const;
  size_t Take(int32_t id, char* buffer, size_t size);
  // The stream closed (successfully or not).
  bool Closed(int32_t id) const;
  const std::string& StreamFailure(int32_t id) const;
  // The request's last frame (HEADERS or the body's end) went out.
  bool RequestWritten(int32_t id) const;
  void Forget(int32_t id);

  // The window every stream gets from now on (kWindow unless a rate is held
  // down); a change goes out as SETTINGS.
  void SetStreamWindow(int32_t size);
  int32_t StreamWindow() const { return FStreamWindow; }

  // A new stream may start: no GOAWAY, no failure.
  bool CanSubmit() const { return !FGoaway && FFailure.empty(); }
  const std::string& Failure() const { return FFailure; }

  // Called with each block of a request body as it is framed, and at its end
  // with size 0.
  std::function<void(int32_t id, const char* data, size_t size)> OnBodySent;

 private:
  struct TStreamState {
    std::string text;  // response text from textPos on is pending
    size_t textPos = 0;
    std::vector<std::pair<std::string, std::string>> block;
    int status = 0;
    int64_t blockBytes = 0;
    bool head = false;
    bool headerDone = false;
    bool chunked = false;
    bool closed = false;
    bool written = false;
    int64_t unconsumed = 0;  // DATA bytes whose window is still held
    int64_t contentLength = -1;
    int64_t dataBytes = 0;
    std::string failure;
    core::TStream* body = nullptr;
  };

  TStreamState* Find(int32_t id);
  void FailStream(TStreamState& s, const std::string& why);
  void EndHeaderBlock(TStreamState& s, bool endStream);
  void EndStream(TStreamState& s, uint32_t errorCode);
  void Goaway(int32_t lastStream, uint32_t errorCode);
  void FailConnection(const std::string& why);
  // Feeds the whole frames at the front of data; how many bytes they took.
  size_t FeedFrames(const char* data, size_t size);
  static constexpr size_t kFrameHeader = 9;
  static constexpr size_t kMaxFrame = 16384;  // SETTINGS_MAX_FRAME_SIZE, left at its default

  // nghttp2's callbacks (Http2Session.cpp).
  struct TCallbacks;
  friend struct TCallbacks;

  nghttp2_session* FSession = nullptr;
  THttp2Limits FLimits;
  std::map<int32_t, TStreamState> FStreams;
  // The start of a frame not yet complete.
  std::string FInput;
  std::string FFailure;
  bool FGoaway = false;
  int32_t FStreamWindow = kWindow;
  // nghttp2's own words for the last error it found in what the server sent.
  std::string FLastError;
  // The last RST_STREAM came from the server (not from nghttp2 on our side).
  int32_t FResetByPeer = 0;
};

}  // namespace http
