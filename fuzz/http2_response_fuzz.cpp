// A server's side of an HTTP/2 connection, fed to the client's session after it
// sent one request: all at once, one byte at a time, and in pseudo-random pieces.
// Whatever the bytes, the three runs agree on the response text the stream
// yields, on whether the stream and the connection failed, and on whether a
// stream that did not fail ended. The client's own frames go out after the last
// piece; which words a failure has may still differ. A stream that ended well has text that ends its
// document (a length or chunks), and one that yields a header yields it first.
//
// Input layout: byte 0 seeds the piece sizes; byte 1's low bit makes the request
// a HEAD; the rest is what the server sends.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/Http2Session.h"

namespace {

struct TOutcome {
  std::string text;
  std::string streamFailure;
  std::string connectionFailure;
  bool closed = false;
  bool operator==(const TOutcome& o) const {
    return text == o.text && streamFailure.empty() == o.streamFailure.empty() &&
           connectionFailure.empty() == o.connectionFailure.empty() &&
           (!streamFailure.empty() || closed == o.closed);
  }
};

// Pieces: 0 all at once, 1 one byte each, otherwise pseudo-random sizes from seed.
TOutcome Run(const uint8_t* data, size_t size, bool head, int pieces, uint32_t seed) {
  http::THttp2Session session;
  http::THttp2Request request;
  request.method = head ? "HEAD" : "GET";
  request.scheme = "http";
  request.authority = "fuzz.example";
  const int32_t id = session.Submit(request);
  std::string out;
  session.Produce(out);
  TOutcome o;
  char buffer[4096];
  size_t at = 0;
  while (at < size) {
    size_t n = size - at;
    if (pieces == 1) n = 1;
    if (pieces == 2) {
      seed = seed * 1103515245u + 12345u;
      n = std::min<size_t>(n, 1 + (seed >> 16) % 700);
    }
    const bool ok = session.Feed(reinterpret_cast<const char*>(data) + at, n);
    at += n;
    for (size_t k; (k = session.Take(id, buffer, sizeof buffer)) > 0;) o.text.append(buffer, k);
    if (!ok) break;
  }
  // What the client sends (a reset among them) goes out after the last piece in
  // every run: between the pieces it would change what later frames mean.
  out.clear();
  session.Produce(out);
  o.streamFailure = session.StreamFailure(id);
  o.connectionFailure = session.Failure();
  o.closed = session.Closed(id);
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t seed = data[0];
  const bool head = (data[1] & 1) != 0;
  const TOutcome whole = Run(data + 2, size - 2, head, 0, seed);
  if (!(Run(data + 2, size - 2, head, 1, seed) == whole)) __builtin_trap();
  if (!(Run(data + 2, size - 2, head, 2, seed) == whole)) __builtin_trap();
  // A header comes first; a stream that ended well ended its document too.
  if (!whole.text.empty() && whole.text.rfind("HTTP/1.1 ", 0) != 0) __builtin_trap();
  const std::string header = whole.text.substr(0, whole.text.find("\r\n\r\n") + 2);
  const bool chunked = header.find("\r\ntransfer-encoding: chunked\r\n") != std::string::npos;
  if (whole.closed && whole.streamFailure.empty() && chunked && !whole.text.ends_with("0\r\n\r\n"))
    __builtin_trap();
  return 0;
}
