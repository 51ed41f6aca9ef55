// Kelvane.exe end to end on the test display, on the simulated receiver: what a person sees and
// does, and the report bytes that reach the receiver.
#include "testing/gui/GuiDriver_win.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include "app/tests/Listing.h"
#include "crash/tests/BoxReading_win.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace gui;
using namespace listing;

std::string TempPath(const std::string& name) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "kelvane-gui-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

struct WindowSearch {
  DWORD pid;
  const char* className;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND w, LPARAM lp) {
  auto* s = reinterpret_cast<WindowSearch*>(lp);
  DWORD owner = 0;
  GetWindowThreadProcessId(w, &owner);
  char cls[16] = {};
  GetClassNameA(w, cls, sizeof cls);
  if (owner == s->pid && IsWindowVisible(w) && std::string(cls) == s->className) s->found.push_back(w);
  return TRUE;
}

// Visible top-level windows of a process of one class.
std::vector<HWND> TopLevels(DWORD pid, const char* className) {
  WindowSearch search{pid, className, {}};
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string FileContents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "(missing)";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Kelvane.exe with a scenario of its own and the simulator's log.
class Kelvane : public ::testing::Test {
 protected:
  void Start(const std::string& scenario) {
    DeleteFileA(BugReportFile().c_str());
    DeleteFileA(MiniDumpFile().c_str());
    scenarioPath = TempPath("scenario.txt");
    logPath = TempPath("sim.log");
    DeleteFileA(logPath.c_str());
    std::ofstream(scenarioPath) << scenario;
    app = std::make_unique<Program>(ExeDir() + "Kelvane.exe", "",
                                    std::vector<std::string>{"KELVANE_SIM_SCENARIO=" + scenarioPath,
                                                             "KELVANE_SIM_LOG=" + logPath});
    top = app->waitWindow("Kelvane");
    ASSERT_NE(top, nullptr) << "the main window did not appear";
  }
  void TearDown() override {
    if (app && top && IsWindow(top)) {
      PostMessageA(top, WM_CLOSE, 0, 0);
      DWORD code = 99;
      EXPECT_TRUE(app->waitExit(10000, &code)) << "Kelvane did not end after its window was closed";
      EXPECT_EQ(code, 0u);
    }
    app.reset();
    DeleteFileA(BugReportFile().c_str());
    DeleteFileA(MiniDumpFile().c_str());
    DeleteFileA(scenarioPath.c_str());
    DeleteFileA(logPath.c_str());
  }

  // Where the shipped settings store reports: beside the program.
  static std::string BugReportFile() { return ExeDir() + "bugreport.txt"; }
  // Kelvane ships with MiniDump 1: the automatic save puts a dump beside the report.
  static std::string MiniDumpFile() { return ExeDir() + "bugreport.dmp"; }

  HWND Button(const char* caption) { return FindControl(top, "Button", caption).hwnd; }
  HWND Labelled(const char* text) { return FindControl(top, "Static", text).hwnd; }
  HWND Memo() {
    for (const Control& c : Controls(top))
      if (c.className == "Edit" && (GetWindowLongA(c.hwnd, GWL_STYLE) & ES_MULTILINE)) return c.hwnd;
    return nullptr;
  }
  HWND EditWithText(const char* text) { return FindControl(top, "Edit", text).hwnd; }
  HWND TrackBar() {
    for (const Control& c : Controls(top))
      if (c.className == TRACKBAR_CLASSA) return c.hwnd;
    return nullptr;
  }
  Lines Log() { return TextLines(Memo()); }
  bool LabelShows(const char* text, DWORD ms = 8000) {
    return WaitUntil([&] { return Labelled(text) != nullptr; }, ms);
  }
  bool Connected(const char* version) {
    return LabelShows("Device: connected") && LabelShows((std::string("Vexa Version: ") + version).c_str());
  }
  void OpenDevice() {
    ClickReal(Button("Open Device"));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowEnabled(Button("Open Device")); }));
  }
  // The simulator's feature-report exchanges other than polling, as "get|set ID ok|fail BYTES".
  Lines Exchanges() {
    Lines out;
    std::ifstream in(logPath);
    std::string line;
    while (std::getline(in, line)) {
      // TIME NAME get|set ID ...
      size_t p = line.find(' ');
      p = line.find(' ', p + 1);
      if (p == std::string::npos) continue;
      std::string rest = line.substr(p + 1);
      if (rest.rfind("get 1 ", 0) == 0) continue;
      out.push_back(rest);
    }
    return out;
  }
  // The component's exception box, null when none is shown.
  HWND ExceptionBox() {
    for (HWND w : TopLevels(app->pid(), "KestrumWndClass")) return w;
    return nullptr;
  }
  // The exception the program reports: the box says what the settings say, the report names the
  // message. Its message, after which the program is let go on.
  std::string TakeMessageBox() {
    HWND box = nullptr;
    WaitUntil([&] { return (box = ExceptionBox()) != nullptr; }, 10000);
    if (!box) return "(no exception box)";
    EXPECT_NE(FindControl(box, "Static", "An error occurred in the application.").hwnd, nullptr);
    ClickReal(FindControl(box, "Button", "show bug report").hwnd);
    HWND details = nullptr;
    WaitUntil([&] { return (details = ExceptionBox()) != nullptr && details != box; }, 10000);
    if (!details || details == box) return "(no report)";
    std::string message = "(no message in the report)";
    for (const Control& c : Controls(details)) {
      if (c.className != WC_LISTVIEWA) continue;
      for (const std::string& row : testsupport::ListViewRows(c.hwnd))
        if (row.rfind("exception message\t", 0) == 0) message = row.substr(18);
    }
    ClickReal(FindControl(details, "Button", "continue application").hwnd);
    WaitUntil([&] { return !IsWindow(details); });
    return message;
  }

  // A point on a line of the log; the log's lines are short enough not to wrap.
  POINT OnLogLine(int line) {
    HWND memo = Memo();
    const LRESULT start = SendMessageA(memo, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
    const LRESULT at = SendMessageA(memo, EM_POSFROMCHAR, static_cast<WPARAM>(start), 0);
    POINT p{static_cast<short>(LOWORD(at)) + 12, static_cast<short>(HIWORD(at)) + 6};
    ClientToScreen(memo, &p);
    return p;
  }
  // The open popup menu of the program, null when there is none.
  HWND OpenMenu() {
    const std::vector<HWND> menus = TopLevels(app->pid(), "#32768");
    return menus.empty() ? nullptr : menus.front();
  }
  // The program's dialog that has a button with this caption, once it is there; else null.
  HWND DialogWithButton(const char* button, DWORD ms = 10000) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
          for (HWND w : TopLevels(app->pid(), "#32770"))
            if (FindControl(w, "Button", button).hwnd) found = w;
          return found != nullptr;
        },
        ms);
    return found;
  }
  // Save Log As... from the log's menu, the file name typed into the dialog, and Save.
  void SaveLogAs(const std::string& path, std::string* proposedName = nullptr) {
    ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(0), "s"));
    HWND dialog = DialogWithButton("&Save");
    ASSERT_NE(dialog, nullptr) << "no save dialog";
    HWND name = nullptr;
    for (const Control& c : Controls(dialog))
      if (c.className == "Edit" && c.visible) name = c.hwnd;
    ASSERT_NE(name, nullptr);
    if (proposedName) *proposedName = WindowText(name);
    SetTextMessage(name, path);
    ClickReal(FindControl(dialog, "Button", "&Save").hwnd);
  }
  // Opens the log's context menu with the real pointer and picks an item by its access key.
  // Returns whether the menu opened.
  bool ChooseFromMenuAt(POINT at, const char* accessKey) {
    ClickAt(at, 3);
    return ChooseFromMenu(accessKey);
  }
  bool ChooseFromMenu(const char* accessKey) {
    if (!WaitUntil([&] { return OpenMenu() != nullptr; })) return false;
    PressKeys(accessKey);
    // A disabled item leaves the menu open.
    if (!WaitUntil([&] { return OpenMenu() == nullptr; }, 500)) PressKeys("Escape");
    return WaitUntil([&] { return OpenMenu() == nullptr; });
  }
  static void ClickAt(POINT at, int button) {
    RunUnix("xdotool mousemove " + std::to_string(at.x) + " " + std::to_string(at.y) + " sleep 0.05 click " +
            std::to_string(button));
  }
  // The program's message box: its text, and the box, null when none came.
  HWND MessageBoxShown(std::string& text, DWORD ms = 5000) {
    HWND box = nullptr;
    WaitUntil([&] { return (box = DialogOf(app->pid())) != nullptr; }, ms);
    text.clear();
    if (box)
      for (const Control& c : Controls(box))
        if (c.className == "Static" && !c.text.empty()) text = c.text;
    return box;
  }
  void Answer(HWND box, const char* button) {
    HWND b = FindControl(box, "Button", button).hwnd;
    ASSERT_NE(b, nullptr) << button;
    ClickReal(b);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); })) << button;
  }
  size_t TrainedCodeWrites() {
    size_t n = 0;
    for (const std::string& e : Exchanges()) n += e.rfind("set 5 ", 0) == 0;
    return n;
  }

  std::unique_ptr<Program> app;
  HWND top = nullptr;
  std::string scenarioPath, logPath;
};

TEST_F(Kelvane, OpenDeviceShowsTheReceiverAndListsItsCodes) {
  Start(
      "at 0 plug rx version=2.5\n"
      "at 3000 frame rx 2 0x00FF 0x0046 0\n"
      "at 3100 frame rx 2 0x00FF 0x0046 1\n"
      "at 3160 frame rx 2 0x00FF 0x0046 1\n"
      "at 3220 frame rx 2 0x00FF 0x0046 1\n"
      "at 3280 frame rx 2 0x00FF 0x0046 1\n"
      "at 3340 frame rx 2 0x00FF 0x0046 1\n"
      "at 3400 frame rx 2 0x00FF 0x0046 1\n"
      "at 3600 frame rx 14 0x1234 0xABCD 0x80\n");
  // Before opening: the window as described.
  EXPECT_NE(Labelled("Device: disconnected"), nullptr);
  EXPECT_NE(Labelled("Vexa Version: unknown"), nullptr);
  EXPECT_NE(Labelled("100\xB5s"), nullptr);
  EXPECT_TRUE(IsWindowEnabled(Button("Open Device")));
  EXPECT_FALSE(IsWindowEnabled(Button("Close Device")));
  EXPECT_EQ(WindowText(Memo()), "");

  OpenDevice();
  EXPECT_TRUE(IsWindowEnabled(Button("Close Device")));
  ASSERT_TRUE(Connected("2.5"));

  const Lines held = {"VEXA_NEC_PROTOCOL", "Adress: 0x00FF", "Command: 0x0046"};
  const Lines expected = Listing("IR Code received:", held + Lines{"Flags: 0x00"}) +
                         Listing("IR Code received:", held + Lines{"Flags: 0x01"}) +
                         Listing("IR Code received:", held + Lines{"Flags: 0x01"}) +
                         Listing("IR Code received:", {"Adress: 0x1234", "Command: 0xABCD", "Flags: 0x80"});
  EXPECT_TRUE(WaitUntil([&] { return Log() == expected; }, 10000)) << WindowText(Memo());
}

TEST_F(Kelvane, CommandButtonsSendTheirReports) {
  Start("at 0 plug rx version=1.0\nat 0 trained rx 2 0x00FF 0x0045 0\nat 0 poweron rx 1\n");
  OpenDevice();
  ASSERT_TRUE(Connected("1.0"));
  const size_t before = Exchanges().size();  // the arrival's version read
  const struct {
    const char* button;
    const char* exchange;
  } steps[] = {
      {"Read Power On Enabled", "get 2 ok 02 01"},
      {"Set PowerOn not Active", "set 4 ok 04 00"},
      {"Set PowerOn Active", "set 4 ok 04 01"},
      {"Read Trained IR Code", "get 3 ok 03 02 ff 00 45 00 00"},
      {"Clear Trained Code", "set 5 ok 05 00 00 00 00 00 00"},
      {"Read Vexa Version", "get 7 ok 07 31 2e 30 00 00 00 00 00 00 00 00"},
  };
  Lines want;
  for (const auto& s : steps) {
    ClickReal(Button(s.button));
    want.push_back(s.exchange);
    ASSERT_TRUE(WaitUntil([&] { return Exchanges().size() >= before + want.size(); })) << s.button;
  }
  Lines got = Exchanges();
  EXPECT_EQ(Lines(got.begin() + static_cast<long>(before), got.end()), want);
  const Lines shown = Lines{"PowerOn is Enabled", ""} +
                      Listing("Trained IR Code:", {"VEXA_NEC_PROTOCOL", "Adress: 0x00FF", "Command: 0x0045", "Flags: 0x00"});
  EXPECT_TRUE(WaitUntil([&] { return Log() == shown; })) << WindowText(Memo());
}

TEST_F(Kelvane, SliderPostsThePeriodOnReleaseOnly) {
  Start("at 0 plug rx\n");
  OpenDevice();
  ASSERT_TRUE(Connected("1.0"));
  HWND track = TrackBar();
  DragTrackBar(track, 120);
  EXPECT_TRUE(LabelShows("120\xB5s"));
  // 120 us at 12 MHz: 1440 ticks, 0xFA60.
  ASSERT_TRUE(WaitUntil([&] { return !Exchanges().empty() && Exchanges().back() == "set 6 ok 06 60 fa"; }))
      << Exchanges().back();
  const size_t sets = Exchanges().size();
  int periodSets = 0;
  for (const std::string& e : Exchanges()) periodSets += e.rfind("set 6 ", 0) == 0;
  EXPECT_EQ(periodSets, 1) << "one command for the whole drag, at the release";

  ASSERT_TRUE(WaitUntil([&] { return gui::HasKeyboardFocus(track); })) << "the drag left the keyboard elsewhere";
  PressKeys("Right Right");
  EXPECT_TRUE(LabelShows("122\xB5s"));
  Sleep(300);
  EXPECT_EQ(Exchanges().size(), sets) << "keyboard changes post nothing";

  // A click on the thumb that does not move it posts the current value: 1464 ticks, 0xFA48.
  DragTrackBar(track, 122);
  ASSERT_TRUE(WaitUntil([&] { return Exchanges().size() == sets + 1; }));
  EXPECT_EQ(Exchanges().back(), "set 6 ok 06 48 fa");
}

TEST_F(Kelvane, ReceiverUnpluggedAndPluggedAgain) {
  Start("at 0 plug rx version=1.1\nat 5000 unplug rx\nat 7000 plug rx version=3.0\n");
  OpenDevice();
  ASSERT_TRUE(Connected("1.1"));
  ASSERT_TRUE(LabelShows("Device: disconnected", 10000));
  EXPECT_NE(Labelled("Vexa Version: unknown"), nullptr);
  ASSERT_TRUE(Connected("3.0"));
}

TEST_F(Kelvane, CloseAndOpenAgainReadsTheVersionAgain) {
  Start("at 0 plug rx version=1.7\n");
  OpenDevice();
  ASSERT_TRUE(Connected("1.7"));
  const size_t before = Exchanges().size();
  ClickReal(Button("Close Device"));
  ASSERT_TRUE(LabelShows("Device: disconnected"));
  EXPECT_NE(Labelled("Vexa Version: unknown"), nullptr);
  EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(Button("Open Device")); }));
  EXPECT_FALSE(IsWindowEnabled(Button("Close Device")));

  OpenDevice();
  ASSERT_TRUE(Connected("1.7"));
  EXPECT_GT(Exchanges().size(), before) << "the version is read again";
  EXPECT_EQ(Exchanges().back().substr(0, 10), "get 7 ok 0");
}

TEST_F(Kelvane, BadInputShowsTheRuntimeErrorAndChangesNothing) {
  Start("at 0 plug rx\n");
  HWND delay = EditWithText("50");
  HWND frequency = EditWithText("12000000");
  ASSERT_NE(delay, nullptr);
  ASSERT_NE(frequency, nullptr);

  TypeText(delay, "5x");
  ClickReal(Button("Open Device"));
  EXPECT_EQ(TakeMessageBox(), "''5x'' ist kein g\xFCltiger Integer-Wert.");
  EXPECT_TRUE(IsWindowEnabled(Button("Open Device")));
  EXPECT_FALSE(IsWindowEnabled(Button("Close Device")));
  EXPECT_NE(Labelled("Device: disconnected"), nullptr);

  // Nothing was left half-built: a valid text opens the device.
  TypeText(delay, "20");
  OpenDevice();
  ASSERT_TRUE(Connected("1.0"));
  const size_t before = Exchanges().size();

  const struct {
    const char* frequency;
    const char* message;
  } bad[] = {
      {"12 MHz", "''12 MHz'' ist kein g\xFCltiger Integer-Wert."},
      {"0", "Gleitkommadivision durch Null."},
  };
  for (const auto& b : bad) {
    TypeText(frequency, b.frequency);
    DragTrackBar(TrackBar(), 110);
    EXPECT_EQ(TakeMessageBox(), b.message);
  }
  Sleep(300);
  EXPECT_EQ(Exchanges().size(), before) << "no command was posted";
  EXPECT_NE(Labelled("Device: connected"), nullptr);
}

TEST_F(Kelvane, ReportsOfBadInputLandInTheBugReportFile) {
  Start("at 0 plug rx\n");
  HWND delay = EditWithText("50");
  ASSERT_NE(delay, nullptr);
  TypeText(delay, "abc");
  ClickReal(Button("Open Device"));
  EXPECT_EQ(TakeMessageBox(), "''abc'' ist kein g\xFCltiger Integer-Wert.");
  // Saved after the box, without asking: AutoSave is on in the shipped settings.
  ASSERT_TRUE(WaitUntil([&] { return FileContents(BugReportFile()).find("''abc''") != std::string::npos; }, 10000))
      << FileContents(BugReportFile());
  const std::string dump = FileContents(MiniDumpFile());
  EXPECT_EQ(dump.substr(0, 4), "MDMP") << "no minidump beside the report";
  EXPECT_EQ(FileContents(BugReportFile()).find("minidump:"), std::string::npos) << "the report says the dump failed";

  // The same crash again is folded into a report before it, which counts it. The first crash's
  // stack may still hold values of the first-time work the program did on its way (a trace reads
  // every stack slot), so the second and third crash are the ones that must fold.
  for (int again = 0; again < 2; ++again) {
    ClickReal(Button("Open Device"));
    EXPECT_EQ(TakeMessageBox(), "''abc'' ist kein g\xFCltiger Integer-Wert.");
  }
  std::string stored;
  ASSERT_TRUE(WaitUntil([&] {
    stored = FileContents(BugReportFile());
    std::istringstream lines(stored);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("count", 0) == 0 && (line.find(": 2") != std::string::npos || line.find(": 3") != std::string::npos)) return true;
    return false;
  }, 10000)) << stored;
  // Names and lines come from the embedded container: the shipped program has no symbols of its own.
  EXPECT_TRUE(std::regex_search(stored, std::regex(R"(Kelvane\.exe +uMain +[0-9]+ +\+[0-9]+ +TFormMain\.btOpenClick)"))) << stored;
  std::istringstream lines(stored);
  int reports = 0;
  for (std::string line; std::getline(lines, line);) reports += line.rfind("date/time", 0) == 0;
  EXPECT_LE(reports, 2) << stored;
}

TEST_F(Kelvane, ClosingTheWindowWhileOpenEndsTheProgram) {
  Start("at 0 plug rx\nat 2000 frame rx 1 1 1 0\n");
  OpenDevice();
  ASSERT_TRUE(Connected("1.0"));
  PostMessageA(top, WM_CLOSE, 0, 0);
  DWORD code = 99;
  EXPECT_TRUE(app->waitExit(10000, &code));
  EXPECT_EQ(code, 0u);
  top = nullptr;
}

TEST_F(Kelvane, ListedCodeBecomesThePowerOnCode) {
  Start("at 0 plug rx version=1.0\nat 0 trained rx 2 0x00FF 0x0045 0\nat 2500 frame rx 2 0x00FF 0x0046 0\n");
  OpenDevice();
  ASSERT_TRUE(Connected("1.0"));
  const Lines received = Listing("IR Code received:", {"VEXA_NEC_PROTOCOL", "Adress: 0x00FF", "Command: 0x0046", "Flags: 0x00"});
  ASSERT_TRUE(WaitUntil([&] { return Log() == received; }, 10000)) << WindowText(Memo());
  std::string text;

  // The empty line after the listing holds no code: the item does nothing.
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(5), "u"));
  EXPECT_EQ(MessageBoxShown(text, 700), nullptr) << text;

  // Cancelled: nothing is sent.
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(2), "u"));
  HWND box = MessageBoxShown(text);
  ASSERT_NE(box, nullptr) << "no confirmation";
  for (const char* part : {"VEXA_NEC_PROTOCOL", "0x00FF", "0x0046"}) EXPECT_NE(text.find(part), std::string::npos) << text;
  Answer(box, "&No");
  Sleep(300);
  EXPECT_EQ(TrainedCodeWrites(), 0u);
  EXPECT_EQ(Log(), received);

  // Confirmed: the code is written, read back and listed as the trained code.
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(0), "u"));
  box = MessageBoxShown(text);
  ASSERT_NE(box, nullptr) << "no confirmation";
  Answer(box, "&Yes");
  const Lines trained = Listing("Trained IR Code:", {"VEXA_NEC_PROTOCOL", "Adress: 0x00FF", "Command: 0x0046", "Flags: 0x00"});
  ASSERT_TRUE(WaitUntil([&] { return Log() == received + trained; })) << WindowText(Memo());
  const Lines exchanges = Exchanges();
  const auto set = std::find(exchanges.begin(), exchanges.end(), "set 5 ok 05 02 ff 00 46 00 00");
  ASSERT_NE(set, exchanges.end());
  ASSERT_NE(set + 1, exchanges.end());
  EXPECT_EQ(set[1], "get 3 ok 03 02 ff 00 46 00 00");
  EXPECT_EQ(TrainedCodeWrites(), 1u);
}

// A code of a protocol the log does not name: its listing has no protocol line, and the code the
// worker listed is written back with exactly its bytes. The same text typed by hand is no code.
TEST_F(Kelvane, ListedCodeWithoutProtocolNameBecomesThePowerOnCode) {
  Start("at 0 plug rx version=1.0\nat 2500 frame rx 13 0x00FF 0x0046 0x02\n");
  OpenDevice();
  ASSERT_TRUE(Connected("1.0"));
  const Lines received = Listing("IR Code received:", {"Adress: 0x00FF", "Command: 0x0046", "Flags: 0x02"});
  ASSERT_TRUE(WaitUntil([&] { return Log() == received; }, 10000)) << WindowText(Memo());

  std::string text;
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(1), "u"));
  HWND box = MessageBoxShown(text);
  ASSERT_NE(box, nullptr) << "the item is disabled on a code the receiver sent";
  EXPECT_NE(text.find("0x0046"), std::string::npos) << text;
  Answer(box, "&Yes");
  const Lines trained = Listing("Trained IR Code:", {"Adress: 0x00FF", "Command: 0x0046", "Flags: 0x02"});
  ASSERT_TRUE(WaitUntil([&] { return Log() == received + trained; })) << WindowText(Memo());
  const Lines exchanges = Exchanges();
  const auto set = std::find(exchanges.begin(), exchanges.end(), "set 5 ok 05 0d ff 00 46 00 02");
  ASSERT_NE(set, exchanges.end()) << ::testing::PrintToString(exchanges);
  ASSERT_NE(set + 1, exchanges.end());
  EXPECT_EQ(set[1], "get 3 ok 03 0d ff 00 46 00 02");

  // The trained listing the worker wrote is a code too; the same listing pasted below is not.
  const std::string typed = "IR Code received:\r\nAdress: 0x0001\r\nCommand: 0x0002\r\nFlags: 0x00\r\n";
  SetTextMessage(Memo(), WindowText(Memo()) + typed);
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(static_cast<int>(received.size() + trained.size()) + 1), "u"));
  EXPECT_EQ(MessageBoxShown(text, 700), nullptr) << text;
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(static_cast<int>(received.size()) + 1), "u"));
  box = MessageBoxShown(text);
  ASSERT_NE(box, nullptr) << "the trained listing is no code";
  Answer(box, "&No");
  EXPECT_EQ(TrainedCodeWrites(), 1u);
}

TEST_F(Kelvane, PowerOnCodeNeedsAReceiverInUse) {
  Start("at 0 plug rx version=1.0\n");
  const char* listing = "IR Code received:\r\nVEXA_NEC_PROTOCOL\r\nAdress: 0x00FF\r\nCommand: 0x0046\r\nFlags: 0x00\r\n";
  SetTextMessage(Memo(), listing);
  std::string text;
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(1), "u"));  // no worker yet
  EXPECT_EQ(MessageBoxShown(text, 700), nullptr) << text;

  OpenDevice();
  ASSERT_TRUE(Connected("1.0"));
  ClickReal(Button("Close Device"));
  ASSERT_TRUE(LabelShows("Device: disconnected"));
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(1), "u"));  // closed again
  EXPECT_EQ(MessageBoxShown(text, 700), nullptr) << text;
  EXPECT_EQ(TrainedCodeWrites(), 0u);
}

TEST_F(Kelvane, ReceiverGoneWhileAskingWritesNothing) {
  Start("at 0 plug rx version=1.0\nat 2000 frame rx 2 0x00FF 0x0046 0\nat 5000 unplug rx\nat 9000 plug rx version=1.0\n");
  OpenDevice();
  ASSERT_TRUE(Connected("1.0"));
  ASSERT_TRUE(WaitUntil([&] { return Log().size() == 6; }, 10000)) << WindowText(Memo());
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(1), "u"));
  std::string text;
  HWND box = MessageBoxShown(text);
  ASSERT_NE(box, nullptr) << "no confirmation";
  ASSERT_TRUE(LabelShows("Device: disconnected", 10000));
  Answer(box, "&Yes");
  HWND warning = DialogWithButton("OK");
  ASSERT_NE(warning, nullptr) << "the user is not told";
  MessageBoxShown(text);
  EXPECT_NE(text.find("no longer in use"), std::string::npos) << text;
  Answer(warning, "OK");
  ASSERT_TRUE(Connected("1.0"));  // the receiver back: nothing waited for it
  Sleep(500);
  EXPECT_EQ(TrainedCodeWrites(), 0u);
}

TEST_F(Kelvane, SaveLogAsWritesTheLogWholeOrNotAtAll) {
  Start("at 0 plug rx\n");
  const std::string log = "IR Code received:\r\nVEXA_NEC_PROTOCOL\r\nAdress: 0x00FF\r\n\r\n100\xB5s, typed by hand";
  SetTextMessage(Memo(), log);
  ASSERT_EQ(WindowText(Memo()), log);
  const std::string target = TempPath("saved log.txt");
  SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(target.c_str());

  std::string proposed;
  SaveLogAs(target, &proposed);
  SYSTEMTIME today;
  GetLocalTime(&today);
  char name[64];
  std::snprintf(name, sizeof name, "Kelvane log %04d-%02d-%02d.txt", today.wYear, today.wMonth, today.wDay);
  EXPECT_EQ(proposed, name);
  ASSERT_TRUE(WaitUntil([&] { return FileContents(target) == log; })) << FileContents(target);

  // A read-only file: the user is told and the file keeps what it had.
  std::ofstream(target, std::ios::binary) << "old log\r\n";
  ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
  SaveLogAs(target);
  HWND replace = DialogWithButton("&Yes");  // the dialog asks before it lets a file be replaced
  ASSERT_NE(replace, nullptr);
  Answer(replace, "&Yes");
  std::string text;
  HWND error = DialogWithButton("OK");
  ASSERT_NE(error, nullptr) << "no error shown";
  MessageBoxShown(text);
  EXPECT_NE(text.find("could not be saved"), std::string::npos) << text;
  Answer(error, "OK");
  EXPECT_EQ(FileContents(target), "old log\r\n");
  const std::string folder = target.substr(0, target.find_last_of('\\') + 1);
  WIN32_FIND_DATAA found;
  HANDLE leftover = FindFirstFileA((folder + "klv*.tmp").c_str(), &found);
  EXPECT_EQ(leftover, INVALID_HANDLE_VALUE) << "left behind: " << found.cFileName;
  if (leftover != INVALID_HANDLE_VALUE) FindClose(leftover);

  SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(target.c_str());
}

TEST_F(Kelvane, KeyboardOpensTheMenuForTheCodeAtTheCaret) {
  Start("at 0 plug rx version=1.0\n");
  OpenDevice();
  ASSERT_TRUE(Connected("1.0"));
  SetTextMessage(Memo(), "PowerOn is Enabled\r\n\r\nTrained IR Code:\r\nVEXA_RC5_PROTOCOL\r\nAdress: 0x0001\r\n"
                         "Command: 0x000C\r\nFlags: 0x00\r\n\r\n");
  for (const char* keys : {"shift+F10", "Menu"}) {
    ClickAt(OnLogLine(5), 1);  // the caret on the listing's command line
    PressKeys(keys);
    ASSERT_TRUE(ChooseFromMenu("u")) << keys << " opened no menu";
    std::string text;
    HWND box = MessageBoxShown(text);
    ASSERT_NE(box, nullptr) << keys;
    EXPECT_NE(text.find("VEXA_RC5_PROTOCOL"), std::string::npos) << text;
    EXPECT_NE(text.find("0x000C"), std::string::npos) << text;
    Answer(box, "&No");
  }
  // The caret on a line outside any listing.
  ClickAt(OnLogLine(0), 1);
  PressKeys("shift+F10");
  ASSERT_TRUE(ChooseFromMenu("u"));
  std::string text;
  EXPECT_EQ(MessageBoxShown(text, 700), nullptr) << text;
  EXPECT_EQ(TrainedCodeWrites(), 0u);
}

TEST_F(Kelvane, LogMenuSelectsCopiesAndClears) {
  Start("at 0 plug rx\n");
  const std::string log = "IR Code received:\r\nVEXA_NEC_PROTOCOL\r\n\r\nnote\r\n";
  SetTextMessage(Memo(), log);
  const LRESULT all = MAKELRESULT(0, log.size());

  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(1), "a"));
  EXPECT_TRUE(WaitUntil([&] { return SendMessageA(Memo(), EM_GETSEL, 0, 0) == all; }));

  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  CloseClipboard();
  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(1), "c"));
  std::string copied;
  EXPECT_TRUE(WaitUntil([&] {
    if (!OpenClipboard(nullptr)) return false;
    if (HANDLE h = GetClipboardData(CF_TEXT)) {
      if (const char* p = static_cast<const char*>(GlobalLock(h))) copied = p;
      GlobalUnlock(h);
    }
    CloseClipboard();
    return copied == log;
  })) << copied;

  ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(1), "l"));
  EXPECT_TRUE(WaitUntil([&] { return WindowText(Memo()).empty(); }));
  // Cleared as an edit: the control's undo brings the log back.
  ClickReal(Memo());
  PressKeys("ctrl+z");
  EXPECT_TRUE(WaitUntil([&] { return WindowText(Memo()) == log; })) << WindowText(Memo());
}

// The menu takes the keyboard focus to the log, as the standard edit menu does: Ctrl+Z right after
// "Clear Log" undoes the clear, wherever the focus was before, and leaves the other fields alone.
TEST_F(Kelvane, ClearLogIsUndoneWhereverTheFocusWas) {
  Start("at 0 plug rx\n");
  const std::string log = "IR Code received:\r\nVEXA_NEC_PROTOCOL\r\n\r\nnote\r\n";
  HWND delay = EditWithText("50");
  ASSERT_NE(delay, nullptr);
  const struct {
    const char* name;
    std::function<void()> focus;
    const char* keys;  // how the menu opens: empty for the right click
  } cases[] = {
      {"a button, right click", [&] { ClickReal(Button("Read Vexa Version")); }, ""},
      {"an edit field, right click", [&] { TypeText(delay, "75"); }, ""},
      {"the log, menu key", [&] { TypeText(delay, "60"); ClickAt(OnLogLine(0), 1); }, "Menu"},
      {"the log, shift+F10", [&] { TypeText(delay, "65"); ClickAt(OnLogLine(0), 1); }, "shift+F10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetTextMessage(Memo(), log);
    c.focus();
    const std::string field = WindowText(delay);
    if (*c.keys) {
      PressKeys(c.keys);
      ASSERT_TRUE(ChooseFromMenu("l"));
    } else {
      ASSERT_TRUE(ChooseFromMenuAt(OnLogLine(1), "l"));
    }
    ASSERT_TRUE(WaitUntil([&] { return WindowText(Memo()).empty(); }));
    EXPECT_TRUE(WaitUntil([&] { return HasKeyboardFocus(Memo()); }));
    PressKeys("ctrl+z");
    EXPECT_TRUE(WaitUntil([&] { return WindowText(Memo()) == log; })) << WindowText(Memo());
    EXPECT_EQ(WindowText(delay), field);
  }
}

}  // namespace
