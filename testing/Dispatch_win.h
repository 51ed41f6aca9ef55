#pragma once
// The UI thread's share of the work, for tests that act as the UI thread: window messages (the
// HID controller's notifications among them) and the requests of other threads to run on it.
// Several rounds, because handling one may post the next.
#include <windows.h>

#include "platform/Thread_win.h"

namespace testsupport {

inline void Dispatch() {
  for (int round = 0; round < 3; ++round) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    while (CheckSynchronize()) {
    }
  }
}

}  // namespace testsupport
