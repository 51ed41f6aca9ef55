// The handling flow seen from outside: crash-test programs built with the component (one per
// settings variant, see CrashTest_win.cpp) are started, their button pressed, and what they show,
// save, copy and how they end is checked. Each wait is a generous limit, never a measurement.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include "crash/KestrumFileCheck.h"
#include "crash/KestrumTempFolder.h"
#include "crash/tests/BoxReading_win.h"
#include "platform/Handles_win.h"
#include "testing/Paths_win.h"
#include "testing/gui/GuiDriver_win.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using gui::DialogOf;
using gui::ExeDir;
using gui::Program;
using gui::WaitUntil;

constexpr DWORD kHandled = 10000;  // every exception is handled well within this

// The value of "key=" in a result line; the message runs to the end of the line.
std::string Field(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return {};
  const std::size_t from = at + key.size() + 2;
  if (key == "message") return line.substr(from);
  return line.substr(from, line.find(' ', from) - from);
}


struct Box {
  std::string caption, text;
};

using testsupport::ClipboardText;
using testsupport::ExceptionBoxOf;

class Handling : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static int n = 0;
    result_ = std::string(temp) + "kestrum_result_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++n) + ".txt";
    DeleteFileA(result_.c_str());
  }
  void TearDown() override {
    app_.reset();
    DeleteFileA(result_.c_str());
  }

  void Start(const std::string& program, const std::string& kase, std::vector<std::string> env = {}) {
    env.push_back("KESTRUM_TEST_RESULT=" + result_);
    app_ = std::make_unique<Program>(ExeDir() + program + ".exe", kase, env);
    ASSERT_TRUE(app_->started()) << program;
  }
  // Starts a program that shows its window and waits for it.
  void StartWindow(const std::string& program, const std::string& kase, std::vector<std::string> env = {}) {
    Start(program, kase, std::move(env));
    top_ = app_->waitWindow("Crash Test");
    ASSERT_NE(top_, nullptr) << program << " shows no window";
  }

  void Press() {
    const gui::Control run = gui::FindControl(top_, "Button", "Run");
    ASSERT_NE(run.hwnd, nullptr);
    // Posted: the handler does not return before its exception has been handled.
    PostMessageA(run.hwnd, BM_CLICK, 0, 0);
  }

  std::vector<std::string> Lines(const std::string& prefix = "") const {
    std::ifstream in(result_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    }
    return lines;
  }
  std::vector<std::string> Saves() const { return Lines("save "); }
  bool WaitSaves(std::size_t count, DWORD timeoutMs = kHandled) const {
    return WaitUntil([&] { return Saves().size() >= count; }, timeoutMs);
  }

  // Waits for the program's exception box (or, before the component runs, its message box),
  // reads it and closes it.
  Box TakeBox() {
    HWND box = nullptr;
    bool message = false;
    WaitUntil([&] {
      box = ExceptionBoxOf(app_->pid());
      message = !box && (box = DialogOf(app_->pid())) != nullptr;
      return box != nullptr;
    }, kHandled);
    Box b;
    if (!box) return {"(no box)", ""};
    b.caption = gui::WindowText(box);
    for (const gui::Control& c : gui::Controls(box)) {
      if (c.className == "Static" && !c.text.empty()) b.text = c.text;
    }
    if (message) {
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    } else {
      PostMessageA(box, WM_CLOSE, 0, 0);
    }
    WaitUntil([&] { return !IsWindow(box); });
    return b;
  }

  // Closes the window as the user would and returns the exit code (99 when it did not end).
  DWORD CloseAndExitCode() {
    PostMessageA(top_, WM_CLOSE, 0, 0);
    return ExitCode();
  }
  DWORD ExitCode() {
    DWORD code = 99;
    EXPECT_TRUE(app_->waitExit(kHandled, &code)) << "still running";
    return code;
  }

  std::string result_;
  std::unique_ptr<Program> app_;
  HWND top_ = nullptr;
};

TEST_F(Handling, ButtonHandlerFaultAndThrowShowClassAndMessageThenGoOn) {
  const struct {
    const char* kase;
    const char* className;
    const char* messageStart;
  } cases[] = {
      {"fault", "EAccessViolation", "Zugriffsverletzung bei Adresse $"},
      {"throw", "std::runtime_error", "broken pipe."},  // trimmed, one closing full stop
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kase);
    SetUp();
    StartWindow("CrashTest", c.kase);
    Press();
    const Box box = TakeBox();
    EXPECT_EQ(box.caption, std::string("CrashTest.exe - ") + c.className);
    EXPECT_EQ(box.text.rfind(c.messageStart, 0), 0u) << box.text;
    ASSERT_TRUE(WaitSaves(1));
    const std::string save = Saves()[0];
    EXPECT_EQ(Field(save, "number"), "1");
    EXPECT_EQ(Field(save, "class"), c.className);
    std::string oneLine = box.text;  // the box breaks long messages after each sentence
    for (std::size_t at; (at = oneLine.find("\r\n")) != std::string::npos;) oneLine.replace(at, 2, " ");
    EXPECT_EQ(Field(save, "message"), oneLine);
    EXPECT_EQ(Field(save, "source"), "5") << "the application's handler";
    EXPECT_EQ(Field(save, "onReporter"), "1");
    EXPECT_EQ(CloseAndExitCode(), 0u);
  }
}

// Every way an exception enters the component, through the real handling flow: what the flow
// saved (source, class, message, number) and how the program and its threads end.
TEST_F(Handling, EveryPathReachesTheFlowWithItsSourceAndEndsAsItShould) {
  constexpr int kGoesOn = -1;  // the program continues; closing it then gives 0
  const std::string av = "Zugriffsverletzung bei Adresse $";
  const std::string overflow = "Stack\xFC" "berlauf.";
  const struct {
    const char* kase;
    const char* program;
    const char* source;  // "" when nothing may be saved
    const char* className;
    std::string messageStart;
    int exitCode;
    std::vector<const char*> lines;  // more lines the program writes, in any order
    bool inFault = false;            // raised in the program's function Fault (the address is the fault's)
  } cases[] = {
      {"tthread", "CrashTestQuiet", "17", "EAccessViolation", av, kGoesOn, {}, true},
      {"createthread", "CrashTestQuiet", "16", "EAccessViolation", av, kGoesOn, {"exit=ffffffff"}, true},
      {"stdthread", "CrashTestQuiet", "16", "EAccessViolation", av, kGoesOn, {"exit=ffffffff"}, true},
      {"workitem", "CrashTestQuiet", "16", "EAccessViolation", av, kGoesOn, {}, true},
      {"sync", "CrashTestQuiet", "10", "EAccessViolation", av, kGoesOn, {"worker continued"}, true},
      {"syncabort", "CrashTestQuiet", "", "", "", kGoesOn, {"worker caught EAbort"}},
      {"overflowworker", "CrashTestQuiet", "13", "EStackOverflow", overflow, kGoesOn, {"exit=ffffffff"}},
      {"overflowmain", "CrashTestQuiet", "13", "EStackOverflow", overflow, 1, {}},
      {"foreignmain", "CrashTest", "13", "EAccessViolation", av, 1, {}},  // a box, then the end
      {"abortcall", "CrashTestQuiet", "11", "KorbException", "Abnormal program termination.", 1, {}},
      {"purevirtual", "CrashTestQuiet", "11", "KorbException", "Pure virtual function call.", 1, {}},
      {"nested", "CrashTestQuiet", "13", "std::runtime_error", "second.", 1, {}},
  };
  // Every case that saves a report leaves its minidump for the readers' test (crash_dump_readers).
  const std::string dumps = ExeDir() + "crash-dumps\\";
  CreateDirectoryA(dumps.c_str(), nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kase);
    SetUp();
    const std::string dump = dumps + c.kase + ".dmp";
    DeleteFileA(dump.c_str());
    StartWindow(c.program, c.kase, {"KESTRUM_TEST_DUMP=" + dump});
    Press();
    for (const char* line : c.lines) {
      EXPECT_TRUE(WaitUntil([&] { return !Lines(line).empty(); }, kHandled)) << "no line " << line;
    }
    if (std::string(c.program) == "CrashTest") {
      const Box box = TakeBox();
      EXPECT_EQ(box.caption, std::string("CrashTest.exe - ") + c.className);
    }
    if (*c.source) {
      ASSERT_TRUE(WaitSaves(1)) << "not handled";
      const std::string save = Saves()[0];
      EXPECT_EQ(Field(save, "number"), "1");
      EXPECT_EQ(Field(save, "source"), c.source);
      EXPECT_EQ(Field(save, "class"), c.className);
      EXPECT_EQ(Field(save, "message").rfind(c.messageStart, 0), 0u) << save;
      EXPECT_EQ(Field(save, "canContinue"), c.exitCode == kGoesOn ? "1" : "0");
      EXPECT_EQ(Field(save, "dump"), "1") << "the shipped settings make a minidump with every report";
      if (c.inFault) {
        // The raise-time facts of the converted fault reached the flow, not the catching frame's.
        const unsigned long fault = std::stoul(Field(Lines("started")[0], "fault"), nullptr, 16);
        const unsigned long at = std::stoul(Field(save, "address"), nullptr, 16);
        EXPECT_TRUE(at >= fault && at < fault + 32) << std::hex << at << " not in Fault at " << fault;
      }
    }
    if (c.exitCode == kGoesOn) {
      Sleep(300);  // time for anything that should not come
      EXPECT_EQ(CloseAndExitCode(), 0u);
    } else {
      EXPECT_EQ(ExitCode(), static_cast<DWORD>(c.exitCode));
    }
    EXPECT_EQ(Saves().size(), *c.source ? 1u : 0u);
  }
}

TEST_F(Handling, ClosingWhileTheBoxIsOpenEndsTheProgram) {
  StartWindow("CrashTest", "fault");
  Press();
  ASSERT_TRUE(WaitUntil([&] { return ExceptionBoxOf(app_->pid()) != nullptr; }, kHandled));
  DWORD_PTR answer = 0;
  EXPECT_TRUE(SendMessageTimeoutA(top_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer))
      << "the main thread serves its windows while it waits";
  // The main thread, waiting for the handling, dispatches the close and leaves its wait on the
  // quit message while the reporting thread still shows the box.
  EXPECT_EQ(CloseAndExitCode(), 0u);
  EXPECT_TRUE(Saves().empty());
}

TEST_F(Handling, EAbortShowsAndStoresNothing) {
  StartWindow("CrashTest", "abort");
  Press();  // EAbort
  Press();  // then an ordinary exception
  const Box box = TakeBox();
  EXPECT_EQ(box.text, "after abort.") << "the first box is the second exception's";
  ASSERT_TRUE(WaitSaves(1));
  Sleep(300);
  ASSERT_EQ(Saves().size(), 1u);
  EXPECT_EQ(Field(Saves()[0], "number"), "1") << "EAbort was not counted either";
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, FilterGroupGivesEDBEditErrorTheSimpleBoxAndNoReport) {
  StartWindow("CrashTest", "dbedit");
  Press();
  const Box box = TakeBox();
  EXPECT_EQ(box.text, "Eingabe ung\xFCltig.");
  ASSERT_TRUE(WaitSaves(1));
  EXPECT_EQ(Field(Saves()[0], "show"), "3");
  EXPECT_EQ(Field(Saves()[0], "report"), "0");
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

// The screenshot shows the program as the user saw it: taken once, before the box covers it, and
// let go with the exception. EDBEditError's filter group takes none.
TEST_F(Handling, ScreenshotIsTakenBeforeTheBoxAndLetGoWithTheException) {
  const struct {
    const char* kase;
    std::vector<std::string> shots;
  } cases[] = {
      {"throw", {"shot taken appOnly=0 box=0 onReporter=1", "shot released"}},
      {"dbedit", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kase);
    SetUp();
    StartWindow("CrashTest", c.kase);
    Press();
    TakeBox();
    ASSERT_TRUE(WaitSaves(1));
    WaitUntil([&] { return Lines("shot ").size() >= c.shots.size(); }, kHandled);
    EXPECT_EQ(Lines("shot "), c.shots);
    EXPECT_EQ(CloseAndExitCode(), 0u);
  }
}

// MiniDump 2 adds the program's writable data to the dump; crash_dump_readers finds it there.
TEST_F(Handling, MiniDumpTwoWritesTheDumpWithTheProgramsData) {
  const std::string dumps = ExeDir() + "crash-dumps\\";
  CreateDirectoryA(dumps.c_str(), nullptr);
  DeleteFileA((dumps + "data.dmp").c_str());
  StartWindow("CrashTestData", "fault", {"KESTRUM_TEST_DUMP=" + dumps + "data.dmp"});
  Press();
  ASSERT_TRUE(WaitSaves(1));
  EXPECT_EQ(Field(Saves()[0], "dump"), "1") << Lines("dump failed").size();
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, NothingShownAndTheProgramGoesOn) {
  StartWindow("CrashTestQuiet", "fault");
  Press();
  ASSERT_TRUE(WaitSaves(1));
  Press();
  ASSERT_TRUE(WaitSaves(2)) << "the program answered a second press";
  for (const std::string& save : Saves()) {
    EXPECT_EQ(Field(save, "show"), "4");
    EXPECT_EQ(Field(save, "canContinue"), "1");
    EXPECT_EQ(Field(save, "reserve"), "0") << "the memory reserve is given back while an exception is handled";
  }
  const std::string fullReserve = std::to_string(4 * 0x400000 + 4 * 0x80000);
  EXPECT_EQ(Field(Lines("started")[0], "reserve"), fullReserve);
  EXPECT_EQ(Field(Saves()[1], "number"), "2");
  EXPECT_EQ(ExceptionBoxOf(app_->pid()), nullptr);
  EXPECT_EQ(CloseAndExitCode(), 0u);
  ASSERT_EQ(Lines("closing").size(), 1u);
  EXPECT_EQ(Field(Lines("closing")[0], "reserve"), fullReserve) << "taken again after the handling";
}

TEST_F(Handling, TwoThreadsFailingAtOnceAreHandledOneAfterTheOther) {
  StartWindow("CrashTestQuiet", "twothreads", {"KESTRUM_TEST_SEAM_SLEEP=300"});
  Press();
  ASSERT_TRUE(WaitSaves(2));
  std::vector<std::string> numbers, messages;
  for (const std::string& save : Saves()) {
    numbers.push_back(Field(save, "number"));
    messages.push_back(Field(save, "message"));
    EXPECT_EQ(Field(save, "source"), "17") << "a thread object's Execute";
  }
  EXPECT_EQ(numbers, (std::vector<std::string>{"1", "2"}));
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ(messages, (std::vector<std::string>{"thread A.", "thread B."}));
  EXPECT_TRUE(Lines("overlap").empty()) << "two handlings ran at the same time";
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, AutoClipPutsTheTextOnTheClipboard) {
  StartWindow("CrashTestClip", "throw");
  Press();
  ASSERT_TRUE(WaitSaves(1));
  const std::string text = ClipboardText();
  EXPECT_NE(text.find("exception class   : std::runtime_error"), std::string::npos) << text;
  EXPECT_NE(text.find("exception message : broken pipe."), std::string::npos) << text;
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, AutoRestartOneEndsWithTwoAndTheNewProcessWaitsForTheOld) {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  StartWindow("CrashTestRestart", "fault", {std::string("KESTRUM_TEST_CHDIR=") + windows});
  Press();
  EXPECT_EQ(ExitCode(), 2u);
  ASSERT_TRUE(WaitUntil([&] { return !Lines("restarted").empty(); }, kHandled)) << "no new process";
  const std::string line = Lines("restarted")[0];
  EXPECT_EQ(Field(line, "handOver"), "1");
  EXPECT_EQ(Field(line, "predecessorEnded"), "1");
  EXPECT_EQ(Field(line, "history"), "1") << "the exception time came along";
  EXPECT_EQ(Field(line, "cwd") + "\\", ExeDir()) << "started in the directory the old process started in";
  EXPECT_EQ(Saves().size(), 1u) << "saved once before restarting";
}

TEST_F(Handling, AutoRestartAndAutoCloseWithinAMinuteActOnTheTenthException) {
  const struct {
    const char* program;
    DWORD exitCode;
    bool restarts;
  } cases[] = {{"CrashTestAutoClose", 1, false}, {"CrashTestAutoRestart", 2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    SetUp();
    StartWindow(c.program, "burst");
    for (std::size_t i = 1; i <= 9; ++i) {
      Press();
      ASSERT_TRUE(WaitSaves(i));
    }
    DWORD code = 0;
    EXPECT_FALSE(app_->waitExit(0, &code)) << "nine exceptions within the minute are not enough";
    Press();
    EXPECT_EQ(ExitCode(), c.exitCode);
    EXPECT_EQ(Saves().size(), 10u);
    if (c.restarts) {
      ASSERT_TRUE(WaitUntil([&] { return !Lines("restarted").empty(); }, kHandled));
      EXPECT_EQ(Field(Lines("restarted")[0], "history"), "10");
    } else {
      Sleep(500);
      EXPECT_TRUE(Lines("restarted").empty());
    }
  }
}

// The hand-over written from outside, as the restarting process writes it: "KestrumRestart$<pid>"
// of the suspended new process, 88 bytes: the predecessor's id, the section's handle in the new
// process, ten 64-bit exception times (seconds since 1601, local time), newest first.
TEST_F(Handling, HandOverFromAnotherProcessGivesTheHistoryAndNamesWhomToWaitFor) {
  const auto nowSeconds = [] {
    SYSTEMTIME local;
    GetLocalTime(&local);
    FILETIME ft;
    SystemTimeToFileTime(&local, &ft);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10000000u);
  };
  const struct {
    const char* name;
    const char* program;
    bool predecessorFirst;   // the named predecessor was created before the new process
    std::int64_t age;        // seconds since the nine handed-over exceptions
    DWORD exitCode;          // after one more exception; 0: it went on and was closed
  } cases[] = {
      {"nine recent, close", "CrashTestAutoClose", true, 5, 1},
      {"nine recent, restart", "CrashTestAutoRestart", false, 5, 2},
      {"nine old, go on", "CrashTestAutoClose", true, 600, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    std::unique_ptr<Program> predecessor;
    const auto startPredecessor = [&] {
      predecessor = std::make_unique<Program>(ExeDir() + "CrashTestQuiet.exe", "idle", std::vector<std::string>{"KESTRUM_TEST_RESULT="});
    };
    if (c.predecessorFirst) startPredecessor();
    SetEnvironmentVariableA("KESTRUM_TEST_RESULT", result_.c_str());
    SetEnvironmentVariableA("KESTRUM_TEST_GO_ON", "1");
    const std::string exe = ExeDir() + c.program + ".exe";
    std::string cmd = "\"" + exe + "\" burst";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi));
    SetEnvironmentVariableA("KESTRUM_TEST_GO_ON", nullptr);
    SetEnvironmentVariableA("KESTRUM_TEST_RESULT", nullptr);
    platform::ScopedKernelHandle process(pi.hProcess), thread(pi.hThread);
    if (!c.predecessorFirst) startPredecessor();  // an id reused by a newer process
    ASSERT_TRUE(predecessor && predecessor->started());

    char name[64];
    std::snprintf(name, sizeof name, "KestrumRestart$%lx", static_cast<unsigned long>(pi.dwProcessId));
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 88, name);
    ASSERT_NE(section, nullptr);
    HANDLE inNew = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), section, pi.hProcess, &inNew, 0, FALSE, DUPLICATE_SAME_ACCESS));
    auto* view = static_cast<std::uint8_t*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 88));
    ASSERT_NE(view, nullptr);
    const std::uint32_t head[2] = {predecessor->pid(), static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(inNew))};
    std::memcpy(view, head, sizeof head);
    std::int64_t times[10] = {};
    for (int i = 0; i < 9; ++i) times[i] = nowSeconds() - c.age - i;
    std::memcpy(view + 8, times, sizeof times);
    UnmapViewOfFile(view);
    CloseHandle(section);
    ResumeThread(pi.hThread);

    if (c.predecessorFirst) {
      Sleep(1000);
      EXPECT_TRUE(Lines("restarted").empty()) << "went on before its predecessor ended";
      predecessor.reset();  // ends it
    }
    ASSERT_TRUE(WaitUntil([&] { return !Lines("restarted").empty(); }, kHandled)) << "it never went on";
    const std::string line = Lines("restarted")[0];
    EXPECT_EQ(Field(line, "handOver"), "1");
    EXPECT_EQ(Field(line, "history"), "9");
    EXPECT_EQ(Field(line, "predecessorEnded"), c.predecessorFirst ? "1" : "0");

    // Its window, among the predecessor's of the same caption.
    HWND top = nullptr;
    WaitUntil([&] {
      for (HWND w = FindWindowExA(nullptr, nullptr, nullptr, "Crash Test"); w && !top; w = FindWindowExA(nullptr, w, nullptr, "Crash Test")) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == pi.dwProcessId && IsWindowVisible(w)) top = w;
      }
      return top != nullptr;
    }, kHandled);
    ASSERT_NE(top, nullptr);
    PostMessageA(gui::FindControl(top, "Button", "Run").hwnd, BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitSaves(1));
    if (c.exitCode == 0) {
      Sleep(300);
      PostMessageA(top, WM_CLOSE, 0, 0);
    }
    DWORD code = 99;
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, kHandled), WAIT_OBJECT_0);
    GetExitCodeProcess(pi.hProcess, &code);
    if (code == 99 || code == STILL_ACTIVE) TerminateProcess(pi.hProcess, 99);
    EXPECT_EQ(code, c.exitCode);
    if (c.exitCode == 2) {
      // The process it started got the ten times, not the eleventh of a rule that counts ten.
      ASSERT_TRUE(WaitUntil([&] { return Lines("restarted").size() == 2; }, kHandled));
      EXPECT_EQ(Field(Lines("restarted")[1], "history"), "10");
    }
  }
}

TEST_F(Handling, FaultInForeignCodeDuringHandlingLeavesTheReportingThreadWorking) {
  StartWindow("CrashTestQuiet", "seamfault", {"KESTRUM_TEST_SEAM_FAULT=1"});
  Press();
  ASSERT_TRUE(WaitSaves(1));
  Press();
  ASSERT_TRUE(WaitSaves(2));
  EXPECT_EQ(Field(Saves()[1], "number"), "2");
  EXPECT_EQ(Field(Saves()[1], "onReporter"), "1");
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, AThreadHoldingTheLoaderLockHandlesItsOwnException) {
  StartWindow("CrashTestQuiet", "loaderlock");
  Press();
  ASSERT_TRUE(WaitSaves(1)) << "the reporting thread needs the loader lock that the waiter holds";
  EXPECT_EQ(Field(Saves()[0], "onReporter"), "0");
  EXPECT_EQ(Field(Saves()[0], "message"), "under the loader lock.");
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, WithoutTheReportingThreadTheFailingThreadHandlesItsOwnException) {
  StartWindow("CrashTestQuiet", "killreporter");
  Press();
  ASSERT_TRUE(WaitSaves(1)) << "the waiter gave up on the dead thread";
  EXPECT_EQ(Field(Saves()[0], "onReporter"), "0");
  EXPECT_EQ(Field(Saves()[0], "message"), "no reporter.");
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, FrozenMainThreadIsReportedWhileItSleeps) {
  StartWindow("CrashTestFreeze", "freeze");
  Press();
  ASSERT_TRUE(WaitSaves(1));
  const std::string save = Saves()[0];
  EXPECT_EQ(Field(save, "type"), "1");
  EXPECT_EQ(Field(save, "source"), "1");
  EXPECT_EQ(Field(save, "mainSleeping"), "1");
  ASSERT_TRUE(WaitUntil([&] { return !Lines("awake").empty(); }, kHandled));
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, NoFreezeIsReportedWhileAnotherExceptionIsHandled) {
  StartWindow("CrashTestFreeze", "freezeduring", {"KESTRUM_TEST_SEAM_SLEEP=4000"});
  Press();
  ASSERT_TRUE(WaitUntil([&] { return !Lines("awake").empty(); }, kHandled));
  ASSERT_TRUE(WaitSaves(1));
  Sleep(1000);
  ASSERT_EQ(Saves().size(), 1u) << Saves().back();
  EXPECT_EQ(Field(Saves()[0], "message"), "meanwhile.");
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, OnlyOneFreezeWatchdogWatchesPerProcess) {
  Start("CrashTestFreeze", "onewatchdog");
  EXPECT_EQ(ExitCode(), 0u);
  ASSERT_EQ(Lines("watchdogs").size(), 1u);
  const std::string line = Lines("watchdogs")[0];
  EXPECT_EQ(Field(line, "started"), "1");
  EXPECT_EQ(Field(line, "first"), "1") << "the program's own watchdog started first";
  EXPECT_EQ(Field(line, "second"), "0") << "the library's copy waits";
  ASSERT_EQ(Lines("after").size(), 1u);
  EXPECT_EQ(Field(Lines("after")[0], "second"), "1") << "and takes over when the first stops";
}

TEST_F(Handling, FreezeBoxClosesWhenTheMainThreadAnswers) {
  StartWindow("CrashTestFreezeBox", "freeze");
  Press();
  HWND box = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (box = ExceptionBoxOf(app_->pid())) != nullptr; }, kHandled));
  std::string text;
  for (const gui::Control& c : gui::Controls(box)) {
    if (c.className == "Static" && !c.text.empty()) text = c.text;
  }
  EXPECT_EQ(text, "The application seems to be frozen.");
  EXPECT_TRUE(Lines("awake").empty()) << "shown while the main thread sleeps";
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }, kHandled)) << "the box stayed";
  EXPECT_FALSE(Lines("awake").empty());
  ASSERT_TRUE(WaitSaves(1));
  EXPECT_EQ(Field(Saves()[0], "type"), "1");
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, DeliveryFoldersOfEndedDeliveriesGoThoseOfRunningOnesStay) {
  StartWindow("CrashTestQuiet", "delivery");
  Press();
  ASSERT_TRUE(WaitSaves(1));
  Press();
  ASSERT_TRUE(WaitUntil([&] { return !Lines("deliveries").empty(); }, kHandled));
  const std::string line = Lines("deliveries")[0];
  EXPECT_EQ(Field(line, "ended"), "0") << "removed when its delivery ended";
  EXPECT_EQ(Field(line, "running"), "1");
  EXPECT_EQ(Field(line, "leftover"), "0") << "removed when the exception was handled";
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, PauseThreadsHoldsTheProgramsThreadsWhileTheBoxIsUp) {
  StartWindow("CrashTestPause", "pause");
  Press();
  HWND box = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (box = ExceptionBoxOf(app_->pid())) != nullptr; }, kHandled));
  ASSERT_FALSE(Lines("pumped").empty()) << "the worker ran before the exception";
  const std::size_t before = Lines("pumped").size();
  Sleep(500);  // ten rounds of the worker, were it free
  EXPECT_LE(Lines("pumped").size(), before + 1) << "at most the round that was under way";
  DWORD_PTR answer = 0;
  EXPECT_FALSE(SendMessageTimeoutA(top_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer)) << "the main thread is held too";
  PostMessageA(box, WM_CLOSE, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return Lines("pumped").size() > before + 3; }, kHandled)) << "the worker was not let go";
  EXPECT_TRUE(SendMessageTimeoutA(top_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer)) << "the main thread was not let go";
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

TEST_F(Handling, HeldThreadsGoOnWhenTheReportingThreadDiesBeforeReleasingThem) {
  StartWindow("CrashTestPause", "pause", {"KESTRUM_TEST_SEAM_EXIT=1"});
  Press();
  TakeBox();
  ASSERT_TRUE(WaitSaves(1));
  // The main thread, held while the reporting thread handled its exception, handles it itself.
  const Box again = TakeBox();
  EXPECT_EQ(again.text, "while pumping.");
  ASSERT_TRUE(WaitSaves(2));
  EXPECT_EQ(Field(Saves()[1], "onReporter"), "0");
  const std::size_t pumped = Lines("pumped").size();
  EXPECT_TRUE(WaitUntil([&] { return Lines("pumped").size() > pumped + 3; }, kHandled)) << "the worker was not let go";
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

// An outside tool asks a running program for a report of its state: the export by its plain
// name, run in the program through CreateRemoteThread, into a section the tool made.
TEST_F(Handling, KorbTraceProcessGivesTheStateWithoutABoxOrAnException) {
  const std::string exe = ExeDir() + "CrashTest.exe";
  const DWORD rva = testsupport::ExportOffset(exe, "KorbTraceProcess");
  ASSERT_NE(rva, 0u);

  StartWindow("CrashTest", "idle");  // the variant that shows a box for every exception
  ASSERT_TRUE(WaitUntil([&] { return !Lines("ready").empty(); }, kHandled));
  const std::string main = Field(Lines("ready")[0], "main"), worker = Field(Lines("ready")[0], "worker");
  HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, app_->pid());
  ASSERT_NE(process, nullptr);
  MODULEENTRY32 program{};
  {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, app_->pid());
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    MODULEENTRY32 me{};
    me.dwSize = sizeof me;
    for (BOOL more = Module32First(snapshot, &me); more; more = Module32Next(snapshot, &me))
      if (lstrcmpiA(me.szModule, "CrashTest.exe") == 0) program = me;
    CloseHandle(snapshot);
  }
  ASSERT_NE(program.modBaseAddr, nullptr);
  constexpr DWORD kSectionSize = 4096;
  HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionSize, "KorbTraceProcessMap");
  ASSERT_NE(section, nullptr);
  auto* view = static_cast<char*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  const auto trace = [&](DWORD bufferSize) {
    HANDLE remote = CreateRemoteThread(process, nullptr, 0,
                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(program.modBaseAddr + rva),
                                       reinterpret_cast<void*>(static_cast<std::uintptr_t>(bufferSize)), 0, nullptr);
    if (!remote) return DWORD{0xBAD};
    DWORD code = 0xDEAD;
    if (WaitForSingleObject(remote, kHandled) == WAIT_OBJECT_0) GetExitCodeThread(remote, &code);
    CloseHandle(remote);
    return code;
  };

  EXPECT_EQ(trace(100000), 0u) << "the thread came back at once, no box held it";
  const std::string text(view, strnlen(view, kSectionSize));
  EXPECT_NE(text.find("\r\nexception number  : 0\r\n"), std::string::npos) << "no exception number taken\n" << text;
  EXPECT_NE(text.find("\r\nmain thread ($" + main + "):\r\n"), std::string::npos) << text;
  // The worker, with the main thread as its creator and the creation site in the program's code.
  // Its trace ends with the creation site under the creator's line.
  const std::size_t at = text.find("\r\nthread $" + worker + ":\r\n");
  ASSERT_NE(at, std::string::npos) << text;
  const std::string workerSection = "\r\n>> created by main thread ($" + main + ") at:\r\n";
  const std::size_t creatorAt = text.find(workerSection, at);
  ASSERT_NE(creatorAt, std::string::npos) << text;
  EXPECT_EQ(text.find("\r\n\r\n", at + 2), text.find("\r\n", creatorAt + workerSection.size())) << "the site is the section's last line";
  ASSERT_NE(at, std::string::npos) << text;
  const std::uintptr_t site = std::stoul(text.substr(creatorAt + workerSection.size(), 8), nullptr, 16);
  const auto base = reinterpret_cast<std::uintptr_t>(program.modBaseAddr);
  EXPECT_TRUE(site > base && site < base + program.modBaseSize) << std::hex << site;
  EXPECT_EQ(text.substr(0, at).find(">> created by"), std::string::npos) << "the main thread has no creator";
  // The caller's size cuts below the section's.
  std::memset(view, 'z', kSectionSize);
  EXPECT_EQ(trace(40), 0u);
  EXPECT_EQ(strnlen(view, kSectionSize), 39u);
  // The report begins with its time stamp, which the second trace has anew.
  EXPECT_EQ(std::string(view, 20), text.substr(0, 20));

  // Without a size the report goes to the clipboard.
  EXPECT_EQ(trace(0), 0u);
  EXPECT_NE(ClipboardText().find("\r\nmain thread ($" + main + "):\r\n"), std::string::npos) << ClipboardText();

  EXPECT_EQ(ExceptionBoxOf(app_->pid()), nullptr);
  EXPECT_TRUE(Saves().empty()) << "nothing handled, nothing saved";
  UnmapViewOfFile(view);
  CloseHandle(section);
  CloseHandle(process);
  EXPECT_EQ(CloseAndExitCode(), 0u);
}

// --- Start-up.

class StartUp : public Handling {
 protected:
  std::vector<char> Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
  }
  void Write(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  static kestrum::ChecksumField FieldOf(const std::vector<char>& file) {
    return kestrum::FindChecksumField(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()).value_or(kestrum::ChecksumField{});
  }
  static void SetChecksum(std::vector<char>& file, std::uint32_t value) {
    std::memcpy(file.data() + FieldOf(file).offset, &value, sizeof value);
  }
  static void FixChecksum(std::vector<char>& file) {
    SetChecksum(file, kestrum::ImageChecksum(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), FieldOf(file).offset));
  }
  void TearDown() override {
    Handling::TearDown();
    for (const std::string& f : made_) DeleteFileA(f.c_str());
  }
  std::string Copy(const std::string& name, const std::vector<char>& bytes) {
    const std::string path = ExeDir() + name + ".exe";
    Write(path, bytes);
    made_.push_back(path);
    return name;
  }
  std::vector<std::string> made_;
};

TEST_F(StartUp, FileCheckOfTheProgramOnDisk) {
  const std::vector<char> original = Read(ExeDir() + "CrashTest.exe");
  ASSERT_GT(original.size(), 4096u);
  ASSERT_NE(FieldOf(original).stored, 0u) << "the linker wrote a checksum";

  std::vector<char> flipped = original;
  flipped[flipped.size() - 100] ^= 0x01;  // in the symbol table: the program still loads
  std::vector<char> unchecked = flipped;
  SetChecksum(unchecked, 0);
  std::vector<char> longer = original;
  longer.insert(longer.end(), 512, '\x5A');
  FixChecksum(longer);
  const std::vector<char> truncated(longer.begin(), longer.end() - 256);

  const struct {
    const char* name;
    const std::vector<char>* bytes;
    bool passes;
  } cases[] = {
      {"CrashTestFlipped", &flipped, false},
      {"CrashTestUnchecked", &unchecked, true},
      {"CrashTestLonger", &longer, true},
      {"CrashTestTruncated", &truncated, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Start(Copy(c.name, *c.bytes), "start");
    if (!c.passes) {
      const Box box = TakeBox();
      EXPECT_EQ(box.text, std::string("The file \"") + c.name + ".exe\" seems to be corrupt!");
    }
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(Lines("started").size(), c.passes ? 1u : 0u);
  }
}

TEST_F(StartUp, LeftoverTemporaryFoldersOfEndedProcessesGoThoseOfRunningOnesStay) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string folder = std::string(temp) + "CrashTestQuiet.Kestrum\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  FILETIME created, exited, kernel, user;
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user));
  const std::uint64_t ourStart = static_cast<std::uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
  const struct {
    std::string name;
    bool stays;
  } folders[] = {
      {kestrum::ProcessFolderName({GetCurrentProcessId(), ourStart}), true},
      {kestrum::ProcessFolderName({GetCurrentProcessId(), ourStart + 1}), false},  // an earlier owner of our id
      {kestrum::ProcessFolderName({0x7FFFFFF0, 1}), false},                       // no such process
      {"not-ours", true},
  };
  for (const auto& f : folders) {
    const std::string path = folder + f.name;
    CreateDirectoryA(path.c_str(), nullptr);
    CreateDirectoryA((path + "\\d00000001").c_str(), nullptr);
    std::ofstream(path + "\\d00000001\\bugreport.txt") << "left over";
  }
  Start("CrashTestQuiet", "start");
  EXPECT_EQ(ExitCode(), 0u);
  ASSERT_EQ(Lines("started").size(), 1u);
  const std::string own = Field(Lines("started")[0], "temp");
  EXPECT_EQ(own.rfind(folder + "p", 0), 0u) << own;
  EXPECT_EQ(GetFileAttributesA(own.c_str()), INVALID_FILE_ATTRIBUTES) << "the ended program's own folder is gone";
  for (const auto& f : folders) {
    const DWORD attributes = GetFileAttributesA((folder + f.name).c_str());
    EXPECT_EQ(attributes != INVALID_FILE_ATTRIBUTES, f.stays) << f.name;
    if (f.stays) {
      DeleteFileA((folder + f.name + "\\d00000001\\bugreport.txt").c_str());
      RemoveDirectoryA((folder + f.name + "\\d00000001").c_str());
      RemoveDirectoryA((folder + f.name).c_str());
    }
  }
  RemoveDirectoryA(folder.c_str());
}

}  // namespace
