// Asynchronous host lookups: one worker thread resolves requests in arrival order
// and posts each completion to the requesting window. A request's result belongs to
// the request until WSATakeHostEntry takes it or WSACancelAsyncRequest drops it.
#include <arpa/inet.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/SocketInternal.h"

namespace winapi {
namespace {

struct Request {
  HWND hwnd = nullptr;
  UINT msg = 0;
  bool byAddr = false;
  int family = AF_INET;
  std::string query;
  char* buf = nullptr;
  int bufLen = 0;
  bool done = false;  // completed; the result waits for WSATakeHostEntry
  HostEntry result;
  LPARAM completion = 0;  // the completion's LParam once resolved
  bool keep = false;      // the result waits in the request, not in buf
};

// Lives on the heap and is never destroyed: the detached worker may still wait on
// its condition variable while the process exits.
struct LookupState {
  std::mutex mu;
  std::condition_variable wake;
  std::deque<HANDLE> fifo;                       // pending, in arrival order
  std::unordered_map<HANDLE, Request> requests;  // pending or holding a result
  std::deque<HANDLE> finishedOrder;              // recently completed, for WSAEALREADY
  std::unordered_set<HANDLE> finished;
  std::deque<HANDLE> undelivered;  // resolved, but the window's queue was full
  HANDLE lastHandle = 0;
  bool workerStarted = false;
};

constexpr size_t kFinishedMemory = 4096;
// How often a completion that met a full queue is offered again.
constexpr auto kRetryInterval = std::chrono::milliseconds(5);

LookupState& State() {
  static LookupState* state = new LookupState;
  return *state;
}

void RememberFinished(LookupState& st, HANDLE h) {
  if (!st.finished.insert(h).second) return;
  st.finishedOrder.push_back(h);
  if (st.finishedOrder.size() > kFinishedMemory) {
    st.finished.erase(st.finishedOrder.front());
    st.finishedOrder.pop_front();
  }
}

// Under st.mu: posts the completion of h. A full queue keeps the request for a
// later try (the caller must learn of every lookup it started); a window that is
// gone ends it.
void Deliver(LookupState& st, HANDLE h) {
  auto it = st.requests.find(h);
  if (it == st.requests.end()) return;  // cancelled meanwhile
  Request& req = it->second;
  if (PostMessage(req.hwnd, req.msg, h, req.completion)) {
    if (req.keep) {
      req.done = true;
      return;
    }
  } else if (GetLastError() == ERROR_NOT_ENOUGH_QUOTA) {
    st.undelivered.push_back(h);
    return;
  }
  st.requests.erase(it);
  RememberFinished(st, h);
}

// Under st.mu: hands the result over (caller's buffer or kept for taking) and posts
// the completion. A request cancelled meanwhile is gone and nothing is touched.
void Complete(LookupState& st, HANDLE h, int error, HostEntry&& entry) {
  auto it = st.requests.find(h);
  if (it == st.requests.end()) return;
  Request& req = it->second;
  WORD needed = 0;
  if (error == 0 && req.buf != nullptr) {
    int size = detail::PackHostent(entry, req.buf, req.bufLen);
    if (size > req.bufLen) {
      error = WSAENOBUFS;
      needed = static_cast<WORD>(std::min(size, 0xFFFF));
    }
  }
  req.keep = error == 0 && req.buf == nullptr;
  if (req.keep) req.result = std::move(entry);
  req.completion = MAKELONG(needed, static_cast<WORD>(error));
  Deliver(st, h);
}

void RetryUndelivered(LookupState& st) {
  std::deque<HANDLE> again;
  again.swap(st.undelivered);
  for (HANDLE h : again) Deliver(st, h);
}

void WorkerLoop() {
  LookupState& st = State();
  std::unique_lock lock(st.mu);
  for (;;) {
    auto work = [&st] { return !st.fifo.empty(); };
    if (st.undelivered.empty()) {
      st.wake.wait(lock, work);
    } else if (!st.wake.wait_for(lock, kRetryInterval, work)) {
      RetryUndelivered(st);
      continue;
    }
    HANDLE h = st.fifo.front();
    st.fifo.pop_front();
    auto it = st.requests.find(h);
    if (it == st.requests.end()) continue;  // cancelled
    std::string query = it->second.query;
    bool byAddr = it->second.byAddr;
    int family = it->second.family;
    lock.unlock();
    HostEntry entry;
    int error = detail::ResolveHost(query, byAddr, entry, family);
    lock.lock();
    Complete(st, h, error, std::move(entry));
    RetryUndelivered(st);
  }
}

HANDLE Enqueue(Request&& req) {
  LookupState& st = State();
  std::lock_guard lock(st.mu);
  if (!st.workerStarted) {
    std::thread(WorkerLoop).detach();
    st.workerStarted = true;
  }
  HANDLE h;
  do {
    h = ++st.lastHandle;
  } while (h == 0 || st.requests.count(h) != 0);
  st.finished.erase(h);
  st.requests.emplace(h, std::move(req));
  st.fifo.push_back(h);
  st.wake.notify_one();
  return h;
}

HANDLE Refuse(int code) {
  detail::Fail(code);
  return 0;
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
  if (!detail::Started()) return 0;
  if (name == nullptr) return Refuse(WSAEFAULT);
  if (!IsWindow(hwnd)) return Refuse(WSAEINVAL);
  Request req;
  req.hwnd = hwnd;
  req.msg = msg;
  req.query = name;
  req.buf = buf;
  req.bufLen = buflen;
  return Enqueue(std::move(req));
}

HANDLE WSAAsyncGetAddrInfo(HWND hwnd, UINT msg, const char* name, int family) {
  if (!detail::Started()) return 0;
  if (name == nullptr) return Refuse(WSAEFAULT);
  if (family != AF_INET && family != AF_INET6 && family != AF_UNSPEC) return Refuse(WSAEAFNOSUPPORT);
  if (!IsWindow(hwnd)) return Refuse(WSAEINVAL);
  Request req;
  req.hwnd = hwnd;
  req.msg = msg;
  req.family = family;
  req.query = name;
  return Enqueue(std::move(req));
}

HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf,
                             int buflen) {
  if (!detail::Started()) return 0;
  if (type != AF_INET) return Refuse(WSAEAFNOSUPPORT);
  if (addr == nullptr || len != 4) return Refuse(WSAEFAULT);
  if (!IsWindow(hwnd)) return Refuse(WSAEINVAL);
  char dotted[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, addr, dotted, sizeof dotted);
  Request req;
  req.hwnd = hwnd;
  req.msg = msg;
  req.byAddr = true;
  req.query = dotted;
  req.buf = buf;
  req.bufLen = buflen;
  return Enqueue(std::move(req));
}

int WSACancelAsyncRequest(HANDLE h) {
  if (!detail::Started()) return SOCKET_ERROR;
  LookupState& st = State();
  std::lock_guard lock(st.mu);
  auto it = st.requests.find(h);
  if (it == st.requests.end()) {
    return detail::Fail(h != 0 && st.finished.count(h) != 0 ? WSAEALREADY : WSAEINVAL);
  }
  bool completed = it->second.done;
  st.requests.erase(it);  // a pending one leaves the FIFO when the worker reaches it
  if (!completed) return 0;
  RememberFinished(st, h);
  return detail::Fail(WSAEALREADY);
}

int WSATakeHostEntry(HANDLE h, HostEntry& out) {
  LookupState& st = State();
  std::lock_guard lock(st.mu);
  auto it = st.requests.find(h);
  if (it == st.requests.end() || !it->second.done) return WSAEINVAL;
  out = std::move(it->second.result);
  st.requests.erase(it);
  RememberFinished(st, h);
  return 0;
}

namespace detail {

void CancelAllLookups() {
  LookupState& st = State();
  std::lock_guard lock(st.mu);
  st.requests.clear();
  st.fifo.clear();
  st.undelivered.clear();
}

}  // namespace detail
}  // namespace winapi
