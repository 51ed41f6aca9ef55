// The bug report file on the file system: folding and trimming over repeated saves, writers in two
// processes at once, and files that cannot be written.
#include <windows.h>

#include <gtest/gtest.h>

#include "delivery/KestrumBugReportFile_win.h"
#include "delivery/tests/BugReportTexts.h"
#include "platform/Handles_win.h"
#include "testing/Paths_win.h"
#include "testing/TimeScale_win.h"

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace delivery {
namespace {

using delivery::testing::Crc;
using delivery::testing::MakeReport;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// BugReportWriter.exe with the given arguments; its process handle, or none.
platform::ScopedKernelHandle StartWriter(const std::string& arguments) {
  std::string command = "\"" + testsupport::BesideThisProgram("BugReportWriter.exe") + "\" " + arguments;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return {};
  CloseHandle(pi.hThread);
  return platform::ScopedKernelHandle(pi.hProcess);
}

class BugReportFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "kestrum-bugreport-" + std::to_string(GetCurrentProcessId()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + "\\";
    path_ = folder_ + "nested\\bugreport.txt";
  }
  void TearDown() override {
    SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path_.c_str());
    RemoveDirectoryA((folder_ + "nested").c_str());
    RemoveDirectoryA(folder_.c_str());
  }
  StoreResult Store(const std::string& report, const StoreRules& rules = {}, DWORD waitMs = kBugReportFileWaitMs) {
    return StoreBugReport(path_, report, rules, waitMs);
  }
  std::string folder_, path_;
};

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; ++pos) ++n;
  return n;
}

TEST_F(BugReportFileOnDisk, TheSameCrashThreeTimesIsOneReportWithItsCount) {
  const std::string a = MakeReport("2026-12-10, 17:00:00, 1ms", Crc(0x100), "first");
  ASSERT_EQ(Store(a), StoreResult::kStored) << "the missing folders are made";
  ASSERT_EQ(Store(a), StoreResult::kStored);
  ASSERT_EQ(Store(a), StoreResult::kStored);
  std::string file = ReadFile(path_);
  EXPECT_EQ(SplitStoredReports(file).size(), 1u);
  EXPECT_EQ(ExtractHeaderValue(file, "count"), "3");

  ASSERT_EQ(Store(MakeReport("2026-12-10, 17:00:01, 1ms", Crc(0x200), "second")), StoreResult::kStored);
  file = ReadFile(path_);
  ASSERT_EQ(SplitStoredReports(file).size(), 2u);
  EXPECT_EQ(Occurrences(file, "\r\ncount "), 1);
  EXPECT_TRUE(file.ends_with("second\r\n\r\n"));
}

TEST_F(BugReportFileOnDisk, TheSizeLimitTrimsTheOldest) {
  StoreRules rules;
  rules.sizeLimit = 20000;
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(Store(MakeReport("2026-12-10, 17:00:00, " + std::to_string(i) + "ms", Crc(0x1000 + 16 * i),
                               "report " + std::to_string(i) + "\r\n" + std::string(3000, 'x')),
                    rules),
              StoreResult::kStored);
  }
  const std::string file = ReadFile(path_);
  EXPECT_LE(file.size(), 20000u + 3200u);
  EXPECT_EQ(file.find("report 0\r\n"), std::string::npos);
  EXPECT_NE(file.find("report 11\r\n"), std::string::npos);
  for (const StoredReport& r : SplitStoredReports(file)) {
    EXPECT_TRUE(file.substr(r.begin, r.end - r.begin).ends_with(std::string(3000, 'x') + "\r\n\r\n")) << "whole reports only";
  }
}

TEST_F(BugReportFileOnDisk, TwoProcessesWritingAtOnceLoseAndInterleaveNothing) {
  ASSERT_TRUE(ForceFolder(path_));
  const std::string eventName = "KestrumBugReportGo" + std::to_string(GetCurrentProcessId());
  platform::ScopedKernelHandle go(CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
  ASSERT_TRUE(go);
  const std::string readyName = "KestrumBugReportReady" + std::to_string(GetCurrentProcessId());
  platform::ScopedKernelHandle ready(CreateSemaphoreA(nullptr, 0, 2, readyName.c_str()));
  ASSERT_TRUE(ready);
  constexpr int kEach = 50;
  platform::ScopedKernelHandle writers[2];
  const char* tags[2] = {"a", "b"};
  for (int w = 0; w < 2; ++w) {
    writers[w] = StartWriter("write \"" + path_ + "\" " + tags[w] + " " + std::to_string(kEach) + " " + eventName + " " + readyName);
    ASSERT_TRUE(writers[w]);
  }
  // Both at the start line before either begins.
  for (int w = 0; w < 2; ++w) ASSERT_EQ(WaitForSingleObject(ready.Get(), testsupport::Scaled(60000)), WAIT_OBJECT_0);
  SetEvent(go.Get());
  for (auto& w : writers) {
    ASSERT_EQ(WaitForSingleObject(w.Get(), testsupport::Scaled(120000)), WAIT_OBJECT_0);
    DWORD failures = 1;
    GetExitCodeProcess(w.Get(), &failures);
    EXPECT_EQ(failures, 0u) << "saves that gave up or failed";
  }

  const std::string file = ReadFile(path_);
  std::set<std::string> expected;
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < kEach; ++i) {
      expected.insert(MakeReport("2026-12-10, 17:00:00, " + std::to_string(i) + "ms", Crc((w ? 0x2000 : 0x1000) + 16 * i),
                                 std::string("written by ") + tags[w] + " #" + std::to_string(i)) +
                      "\r\n\r\n");
    }
  }
  std::string shared = MakeReport("2026-12-10, 17:00:01, 0ms", Crc(0xabc0), "the shared fault");
  ASSERT_TRUE(InsertHeaderLine(shared, "count", "callstack crc", std::to_string(2 * kEach)));
  expected.insert(shared + "\r\n\r\n");

  const std::vector<StoredReport> reports = SplitStoredReports(file);
  EXPECT_EQ(reports.size(), expected.size());
  for (const StoredReport& r : reports) {
    const std::string stored = file.substr(r.begin, r.end - r.begin);
    EXPECT_EQ(expected.erase(stored), 1u) << "not written whole or written twice:\n" << stored;
  }
  EXPECT_TRUE(expected.empty()) << expected.size() << " reports lost, for example:\n" << *expected.begin();
  EXPECT_TRUE(file.ends_with("the shared fault\r\n\r\n")) << "the last save was a shared one";
}

TEST_F(BugReportFileOnDisk, AFileThatCannotBeWrittenIsReportedAndKeepsItsReports) {
  const std::string stored = MakeReport("2026-12-10, 17:00:00, 1ms", Crc(0x100), "kept") + "\r\n\r\n";
  const std::string same = MakeReport("2026-12-10, 17:00:05, 1ms", Crc(0x100), "kept");
  ASSERT_TRUE(ForceFolder(path_));
  WriteFileText(path_, stored);

  ASSERT_TRUE(SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Store(same), StoreResult::kNotOpened) << "read-only";
  EXPECT_FALSE(SaveBugReportToFile(path_, same, nullptr, nullptr, true));
  EXPECT_EQ(ReadFile(path_), stored);
  ASSERT_TRUE(SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL));

  // Held by another process for longer than a save waits.
  const std::string id = std::to_string(GetCurrentProcessId());
  platform::ScopedKernelHandle ready(CreateEventA(nullptr, TRUE, FALSE, ("KestrumHoldReady" + id).c_str()));
  platform::ScopedKernelHandle release(CreateEventA(nullptr, TRUE, FALSE, ("KestrumHoldRelease" + id).c_str()));
  platform::ScopedKernelHandle holder = StartWriter("hold \"" + path_ + "\" KestrumHoldReady" + id + " KestrumHoldRelease" + id);
  ASSERT_TRUE(holder);
  HANDLE waits[2] = {ready.Get(), holder.Get()};
  ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, testsupport::Scaled(30000)), WAIT_OBJECT_0);
  EXPECT_EQ(Store(same, {}, 300), StoreResult::kNotOpened) << "locked";
  SetEvent(release.Get());
  ASSERT_EQ(WaitForSingleObject(holder.Get(), testsupport::Scaled(30000)), WAIT_OBJECT_0);
  EXPECT_EQ(ReadFile(path_), stored);

  EXPECT_TRUE(SaveBugReportToFile(path_, same, nullptr, nullptr, true)) << "free again";
  EXPECT_EQ(ExtractHeaderValue(ReadFile(path_), "count"), "2");
}

TEST(BugReportFilePlace, PathsAndFolders) {
  const std::string exeFolder = platform::ModuleFolder();
  EXPECT_EQ(MakeAbsolutePath("bugreport.txt"), exeFolder + "bugreport.txt");
  EXPECT_EQ(MakeAbsolutePath("\\r.txt"), exeFolder.substr(0, 3) + "r.txt");
  const std::string desktop = GetDesktopFolder();
  EXPECT_TRUE(desktop.ends_with("\\")) << desktop;
  EXPECT_NE(GetFileAttributesA(desktop.c_str()), INVALID_FILE_ATTRIBUTES) << desktop;
  EXPECT_FALSE(ForceFolder("no folder.txt"));
}

TEST(BugReportFilePlace, DialogWouldBlockWhileAThreadHoldsTheLoaderLock) {
  EXPECT_FALSE(DialogWouldBlock(0));
  const BYTE* peb;
  asm("movl %%fs:0x30, %0" : "=r"(peb));
  CRITICAL_SECTION* loader;
  std::memcpy(&loader, peb + 0xA0, sizeof loader);
  platform::ScopedKernelHandle held(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  platform::ScopedKernelHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::thread holder([&] {
    EnterCriticalSection(loader);
    SetEvent(held.Get());
    WaitForSingleObject(done.Get(), INFINITE);
    LeaveCriticalSection(loader);
  });
  // No early return while the holder runs: it must be let go and joined whatever happens.
  const bool isHeld = WaitForSingleObject(held.Get(), testsupport::Scaled(10000)) == WAIT_OBJECT_0;
  EXPECT_TRUE(isHeld);
  if (isHeld) {
    EXPECT_TRUE(DialogWouldBlock(50));
  }
  SetEvent(done.Get());
  holder.join();
  EXPECT_FALSE(DialogWouldBlock(50));
}

}  // namespace
}  // namespace delivery
