#include "crash/KestrumTimeHistory_win.h"

#include "platform/Handles_win.h"

namespace kestrum {

namespace {

platform::CriticalSection g_historyLock;
ExceptionTimes g_history{};

}  // namespace

ExceptionTimes ExceptionHistory() {
  platform::AutoLock lock(g_historyLock);
  return g_history;
}

void SetExceptionHistory(const ExceptionTimes& history) {
  platform::AutoLock lock(g_historyLock);
  g_history = history;
}

std::int64_t NowSeconds() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  FILETIME ft;
  if (!SystemTimeToFileTime(&local, &ft)) return 0;
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10000000u);
}

void PushExceptionTimeNow() {
  platform::AutoLock lock(g_historyLock);
  PushExceptionTime(g_history, NowSeconds());
}

}  // namespace kestrum
