// Ending the program after an exception. Not for use outside crash/.
#pragma once

#include <windows.h>

namespace kestrum {

// Ending the program. Both end at once with TerminateProcess, so that no library detaches
// while another thread holds its lock.
void RememberStartDirectory();
[[noreturn]] void RestartProgram();  // exit code 2
[[noreturn]] void CloseProgram();    // exit code 1

}  // namespace kestrum
