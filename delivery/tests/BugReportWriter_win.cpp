// A second process at the bug report file.
//   write FILE TAG N GO READY  releases the named semaphore READY, waits for the named event GO,
//                              then stores N reports of its own and, after each, the report both
//                              writers share; the exit code counts failures
//   hold FILE READY RELEASE holds the file open without sharing from READY until RELEASE is set
#include <windows.h>

#include "delivery/KestrumBugReportFile_win.h"
#include "delivery/tests/BugReportTexts.h"

#include <cstdlib>
#include <string>

namespace {

HANDLE OpenNamedEvent(const char* name) { return OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name); }

}  // namespace

int main(int argc, char** argv) {
  using delivery::testing::Crc;
  using delivery::testing::MakeReport;
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc == 7) {
    const std::string file = argv[2], tag = argv[3];
    const int n = std::atoi(argv[4]);
    HANDLE go = OpenNamedEvent(argv[5]);
    HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, argv[6]);
    if (!go || !ready || !ReleaseSemaphore(ready, 1, nullptr) || WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) return 100;
    delivery::StoreRules rules;
    rules.sizeLimit = 0;
    const unsigned base = tag == "a" ? 0x1000 : 0x2000;
    int failures = 0;
    for (int i = 0; i < n; ++i) {
      const std::string own = MakeReport("2026-12-10, 17:00:00, " + std::to_string(i) + "ms", Crc(base + 16 * i),
                                         "written by " + tag + " #" + std::to_string(i));
      failures += delivery::StoreBugReport(file, own, rules, 30000) != delivery::StoreResult::kStored;
      const std::string shared = MakeReport("2026-12-10, 17:00:01, 0ms", Crc(0xabc0), "the shared fault");
      failures += delivery::StoreBugReport(file, shared, rules, 30000) != delivery::StoreResult::kStored;
    }
    return failures;
  }
  if (mode == "hold" && argc == 5) {
    HANDLE file = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 101;
    HANDLE ready = OpenNamedEvent(argv[3]), release = OpenNamedEvent(argv[4]);
    if (!ready || !release) return 102;
    SetEvent(ready);
    WaitForSingleObject(release, 60000);
    CloseHandle(file);
    return 0;
  }
  return 99;
}
