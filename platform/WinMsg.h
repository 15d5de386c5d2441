// The window-message half of the Linux stand-in for the window system: per-thread
// message queues, hidden windows with a class registry and pointer slots, timers
// delivered through the queue, the tick counter and a few kernel services.
//
// Threads: PostMessage, PostQuitMessage's caller's own queue, GetTickCount and the
// last-error functions may be used from any thread. Retrieval (GetMessage,
// PeekMessage), dispatch, DestroyWindow and the timers belong to the thread that
// created the window or owns the queue. No lock is held while a window procedure
// runs, so procedures may re-enter the loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace winapi {

using BOOL = int;
using UINT = uint32_t;
using DWORD = uint32_t;
using WORD = uint16_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LONG_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using HWND = struct HWND__*;            // opaque; values from a counter, never reused soon
using HINSTANCE = struct HINSTANCE__*;  // one constant token for the program
using HANDLE = uint32_t;                // async task handle, 0 = none
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
};

struct WNDCLASS {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra, cbWndExtra;
  HINSTANCE hInstance;
  const char* lpszClassName;
};

constexpr UINT WM_NULL = 0, WM_QUIT = 0x12, WM_TIMER = 0x113, WM_USER = 0x400;
constexpr UINT PM_NOREMOVE = 0, PM_REMOVE = 1;
constexpr DWORD WAIT_OBJECT_0 = 0, WAIT_TIMEOUT = 258, INFINITE = 0xFFFFFFFF;
constexpr DWORD WS_POPUP = 0x80000000u, WS_EX_TOOLWINDOW = 0x00000080u;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x100, QS_HOTKEY = 0x80, QS_SENDMESSAGE = 0x40;
constexpr DWORD QS_MOUSEBUTTON = 0x6, QS_KEY = 0x1;
// Last-error values this layer sets.
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400, ERROR_CANNOT_FIND_WND_CLASS = 1407,
                ERROR_CLASS_ALREADY_EXISTS = 1410, ERROR_CLASS_DOES_NOT_EXIST = 1411,
                ERROR_CLASS_HAS_WINDOWS = 1412, ERROR_INVALID_INDEX = 1413, ERROR_NOT_ENOUGH_QUOTA = 1816,
                ERROR_ACCESS_DENIED = 5;

inline WORD LOWORD(uintptr_t v) {
  return static_cast<WORD>(v & 0xFFFF);
}
inline WORD HIWORD(uintptr_t v) {
  return static_cast<WORD>((v >> 16) & 0xFFFF);
}
inline LPARAM MAKELONG(WORD lo, WORD hi) {
  return static_cast<LPARAM>(static_cast<uint32_t>(lo) | (static_cast<uint32_t>(hi) << 16));
}

HINSTANCE GetModuleHandle(std::nullptr_t);
WORD RegisterClass(const WNDCLASS*);
BOOL GetClassInfo(HINSTANCE, const char* cls, WNDCLASS*);
BOOL UnregisterClass(const char* cls, HINSTANCE);
HWND CreateWindowEx(DWORD exStyle, const char* cls, const char* title, DWORD style, int x, int y, int w,
                    int h, HWND parent, void* menu, HINSTANCE, void* param);
BOOL DestroyWindow(HWND);
BOOL IsWindow(HWND);
LONG_PTR SetWindowLong(HWND, int index, LONG_PTR);  // pointer-sized slot(s), cbWndExtra / 4 of them
LONG_PTR GetWindowLong(HWND, int index);
LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM);  // returns 0
BOOL PostMessage(HWND, UINT, WPARAM, LPARAM);       // any thread
void PostQuitMessage(int exitCode);
BOOL GetMessage(MSG*, HWND, UINT, UINT);  // 1; 0 for WM_QUIT; -1 on error
BOOL PeekMessage(MSG*, HWND, UINT, UINT, UINT remove);
BOOL TranslateMessage(const MSG*);  // no-op, FALSE
LRESULT DispatchMessage(const MSG*);
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE*, BOOL waitAll, DWORD ms, DWORD wakeMask);
UINT_PTR SetTimer(HWND, UINT_PTR id, UINT ms, TIMERPROC);
BOOL KillTimer(HWND, UINT_PTR id);
DWORD GetTickCount();
void Sleep(DWORD ms);
DWORD GetCurrentThreadId();
DWORD GetLastError();
void SetLastError(DWORD);
void OutputDebugString(const char*);

// Linux only.
// Readable while the calling thread has work pending; the thread's own posts are
// announced on it only by PrepareThreadWait, which a loop that waits on it from
// outside calls before every wait (the thread's own waits need nothing).
int GetThreadWaitFd();
void PrepareThreadWait();
bool ThreadHasPendingWork();  // the same test without blocking: queue, quit, due timer or ready fd
void SetTickCountOffsetForTesting(DWORD);  // added to every GetTickCount
// Drops the messages queued for hwnd with number msg, whatever their parameters: a
// released message number must not deliver stale messages to its next owner.
void PurgePostedMessages(HWND hwnd, UINT msg);
// Removes the messages queued for hwnd whose number is one of msgs and returns them
// in queue order, so that their owner can post them again elsewhere (a component
// moving to another thread). Any thread; nothing for an unknown window.
std::vector<MSG> TakePostedMessages(HWND hwnd, const std::vector<UINT>& msgs);
// Replaces OutputDebugString's sink (standard error) for tests; nullptr restores it.
using DebugSink = void (*)(const char*);
void SetDebugSinkForTesting(DebugSink);

}  // namespace winapi
