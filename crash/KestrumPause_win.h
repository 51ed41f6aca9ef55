// Holding the program's threads while an exception is handled. Not for use outside crash/.
#pragma once

#include <windows.h>

namespace kestrum {

// Holding the program's threads while an exception is handled (KestrumPause_win.cpp). The
// message-retrieval imports get their check at start-up when the main settings pause threads, or
// at the first pause otherwise. PauseThreads holds the main thread and the threads that the
// program's own code created, except the calling and the spared thread, as soon as they next ask
// for a message; ReleasePausedThreads lets them go (also when nothing is held).
bool InstallPauseHooks();
void PauseThreads(DWORD spared);
void ReleasePausedThreads();

}  // namespace kestrum
