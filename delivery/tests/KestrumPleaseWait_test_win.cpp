// The please-wait window on the test display: a program whose report waits for the test (its
// slow section) shows the window while the flow waits for the report, with the settings' title,
// text and icon and a progress bar, without taking the keyboard; it is gone once the report is
// complete, and the saved report holds the section. With PlWaitBox off no window shows.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "delivery/KestrumProgress_win.h"
#include "testing/gui/GuiDriver_win.h"

namespace {

using namespace gui;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct Search {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK LookAt(HWND w, LPARAM p) {
  auto* s = reinterpret_cast<Search*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(w, &owner);
  char cls[64] = {};
  GetClassNameA(w, cls, sizeof cls);
  if (owner != s->pid || std::string(cls) != delivery::kProgressWindowClass || !IsWindowVisible(w)) return TRUE;
  s->found = w;
  return FALSE;
}

// The progress window of the process, null when it has none now.
HWND PleaseWaitOf(DWORD pid) {
  Search search{pid, nullptr};
  EnumWindows(LookAt, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// One run of a variant; the slow section waits until Release.
class SlowReport {
 public:
  explicit SlowReport(const std::string& program)
      : stored_(ExeDir() + program + ".txt"),
        entered_(ExeDir() + program + "-entered"),
        event_("KelvanePleaseWait" + std::to_string(GetCurrentProcessId()) + program) {
    DeleteFileA(stored_.c_str());
    DeleteFileA(entered_.c_str());
    release_ = CreateEventA(nullptr, TRUE, FALSE, event_.c_str());
    app_ = std::make_unique<Program>(ExeDir() + program + ".exe", "",
                                     std::vector<std::string>{"KESTRUM_TEST_RELEASE=" + event_, "KESTRUM_TEST_ENTERED=" + entered_});
  }
  ~SlowReport() {
    Release();
    CloseHandle(release_);
  }
  Program& app() { return *app_; }
  bool WaitEntered() {
    return WaitUntil([&] { return Exists(entered_); }, 60000);
  }
  void Release() { SetEvent(release_); }
  std::string Stored() { return ReadAll(stored_); }

 private:
  std::string stored_, entered_, event_;
  HANDLE release_ = nullptr;
  std::unique_ptr<Program> app_;
};

TEST(PleaseWait, ShowsWhileTheReportIsCompletedAndGoesWithIt) {
  SlowReport run("PleaseWaitCrash");
  ASSERT_TRUE(run.WaitEntered()) << "the report was never completed";
  HWND window = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (window = PleaseWaitOf(run.app().pid())) != nullptr; }, 30000))
      << "no please-wait window while the flow waits for the report";
  EXPECT_EQ(WindowText(window), "Information");
  EXPECT_NE(FindControl(window, "Static", "Please wait a moment...").hwnd, nullptr) << "the settings' text";
  EXPECT_NE(FindControl(window, "msctls_progress32", "").hwnd, nullptr);
  EXPECT_NE(FindControl(window, "Button", "").hwnd, nullptr) << "the icon resource of the settings' module";
  EXPECT_TRUE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_NE(GetForegroundWindow(), window) << "it takes no keyboard from the program";
  // While the window waits, its thread answers: the window is alive, not a frozen picture.
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer), 0);

  run.Release();
  DWORD code = 1;
  ASSERT_TRUE(run.app().waitExit(60000, &code));
  EXPECT_FALSE(IsWindow(window));
  const std::string report = run.Stored();
  EXPECT_NE(report.find("SlowSection:\r\nreleased"), std::string::npos) << report;
  EXPECT_NE(report.find("exception message : A slow report."), std::string::npos) << report;
}

TEST(PleaseWait, NotShownWhenTheSettingsSayNo) {
  SlowReport run("PleaseWaitCrashOff");
  ASSERT_TRUE(run.WaitEntered()) << "the report was never completed";
  // The flow waits for the report from now on until the section is released.
  const DWORD until = GetTickCount() + 3000;
  bool seen = false;
  while (GetTickCount() < until && !seen) {
    seen = PleaseWaitOf(run.app().pid()) != nullptr;
    Sleep(100);
  }
  EXPECT_FALSE(seen);
  run.Release();
  ASSERT_TRUE(run.app().waitExit(60000));
  EXPECT_NE(run.Stored().find("SlowSection:\r\nreleased"), std::string::npos);
}

}  // namespace
