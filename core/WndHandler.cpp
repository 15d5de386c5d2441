#include "core/WndHandler.h"

#include <algorithm>

#include "core/SysUtils.h"
#include "core/WndControl.h"

namespace core {

namespace {

// Process-wide state. It is created on first use and deliberately never destroyed:
// components freed by other static destructors at exit must still find the pool and
// the locks, whatever order the translation units are finalised in.
struct TWndControlGlobals {
  TWndHandlerPool Pool;
  std::recursive_mutex ClassLock;  // the window-class lock, taken inside the pool lock
  int32_t LiveWindows = 0;         // guarded by ClassLock
  uint32_t NextMsgLow = 0;         // guarded by the pool lock
};

TWndControlGlobals& Globals() {
  static TWndControlGlobals* globals = new TWndControlGlobals;
  return *globals;
}

// The first number of a new handler's block. Every block is 1025..1124: numbers are
// private to their window, so there is no need to spread them.
uint32_t NextBlockStart() {
  uint32_t& next = Globals().NextMsgLow;
  if (next <= winapi::WM_USER || next >= 65435) next = winapi::WM_USER + 1;
  return next;
}

void RegisterWindowClass(winapi::HINSTANCE instance) {
  winapi::WNDCLASS wc{};
  if (winapi::GetClassInfo(instance, WndControlWindowClassName, &wc)) return;
  wc.style = 0;
  wc.lpfnWndProc = WndControlWindowProc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = 4;  // one pointer slot at index 0
  wc.hInstance = instance;
  wc.lpszClassName = WndControlWindowClassName;
  if (winapi::RegisterClass(&wc) == 0) {
    throw ECoreException("Unable to register TWndControl hidden window class. Error #" +
                         UIntToStr(winapi::GetLastError()) + ".");
  }
}

}  // namespace

TWndHandlerPool& WndHandlerPool() {
  return Globals().Pool;
}

int32_t LiveHiddenWindowCount() {
  std::lock_guard<std::recursive_mutex> lock(Globals().ClassLock);
  return Globals().LiveWindows;
}

// --- TWndHandler ---

TWndHandler::TWndHandler(TWndHandlerList* ownerList, uint32_t msgLow)
    : FMsgLow(msgLow), FOwnerList(ownerList) {}

TWndHandler::~TWndHandler() {
  try {
    DeallocateWindow();
  } catch (...) {
    // A destructor must not throw; the window system refusing a destruction leaves
    // nothing for us to repair.
  }
}

void TWndHandler::AllocateWindow() {
  if (FHiddenWnd) return;
  TWndControlGlobals& g = Globals();
  std::lock_guard<std::recursive_mutex> lock(g.ClassLock);
  winapi::HINSTANCE instance = winapi::GetModuleHandle(nullptr);
  RegisterWindowClass(instance);
  winapi::HWND wnd =
      winapi::CreateWindowEx(winapi::WS_EX_TOOLWINDOW, WndControlWindowClassName, "", winapi::WS_POPUP, 0, 0,
                             0, 0, nullptr, nullptr, instance, nullptr);
  if (!wnd) {
    throw ECoreException("Unable to create TWndControl hidden window.  Error #" +
                         UIntToStr(winapi::GetLastError()) + ".");
  }
  FHiddenWnd = wnd;
  winapi::SetWindowLong(wnd, 0, reinterpret_cast<winapi::LONG_PTR>(this));
  ++g.LiveWindows;
}

void TWndHandler::DeallocateWindow() {
  if (!FHiddenWnd) return;
  FMsgMap.fill(nullptr);
  winapi::SetWindowLong(FHiddenWnd, 0, 0);
  winapi::DestroyWindow(FHiddenWnd);
  FHiddenWnd = nullptr;
  TWndControlGlobals& g = Globals();
  std::lock_guard<std::recursive_mutex> lock(g.ClassLock);
  if (--g.LiveWindows <= 0) {
    winapi::UnregisterClass(WndControlWindowClassName, winapi::GetModuleHandle(nullptr));
  }
}

uint32_t TWndHandler::RegisterMessage(TWndControl* obj) {
  if (FMsgLow < WndHandlerMinMsgLow) throw ECoreException("MsgLow not defined");
  if (FMsgCnt >= WndHandlerMsgCount) throw ECoreException("No more free message");
  auto free = std::find(FMsgMap.begin(), FMsgMap.end(), nullptr);
  if (free == FMsgMap.end()) throw ECoreException("No more free message");
  *free = obj;
  ++FMsgCnt;
  // A refused window leaves the number registered; the caller's release sequence
  // frees it like any other.
  if (!FHiddenWnd) AllocateWindow();
  return FMsgLow + static_cast<uint32_t>(free - FMsgMap.begin());
}

void TWndHandler::UnregisterMessage(uint32_t& msg) {
  if (msg == 0) return;
  if (FMsgLow < WndHandlerMinMsgLow) throw ECoreException("MsgLow not defined");
  if (msg < FMsgLow || msg >= FMsgLow + WndHandlerMsgCount) throw ECoreException("Msg value out of bound");
  TWndControl*& entry = FMsgMap[msg - FMsgLow];
  if (!entry) throw ECoreException("Msg not registered");
  // Messages already queued for this number belong to the old owner: drop them
  // before the number can be handed out again.
  if (FHiddenWnd) winapi::PurgePostedMessages(FHiddenWnd, msg);
  entry = nullptr;
  --FMsgCnt;
  msg = 0;
  if (FMsgCnt == 0) DeallocateWindow();
}

void TWndHandler::ForgetComponent(TWndControl* obj) {
  for (size_t i = 0; i < FMsgMap.size(); ++i) {
    if (FMsgMap[i] != obj) continue;
    uint32_t msg = FMsgLow + static_cast<uint32_t>(i);
    UnregisterMessage(msg);
    if (!FHiddenWnd) return;  // that was the last number: the map is empty now
  }
}

std::vector<uint32_t> TWndHandler::MessagesOf(const TWndControl* obj) const {
  std::vector<uint32_t> numbers;
  for (size_t i = 0; i < FMsgMap.size(); ++i)
    if (FMsgMap[i] == obj) numbers.push_back(FMsgLow + static_cast<uint32_t>(i));
  return numbers;
}

void TWndHandler::WndProc(TMessage& message) {
  try {
    RouteMessage(message);
  } catch (const std::exception& e) {
    ReportBgException(e);
  }
}

void TWndHandler::RouteMessage(TMessage& message) {
  // A component's timer uses one of its numbers as the timer's id, so its ticks
  // reach it like its own messages (they arrive with the timer message and the id).
  const uintptr_t number = message.Msg == winapi::WM_TIMER ? message.WParam : message.Msg;
  if (number >= FMsgLow && number - FMsgLow < static_cast<uintptr_t>(WndHandlerMsgCount)) {
    if (TWndControl* obj = FMsgMap[number - FMsgLow]) {
      // The component may free itself here, and with its last number this handler:
      // nothing of this object may be touched afterwards.
      obj->WndProc(message);
      return;
    }
  }
  message.Result = winapi::DefWindowProc(FHiddenWnd, message.Msg, message.WParam, message.LParam);
}

void TWndHandler::ReportBgException(const std::exception& e) {
  THandlerBgExceptionEvent handler = FBgExceptionHandler;
  if (!handler) return;
  bool canClose = true;  // nothing to close at this level: the value is not used
  handler(this, e, canClose);
}

// --- TWndHandlerPool ---

TWndHandlerList* TWndHandlerPool::FindThreadList(uint32_t ownerThread) {
  for (auto it = FThreadLists.rbegin(); it != FThreadLists.rend(); ++it) {
    if ((*it)->OwnerThread == ownerThread) return it->get();
  }
  return nullptr;
}

TWndHandler* TWndHandlerPool::GetWndHandler(uint32_t msgCnt, uint32_t ownerThread) {
  TWndHandlerList* list = FindThreadList(ownerThread);
  if (!list) {
    FThreadLists.push_back(std::make_unique<TWndHandlerList>(ownerThread));
    list = FThreadLists.back().get();
  }
  for (auto& handler : list->FItems) {
    if (handler->MsgLeft() >= static_cast<int64_t>(msgCnt)) return handler.get();
  }
  list->FItems.push_back(std::make_unique<TWndHandler>(list, NextBlockStart()));
  return list->FItems.back().get();
}

void TWndHandlerPool::FreeWndHandler(TWndHandler*& handler) {
  if (!handler || !handler->FOwnerList) return;
  TWndHandlerList* list = handler->FOwnerList;
  auto& items = list->FItems;
  auto it = std::find_if(items.begin(), items.end(), [&](const auto& h) { return h.get() == handler; });
  if (it == items.end()) return;
  std::unique_ptr<TWndHandler> doomed = std::move(*it);
  items.erase(it);
  if (items.empty()) {
    std::erase_if(FThreadLists, [&](const auto& l) { return l.get() == list; });
  }
  doomed.reset();
  handler = nullptr;
}

int TWndHandlerPool::ThreadListCount() {
  std::lock_guard<std::recursive_mutex> lock(FCritSect);
  return static_cast<int>(FThreadLists.size());
}

int TWndHandlerPool::HandlerCount(uint32_t ownerThread) {
  std::lock_guard<std::recursive_mutex> lock(FCritSect);
  TWndHandlerList* list = FindThreadList(ownerThread);
  return list ? list->Count() : 0;
}

// --- the window procedure ---

winapi::LRESULT WndControlWindowProc(winapi::HWND window, winapi::UINT msg, winapi::WPARAM wParam,
                                     winapi::LPARAM lParam) {
  // The slot is empty while the window is being created and after its handler let
  // go of it: such messages get the default processing.
  // The window's slot holds the handler's address as an integer, as the message API's
  // slots do.
  auto* handler = reinterpret_cast<TWndHandler*>(  // NOLINT(performance-no-int-to-ptr)
      winapi::GetWindowLong(window, 0));
  if (!handler) return winapi::DefWindowProc(window, msg, wParam, lParam);
  TMessage message{msg, wParam, lParam, 0};
  handler->WndProc(message);
  return message.Result;
}

}  // namespace core
