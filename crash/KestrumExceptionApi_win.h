// The exception object as everyone but its maker sees it: the interface of handlers, reports and
// the delivery (IZQException) and the component's own one (IZQExceptionEx), with their identities.
// The object itself (TIZQException) is crash/KestrumException_win.h, for the crash flow alone.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "crash/KestrumExceptTypes.h"
#include "crash/settings/KestrumSettings_win.h"

class TObject;

namespace kestrum {

extern const GUID IID_IZQException;    // {5EE7E49B-571F-4504-B9E6-1EEF6587C51F}
extern const GUID IID_IZQExceptionEx;  // {0BCABCF1-B70F-4952-B907-A129A9BD19FD}

// The exception object's own key of its report id: 32 hexadecimal digits of 128 random bits, made
// when the report is complete, read by every delivery of it.
inline constexpr char kReportIdKey[] = "ReportId";
// A new id of that form.
std::string NewReportId();

struct IZQException;
struct MiniDumpFacts;
// Called on every change of the report and once at registration, with the report as it stands.
using TBugReportCallback = void (*)(bool complete, const std::string& bugReport, IZQException* exception);

// The report header, its sections and the screenshot join this interface with the report itself.
struct IZQException : public IZQSettings {
  virtual TExceptPhase STDMETHODCALLTYPE GetPhase() = 0;
  virtual bool STDMETHODCALLTYPE GetCanContinue() = 0;
  virtual void STDMETHODCALLTYPE SetCanContinue(bool value) = 0;
  virtual TExceptType STDMETHODCALLTYPE GetExceptType() = 0;
  virtual std::exception_ptr STDMETHODCALLTYPE GetExceptObject() = 0;
  virtual std::string STDMETHODCALLTYPE GetExceptClass() = 0;
  virtual std::string STDMETHODCALLTYPE GetExceptMessage() = 0;
  virtual const void* STDMETHODCALLTYPE GetExceptAddr() = 0;
  virtual DWORD STDMETHODCALLTYPE GetCrashedThreadId() = 0;
  virtual DWORD STDMETHODCALLTYPE GetCallstackCrc(int index) = 0;
  virtual const CONTEXT* STDMETHODCALLTYPE GetContext() = 0;
  virtual TExceptSource STDMETHODCALLTYPE GetSource() = 0;
  virtual TObject* STDMETHODCALLTYPE GetRelatedObject() = 0;
  virtual HMODULE STDMETHODCALLTYPE GetPackage() = 0;
  virtual std::string STDMETHODCALLTYPE GetBugReport() = 0;  // the complete report
  virtual void STDMETHODCALLTYPE SetBugReport(const std::string& value) = 0;
  virtual std::string STDMETHODCALLTYPE GetBugReport(bool mustBeComplete) = 0;
  // A new reference to the screenshot, or null. The first call while CreateScreenShot is on takes
  // it; when nothing can be taken, CreateScreenShot goes off.
  virtual IUnknown* STDMETHODCALLTYPE GetScreenShot() = 0;
  // The object keeps its own reference to value (an edited picture); null drops the screenshot.
  virtual void STDMETHODCALLTYPE SetScreenShot(IUnknown* value) = 0;
  virtual void STDMETHODCALLTYPE BeginUpdate() = 0;
  virtual void STDMETHODCALLTYPE EndUpdate() = 0;
  virtual void STDMETHODCALLTYPE RegisterBugReportCallback(TBugReportCallback callback, bool critical) = 0;
  virtual void STDMETHODCALLTYPE UnregisterBugReportCallback(TBugReportCallback callback) = 0;
  virtual bool STDMETHODCALLTYPE GetCreateBugReport() = 0;
  virtual void STDMETHODCALLTYPE SetCreateBugReport(bool value) = 0;
  virtual bool STDMETHODCALLTYPE GetCreateScreenShot() = 0;
  virtual void STDMETHODCALLTYPE SetCreateScreenShot(bool value) = 0;
  virtual bool STDMETHODCALLTYPE GetCallHandlers() = 0;
  virtual void STDMETHODCALLTYPE SetCallHandlers(bool value) = 0;
  virtual bool STDMETHODCALLTYPE GetAppendScreenShot() = 0;
  virtual void STDMETHODCALLTYPE SetAppendScreenShot(bool value) = 0;
  virtual TZQShowSetting STDMETHODCALLTYPE GetShowSetting() = 0;
  virtual void STDMETHODCALLTYPE SetShowSetting(TZQShowSetting value) = 0;
  virtual std::string STDMETHODCALLTYPE GetShowAssistant() = 0;
  virtual void STDMETHODCALLTYPE SetShowAssistant(const std::string& value) = 0;
  virtual void STDMETHODCALLTYPE Show() = 0;
  virtual void STDMETHODCALLTYPE ShowBugReport(HWND parentWindow) = 0;
  virtual void STDMETHODCALLTYPE SendBugReport(HWND parentWindow) = 0;
  virtual void STDMETHODCALLTYPE SaveBugReport(HWND parentWindow) = 0;
  virtual void STDMETHODCALLTYPE PrintBugReport(HWND parentWindow) = 0;
  virtual void STDMETHODCALLTYPE ContinueApplication(HWND parentWindow) = 0;
  virtual void STDMETHODCALLTYPE RestartApplication(HWND parentWindow) = 0;
  virtual void STDMETHODCALLTYPE CloseApplication(HWND parentWindow) = 0;
};

// For the component's own parts: the flow, the box and the delivery above them.
struct IZQExceptionEx : public IUnknown {
  virtual bool STDMETHODCALLTYPE CriticalBugReportCallbackExists() = 0;
  virtual DWORD STDMETHODCALLTYPE GetCompleteThreadId() = 0;
  virtual void STDMETHODCALLTYPE SetPhase(TExceptPhase value) = 0;
  virtual bool STDMETHODCALLTYPE GetMailWasSent() = 0;
  virtual void STDMETHODCALLTYPE SetMailWasSent(bool value) = 0;
  virtual bool STDMETHODCALLTYPE GetMailWasSaved() = 0;
  virtual void STDMETHODCALLTYPE SetMailWasSaved(bool value) = 0;
  // True for exactly one call per exception, whichever thread makes it.
  virtual bool STDMETHODCALLTYPE FirstCompleteCallback() = 0;
  virtual bool STDMETHODCALLTYPE FirstAutoSave() = 0;
  virtual HANDLE* STDMETHODCALLTYPE PSendThread() = 0;
  // The minidump beside the report (setting MiniDump): whether one is made, and writing the one
  // made with this exception's report (false with the reason, which the report then shows).
  virtual bool STDMETHODCALLTYPE WantsMiniDump() = 0;
  virtual bool STDMETHODCALLTYPE WriteMiniDump(const std::string& path, std::string& error) = 0;
  // A field of the report header or a section of its own, replacing one of the same name (what
  // an assistant's forms put into the report).
  virtual void STDMETHODCALLTYPE SetHeaderField(const std::string& name, const std::string& content) = 0;
  virtual void STDMETHODCALLTYPE SetSection(const std::string& name, const std::string& content) = 0;
};

}  // namespace kestrum
