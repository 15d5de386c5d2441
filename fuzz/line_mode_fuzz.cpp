// Line mode with random data and settings. The socket's transport is one end of a
// local socket pair (no network); this driver writes the peer's bytes into the
// other end, in one-byte pieces, whole, or in pseudo-random pieces, and closes
// the connection at the end, which hands out what is held as a last line.
//
// Input: 4 bytes of set-up (see ReadSetup), the custom line end, then the data.
// Checked, for every way of cutting:
// - every line but the last ends with the line end and holds no earlier one;
// - without editing, the lines put together give back the data (or, when the
//   limit handler lets held bytes be dropped, its length with what was dropped);
//   the echo is the data itself;
// - with editing, one byte per receive gives the data as edited here (backspace
//   removes the previous byte of the current line, tab fills with blanks to the
//   next multiple of 8);
// - with a line end and without dropping, all three cuts give the same lines,
//   edited or not.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/Application.h"
#include "net/WSocket.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Byte 0: bits 0-1 the line end (CR LF, LF, custom, none), bit 2 echo, bit 3 edit,
// bit 4 the limit handler lets held bytes be dropped. Byte 1: bits 0-1 the custom
// line end's length - 1, bits 2-7 how many bytes the application reads per
// notification - 1. Byte 2: the line limit (0: none). Byte 3: the pieces' seed.
struct TSetup {
  std::string lineEnd;
  bool echo = false, edit = false, drop = false;
  int readSize = 1, limit = 0;
  uint8_t seed = 0;
  std::string_view data;
};

TSetup ReadSetup(const uint8_t* data, size_t size) {
  TSetup s;
  std::string_view rest(reinterpret_cast<const char*>(data + 4), size - 4);
  switch (data[0] & 3) {
    case 0:
      s.lineEnd = "\r\n";
      break;
    case 1:
      s.lineEnd = "\n";
      break;
    case 2: {
      const size_t n = std::min<size_t>(1 + (data[1] & 3), rest.size());
      s.lineEnd = std::string(rest.substr(0, n));
      rest.remove_prefix(n);
      break;
    }
    default:
      break;
  }
  s.echo = data[0] & 4;
  s.edit = data[0] & 8;
  s.drop = data[0] & 16;
  s.readSize = 1 + (data[1] >> 2);
  s.limit = data[2];
  s.seed = data[3];
  s.data = rest;
  return s;
}

class TPairLineSocket : public net::TCustomLineWSocket {
 public:
  using net::TCustomLineWSocket::TCustomLineWSocket;
  // Takes a connected local socket as its transport.
  void Adopt(int fd) {
    FHSocket = fd;
    ChangeState(net::wsConnected);
  }
};

int Waiting(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

struct TRun {
  std::vector<std::string> lines;
  std::string echo;
  size_t dropped = 0;
};

enum TPieces { pcBytes, pcWhole, pcRandom };

void Attach(TPairLineSocket& sock, const TSetup& s, TRun& run, std::string& line) {
  sock.OnDataAvailable = [&sock, &s, &run, &line](core::TComponent*, uint16_t) {
    if (s.lineEnd.empty()) {
      run.lines.push_back(sock.ReceiveStr());
      return;
    }
    // One piece of the line per notification: it comes again until all is read.
    const int want = std::min(sock.RcvdCount(), s.readSize);
    std::string piece(static_cast<size_t>(std::max(want, 0)), '\0');
    const int n = sock.Receive(piece.data(), want);
    Check(n == want);
    line += piece;
    if (sock.RcvdCount() == 0) run.lines.push_back(std::move(line)), line.clear();
  };
  sock.OnLineLimitExceeded = [&s, &run](core::TComponent*, int count, bool& clear) {
    clear = s.drop;
    if (clear) run.dropped += static_cast<size_t>(count);
  };
}

void Drain(int fd, std::string& into) {
  char buf[512];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) into.append(buf, static_cast<size_t>(n));
}

TRun Run(const TSetup& s, TPieces pieces) {
  int fds[2];
  Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0);
  TRun run;
  std::string line;
  {
    auto sock = core::MakeComponent<TPairLineSocket>(nullptr);
    sock->SetLineEnd(s.lineEnd);
    sock->SetLineLimit(s.limit);
    sock->SetLineEcho(s.echo);
    sock->SetLineEdit(s.edit);
    sock->SetLineMode(true);
    Attach(*sock, s, run, line);
    sock->Adopt(fds[0]);
    unsigned state = s.seed;
    for (size_t at = 0; at < s.data.size();) {
      size_t n = s.data.size() - at;
      if (pieces == pcBytes) n = 1;
      if (pieces == pcRandom) {
        state = state * 1103515245u + 12345u;
        n = std::min<size_t>(n, 1 + (state >> 16) % 13);
      }
      Check(write(fds[1], s.data.data() + at, n) == static_cast<ssize_t>(n));
      at += n;
      while (Waiting(fds[0]) > 0 && sock->State() == net::wsConnected) sock->TriggerDataAvailable(0);
      core::Application().ProcessMessages();
      Drain(fds[1], run.echo);
    }
    sock->Close();  // also closes fds[0]
    core::Application().ProcessMessages();
  }
  Drain(fds[1], run.echo);
  close(fds[1]);
  if (!line.empty()) run.lines.push_back(line);
  return run;
}

// What editing makes of the data when it arrives one byte at a time: a line end
// may complete inside a tab's blanks, whose count was set when the tab arrived.
std::string Edited(const TSetup& s) {
  std::string out;
  size_t lineStart = 0;
  auto put = [&](char ch) {
    out += ch;
    if (!s.lineEnd.empty() && out.size() - lineStart >= s.lineEnd.size() && out.ends_with(s.lineEnd))
      lineStart = out.size();
  };
  for (char ch : s.data) {
    if (ch == '\b') {
      if (out.size() > lineStart) out.pop_back();
    } else if (ch == '\t') {
      const size_t base = lineStart;
      do put(' ');
      while ((out.size() - base) % 8 != 0);
    } else {
      put(ch);
    }
  }
  return out;
}

void CheckRun(const TSetup& s, const TRun& r, TPieces pieces) {
  std::string all;
  for (size_t i = 0; i < r.lines.size(); ++i) {
    const std::string& l = r.lines[i];
    all += l;
    if (s.lineEnd.empty()) continue;
    const size_t first = l.find(s.lineEnd);
    if (i + 1 < r.lines.size())
      Check(first != std::string::npos && first + s.lineEnd.size() == l.size());
    else
      Check(first == std::string::npos || first + s.lineEnd.size() == l.size());
  }
  // Without a line end the data passes as it came: nothing edits it.
  if (!s.edit || s.lineEnd.empty()) {
    if (s.echo && !s.lineEnd.empty()) Check(r.echo == s.data);
    if (r.dropped == 0) Check(all == s.data);
    Check(all.size() + r.dropped == s.data.size());
  } else if (pieces == pcBytes && r.dropped == 0 && s.limit == 0) {
    Check(all == Edited(s));
  }
}

void Same(const TRun& a, const TRun& b) {
  if (a.lines == b.lines) return;
  for (const TRun* r : {&a, &b}) {
    for (const auto& l : r->lines) std::fprintf(stderr, "  [%zu bytes]\n", l.size());
    std::fprintf(stderr, "--\n");
  }
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const TSetup setup = ReadSetup(data, size);
  TRun runs[3];
  for (TPieces p : {pcBytes, pcWhole, pcRandom}) {
    runs[p] = Run(setup, p);
    CheckRun(setup, runs[p], p);
  }
  // Without a line end the pieces are receives: only their sum is compared.
  if (!setup.lineEnd.empty() && runs[pcBytes].dropped == 0 && runs[pcWhole].dropped == 0 &&
      runs[pcRandom].dropped == 0) {
    Same(runs[pcBytes], runs[pcWhole]);
    Same(runs[pcBytes], runs[pcRandom]);
  }
  return 0;
}
