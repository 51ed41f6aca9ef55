#include "report/KestrumReportHeader_win.h"

#include "report/KestrumReportText.h"

namespace report {

std::int64_t CounterMilliseconds() {
  LARGE_INTEGER count{}, frequency{};
  if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart == 0) {
    return static_cast<std::int64_t>(GetTickCount64());
  }
  return count.QuadPart / frequency.QuadPart * 1000 + count.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart;
}

void AddSystemHeaderFields(FieldList& header, const SystemHeaderInput& input) {
  const SYSTEMTIME& t = input.time;
  header.SetContent("date/time", DateTimeText(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds));
  header.SetContent("Kestrum version", "3.0k");
}

}  // namespace report
