// A library loaded after the interception is in: its own import of CreateThread must be
// redirected too, and after it is unloaded its old place must not be written to.
#include <windows.h>

namespace {
DWORD WINAPI Body(void* go) {
  WaitForSingleObject(static_cast<HANDLE>(go), 20000);
  return 7;
}
}  // namespace

// Starts a thread that ends with exit code 7 once go is set; its handle, or null.
extern "C" __declspec(dllexport) HANDLE StartThreadFromLibrary(HANDLE go, DWORD* threadId) {
  return CreateThread(nullptr, 0, Body, go, 0, threadId);
}
