// Internal to platform/: the process table of sockets that WSAAsyncSelect drives.
//
// One SockRec per socket, from socket()/accept() to closesocket(), guarded by the
// table's mutex. The record holds the socket's phase, its window binding and the
// re-enabling flags that decide which notification may be posted next:
// readOff/acceptOff (FD_READ/FD_ACCEPT posted, waiting for recv/accept),
// closeSent (FD_CLOSE posted, never again), writeWanted (a send stopped short,
// FD_WRITE is due when room appears).
//
// Readiness comes from the binding thread's epoll set, one-shot: after every harvest
// and every re-enabling call the interest is recomputed from the record (Rearm), so
// an idle socket costs no wake-ups. A harvest re-checks readiness with poll() rather
// than trusting the event, because descriptor numbers are reused at once and a late
// event may belong to the socket's predecessor.
//
// Lock order: this table, then the window table, then a thread queue; the table lock
// is held while posting and arming, never while a window procedure runs.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ThreadQueue.h"
#include "platform/WinSock.h"

namespace winapi::detail {

enum class Phase { Idle, Connecting, Connected, Listening, Datagram };

struct Binding {
  HWND hwnd = nullptr;
  UINT msg = 0;
  long mask = 0;
  ThreadQueue* queue = nullptr;  // the window's thread, where the socket is armed
};

struct SockRec {
  Phase phase = Phase::Idle;
  Binding binding;
  // Every (window, message) the socket has posted to: closesocket purges them all,
  // including those queued before a pause or a move to another window.
  std::vector<std::pair<HWND, UINT>> postedTo;
  ThreadQueue* armedIn = nullptr;  // queue whose epoll set holds the socket, if any
  // The one-shot interest armed there and not yet reported; 0 once it fired. A
  // socket stays in the set while it waits for a re-enabling call, so arming it
  // again is one modification and arming what is armed costs nothing.
  uint32_t armedEvents = 0;
  // Created non-blocking here, or made so since: binding needs no mode change.
  bool nonBlocking = false;
  bool readOff = false;
  bool acceptOff = false;
  bool closeSent = false;
  bool writeWanted = false;
  bool shutWr = false;
  int pendingCloseError = 0;  // a reset that recv() reported, kept for FD_CLOSE
  // The FD_CONNECT posted for this socket went with a released message number; the
  // next binding posts it again with this error.
  bool connectLost = false;
  int lostConnectError = 0;
};

struct SocketTable {
  std::mutex mu;
  std::unordered_map<SOCKET, SockRec> recs;  // guarded by mu
  // One epoll source per descriptor number, never freed, so a harvest already
  // under way when its socket is closed never calls into freed memory.
  std::unordered_map<SOCKET, std::unique_ptr<FdSource>> sources;  // guarded by mu
};

// The process table; created on first use and never destroyed (threads may still
// harvest while the process exits).
SocketTable& Sockets();

// Holds the table lock. Removals from epoll sets requested meanwhile run after the
// lock is released: DisarmFd from another thread waits for a harvest of that
// descriptor already under way, and that harvest may be waiting for this lock.
class TableLock {
 public:
  TableLock();
  ~TableLock();
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

// All of the following need a TableLock.

// Adds a record for a socket this layer created or accepted.
void AddSocket(SOCKET s, Phase phase);
// The record of s, or nullptr for a descriptor this layer does not know.
SockRec* FindSocket(SOCKET s);
// Recomputes the epoll interest of s from its record and arms or removes it.
void Rearm(SOCKET s, SockRec& rec);
// Takes s out of the epoll set it is armed in.
void Disarm(SOCKET s, SockRec& rec);
// Posts event with error to the binding if the mask selects it. Returns false only
// when the post failed and should be retried (full queue): the caller then keeps
// the condition that produced it. A vanished window unbinds the socket.
bool Notify(SOCKET s, SockRec& rec, long event, int error);

// The socket's one-shot interest has fired: the next Rearm arms it anew.
inline void MarkFired(SockRec& rec) {
  rec.armedEvents = 0;
}

// Readiness probes without waiting.
short PollNow(SOCKET s, short events);
int BytesWaiting(SOCKET s);  // FIONREAD, 0 on failure

}  // namespace winapi::detail
