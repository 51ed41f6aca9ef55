// The assistants as the exception handling shows them, in a program with the component installed
// as the product has it (AssistantCrash*.exe, one settings variant each): instead of the box, and
// before the box's send and save. Worked with the real pointer and keyboard on the test display.
#include <windows.h>

#include <gtest/gtest.h>

#include "crash/tests/BoxReading_win.h"
#include "testing/gui/GuiDriver_win.h"

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace gui;

constexpr DWORD kShown = 20000;
// Items are windows with the id 100 + their index in the form.
constexpr int kContinue = 100, kCancel = 102;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class AssistantCrash : public ::testing::Test {
 protected:
  void TearDown() override {
    app_.reset();
    DeleteFileA(result_.c_str());
    DeleteFileA(stored_.c_str());
  }

  // Starts the program and throws in its button handler.
  void Crash(const std::string& program) {
    result_ = ExeDir() + program + "-result.txt";
    stored_ = ExeDir() + program + ".txt";  // the variant's bug report file
    DeleteFileA(result_.c_str());
    DeleteFileA(stored_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Tarnwell\\ContactForm");
    app_ = std::make_unique<Program>(ExeDir() + program + ".exe", "", std::vector<std::string>{"KESTRUM_TEST_RESULT=" + result_});
    top_ = app_->waitWindow("Assistant Crash");
    ASSERT_NE(top_, nullptr);
    PostMessageA(FindControl(top_, "Button", "Run").hwnd, BM_CLICK, 0, 0);
  }
  HWND Box() {
    HWND box = nullptr;
    WaitUntil([&] { return (box = testsupport::ExceptionBoxOf(app_->pid())) != nullptr; }, kShown);
    return box;
  }
  HWND Step(const std::string& caption, HWND previous = nullptr) {
    if (previous) {
      EXPECT_TRUE(WaitUntil([&] { return !IsWindow(previous); })) << "the previous step stays open";
    }
    return app_->waitWindow(caption, kShown);
  }
  // The shipped contact step, filled in and confirmed.
  static void ConfirmContact(HWND contact) {
    TypeText(ControlById(contact, 104).hwnd, "Ann Smith");
    TypeText(ControlById(contact, 106).hwnd, "ann@example.com");
    ASSERT_TRUE(WaitUntil([&] { return ControlById(contact, kContinue).enabled; }));
    Click(contact, kContinue);
  }
  static void Click(HWND window, int id) {
    HWND item = ControlById(window, id).hwnd;
    ASSERT_NE(item, nullptr) << id;
    ClickReal(item);
  }
  void ClickBox(HWND box, const std::string& caption) {
    HWND button = FindControl(box, "Button", caption).hwnd;
    ASSERT_NE(button, nullptr) << caption;
    ClickReal(button);
  }
  std::vector<std::string> Sends() const {
    std::ifstream in(result_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("sent ", 0) == 0) lines.push_back(line);
    }
    return lines;
  }
  std::unique_ptr<Program> app_;
  HWND top_ = nullptr;
  std::string result_, stored_;
};

TEST_F(AssistantCrash, ShownInsteadOfTheBoxItsEntriesReachTheStoredReport) {
  Crash("AssistantCrashShow");
  HWND contact = Step("Save Assistant");
  ASSERT_NE(contact, nullptr) << "the assistant replaces the box";
  EXPECT_EQ(testsupport::ExceptionBoxOf(app_->pid()), nullptr);
  ASSERT_NO_FATAL_FAILURE(ConfirmContact(contact));

  HWND details = Step("Save Assistant", contact);
  ASSERT_NE(details, nullptr);
  TypeText(ControlById(details, 104).hwnd, "opened the log");
  PressKeys("Return t h e n");
  ASSERT_TRUE(WaitUntil([&] { return ControlById(details, kContinue).enabled; }));
  Click(details, kContinue);

  // The automatic save stores the report once the handling ends.
  std::string stored;
  ASSERT_TRUE(WaitUntil([&] { return (stored = FileText(stored_)).find("then") != std::string::npos; }, kShown))
      << "no stored report in " << stored_ << ": " << stored;
  EXPECT_TRUE(std::regex_search(stored, std::regex("\ncontact name *: Ann Smith\r\n"))) << stored;
  EXPECT_TRUE(std::regex_search(stored, std::regex("\ncontact email *: ann@example\\.com\r\n"))) << stored;
  EXPECT_NE(stored.find("\r\n\r\nerror details:\r\nopened the log\r\nthen"), std::string::npos) << "a section of its own: " << stored;
}

// Cancelling the assistant before an action cancels the action: no send, and no save dialog.
TEST_F(AssistantCrash, CancelStopsTheActionTheAssistantGuards) {
  struct Case {
    const char* button;
    const char* assistant;
  };
  for (const Case& c : {Case{"send bug report", "Send Assistant"}, Case{"save bug report", "Save Assistant"}}) {
    SCOPED_TRACE(c.button);
    Crash("AssistantCrashBox");
    HWND box = Box();
    ASSERT_NE(box, nullptr);
    ClickBox(box, c.button);
    HWND contact = Step(c.assistant);
    ASSERT_NE(contact, nullptr) << "the settings give the action an assistant";
    Click(contact, kCancel);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(contact); }));
    Sleep(1500);
    EXPECT_EQ(DialogOf(app_->pid()), nullptr) << "a save dialog came up after all";
    EXPECT_EQ(FindTopLevel(c.assistant, 0), nullptr) << "a later step came up after all";
    EXPECT_TRUE(Sends().empty()) << Sends().front();
    EXPECT_EQ(testsupport::ExceptionBoxOf(app_->pid()), box) << "the box stays for another choice";
    app_.reset();
  }
}

TEST_F(AssistantCrash, MailSenderChangesOnlyWithAnAddress) {
  struct Case {
    const char* name;
    const char* email;
    const char* from;  // what the send sees
  };
  for (const Case& c : {Case{"Ann Smith", "ann@example.com", "Ann Smith <ann@example.com>"}, Case{"Ann Smith", "", ""}}) {
    SCOPED_TRACE(c.email);
    Crash("AssistantCrashLoose");
    HWND box = Box();
    ASSERT_NE(box, nullptr);
    ClickBox(box, "send bug report");
    HWND contact = Step("Loose Assistant");
    ASSERT_NE(contact, nullptr);
    TypeText(ControlById(contact, 103).hwnd, c.name);
    if (*c.email) TypeText(ControlById(contact, 104).hwnd, c.email);
    ASSERT_TRUE(WaitUntil([&] { return ControlById(contact, kContinue).enabled; }));
    Click(contact, kContinue);
    ASSERT_TRUE(WaitUntil([&] { return !Sends().empty(); }, kShown)) << "the send follows the assistant";
    // The shipped settings name no sender.
    const std::string sent = std::string("sent from=") + c.from + " append=";
    EXPECT_EQ(Sends().front().substr(0, sent.size()), sent) << Sends().front();
    app_.reset();
  }
}

// What the screenshot step's box says goes along with the send; the send path takes the
// screenshot only when the exception's flag says so.
TEST_F(AssistantCrash, ScreenshotStepDecidesWhetherTheScreenshotGoesAlong) {
  constexpr int kAttachCheck = 103;
  for (const bool uncheck : {false, true}) {
    SCOPED_TRACE(uncheck ? "unchecked" : "left checked");
    Crash("AssistantCrashShot");
    HWND box = Box();
    ASSERT_NE(box, nullptr);
    ClickBox(box, "send bug report");
    HWND shot = Step("Shot Assistant");
    ASSERT_NE(shot, nullptr) << "an exception that takes a screenshot gets the screenshot step";
    if (uncheck) Click(shot, kAttachCheck);
    Click(shot, kContinue);
    ASSERT_TRUE(WaitUntil([&] { return !Sends().empty(); }, kShown));
    EXPECT_EQ(Sends().front().substr(Sends().front().find(" append=")), uncheck ? " append=0" : " append=1");
    app_.reset();
  }
}

// The user must hear of the exception even when the assistant to show cannot be built.
TEST_F(AssistantCrash, FullBoxStandsInForAnAssistantThatCannotBeShown) {
  for (const char* program : {"AssistantCrashMissing", "AssistantCrashBroken"}) {
    SCOPED_TRACE(program);
    Crash(program);
    HWND box = Box();
    ASSERT_NE(box, nullptr) << "no box";
    EXPECT_NE(FindControl(box, "Button", "send bug report").hwnd, nullptr) << "the full box, with its buttons";
    EXPECT_EQ(FindTopLevel("Broken Assistant", 0), nullptr);
    app_.reset();
  }
}

// A step confirmed before the Cancel is remembered for the next try: the contact form comes back
// filled, though "remember me" was left unchecked and nothing is in the registry.
TEST_F(AssistantCrash, StepsConfirmedBeforeACancelAreOfferedAgain) {
  Crash("AssistantCrashBox");
  HWND box = Box();
  ASSERT_NE(box, nullptr);
  ClickBox(box, "save bug report");
  HWND contact = Step("Save Assistant");
  ASSERT_NE(contact, nullptr);
  ASSERT_NO_FATAL_FAILURE(ConfirmContact(contact));
  HWND details = Step("Save Assistant", contact);
  ASSERT_NE(details, nullptr);
  Click(details, kCancel);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(details); }));

  ClickBox(box, "save bug report");
  HWND again = Step("Save Assistant");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(WindowText(ControlById(again, 104).hwnd), "Ann Smith");
  EXPECT_EQ(WindowText(ControlById(again, 106).hwnd), "ann@example.com");
  Click(again, kCancel);
}

}  // namespace
