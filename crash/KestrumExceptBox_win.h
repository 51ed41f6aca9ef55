// The exception box: the window that tells the user about an exception and offers the exception
// object's actions. It is made from plain windows and runs its own modal loop on the thread that
// handles the exception, so it works while the program's own windows are held or broken.
#pragma once

#include <windows.h>

#include "crash/KestrumExceptionApi_win.h"

namespace kestrum {

inline constexpr char kExceptBoxClass[] = "KestrumWndClass";
// Private messages of the box.
inline constexpr UINT kBoxReportChanged = 1801;  // refresh the details area
inline constexpr UINT kBoxShowReport = 1802;     // close and show again with the report
inline constexpr UINT kBoxClose = 1803;

enum class BoxLook {
  full,    // owner-drawn buttons of the settings, details area on request
  simple,  // a message-box look with OK
  detail,  // a message-box look with OK and Details
};

// Shows the box and returns when it is gone; shows it again, full and with the report, when the
// user asked for the report. False when no box could be made. It sees the exception through its
// interface only, as a handler would.
bool ShowExceptionBox(IZQException* exception, BoxLook look);

// The box of this process, null when none is shown.
HWND FindExceptionBox();

}  // namespace kestrum
