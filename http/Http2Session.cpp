// THttp2Session: nghttp2's client session driven from memory, each stream's
// response turned into HTTP/1.1 text for the client's response parser.
#include "http/Http2Session.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>

namespace http {

namespace {

// HTTP/2 carries no reason phrase; the client's messages name the status with one.
const char* ReasonFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 407:
      return "Proxy Authentication Required";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "";
  }
}

std::string Hex(size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  do {
    s.insert(s.begin(), digits[n & 15]);
    n >>= 4;
  } while (n != 0);
  return s;
}

nghttp2_nv Nv(const std::string& name, const std::string& value) {
  return nghttp2_nv{reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                    reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
                    NGHTTP2_NV_FLAG_NONE};
}

}  // namespace

struct THttp2Session::TCallbacks {
  static THttp2Session& Self(void* p) { return *static_cast<THttp2Session*>(p); }

  static int BeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* p) {
    if (TStreamState* s = Self(p).Find(frame->hd.stream_id)) {
      s->block.clear();
      s->status = 0;
      s->blockBytes = 0;
    }
    return 0;
  }

  static int Header(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t nameLen,
                    const uint8_t* value, size_t valueLen, uint8_t, void* p) {
    THttp2Session& self = Self(p);
    TStreamState* s = self.Find(frame->hd.stream_id);
    if (s == nullptr || !s->failure.empty()) return 0;
    const auto fieldBytes = static_cast<int64_t>(nameLen + valueLen + 2);
    s->blockBytes += fieldBytes + 2;
    if (fieldBytes > self.FLimits.fieldBytes || s->blockBytes > self.FLimits.headerBytes) {
      self.FailStream(*s, "Response header too large");
      return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
    std::string n(reinterpret_cast<const char*>(name), nameLen);
    std::string v(reinterpret_cast<const char*>(value), valueLen);
    if (n == ":status") {
      s->status = std::atoi(v.c_str());
    } else if (n == "content-length") {
      s->contentLength = std::atoll(v.c_str());
      s->block.emplace_back(std::move(n), std::move(v));
    } else if (!n.empty() && n[0] != ':') {
      s->block.emplace_back(std::move(n), std::move(v));
    }
    return 0;
  }

  static int FrameRecv(nghttp2_session*, const nghttp2_frame* frame, void* p) {
    THttp2Session& self = Self(p);
    const bool endStream = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
    switch (frame->hd.type) {
      case NGHTTP2_HEADERS:
        if (TStreamState* s = self.Find(frame->hd.stream_id)) self.EndHeaderBlock(*s, endStream);
        break;
      case NGHTTP2_RST_STREAM:
        self.FResetByPeer = frame->hd.stream_id;
        break;
      case NGHTTP2_GOAWAY:
        self.Goaway(frame->goaway.last_stream_id, frame->goaway.error_code);
        break;
      default:
        break;
    }
    return 0;
  }

  static int FrameSend(nghttp2_session*, const nghttp2_frame* frame, void* p) {
    // The GOAWAY nghttp2 sends on an error names the kind of error.
    THttp2Session& self = Self(p);
    if (frame->hd.type == NGHTTP2_GOAWAY && frame->goaway.error_code != NGHTTP2_NO_ERROR &&
        self.FLastError.empty())
      self.FLastError = nghttp2_http2_strerror(frame->goaway.error_code);
    const bool last = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
    if (TStreamState* s = Self(p).Find(frame->hd.stream_id); s && last) s->written = true;
    return 0;
  }

  static int DataChunk(nghttp2_session*, uint8_t, int32_t id, const uint8_t* data, size_t len, void* p) {
    THttp2Session& self = Self(p);
    TStreamState* s = self.Find(id);
    if (s == nullptr) {
      // A stream we forgot: its window goes back at once.
      nghttp2_session_consume(self.FSession, id, len);
      return 0;
    }
    s->unconsumed += static_cast<int64_t>(len);
    s->dataBytes += static_cast<int64_t>(len);
    if (!s->failure.empty() || !s->headerDone) return 0;
    if (s->chunked) s->text += Hex(len) + "\r\n";
    s->text.append(reinterpret_cast<const char*>(data), len);
    if (s->chunked) s->text += "\r\n";
    return 0;
  }

  static int Error(nghttp2_session*, int, const char* msg, size_t len, void* p) {
    Self(p).FLastError.assign(msg, len);
    return 0;
  }

  static int StreamClose(nghttp2_session*, int32_t id, uint32_t errorCode, void* p) {
    if (TStreamState* s = Self(p).Find(id)) Self(p).EndStream(*s, errorCode);
    return 0;
  }

  static ssize_t ReadBody(nghttp2_session*, int32_t id, uint8_t* buf, size_t length, uint32_t* flags,
                          nghttp2_data_source* source, void* p) {
    THttp2Session& self = Self(p);
    auto* body = static_cast<core::TStream*>(source->ptr);
    const int64_t n = body ? body->Read(buf, static_cast<int64_t>(length)) : 0;
    if (n <= 0) *flags |= NGHTTP2_DATA_FLAG_EOF;
    if (auto h = self.OnBodySent)
      h(id, reinterpret_cast<const char*>(buf), n > 0 ? static_cast<size_t>(n) : 0);
    return n > 0 ? static_cast<ssize_t>(n) : 0;
  }
};

THttp2Session::THttp2Session(THttp2Limits limits) : FLimits(limits) {
  nghttp2_session_callbacks* cb = nullptr;
  nghttp2_session_callbacks_new(&cb);
  nghttp2_session_callbacks_set_on_begin_headers_callback(cb, TCallbacks::BeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(cb, TCallbacks::Header);
  nghttp2_session_callbacks_set_on_frame_recv_callback(cb, TCallbacks::FrameRecv);
  nghttp2_session_callbacks_set_on_frame_send_callback(cb, TCallbacks::FrameSend);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, TCallbacks::DataChunk);
  nghttp2_session_callbacks_set_on_stream_close_callback(cb, TCallbacks::StreamClose);
  nghttp2_session_callbacks_set_error_callback2(cb, TCallbacks::Error);
  nghttp2_option* opt = nullptr;
  nghttp2_option_new(&opt);
  // Windows open as the caller takes the bytes, not as they arrive.
  nghttp2_option_set_no_auto_window_update(opt, 1);
  nghttp2_session_client_new2(&FSession, cb, this, opt);
  nghttp2_option_del(opt);
  nghttp2_session_callbacks_del(cb);
  const nghttp2_settings_entry settings[] = {
      {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, kWindow},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, static_cast<uint32_t>(FLimits.headerBytes)},
  };
  nghttp2_submit_settings(FSession, NGHTTP2_FLAG_NONE, settings, sizeof settings / sizeof settings[0]);
  nghttp2_session_set_local_window_size(FSession, NGHTTP2_FLAG_NONE, 0, kWindow);
}

THttp2Session::~THttp2Session() {
  nghttp2_session_del(FSession);
}

THttp2Session::TStreamState* THttp2Session::Find(int32_t id) {
  auto it = FStreams.find(id);
  return it == FStreams.end() ? nullptr : &it->second;
}

int32_t THttp2Session::Submit(const THttp2Request& request) {
  if (!CanSubmit()) {
    if (FFailure.empty()) FFailure = "HTTP/2 connection is going away";
    return 0;
  }
  std::vector<nghttp2_nv> nva;
  const std::string method = ":method", scheme = ":scheme", authority = ":authority", path = ":path";
  nva.push_back(Nv(method, request.method));
  nva.push_back(Nv(scheme, request.scheme));
  nva.push_back(Nv(authority, request.authority));
  nva.push_back(Nv(path, request.path));
  for (const auto& [name, value] : request.fields) nva.push_back(Nv(name, value));
  nghttp2_data_provider provider{};
  provider.source.ptr = request.body;
  provider.read_callback = TCallbacks::ReadBody;
  const int32_t id = nghttp2_submit_request(FSession, nullptr, nva.data(), nva.size(),
                                            request.body ? &provider : nullptr, nullptr);
  if (id < 0) {
    FFailure = std::string("HTTP/2 request refused: ") + nghttp2_strerror(id);
    return 0;
  }
  TStreamState& s = FStreams[id];
  s.head = request.method == "HEAD";
  s.body = request.body;
  return id;
}

// nghttp2 gets whole frames only: how the bytes were cut on their way (TCP
// segments, TLS records) must not change what it makes of them, and its limit on
// the pieces of a header block counts the reads it is given.
bool THttp2Session::Feed(const char* data, size_t size) {
  if (!FFailure.empty()) return false;
  if (!FInput.empty()) {
    FInput.append(data, size);
    const size_t used = FeedFrames(FInput.data(), FInput.size());
    FInput.erase(0, used);
  } else {
    const size_t used = FeedFrames(data, size);
    if (FFailure.empty()) FInput.assign(data + used, size - used);
  }
  return FFailure.empty();
}

size_t THttp2Session::FeedFrames(const char* data, size_t size) {
  size_t at = 0;
  while (size - at >= kFrameHeader && FFailure.empty()) {
    const auto* p = reinterpret_cast<const uint8_t*>(data + at);
    const size_t length = (size_t{p[0]} << 16) | (size_t{p[1]} << 8) | p[2];
    // Larger than we allow: the connection ends here, whatever follows.
    if (length > kMaxFrame) {
      FailConnection("HTTP/2 protocol error: a frame of " + std::to_string(length) + " bytes, over the " +
                     std::to_string(kMaxFrame) + " allowed");
      return size;
    }
    const size_t frame = kFrameHeader + length;
    if (size - at < frame) break;
    const ssize_t n = nghttp2_session_mem_recv(FSession, p, frame);
    if (n < 0) FailConnection(std::string("HTTP/2 protocol error: ") + nghttp2_strerror(static_cast<int>(n)));
    at += frame;
  }
  return at;
}

// Every stream still open fails with the connection.
void THttp2Session::FailConnection(const std::string& why) {
  if (FFailure.empty()) FFailure = why;
  for (auto& [id, s] : FStreams)
    if (!s.closed) FailStream(s, FFailure);
}

bool THttp2Session::Produce(std::string& out) {
  for (;;) {
    const uint8_t* data = nullptr;
    const ssize_t n = nghttp2_session_mem_send(FSession, &data);
    if (n < 0) {
      if (FFailure.empty()) FFailure = std::string("HTTP/2 error: ") + nghttp2_strerror(static_cast<int>(n));
      return false;
    }
    if (n == 0) break;
    out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
  }
  // nghttp2 ends a session on a connection error: once its GOAWAY is out it
  // reads nothing more, and the streams on it will never finish.
  if (nghttp2_session_want_read(FSession) == 0 && nghttp2_session_want_write(FSession) == 0) {
    FailConnection("HTTP/2 protocol error" + (FLastError.empty() ? std::string() : ": " + FLastError));
    return false;
  }
  return true;
}

void THttp2Session::FailStream(TStreamState& s, const std::string& why) {
  if (s.failure.empty()) s.failure = why;
}

// The final response's header becomes a status line and fields, with the framing
// the parser needs to find the body's end where the stream ends.
void THttp2Session::EndHeaderBlock(TStreamState& s, bool endStream) {
  if (s.headerDone || !s.failure.empty()) return;  // trailers
  if (s.status >= 100 && s.status < 200) return;   // informational
  if (s.status < 100 || s.status > 999) {
    FailStream(s, "HTTP/2 response without a valid status");
    return;
  }
  s.headerDone = true;
  bool hasLength = false;
  std::string& t = s.text;
  t += "HTTP/1.1 " + std::to_string(s.status) + " " + ReasonFor(s.status) + "\r\n";
  for (const auto& [name, value] : s.block) {
    hasLength = hasLength || name == "content-length";
    t.append(name).append(": ").append(value).append("\r\n");
  }
  const bool noBody = s.head || s.status == 204 || s.status == 304;
  if (!hasLength && !noBody) {
    s.chunked = !endStream;
    t += endStream ? "content-length: 0\r\n" : "transfer-encoding: chunked\r\n";
  }
  t += "\r\n";
  s.block.clear();
}

void THttp2Session::EndStream(TStreamState& s, uint32_t errorCode) {
  s.closed = true;
  if (errorCode != NGHTTP2_NO_ERROR) {
    const std::string code = nghttp2_http2_strerror(errorCode);
    const bool peer = FResetByPeer != 0 && Find(FResetByPeer) == &s;
    if (errorCode == NGHTTP2_REFUSED_STREAM && FGoaway)
      FailStream(s, "HTTP/2 server went away (GOAWAY) before answering");
    else if (peer)
      FailStream(s, "HTTP/2 stream reset by the server: " + code);
    else if (s.contentLength >= 0 && s.dataBytes != s.contentLength)
      FailStream(s, "HTTP/2 body of " + std::to_string(s.dataBytes) + " bytes, not the " +
                        std::to_string(s.contentLength) + " of its content-length");
    else if (!FLastError.empty())
      FailStream(s, "HTTP/2 response broke the protocol: " + FLastError);
    else
      FailStream(s, "HTTP/2 response broke the protocol (" + code + ")");
    return;
  }
  if (!s.headerDone) {
    FailStream(s, "HTTP/2 stream ended without a response");
    return;
  }
  if (s.chunked) s.text += "0\r\n\r\n";
}

// Streams the server will not answer close by themselves (REFUSED_STREAM); an
// error code ends the whole connection, and every stream open on it.
void THttp2Session::Goaway(int32_t lastStream, uint32_t errorCode) {
  FGoaway = true;
  if (errorCode == NGHTTP2_NO_ERROR) return;
  const std::string why =
      std::string("HTTP/2 connection ended by the server: GOAWAY ") + nghttp2_http2_strerror(errorCode);
  for (auto& [id, s] : FStreams)
    if (!s.closed || id > lastStream) FailStream(s, why);
}

void THttp2Session::SetStreamWindow(int32_t size) {
  if (size == FStreamWindow) return;
  FStreamWindow = size;
  const nghttp2_settings_entry entry{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, static_cast<uint32_t>(size)};
  nghttp2_submit_settings(FSession, NGHTTP2_FLAG_NONE, &entry, 1);
}

size_t THttp2Session::Pending(int32_t id) const {
  auto it = FStreams.find(id);
  return it == FStreams.end() ? 0 : it->second.text.size() - it->second.textPos;
}

size_t THttp2Session::Take(int32_t id, char* buffer, size_t size) {
  TStreamState* s = Find(id);
  if (s == nullptr) return 0;
  const size_t n = std::min(size, s->text.size() - s->textPos);
  s->text.copy(buffer, n, s->textPos);
  s->textPos += n;
  if (s->textPos == s->text.size()) {
    s->text.clear();
    s->textPos = 0;
  }
  // The window follows what was taken; framing text counts as body here, which
  // errs on the side of opening it a little early.
  const auto give = std::min<int64_t>(s->unconsumed, static_cast<int64_t>(n));
  if (give > 0) {
    s->unconsumed -= give;
    nghttp2_session_consume(FSession, id, static_cast<size_t>(give));
  }
  return n;
}

bool THttp2Session::Closed(int32_t id) const {
  auto it = FStreams.find(id);
  return it == FStreams.end() || it->second.closed;
}

const std::string& THttp2Session::StreamFailure(int32_t id) const {
  static const std::string none;
  auto it = FStreams.find(id);
  return it == FStreams.end() ? none : it->second.failure;
}

bool THttp2Session::RequestWritten(int32_t id) const {
  auto it = FStreams.find(id);
  return it == FStreams.end() || it->second.written;
}

// What a forgotten stream still holds of its window goes back to the connection.
void THttp2Session::Forget(int32_t id) {
  auto it = FStreams.find(id);
  if (it == FStreams.end()) return;
  if (it->second.unconsumed > 0)
    nghttp2_session_consume(FSession, id, static_cast<size_t>(it->second.unconsumed));
  if (!it->second.closed) nghttp2_submit_rst_stream(FSession, NGHTTP2_FLAG_NONE, id, NGHTTP2_CANCEL);
  FStreams.erase(it);
}

}  // namespace http
