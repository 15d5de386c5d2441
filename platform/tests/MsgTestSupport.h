// What the message-layer tests share: a window class whose procedure records every
// message it receives, and a pump that drains the calling thread's queue.
#pragma once

#include <string>
#include <vector>

#include "platform/WinMsg.h"

namespace msgtest {

struct Seen {
  winapi::HWND hwnd;
  winapi::UINT message;
  winapi::WPARAM wParam;
};

// Messages dispatched to recording windows on the calling thread.
std::vector<Seen>& Dispatched();

// Registers the recording class once per process; cbWndExtra gives two slots.
// Registers a test window class with one pointer slot (once per name; kName must
// live for the whole program) and creates hidden windows of it.
const char* RegisterTestClass(const char* name, winapi::WNDPROC proc);
winapi::HWND CreateHiddenWindow(const char* className);
const char* RecordingClass();
winapi::HWND CreateRecordingWindow();

// Dispatches everything queued now (not WM_QUIT); returns how many were retrieved.
int Pump();

}  // namespace msgtest
