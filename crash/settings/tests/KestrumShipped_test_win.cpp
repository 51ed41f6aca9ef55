// The settings compiled into Kelvane.exe, read back out of the built program and compared key by
// key, value by value and in order with the table the program is meant to ship.
#include <windows.h>

#include <gtest/gtest.h>

#include "crash/settings/KestrumResource.h"
#include "testing/Paths_win.h"

#include <algorithm>
#include <string>
#include <vector>

namespace kestrum {
namespace {

using testsupport::BesideThisProgram;

ParsedProperty B(const char* n, bool v) { return {n, ptBoolean, v, 0, ""}; }
ParsedProperty I(const char* n, std::int32_t v) { return {n, ptInteger, false, v, ""}; }
ParsedProperty S(const char* n, const char* v) { return {n, ptString, false, 0, v}; }

const std::vector<ParsedProperty>& Shipped() {
  static const std::vector<ParsedProperty> table = {
      B("Enabled", true),
      B("NoSettings", false),
      B("CheckFileCrc", true),
      B("CheckFreeze", false),
      I("FreezeTimeout", 60000),
      B("AutoSave", true),
      B("AutoSaveIfNotSent", true),
      B("AutoSend", false),
      B("AutoSendBox", false),
      B("AutoClip", false),
      B("PauseThreads", false),
      B("PlWaitBox", true),
      B("AutoContinue", false),
      I("AutoRestart", 0),
      I("AutoClose", 0),
      B("SendBtnVis", true),
      B("SaveBtnVis", false),
      B("PrintBtnVis", false),
      B("ShowBtnVis", true),
      B("ContinueBtnVis", true),
      B("RestartBtnVis", true),
      B("CloseBtnVis", true),
      I("FocusedBtn", 0),
      S("SendAssis", "SendAssistant"),
      S("SaveAssis", "SaveAssistant"),
      S("PrintAssis", "PrintAssistant"),
      B("AutoShowBugRep", false),
      B("UglyBtns", false),
      S("MailAddr", ""),
      B("SendInBackgr", true),
      B("MailAsSmtpServer", false),
      B("MailAsSmtpClient", false),
      B("UploadViaHttp", false),
      B("MailViaMapi", true),
      B("MailViaMailto", true),
      S("SmtpServer", ""),
      I("SmtpPort", 25),
      S("SmtpAccount", ""),
      S("SmtpPassword", ""),
      S("HttpServer", ""),
      I("HttpPort", 80),
      S("HttpAccount", ""),
      S("HttpPassword", ""),
      B("AttachBugRep", true),
      B("AttachBugRepFile", true),
      B("DelBugRepFile", true),
      S("BugRepSendAs", "bugreport.txt"),
      S("BugRepZip", ""),
      I("MiniDump", 1),
      S("MiniDumpSendAs", "crash.dmp"),
      I("ScrShotDepth", 8),
      B("ScrShotAppOnly", false),
      S("ScrShotSendAs", "screenshot.png"),
      S("ScrShotZip", ""),
      S("AddAttachs", ""),
      S("BugRepFile", "bugreport.txt"),
      B("AppendBugReps", true),
      I("BugRepFileSize", 100000),
      B("NoDupExcepts", true),
      B("NoDupFreezes", true),
      I("DupExceptDef", 1),
      I("DupFreezeDef", 2),
      B("ListThreads", true),
      B("CpuRegs", true),
      B("StackDump", true),
      B("ShowDisAsm", true),
      B("HideUglyItems", false),
      B("ShowRelAddrs", true),
      B("ShowRelLines", true),
      B("FormatDisAsm", false),
      I("LimitDisAsm", 5),
      S("Plugins", "modules|processes|hardware"),
      S("F1Classes", "EDBEditError"),
      B("F1NoBugRep", true),
      B("F1NoScrShot", true),
      B("F1NoHandlers", true),
      B("F1NoSuspend", true),
      I("F1ShowCfg", 3),
      S("F1Assis", ""),
      S("F2Classes", ""),
      B("F2NoBugRep", false),
      B("F2NoScrShot", false),
      B("F2NoHandlers", false),
      B("F2NoSuspend", false),
      I("F2ShowCfg", 0),
      S("F2Assis", ""),
      B("GnNoBugRep", false),
      B("GnNoScrShot", false),
      B("GnNoHandlers", false),
      B("GnNoSuspend", false),
      I("GnShowCfg", 0),
      S("GnAssis", ""),
      S("TitleBar", "%appname%"),
      S("ExceptMsg", "An error occurred in the application."),
      S("FrozenMsg", "The application seems to be frozen."),
      S("BitFaultMsg", "The file \"%modname%\" seems to be corrupt!"),
      S("SendBtnTxt", "send bug report"),
      S("SaveBtnTxt", "save bug report"),
      S("PrintBtnTxt", "print bug report"),
      S("ShowBtnTxt", "show bug report"),
      S("ContinueBtnTxt", "continue application"),
      S("RestartBtnTxt", "restart application"),
      S("CloseBtnTxt", "close application"),
      S("OkBtnTxt", "&OK"),
      S("DetailsBtnTxt", "&Details"),
      S("PlWaitTitle", "Information"),
      S("PlWaitText", "Please wait a moment..."),
      S("MailSubj", "bug report"),
      S("MailBody", "please find the bug report attached"),
      S("SendBoxTitle", "Sending bug report..."),
      S("PrepAttMsg", "Preparing attachments..."),
      S("MxLookMsg", "Searching for mail server..."),
      S("ConnMsg", "Connecting to server..."),
      S("AuthMsg", "Authentication..."),
      S("SendMailMsg", "Sending mail..."),
      S("FieldMsg", "Setting fields..."),
      S("SendAttMsg", "Sending attachments..."),
      S("SendFinalMsg", "Finalizing..."),
      S("SendFailMsg", "Sorry, sending the bug report didn't work."),
      B("OutboxRetry", true),
      I("OutboxMaxReports", 20),
      I("OutboxMaxKB", 20480),
      I("OutboxMaxDays", 30),
      B("RedactPersonal", false),
      S("AnswerNewMsg", "Thank you: this problem is new to us."),
      S("AnswerKnownMsg", "This problem is already known."),
      S("AnswerFixedMsg", "This problem is fixed in version %version%."),
      S("Assistant1", "SendAssistant|Send Assistant|ContactForm|DetailsForm|ScrShotForm"),
      S("Assistant2", "SaveAssistant|Save Assistant|ContactForm|DetailsForm"),
      S("Assistant3", "PrintAssistant|Print Assistant|ContactForm|DetailsForm"),
  };
  return table;
}

TEST(ShippedSettings, KelvaneCarriesExactlyTheShippedKeysAndValues) {
  HMODULE exe = LoadLibraryExA(BesideThisProgram("Kelvane.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr) << "Kelvane.exe could not be mapped";
  HRSRC info = FindResourceA(exe, "TKESTRUM", MAKEINTRESOURCEA(10));
  ASSERT_NE(info, nullptr) << "no RT_RCDATA resource TKESTRUM";
  const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(exe, info)));
  const ParsedResource r = ParseSettingsResource(data, SizeofResource(exe, info));
  FreeLibrary(exe);

  ASSERT_TRUE(r.prefixOk);
  EXPECT_FALSE(r.truncated);
  EXPECT_EQ(r.invalidType, -1);
  const std::vector<ParsedProperty>& expected = Shipped();
  for (std::size_t i = 0; i < std::max(expected.size(), r.props.size()); ++i) {
    const std::string want = i < expected.size() ? expected[i].name : "(nothing)";
    const std::string got = i < r.props.size() ? r.props[i].name : "(nothing)";
    ASSERT_EQ(got, want) << "key " << i;
    EXPECT_EQ(r.props[i], expected[i]) << want;
  }
  for (const char* absent : {"AutoDelay", "MailFrom", "AddFields", "VersionVar", "MinDebugInfo", "Assistant4"}) {
    for (const ParsedProperty& p : r.props) EXPECT_NE(p.name, absent);
  }
}

}  // namespace
}  // namespace kestrum
