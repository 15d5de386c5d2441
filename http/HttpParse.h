// The pieces of an HTTP/1.x response as pure functions: no client state, no
// events, no buffer. The client cuts the response into lines and calls these;
// tests feed them directly.
//
// Positions and lengths count bytes. Nothing here throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace http {

// --- the status line ---

struct TStatusLine {
  // The line starts with "HTTP/1.0" or "HTTP/1.1"; when false nothing else is set.
  bool http1 = false;
  std::string version;  // "1.0" or "1.1"
  // 100..599 when the line carries a usable code, else 0.
  int code = 0;
  std::string reason;  // the text after the code and the one byte that ends it
};

// "HTTP/1.1 200 OK": the version, then one or more blanks, then three digits
// from 100 to 599 ended by a blank, a tab or the end of the line. The version is
// taken even when the code is not ("HTTP/1.1 2000" has version "1.1", code 0).
TStatusLine ParseStatusLine(std::string_view line);

// --- header fields ---

struct THeaderField {
  std::string name;   // lower-cased
  std::string value;  // after the colon, without its leading blanks
};

// A field line "Name: value". No colon: nullopt. The name keeps any blanks
// around it; the value loses the blanks after the colon but never its last
// byte (a value of blanks only keeps one).
std::optional<THeaderField> SplitFieldLine(std::string_view line);

// A "content-length" value: decimal digits only (blanks and tabs around them
// allowed), fitting 63 bits; -1 for anything else.
int64_t ParseContentLength(std::string_view value);

// --- chunk-size lines ---

// The size at the head of a chunk-size line, taken as its bytes arrive: the
// state lives here between calls so a line may be cut anywhere.
struct TChunkSizeScan {
  uint64_t length = 0;
  int digits = 0;  // significant digits so far (leading zeros do not count)
  bool digitSeen = false;
};

enum class TChunkSizeVerdict {
  kMore,     // every byte given was a digit: the size may go on
  kDone,     // the size ends at a ";", a blank or the line end
  kInvalid,  // no digit, any other byte after the digits, or more than 16 significant digits
};

struct TChunkSizeStep {
  TChunkSizeVerdict verdict = TChunkSizeVerdict::kMore;
  // Where the scan stopped: for kDone the byte after the size (not taken: the
  // rest of the line, extensions and all, is the caller's), for kInvalid the
  // offending byte, for kMore the end.
  int64_t next = 0;
};

// Scans p[from, n) into scan.
TChunkSizeStep ScanChunkSize(TChunkSizeScan& scan, const char* p, int64_t n, int64_t from);

// --- authentication challenges ---

// The challenges of one "www-authenticate" or "proxy-authenticate" value, each as
// if it stood in a field of its own: "X-Token realm=\"a\", Basic realm=\"b\"" gives
// "X-Token realm=\"a\"" and "Basic realm=\"b\"". A list element that starts with
// a name followed by "=" is a parameter of the challenge before it; commas inside
// quoted strings separate nothing. Empty elements are dropped.
std::vector<std::string> SplitChallenges(std::string_view value);

// True when the challenge starts with the scheme name, in any case. Only the
// prefix is compared: "NTLMx" counts as NTLM.
bool ChallengeIs(std::string_view challenge, std::string_view scheme);

// The data of a challenge of the given scheme: what follows the scheme name and
// the one byte after it, at most maxLen bytes ("NTLM TlRM" gives "TlRM").
std::string ChallengeData(std::string_view challenge, std::string_view scheme, size_t maxLen);

}  // namespace http
