// The socket table: records, epoll interest and posting (contract in SocketTable.h).
#include "platform/SocketTable.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "platform/SocketInternal.h"
#include "platform/SystemCalls.h"

namespace winapi::detail {

void HarvestSocket(SOCKET s, uint32_t events);  // AsyncSelect.cpp

namespace {

constexpr uint32_t kIn = EPOLLIN, kOut = EPOLLOUT, kInOrHangUp = EPOLLIN | EPOLLRDHUP;

class SocketSource final : public FdSource {
 public:
  explicit SocketSource(SOCKET s) : s_(s) {}
  void OnReady(uint32_t events) override { HarvestSocket(s_, events); }

 private:
  SOCKET s_;
};

FdSource* SourceFor(SOCKET s) {
  auto& slot = Sockets().sources[s];
  if (!slot) slot = std::make_unique<SocketSource>(s);
  return slot.get();
}

bool ReadWanted(const SockRec& rec) {
  return (rec.binding.mask & (FD_READ | FD_CLOSE)) != 0 && !rec.readOff && !rec.closeSent;
}

bool WriteWanted(const SockRec& rec) {
  return rec.writeWanted && (rec.binding.mask & FD_WRITE) != 0;
}

// What each phase waits for (the re-enabling flags are described in SocketTable.h):
// a connect waits for writability, a connected socket for whatever its flags still
// allow, a listener for a connection. An unconnected socket polls as writable and
// hung up, so Idle arms nothing.
uint32_t Interest(const SockRec& rec) {
  if (rec.binding.mask == 0) return 0;
  uint32_t out = WriteWanted(rec) ? kOut : 0;
  switch (rec.phase) {
    case Phase::Connecting:
      return kOut;
    case Phase::Connected:
      return out | (ReadWanted(rec) ? kInOrHangUp : 0);
    case Phase::Listening:
      return (rec.binding.mask & FD_ACCEPT) != 0 && !rec.acceptOff ? kIn : 0;
    case Phase::Datagram:
      return out | ((rec.binding.mask & FD_READ) != 0 && !rec.readOff ? kIn : 0);
    case Phase::Idle:
      break;
  }
  return 0;
}

void Unbind(SOCKET s, SockRec& rec) {
  Disarm(s, rec);
  rec.binding = Binding{};
}

thread_local std::vector<std::pair<ThreadQueue*, SOCKET>> t_pendingDisarms;

}  // namespace

SocketTable& Sockets() {
  static SocketTable* table = new SocketTable;
  return *table;
}

TableLock::TableLock() : lock_(Sockets().mu) {}

TableLock::~TableLock() {
  lock_.unlock();
  while (!t_pendingDisarms.empty()) {
    std::vector<std::pair<ThreadQueue*, SOCKET>> disarms;
    disarms.swap(t_pendingDisarms);
    for (auto [queue, s] : disarms) DisarmFd(queue, s);
    // Another thread may have re-armed the socket in that queue while we were
    // unlocked; the removal just undid it, so arm it again.
    std::lock_guard relock(Sockets().mu);
    for (auto [queue, s] : disarms) {
      SockRec* rec = FindSocket(s);
      if (rec != nullptr && rec->armedIn == queue) {
        rec->armedIn = nullptr;
        rec->armedEvents = 0;
        Rearm(s, *rec);
      }
    }
  }
}

void AddSocket(SOCKET s, Phase phase) {
  SockRec rec;
  rec.phase = phase;
  Sockets().recs[s] = rec;
}

SockRec* FindSocket(SOCKET s) {
  auto& recs = Sockets().recs;
  auto it = recs.find(s);
  return it == recs.end() ? nullptr : &it->second;
}

void Rearm(SOCKET s, SockRec& rec) {
  uint32_t events = Interest(rec);
  const bool sameQueue = rec.armedIn != nullptr && rec.armedIn == rec.binding.queue;
  if (events == 0 || rec.binding.queue == nullptr) {
    // A fired one-shot is quiet already: it stays in the set for the next arming.
    if (sameQueue && rec.armedEvents == 0) return;
    Disarm(s, rec);
    return;
  }
  if (sameQueue && rec.armedEvents == events) return;
  if (rec.armedIn != nullptr && !sameQueue) Disarm(s, rec);
  ArmFd(rec.binding.queue, s, events, SourceFor(s));
  rec.armedIn = rec.binding.queue;
  rec.armedEvents = events;
}

void Disarm(SOCKET s, SockRec& rec) {
  rec.armedEvents = 0;
  if (rec.armedIn == nullptr) return;
  t_pendingDisarms.emplace_back(rec.armedIn, s);
  rec.armedIn = nullptr;
}

bool Notify(SOCKET s, SockRec& rec, long event, int error) {
  if ((rec.binding.mask & event) == 0) return true;
  const Binding b = rec.binding;
  auto target = std::make_pair(b.hwnd, b.msg);
  if (std::find(rec.postedTo.begin(), rec.postedTo.end(), target) == rec.postedTo.end()) {
    rec.postedTo.push_back(target);
  }
  LPARAM lParam = MAKELONG(static_cast<WORD>(event), static_cast<WORD>(error));
  // At most one read notification waits in the queue per socket: a receive loop
  // re-enables it after every receive that leaves data.
  const BOOL posted = event == FD_READ && error == 0
                          ? PostCoalesced(b.hwnd, b.msg, static_cast<WPARAM>(s), lParam)
                          : PostMessage(b.hwnd, b.msg, static_cast<WPARAM>(s), lParam);
  if (posted) return true;
  if (IsWindow(b.hwnd)) return false;
  Unbind(s, rec);  // nobody is left to tell
  return true;
}

short PollNow(SOCKET s, short events) {
  pollfd p{s, events, 0};
  return Counted(::poll(&p, 1, 0)) == 1 ? p.revents : short{0};
}

int BytesWaiting(SOCKET s) {
  int n = 0;
  return Counted(::ioctl(s, FIONREAD, &n)) == 0 ? n : 0;
}

void ForgetDroppedNotifications(const std::vector<MSG>& dropped) {
  TableLock lock;
  for (const MSG& m : dropped) {
    const SOCKET s = static_cast<SOCKET>(m.wParam);
    SockRec* rec = FindSocket(s);
    if (rec == nullptr) continue;
    const auto target = std::make_pair(m.hwnd, m.message);
    if (std::find(rec->postedTo.begin(), rec->postedTo.end(), target) == rec->postedTo.end()) continue;
    const auto lParam = static_cast<uintptr_t>(m.lParam);
    const WORD events = LOWORD(lParam);
    // Each lost notification becomes due again, as if it had never been posted.
    if ((events & FD_CONNECT) != 0) {
      rec->connectLost = true;
      rec->lostConnectError = HIWORD(lParam);
    }
    if ((events & FD_CLOSE) != 0) rec->closeSent = false;
    if ((events & FD_READ) != 0) rec->readOff = false;
    if ((events & FD_ACCEPT) != 0) rec->acceptOff = false;
    if ((events & FD_WRITE) != 0) rec->writeWanted = true;
    Rearm(s, *rec);
  }
}

void CloseAllSockets() {
  std::vector<SOCKET> open;
  {
    TableLock lock;
    for (auto& [s, rec] : Sockets().recs) {
      Disarm(s, rec);
      for (auto [hwnd, msg] : rec.postedTo) PurgeMessages(hwnd, msg, static_cast<WPARAM>(s));
      open.push_back(s);
    }
    Sockets().recs.clear();
  }
  for (SOCKET s : open) Counted(::close(s));
}

}  // namespace winapi::detail
