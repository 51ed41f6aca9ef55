#include "crash/settings/KestrumDefaults.h"

#include <cstring>

namespace kestrum {

namespace {

// The records hold char* like a module's list; the texts here are never written through them.
constexpr char* K(const char* s) { return const_cast<char*>(s); }

// FreezeTimeout counts milliseconds: its fallback is a minute like the shipped value, not 60 ms,
// which would report every busy moment of the main thread as a freeze.
const TZQProperty kDefaults[] = {
    {K("Enabled"), ptBoolean, false, 0, nullptr},
    {K("NoSettings"), ptBoolean, true, 0, nullptr},
    {K("CheckFileCrc"), ptBoolean, true, 0, nullptr},
    {K("CheckFreeze"), ptBoolean, false, 0, nullptr},
    {K("FreezeTimeout"), ptInteger, false, 60000, nullptr},
    {K("AutoSave"), ptBoolean, true, 0, nullptr},
    {K("AutoSaveIfNotSent"), ptBoolean, true, 0, nullptr},
    {K("AutoSend"), ptBoolean, false, 0, nullptr},
    {K("AutoSendBox"), ptBoolean, false, 0, nullptr},
    {K("AutoClip"), ptBoolean, true, 0, nullptr},
    {K("PauseThreads"), ptBoolean, false, 0, nullptr},
    {K("PlWaitBox"), ptBoolean, true, 0, nullptr},
    {K("AutoContinue"), ptBoolean, false, 0, nullptr},
    {K("AutoRestart"), ptInteger, false, 0, nullptr},
    {K("AutoClose"), ptInteger, false, 0, nullptr},
    {K("AutoDelay"), ptInteger, false, 60, nullptr},
    {K("SendBtnVis"), ptBoolean, true, 0, nullptr},
    {K("SaveBtnVis"), ptBoolean, false, 0, nullptr},
    {K("PrintBtnVis"), ptBoolean, false, 0, nullptr},
    {K("ShowBtnVis"), ptBoolean, true, 0, nullptr},
    {K("ContinueBtnVis"), ptBoolean, true, 0, nullptr},
    {K("RestartBtnVis"), ptBoolean, true, 0, nullptr},
    {K("CloseBtnVis"), ptBoolean, true, 0, nullptr},
    {K("FocusedBtn"), ptInteger, false, 0, nullptr},
    {K("SendAssis"), ptString, false, 0, nullptr},
    {K("SaveAssis"), ptString, false, 0, nullptr},
    {K("PrintAssis"), ptString, false, 0, nullptr},
    {K("AutoShowBugRep"), ptBoolean, false, 0, nullptr},
    {K("UglyBtns"), ptBoolean, false, 0, nullptr},
    {K("MailAddr"), ptString, false, 0, nullptr},
    {K("SendInBackgr"), ptBoolean, true, 0, nullptr},
    {K("MailAsSmtpServer"), ptBoolean, false, 0, nullptr},
    {K("MailAsSmtpClient"), ptBoolean, false, 0, nullptr},
    {K("UploadViaHttp"), ptBoolean, false, 0, nullptr},
    {K("MailViaMapi"), ptBoolean, true, 0, nullptr},
    {K("MailViaMailto"), ptBoolean, true, 0, nullptr},
    {K("SmtpServer"), ptString, false, 0, nullptr},
    {K("SmtpPort"), ptInteger, false, 25, nullptr},
    {K("SmtpAccount"), ptString, false, 0, nullptr},
    {K("SmtpPassword"), ptString, false, 0, nullptr},
    {K("HttpServer"), ptString, false, 0, nullptr},
    {K("HttpPort"), ptInteger, false, 80, nullptr},
    {K("HttpAccount"), ptString, false, 0, nullptr},
    {K("HttpPassword"), ptString, false, 0, nullptr},
    {K("AttachBugRep"), ptBoolean, true, 0, nullptr},
    {K("AttachBugRepFile"), ptBoolean, true, 0, nullptr},
    {K("DelBugRepFile"), ptBoolean, true, 0, nullptr},
    {K("BugRepSendAs"), ptString, false, 0, K("bugreport.txt")},
    {K("BugRepZip"), ptString, false, 0, nullptr},
    {K("ScrShotDepth"), ptInteger, false, 0, nullptr},
    {K("ScrShotAppOnly"), ptBoolean, true, 0, nullptr},
    {K("ScrShotSendAs"), ptString, false, 0, K("screenshot.png")},
    {K("ScrShotZip"), ptString, false, 0, nullptr},
    {K("AddAttachs"), ptString, false, 0, nullptr},
    {K("MailFrom"), ptString, false, 0, nullptr},
    {K("AddFields"), ptString, false, 0, nullptr},
    {K("BugRepFile"), ptString, false, 0, K("bugreport.txt")},
    {K("AppendBugReps"), ptBoolean, true, 0, nullptr},
    {K("BugRepFileSize"), ptInteger, false, 100000, nullptr},
    {K("NoDupExcepts"), ptBoolean, true, 0, nullptr},
    {K("NoDupFreezes"), ptBoolean, true, 0, nullptr},
    {K("DupExceptDef"), ptInteger, false, 1, nullptr},
    {K("DupFreezeDef"), ptInteger, false, 2, nullptr},
    {K("ListThreads"), ptBoolean, true, 0, nullptr},
    {K("CpuRegs"), ptBoolean, true, 0, nullptr},
    {K("StackDump"), ptBoolean, true, 0, nullptr},
    {K("ShowDisAsm"), ptBoolean, true, 0, nullptr},
    {K("HideUglyItems"), ptBoolean, false, 0, nullptr},
    {K("ShowRelAddrs"), ptBoolean, true, 0, nullptr},
    {K("ShowRelLines"), ptBoolean, true, 0, nullptr},
    {K("FormatDisAsm"), ptBoolean, false, 0, nullptr},
    {K("LimitDisAsm"), ptInteger, false, 5, nullptr},
    {K("Plugins"), ptString, false, 0, K("modules|processes|hardware")},
    {K("F1Classes"), ptString, false, 0, nullptr},
    {K("F1NoBugRep"), ptBoolean, false, 0, nullptr},
    {K("F1NoScrShot"), ptBoolean, false, 0, nullptr},
    {K("F1NoHandlers"), ptBoolean, false, 0, nullptr},
    {K("F1NoSuspend"), ptBoolean, false, 0, nullptr},
    {K("F1ShowCfg"), ptInteger, false, 0, nullptr},
    {K("F1Assis"), ptString, false, 0, nullptr},
    {K("F2Classes"), ptString, false, 0, nullptr},
    {K("F2NoBugRep"), ptBoolean, false, 0, nullptr},
    {K("F2NoScrShot"), ptBoolean, false, 0, nullptr},
    {K("F2NoHandlers"), ptBoolean, false, 0, nullptr},
    {K("F2NoSuspend"), ptBoolean, false, 0, nullptr},
    {K("F2ShowCfg"), ptInteger, false, 0, nullptr},
    {K("F2Assis"), ptString, false, 0, nullptr},
    {K("GnNoBugRep"), ptBoolean, false, 0, nullptr},
    {K("GnNoScrShot"), ptBoolean, false, 0, nullptr},
    {K("GnNoHandlers"), ptBoolean, false, 0, nullptr},
    {K("GnNoSuspend"), ptBoolean, false, 0, nullptr},
    {K("GnShowCfg"), ptInteger, false, 0, nullptr},
    {K("GnAssis"), ptString, false, 0, nullptr},
    {K("TitleBar"), ptString, false, 0, K("%appname%")},
    {K("ExceptMsg"), ptString, false, 0, K("An error occurred in the application.")},
    {K("FrozenMsg"), ptString, false, 0, K("The application seems to be frozen.")},
    {K("BitFaultMsg"), ptString, false, 0, K("The file \"%modname%\" seems to be corrupt!")},
    {K("SendBtnTxt"), ptString, false, 0, K("send bug report")},
    {K("SaveBtnTxt"), ptString, false, 0, K("save bug report")},
    {K("PrintBtnTxt"), ptString, false, 0, K("print bug report")},
    {K("ShowBtnTxt"), ptString, false, 0, K("show bug report")},
    {K("ContinueBtnTxt"), ptString, false, 0, K("continue bug report")},
    {K("RestartBtnTxt"), ptString, false, 0, K("restart bug report")},
    {K("CloseBtnTxt"), ptString, false, 0, K("close bug report")},
    {K("OkBtnTxt"), ptString, false, 0, K("&OK")},
    {K("DetailsBtnTxt"), ptString, false, 0, K("&Details")},
    {K("PlWaitTitle"), ptString, false, 0, K("Information")},
    {K("PlWaitText"), ptString, false, 0, K("Please wait a moment...")},
    {K("MailSubj"), ptString, false, 0, K("bug report")},
    {K("MailBody"), ptString, false, 0, K("please find the bug report attached")},
    {K("SendBoxTitle"), ptString, false, 0, K("Sending bug report...")},
    {K("PrepAttMsg"), ptString, false, 0, K("Prepare attachments...")},
    {K("MxLookMsg"), ptString, false, 0, K("Searching for mail server...")},
    {K("ConnMsg"), ptString, false, 0, K("Connecting to server...")},
    {K("AuthMsg"), ptString, false, 0, K("Authentication...")},
    {K("SendMailMsg"), ptString, false, 0, K("Sending mail...")},
    {K("FieldMsg"), ptString, false, 0, K("Setting fields...")},
    {K("SendAttMsg"), ptString, false, 0, K("Sending attachments...")},
    {K("SendFinalMsg"), ptString, false, 0, K("Finalizing...")},
    {K("SendFailMsg"), ptString, false, 0, K("Sorry, sending the bug report didn't work.")},
    {K("VersionVar"), ptInteger, false, 0, nullptr},
    // Extensions behind the given table. MiniDump: 0 none, 1 threads, stacks, modules and the
    // exception, 2 also the program's writable data; off unless a program asks for it.
    {K("MiniDump"), ptInteger, false, 0, nullptr},
    {K("MiniDumpSendAs"), ptString, false, 0, K("crash.dmp")},
    // The outbox of failed deliveries, personal data kept out and the collector's answer.
    {K("OutboxRetry"), ptBoolean, false, 0, nullptr},
    {K("OutboxMaxReports"), ptInteger, false, 20, nullptr},
    {K("OutboxMaxKB"), ptInteger, false, 20480, nullptr},
    {K("OutboxMaxDays"), ptInteger, false, 30, nullptr},
    {K("RedactPersonal"), ptBoolean, false, 0, nullptr},
    {K("AnswerNewMsg"), ptString, false, 0, K("Thank you: this problem is new to us.")},
    {K("AnswerKnownMsg"), ptString, false, 0, K("This problem is already known.")},
    {K("AnswerFixedMsg"), ptString, false, 0, K("This problem is fixed in version %version%.")},
};

}  // namespace

const TZQProperty* DefaultsTable(std::size_t* count) {
  *count = sizeof kDefaults / sizeof kDefaults[0];
  return kDefaults;
}

const TZQProperty* FindDefault(const char* name) {
  if (!name) return nullptr;
  for (const TZQProperty& p : kDefaults) {
    if (std::strcmp(p.name, name) == 0) return &p;
  }
  return nullptr;
}

}  // namespace kestrum
