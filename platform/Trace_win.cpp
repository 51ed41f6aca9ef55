#include "platform/Trace_win.h"

#include <windows.h>

#include <cstdarg>

#include "platform/Handles_win.h"

namespace platform {
namespace {

enum TraceState : LONG { kUnread, kReading, kOff, kDebugString, kFile };

// Plain data only: nothing here is destroyed at exit, so a trace from a thread that outlives
// static destruction still works.
volatile LONG g_state = kUnread;
char g_path[MAX_PATH];

void ReadSetting() {
  LONG expected = InterlockedCompareExchange(&g_state, kReading, kUnread);
  if (expected != kUnread) {
    // Another thread reads it: that takes a few microseconds.
    while (g_state == kReading) Sleep(0);
    return;
  }
  char value[MAX_PATH];
  const DWORD n = GetEnvironmentVariableA("KELVANE_TRACE", value, sizeof value);
  LONG state = kOff;
  if (n == 1 && value[0] == '1') {
    state = kDebugString;
  } else if (n > 0 && n < sizeof value && !(n == 1 && value[0] == '0')) {
    CopyMemory(g_path, value, n + 1);
    state = kFile;
  }
  InterlockedExchange(&g_state, state);
}

LONG State() {
  LONG state = g_state;
  if (state == kUnread || state == kReading) {
    ReadSetting();
    state = g_state;
  }
  return state;
}

void AppendToFile(const char* line, std::size_t length) {
  // Opened for each line: several processes may share the file, and no handle is left for exit.
  const ScopedFileHandle file(CreateFileA(g_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  WriteFile(file.Get(), line, static_cast<DWORD>(length), &written, nullptr);
}

}  // namespace

bool TraceEnabled() { return State() != kOff; }

void ReloadTraceSetting() {
  InterlockedExchange(&g_state, kUnread);
  ReadSetting();
}

void Trace(const char* format, ...) {
  const LONG state = State();
  if (state == kOff) return;
  const DWORD lastError = GetLastError();  // a caller may trace before it reads the error
  char line[kTraceLineMax];
  std::size_t n = FixedFormat(line, sizeof line, "%lu.%lu ", GetCurrentProcessId(), GetCurrentThreadId());
  std::va_list args;
  va_start(args, format);
  n += FixedFormatV(line + n, sizeof line - n, format, args);
  va_end(args);
  // The line break goes in even when the text was cut.
  if (n == sizeof line - 1) --n;
  if (n == 0 || line[n - 1] != '\n') line[n++] = '\n';
  line[n] = '\0';
  if (state == kDebugString)
    OutputDebugStringA(line);
  else
    AppendToFile(line, n);
  SetLastError(lastError);
}

}  // namespace platform
