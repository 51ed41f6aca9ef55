// The plain box. Not for use outside crash/.
#pragma once

#include <windows.h>

#include "crash/KestrumException_win.h"

namespace kestrum {

// The plain box of Show (KestrumPlainBox_win.cpp): a message box naming class and message,
// captioned with TitleBar. A box for a freeze report closes itself when the main thread answers.
void ShowPlainBox(TIZQException* exception);

}  // namespace kestrum
