// The reporting thread and the memory reserve. Not for use outside crash/.
#pragma once

#include <windows.h>

namespace kestrum {

// Reporting thread (KestrumReporting_win.cpp).
bool StartReportingThread();
// Asks the thread to stop and waits a little. False when it had to be terminated: it may have
// died holding the heap's or the loader's lock, so nothing that allocates may run afterwards.
bool StopReportingThread();
// The memory reserve (four 4 MB regions reserved, four 512 KB committed, none accessible): taken
// at the start, given back while exceptions are reported and at the end.
void TakeMemoryReserve();
void GiveBackMemoryReserve();
SIZE_T MemoryReserveBytes();  // what is held now
}  // namespace kestrum
