// The assistant on the test display, run by a probe program of its own (AssistantProbe.exe) for
// an exception object, and worked with the real pointer and keyboard: the Continue rule on
// screen, the contact memory across processes, line breaks in the details, Cancel and Skip, the
// screenshot step with an edit saved by another program, and damaged form resources.
#include <windows.h>

#include <gtest/gtest.h>

#include "delivery/KestrumAssistant_win.h"
#include "testing/gui/GuiDriver_win.h"

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

using namespace gui;

// Items are windows with the id 100 + their index in the form.
constexpr int kContinue = 100, kSkip = 101, kCancel = 102;

struct Outcome {
  std::map<std::string, std::string> values;  // result, mailFrom, appendScreenShot, screenShot
  std::map<std::string, std::string> header, sections;
  std::string report;  // the composed report of an assistant that ended with OK
};

class AssistantProbe {
 public:
  explicit AssistantProbe(const std::string& assistant, const std::string& option = "")
      : result_(ExeDir() + "assistant-result-" + assistant + ".txt") {
    DeleteFileA(result_.c_str());
    DeleteFileA((result_ + ".report").c_str());
    DeleteFileA((result_ + ".temp").c_str());
    const std::string args = "\"" + result_ + "\" " + assistant + " " + option;
    program_ = std::make_unique<Program>(ExeDir() + "AssistantProbe.exe", args);
  }
  Program& program() { return *program_; }
  // The component's temporary folder of the probe, which it names beside its result at its start.
  std::string TempFolder() {
    std::string folder;
    EXPECT_TRUE(WaitUntil([&] {
      std::ifstream in(result_ + ".temp", std::ios::binary);
      return static_cast<bool>(std::getline(in, folder)) && !folder.empty();
    }));
    return folder;
  }

  // The next step's window: a new window with the assistant's caption.
  HWND NextStep(const std::string& caption, HWND previous = nullptr) {
    if (previous) {
      EXPECT_TRUE(WaitUntil([&] { return !IsWindow(previous); })) << "the previous step stays open";
    }
    return program_->waitWindow(caption);
  }

  Outcome Finish() {
    Outcome o;
    DWORD code = 1;
    EXPECT_TRUE(program_->waitExit(20000, &code));
    EXPECT_EQ(code, 0u);
    std::ifstream reportFile(result_ + ".report", std::ios::binary);
    std::stringstream text;
    text << reportFile.rdbuf();
    o.report = text.str();
    std::ifstream in(result_);
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
      if (key.rfind("header:", 0) == 0) o.header[key.substr(7)] = value;
      else if (key.rfind("section:", 0) == 0) o.sections[key.substr(8)] = value;
      else o.values[key] = value;
    }
    return o;
  }

 private:
  std::string result_;
  std::unique_ptr<Program> program_;
};

HWND Item(HWND form, int id) { return ControlById(form, id).hwnd; }
bool Enabled(HWND form, int id) { return ControlById(form, id).enabled; }

// The focus a step gave itself when it showed. Other programs of the test run may hold the
// foreground meanwhile; a click on a label brings the step back without moving its focus, and
// the step then restores the focus it had.
HWND FirstFocusOf(HWND top, int labelId);

HWND FocusOf(HWND top) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &info) ? info.hwndFocus : nullptr;
}

HWND FirstFocusOf(HWND top, int labelId) {
  if (GetForegroundWindow() != top) ClickReal(Item(top, labelId));
  HWND focus = nullptr;
  WaitUntil([&] { return (focus = FocusOf(top)) != nullptr; });
  return focus;
}

void ForgetContact() { RegDeleteKeyA(HKEY_CURRENT_USER, delivery::kContactFormKey); }

COLORREF ScreenPixelAtCentre(HWND w) {
  RECT r;
  GetWindowRect(w, &r);
  HDC screen = GetDC(nullptr);
  const COLORREF c = GetPixel(screen, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
  ReleaseDC(nullptr, screen);
  return c;
}

TEST(AssistantForms, ContactAndDetailsGoIntoTheReport) {
  ForgetContact();
  AssistantProbe probe("SendAssistant");
  HWND contact = probe.NextStep("Send Assistant");
  ASSERT_NE(contact, nullptr);
  EXPECT_FALSE(Enabled(contact, kContinue)) << "no address yet";
  EXPECT_FALSE(Enabled(contact, kSkip)) << "the contact step cannot be skipped";
  EXPECT_TRUE(Enabled(contact, kCancel));
  EXPECT_EQ(FirstFocusOf(contact, 103), Item(contact, 104)) << "the first field after the buttons has the focus";

  const HWND email = Item(contact, 106);
  for (const char* wrong : {"ann@example", "ann@@example.com", "ann@.example.com"}) {
    TypeText(email, wrong);
    EXPECT_TRUE(WaitUntil([&] { return WindowText(email) == wrong; }));
    EXPECT_FALSE(Enabled(contact, kContinue)) << wrong;
  }
  TypeText(email, "ann+kelvane@example.com");
  EXPECT_TRUE(WaitUntil([&] { return Enabled(contact, kContinue); })) << "a valid address enables Continue";
  TypeText(Item(contact, 104), "Ann Smith");
  ClickReal(Item(contact, kContinue));

  HWND details = probe.NextStep("Send Assistant", contact);
  ASSERT_NE(details, nullptr);
  EXPECT_FALSE(Enabled(details, kContinue)) << "the details are required";
  EXPECT_TRUE(Enabled(details, kSkip));
  const HWND memo = Item(details, 104);
  TypeText(memo, "one");
  EXPECT_TRUE(WaitUntil([&] { return Enabled(details, kContinue); })) << "the first character enables Continue";
  PressKeys("Return t w o");
  EXPECT_TRUE(WaitUntil([&] { return TextLines(memo) == std::vector<std::string>{"one", "two"}; }))
      << "Enter makes a line break in the field: " << WindowText(memo);
  EXPECT_TRUE(IsWindow(details)) << "and does not end the step";
  ClickReal(Item(details, kContinue));

  const Outcome o = probe.Finish();
  EXPECT_EQ(o.values.at("result"), "1");
  EXPECT_EQ(o.values.at("mailFrom"), "Ann Smith <ann+kelvane@example.com>");
  EXPECT_EQ(o.header.at("contact name"), "Ann Smith");
  EXPECT_EQ(o.header.at("contact email"), "ann+kelvane@example.com");
  EXPECT_EQ(o.sections.at("error details"), "one\\r\\ntwo");
  EXPECT_EQ(o.header.count("error details"), 0u);
  // In the report's text: the fields among the header lines, the details as a section of its own.
  EXPECT_TRUE(std::regex_search(o.report, std::regex("\ncontact name *: Ann Smith\r\n"))) << o.report;
  EXPECT_TRUE(std::regex_search(o.report, std::regex("\ncontact email *: ann\\+kelvane@example\\.com\r\n"))) << o.report;
  EXPECT_NE(o.report.find("\r\n\r\nerror details:\r\none\r\ntwo"), std::string::npos) << o.report;
}

TEST(AssistantForms, RememberMePrefillsTheNextRunAndUncheckingForgets) {
  ForgetContact();
  {
    AssistantProbe probe("SendAssistant");
    HWND contact = probe.NextStep("Send Assistant");
    ASSERT_NE(contact, nullptr);
    TypeText(Item(contact, 104), "Bob");
    TypeText(Item(contact, 106), "bob@example.org");
    ClickReal(Item(contact, 107));
    ASSERT_TRUE(WaitUntil([&] { return Enabled(contact, kContinue); }));
    ClickReal(Item(contact, kContinue));
    HWND details = probe.NextStep("Send Assistant", contact);
    ASSERT_NE(details, nullptr);
    ClickReal(Item(details, kCancel));
    const Outcome o = probe.Finish();
    EXPECT_EQ(o.values.at("result"), "3") << "Cancel on any step stops the assistant";
    EXPECT_EQ(o.header.count("contact name"), 0u) << "a cancelled assistant puts nothing into the report";
  }
  const delivery::RememberedContact stored = delivery::ReadRememberedContact();
  EXPECT_EQ(stored.name, "Bob");
  EXPECT_EQ(stored.email, "bob@example.org");
  {
    AssistantProbe probe("SendAssistant");
    HWND contact = probe.NextStep("Send Assistant");
    ASSERT_NE(contact, nullptr);
    EXPECT_EQ(WindowText(Item(contact, 104)), "Bob");
    EXPECT_EQ(WindowText(Item(contact, 106)), "bob@example.org");
    EXPECT_TRUE(Enabled(contact, kContinue));
    EXPECT_EQ(FirstFocusOf(contact, 103), Item(contact, kContinue)) << "remembered data: Continue has the focus";
    ClickReal(Item(contact, 107));  // forget
    ClickReal(Item(contact, kContinue));
    HWND details = probe.NextStep("Send Assistant", contact);
    ASSERT_NE(details, nullptr);
    ClickReal(Item(details, kSkip));
    const Outcome o = probe.Finish();
    EXPECT_EQ(o.values.at("result"), "1") << "Skip is not Cancel";
    EXPECT_EQ(o.header.at("contact name"), "Bob");
    EXPECT_EQ(o.sections.count("error details"), 0u) << "a skipped step leaves the report unchanged";
  }
  const delivery::RememberedContact after = delivery::ReadRememberedContact();
  EXPECT_TRUE(after.name.empty() && after.email.empty()) << "unchecked: the values are deleted";
}

TEST(AssistantForms, NameWithoutAddressKeepsTheSender) {
  ForgetContact();
  AssistantProbe probe("LooseAssistant");
  HWND contact = probe.NextStep("Loose Assistant");
  ASSERT_NE(contact, nullptr);
  EXPECT_TRUE(Enabled(contact, kContinue)) << "both fields are optional here";
  TypeText(Item(contact, 103), "Carl");
  PressKeys("Return");
  EXPECT_TRUE(WaitUntil([&] { return FocusOf(contact) == Item(contact, 104); })) << "Enter in a one-line field moves on";
  PressKeys("Tab");
  EXPECT_TRUE(WaitUntil([&] { return FocusOf(contact) == Item(contact, 105); })) << "Tab: the next item";
  PressKeys("space");  // the drawn check box takes the keyboard as well
  PressKeys("shift+Tab");
  EXPECT_TRUE(WaitUntil([&] { return FocusOf(contact) == Item(contact, 104); })) << "Shift+Tab: the previous item";
  ClickReal(Item(contact, kContinue));
  const Outcome o = probe.Finish();
  EXPECT_EQ(o.values.at("result"), "1");
  EXPECT_EQ(o.header.at("contact name"), "Carl");
  EXPECT_EQ(o.header.count("contact email"), 0u);
  EXPECT_EQ(o.values.at("mailFrom"), "probe@kelvane.test");
  EXPECT_EQ(delivery::ReadRememberedContact().name, "Carl") << "Space checked \"remember me\"";
  ForgetContact();
}

TEST(AssistantForms, EscapeAndTheTitleBarCancel) {
  for (const bool escape : {true, false}) {
    SCOPED_TRACE(escape ? "Escape" : "title bar");
    AssistantProbe probe("SendAssistant");
    HWND contact = probe.NextStep("Send Assistant");
    ASSERT_NE(contact, nullptr);
    TypeText(Item(contact, 104), "Dora");
    if (escape) PressKeys("Escape");
    else PostMessageA(contact, WM_SYSCOMMAND, SC_CLOSE, 0);
    const Outcome o = probe.Finish();
    EXPECT_EQ(o.values.at("result"), "3");
    EXPECT_EQ(o.header.count("contact name"), 0u);
    EXPECT_EQ(o.values.at("mailFrom"), "probe@kelvane.test");
  }
}

TEST(AssistantForms, ScreenshotEditedElsewhereIsReloadedAndCanBeLeftOut) {
  AssistantProbe probe("ShotAssistant", "screenshot");
  // The edit file goes where the component keeps its temporary files, which it removes.
  const std::string editFile = probe.TempFolder() + "screenShot.bmp";
  HWND form = probe.NextStep("Shot Assistant");
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(FirstFocusOf(form, 105), Item(form, kContinue)) << "the form names Continue as its active control";
  const HWND image = Item(form, 104);
  ASSERT_NE(image, nullptr);
  EXPECT_TRUE(WaitUntil([&] { return ScreenPixelAtCentre(image) == RGB(255, 0, 0); })) << "the exception's screenshot is shown";

  ClickReal(image);
  ASSERT_TRUE(WaitUntil([&] { return GetFileAttributesA(editFile.c_str()) != INVALID_FILE_ATTRIBUTES; }))
      << "a click hands the picture to the editor as a file";
  // The other program saves its edit: a green picture of another size.
  TINVBitmap* green = TINVBitmap::Create(100, 80);
  ASSERT_NE(green, nullptr);
  HBRUSH brush = CreateSolidBrush(RGB(0, 255, 0));
  RECT all{0, 0, 100, 80};
  FillRect(green->Canvas(), &all, brush);
  DeleteObject(brush);
  GdiFlush();
  // The editor the click started may still have the file open for a moment, as it would for any
  // other program that saves there.
  EXPECT_TRUE(WaitUntil([&] { return green->SaveBmp(editFile); })) << "the edit could not be saved";
  green->Release();
  EXPECT_TRUE(WaitUntil([&] { return ScreenPixelAtCentre(image) == RGB(0, 255, 0); })) << "the saved edit is shown";

  ClickReal(Item(form, 103));  // attach: off
  ClickReal(Item(form, kContinue));
  const Outcome o = probe.Finish();
  EXPECT_EQ(o.values.at("result"), "1");
  EXPECT_EQ(o.values.at("appendScreenShot"), "0") << "unchecked: no screenshot is sent";
  EXPECT_EQ(o.values.at("screenShot"), "100x80 00ff00") << "the edit became the exception's screenshot";
  EXPECT_EQ(GetFileAttributesA(editFile.c_str()), INVALID_FILE_ATTRIBUTES) << "the edit file goes with the form";
}

TEST(AssistantForms, TheNextExceptionStartsWithTheLastAnswers) {
  ForgetContact();
  AssistantProbe probe("SendAssistant", "twice");
  HWND contact = probe.NextStep("Send Assistant");
  ASSERT_NE(contact, nullptr);
  TypeText(Item(contact, 104), "Eve");
  TypeText(Item(contact, 106), "eve@example.net");
  ASSERT_TRUE(WaitUntil([&] { return Enabled(contact, kContinue); }));
  ClickReal(Item(contact, kContinue));
  HWND details = probe.NextStep("Send Assistant", contact);
  ASSERT_NE(details, nullptr);
  TypeText(Item(details, 104), "again");
  ASSERT_TRUE(WaitUntil([&] { return Enabled(details, kContinue); }));
  ClickReal(Item(details, kContinue));

  // The second exception of the same process: nothing was remembered in the registry, so what
  // the fields hold comes from the form cache.
  contact = probe.NextStep("Send Assistant", details);
  ASSERT_NE(contact, nullptr);
  EXPECT_EQ(WindowText(Item(contact, 104)), "Eve");
  EXPECT_EQ(WindowText(Item(contact, 106)), "eve@example.net");
  EXPECT_EQ(FirstFocusOf(contact, 103), Item(contact, kContinue)) << "every field came from the cache";
  ClickReal(Item(contact, kContinue));
  details = probe.NextStep("Send Assistant", contact);
  ASSERT_NE(details, nullptr);
  EXPECT_EQ(WindowText(Item(details, 104)), "again");
  ClickReal(Item(details, kCancel));
  const Outcome o = probe.Finish();
  EXPECT_EQ(o.values.at("firstResult"), "1");
  EXPECT_EQ(o.values.at("result"), "3");
}

TEST(AssistantForms, DamagedAndOddFormResources) {
  {
    AssistantProbe probe("BrokenAssistant");
    const Outcome o = probe.Finish();
    EXPECT_EQ(o.values.at("result"), "0") << "a damaged form: no assistant, the caller shows the full box";
  }
  {
    AssistantProbe probe("OddAssistant");
    HWND box = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (box = DialogOf(probe.program().pid())) != nullptr; }, 10000));
    EXPECT_EQ(WindowText(box), "Kestrum");
    EXPECT_NE(FindControl(box, "Static", "Internal error: Invalid assistant resource ($5d).").hwnd, nullptr);
    PressKeys("Return");
    HWND form = probe.NextStep("Odd Assistant");
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(WindowText(Item(form, 103)), "kept") << "what was read before the unknown type stays";
    ClickReal(Item(form, kCancel));
    EXPECT_EQ(probe.Finish().values.at("result"), "3");
  }
}

}  // namespace
