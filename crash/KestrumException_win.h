// One exception being handled: its facts, its phase, a private view of the settings (changes made
// through it stay with this exception), the report text and the actions a box or a handler may
// take on it. Everything that reads settings for an exception reads them through this object.
// Only the crash flow makes and holds it; everyone else sees crash/KestrumExceptionApi_win.h.
#pragma once

#include <windows.h>

#include "crash/KestrumDeliveryHooks_win.h"
#include "crash/KestrumExceptText.h"
#include "crash/KestrumExceptTypes.h"
#include "crash/KestrumExceptionApi_win.h"
#include "crash/KestrumFlow.h"
#include "crash/KestrumPleaseWait_win.h"
#include "crash/settings/KestrumSettings_win.h"
#include "platform/Handles_win.h"
#include "report/KestrumBugReport_win.h"
#include "report/KestrumFields_win.h"

#include <atomic>
#include <exception>
#include <string>
#include <vector>

class TObject;

namespace kestrum {

// Everything the exception object is created from (the completed request of the entry).
struct ExceptionFacts {
  TExceptType type = etNormal;
  std::exception_ptr object;
  const void* address = nullptr;
  bool canContinue = true;
  DWORD crashedThreadId = 0;
  DWORD stackPointer = 0, framePointer = 0;
  const CONTEXT* context = nullptr;  // copied
  TExceptSource source = esManual;
  TObject* relatedObject = nullptr;
  HMODULE package = nullptr;
  const void* preparedStack = nullptr;
  // The stack as copied when it was thrown (the thread's own buffer, kept while it waits).
  const std::uint8_t* stackCopy = nullptr;
  std::size_t stackCopySize = 0;
  DWORD stackCopyBegin = 0;
};

// A report of the current state without an exception (KorbTraceProcess): type etFrozen, source
// esManual. It gets no exception number and goes through no phase of the handling.
inline bool IsStateReport(const ExceptionFacts& facts) { return facts.type == etFrozen && facts.source == esManual; }

}  // namespace kestrum

#define KESTRUM_FORWARD_GET(type, name, key) \
  type STDMETHODCALLTYPE name() override { return TIZQSettings::name(); }
#define KESTRUM_FORWARD_SET(type, name, key) \
  void STDMETHODCALLTYPE name(kestrum::SettingParam<type> value) override { TIZQSettings::name(value); }
#define KESTRUM_FORWARD_SPECIAL(type, name, key)
#define KESTRUM_FORWARD(kind, type, name, key) KESTRUM_FORWARD_##kind(type, name, key)

// Global name: handlers and reports see the class name at run time.
class TIZQException : public kestrum::TIZQSettings, public kestrum::IZQException, public kestrum::IZQExceptionEx {
 public:
  // settings: the module settings the exception is handled with (a reference is taken).
  TIZQException(kestrum::IZQModuleSettings* settings, const kestrum::ExceptionFacts& facts);

  // IUnknown, once for every interface of the object.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return TIZQSettings::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return TIZQSettings::Release(); }

  // IZQSettings through IZQException: the same private view as through the settings interfaces.
  using TZQButton = kestrum::TZQButton;
  using TZQDupDef = kestrum::TZQDupDef;
  using TZQShowSetting = kestrum::TZQShowSetting;
  KESTRUM_IZQSETTINGS_SLOTS(KESTRUM_FORWARD)
  HMODULE STDMETHODCALLTYPE Module() override { return TIZQSettings::Module(); }
  std::vector<std::pair<std::string, std::string>> STDMETHODCALLTYPE GetAdditionalFields() override {
    return TIZQSettings::GetAdditionalFields();
  }
  IZQAttachments* STDMETHODCALLTYPE GetAdditionalAttachments() override { return TIZQSettings::GetAdditionalAttachments(); }
  bool STDMETHODCALLTYPE GetPluginEnabled(const std::string& plugin) override { return TIZQSettings::GetPluginEnabled(plugin); }
  void STDMETHODCALLTYPE SetPluginEnabled(const std::string& plugin, bool value) override { TIZQSettings::SetPluginEnabled(plugin, value); }
  std::string STDMETHODCALLTYPE VersionVar() override { return TIZQSettings::VersionVar(); }
  bool STDMETHODCALLTYPE GetAssistant(const std::string& name, kestrum::AssistantDefinition& out) override {
    return TIZQSettings::GetAssistant(name, out);
  }

  // The private list first; writes always land there.
  kestrum::TZQProperty* FindProp(const char* name, bool allowDefault, bool write, kestrum::TPropertyType createTyp) override;

  // IZQException
  kestrum::TExceptPhase STDMETHODCALLTYPE GetPhase() override { return FPhase; }
  bool STDMETHODCALLTYPE GetCanContinue() override { return FCanContinue; }
  void STDMETHODCALLTYPE SetCanContinue(bool value) override;
  kestrum::TExceptType STDMETHODCALLTYPE GetExceptType() override { return FExceptType; }
  std::exception_ptr STDMETHODCALLTYPE GetExceptObject() override { return FExceptObject; }
  std::string STDMETHODCALLTYPE GetExceptClass() override;
  std::string STDMETHODCALLTYPE GetExceptMessage() override;
  const void* STDMETHODCALLTYPE GetExceptAddr() override { return FExceptAddr; }
  DWORD STDMETHODCALLTYPE GetCrashedThreadId() override { return FCrashedThreadId; }
  DWORD STDMETHODCALLTYPE GetCallstackCrc(int index) override;
  const CONTEXT* STDMETHODCALLTYPE GetContext() override { return FPContext; }
  kestrum::TExceptSource STDMETHODCALLTYPE GetSource() override { return FSource; }
  TObject* STDMETHODCALLTYPE GetRelatedObject() override { return FRelatedObject; }
  HMODULE STDMETHODCALLTYPE GetPackage() override { return FPackage; }
  std::string STDMETHODCALLTYPE GetBugReport() override { return GetBugReport(true); }
  void STDMETHODCALLTYPE SetBugReport(const std::string& value) override;
  std::string STDMETHODCALLTYPE GetBugReport(bool mustBeComplete) override;
  IUnknown* STDMETHODCALLTYPE GetScreenShot() override;
  void STDMETHODCALLTYPE SetScreenShot(IUnknown* value) override;
  void STDMETHODCALLTYPE BeginUpdate() override;
  void STDMETHODCALLTYPE EndUpdate() override;
  void STDMETHODCALLTYPE RegisterBugReportCallback(kestrum::TBugReportCallback callback, bool critical) override;
  void STDMETHODCALLTYPE UnregisterBugReportCallback(kestrum::TBugReportCallback callback) override;
  bool STDMETHODCALLTYPE GetCreateBugReport() override { return FCreateBugReport; }
  void STDMETHODCALLTYPE SetCreateBugReport(bool value) override { FCreateBugReport = value; }
  bool STDMETHODCALLTYPE GetCreateScreenShot() override { return FCreateScreenShot; }
  void STDMETHODCALLTYPE SetCreateScreenShot(bool value) override { FCreateScreenShot = value; }
  bool STDMETHODCALLTYPE GetCallHandlers() override { return FCallHandlers; }
  void STDMETHODCALLTYPE SetCallHandlers(bool value) override { FCallHandlers = value; }
  bool STDMETHODCALLTYPE GetAppendScreenShot() override { return FAppendScreenShot; }
  void STDMETHODCALLTYPE SetAppendScreenShot(bool value) override { FAppendScreenShot = value; }
  kestrum::TZQShowSetting STDMETHODCALLTYPE GetShowSetting() override { return FShowSetting; }
  void STDMETHODCALLTYPE SetShowSetting(kestrum::TZQShowSetting value) override { FShowSetting = value; }
  std::string STDMETHODCALLTYPE GetShowAssistant() override { return FShowAssis; }
  void STDMETHODCALLTYPE SetShowAssistant(const std::string& value) override { FShowAssis = value; }
  void STDMETHODCALLTYPE Show() override;
  void STDMETHODCALLTYPE ShowBugReport(HWND parentWindow) override;
  void STDMETHODCALLTYPE SendBugReport(HWND parentWindow) override;
  void STDMETHODCALLTYPE SaveBugReport(HWND parentWindow) override;
  void STDMETHODCALLTYPE PrintBugReport(HWND parentWindow) override;
  void STDMETHODCALLTYPE ContinueApplication(HWND parentWindow) override;
  void STDMETHODCALLTYPE RestartApplication(HWND parentWindow) override;
  void STDMETHODCALLTYPE CloseApplication(HWND parentWindow) override;

  // IZQExceptionEx
  bool STDMETHODCALLTYPE CriticalBugReportCallbackExists() override;
  DWORD STDMETHODCALLTYPE GetCompleteThreadId() override { return FCompleteTid; }
  void STDMETHODCALLTYPE SetPhase(kestrum::TExceptPhase value) override;
  bool STDMETHODCALLTYPE GetMailWasSent() override { return FMailWasSent; }
  void STDMETHODCALLTYPE SetMailWasSent(bool value) override { FMailWasSent = value; }
  bool STDMETHODCALLTYPE GetMailWasSaved() override { return FMailWasSaved; }
  void STDMETHODCALLTYPE SetMailWasSaved(bool value) override { FMailWasSaved = value; }
  bool STDMETHODCALLTYPE FirstCompleteCallback() override { return FFirstCompleteCallback(); }
  bool STDMETHODCALLTYPE FirstAutoSave() override { return FFirstAutoSave(); }
  HANDLE* STDMETHODCALLTYPE PSendThread() override { return &FSendThread; }
  bool STDMETHODCALLTYPE WantsMiniDump() override { return FCreateBugReport && GetPropInt("MiniDump") > 0; }
  bool STDMETHODCALLTYPE WriteMiniDump(const std::string& path, std::string& error) override;
  void STDMETHODCALLTYPE SetHeaderField(const std::string& name, const std::string& content) override;
  void STDMETHODCALLTYPE SetSection(const std::string& name, const std::string& content) override;

  // Outside the interfaces.
  const SYSTEMTIME& Time() const { return FTime; }
  // The process-wide number of this exception, counted from 1.
  unsigned long long ExceptNumber() const { return FExceptNumber; }
  // The settings interface of this object (the private view).
  kestrum::IZQModuleSettings* Settings() { return static_cast<kestrum::IZQModuleSettings*>(static_cast<TIZQSettings*>(this)); }
  // The plain box's text: the message, broken into sentences (the frozen text for a freeze), and
  // its caption: TitleBar and the exception's class.
  std::string ShowText();
  std::string ShowCaption();
  // Finishes the automatic work of the flow: reads the complete report when something waits for
  // it, saves once, and with waiting also waits for a background send.
  void FinishAutoWork(bool wait);
  // Sends the complete report through the send seam; a previous sending thread's handle is closed.
  void StartSending(HWND parentWindow, bool background);
  // The report's header fields and sections, built on first use (the sections start the
  // completion). The object keeps its reference; the lists live as long as it does.
  report::IZQFields* GetBugReportHeader();
  report::IZQFields* GetBugReportSections();
  // Computes every section still pending (the completion thread's body; runs once).
  void CompleteBugReport();
  // While set, nothing is completed until the complete report is asked for.
  void SetDontCompleteYet(bool value) { FDontCompleteYet = value; }
  // Completes on a thread of its own also when the report is asked for elsewhere than on the
  // reporting thread (tests that stop a completion halfway).
  void SetCompleteOnOwnThread(bool value) { FCompleteOnOwnThread = value; }
  bool BugReportComplete() const { return FComplete; }
  // What the automatic-work callback does on this call (only the first complete call acts).
  kestrum::AutoWorkStep AutoWorkStepFor(bool complete) {
    return kestrum::DecideAutoWork(complete, GetAutoSend(), GetAutoClipboard(), FFirstCompleteCallback);
  }

 protected:
  ~TIZQException() override;

 private:
  void SetModified();
  void FireCallbacks();
  void ApplyFilterGroup();
  kestrum::ExceptObjectTexts ObjectTexts(std::string& className, std::string& message) const;
  void CacheTexts();  // both texts at once, once
  // The lists tell the object about their changes through this.
  struct ListOwner final : report::FieldListOwner {
    explicit ListOwner(TIZQException* e) : exception(e) {}
    void BeginUpdate() override { exception->BeginUpdate(); }
    void EndUpdate() override { exception->EndUpdate(); }
    void Modified(const report::FieldList&) override { exception->ListsModified(); }
    TIZQException* exception;
  };
  void ListsModified();
  void BuildHeader();
  void BuildSections();
  kestrum::MiniDumpFacts MiniDumpFactsOf();
  void StartCompletion();
  void StoreSection(const std::string& name, const std::string& content);
  void FinishHeaderNow();  // the checksum and the debug-info fields in; complete
  report::TraceSettings TraceSettingsInUse();
  static DWORD WINAPI CompleteThreadProc(void* exception);
  // Completes here, under the please-wait window when the settings show one.
  void CompleteHereWithWindow();
  // Waits for the completion thread; with the please-wait window, in slices that keep it alive.
  void WaitForCompletion();
  // The assistant the settings name for an action, over parentWindow; false when it was cancelled.
  bool ConfirmThroughAssistant(const std::string& name, HWND parentWindow);
  kestrum::AssistantRun RunAssistantNamed(const std::string& name, HWND parentWindow);
  void ProducePluginSections();
  static DWORD WINAPI PluginThreadProc(void* exception);

  kestrum::IZQModuleSettings* FModuleSettings = nullptr;
  kestrum::TZQSettingsModule FSettingsBuf{};
  kestrum::TExceptPhase FPhase = kestrum::epNotHandledYet;
  bool FCanContinue = true;
  bool FCanContinue2 = true;
  kestrum::TExceptType FExceptType = kestrum::etNormal;
  std::exception_ptr FExceptObject;
  const void* FExceptAddr = nullptr;
  DWORD FCrashedThreadId = 0;
  DWORD FCallstackCrc[3] = {};
  DWORD FCurrentEsp = 0, FCurrentEbp = 0;
  CONTEXT FContext{};
  const CONTEXT* FPContext = nullptr;
  kestrum::TExceptSource FSource = kestrum::esManual;
  TObject* FRelatedObject = nullptr;
  HMODULE FPackage = nullptr;
  const void* FPreparedStack = nullptr;
  const std::uint8_t* FStackCopy = nullptr;
  std::size_t FStackCopySize = 0;
  DWORD FStackCopyBegin = 0;
  std::uint32_t FMiniDumpNumber = 0;  // 0: none made, FMiniDumpError says why
  std::string FMiniDumpError;
  std::string FBugReport;
  bool FComplete = false;
  // Taken on the reporting thread, read by a send on the completion thread: FShotSection guards
  // both and is never held while anything else is waited for.
  IUnknown* FScreenShot = nullptr;
  bool FScreenShotTried = false;  // taken once, or replaced: never taken again
  platform::CriticalSection FShotSection;
  LONG FUpdating = 0;
  bool FDirty = false;
  struct Callback {
    kestrum::TBugReportCallback fn;
    bool critical;
  };
  std::vector<Callback> FBugReportCallbacks;
  bool FCreateBugReport = true, FCreateScreenShot = false, FCallHandlers = true, FAppendScreenShot = false;
  kestrum::TZQShowSetting FShowSetting = kestrum::ssFullBox;
  std::string FShowAssis;
  platform::CriticalSection FSection;
  unsigned long long FCorrectBugReportNo = 0;
  DWORD FCompleteTid = 0;
  HANDLE FCompleteTh = nullptr;
  std::atomic<bool> FAbortCompleteThread{false};
  LONG FCompletionStarted = 0;
  bool FDontCompleteYet = false;
  bool FCompleteOnOwnThread = false;
  ListOwner FListOwner{this};
  TIZQFields* FBugReportHeader = nullptr;
  TIZQFields* FBugReportSections = nullptr;
  platform::CriticalSection FBuildSection;  // building the lists, never held while waiting
  std::vector<report::ThreadRecord> FThreadStacks;
  kestrum::PleaseWait FPleaseWait;
  std::vector<report::ReportPlugin> FSectionPlugins;
  // The plug-in sections' texts, made on a thread of their own while the completion thread traces;
  // only the completion thread stores them.
  HANDLE FPluginTh = nullptr;
  std::vector<std::string> FPluginTexts;
  std::vector<char> FPluginDone;
  bool FHasCpuRegisters = false, FHasStackDump = false, FHasDisAsm = false;
  LONG FPendingSections = 0;
  std::vector<std::string> FMinimalDebugInfo;
  report::Addr FDisAsmStart = 0, FDisAsmAddr = 0;
  bool FMailWasSent = false, FMailWasSaved = false;
  kestrum::FirstCall FFirstCompleteCallback, FFirstAutoSave;
  HANDLE FSendThread = nullptr;
  bool FHasExceptTexts = false;
  std::string FExceptClass, FExceptMessage;
  SYSTEMTIME FTime{};
  unsigned long long FExceptNumber = 0;
};
