#include "crash/KestrumException_win.h"

#include "crash/KestrumComponent_win.h"
#include "crash/KestrumExceptBox_win.h"
#include "crash/KestrumInterception_win.h"
#include "crash/KestrumExceptText.h"
#include "crash/settings/KestrumPropList.h"
#include "crash/settings/KestrumRules.h"
#include "platform/Exceptions.h"
#include "report/KestrumReportText.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kestrum {

const GUID IID_IZQException = {0x5EE7E49B, 0x571F, 0x4504, {0xB9, 0xE6, 0x1E, 0xEF, 0x65, 0x87, 0xC5, 0x1F}};
const GUID IID_IZQExceptionEx = {0x0BCABCF1, 0xB70F, 0x4952, {0xB9, 0x07, 0xA1, 0x29, 0xA9, 0xBD, 0x19, 0xFD}};

namespace {

DeliverySeams g_seams{nullptr, nullptr, nullptr, CopyTextToClipboard};
// Guards the callback lists of every exception object.
platform::CriticalSection* g_handlerLock = nullptr;
LONG64 g_exceptNumber = 0;

platform::CriticalSection& HandlerLock() {
  // Made by the first exception object, which is created on the reporting thread (or on a thread
  // that handles its own request), never concurrently with the component's start.
  if (!g_handlerLock) g_handlerLock = new platform::CriticalSection;
  return *g_handlerLock;
}

}  // namespace

void SetDeliverySeams(const DeliverySeams& seams) { g_seams = seams; }
const DeliverySeams& DeliverySeamsInUse() { return g_seams; }

bool CopyTextToClipboard(const std::string& text) {
  if (!OpenClipboard(nullptr)) return false;
  bool done = false;
  if (EmptyClipboard()) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    if (void* p = memory ? GlobalLock(memory) : nullptr) {
      std::memcpy(p, text.c_str(), text.size() + 1);
      GlobalUnlock(memory);
      done = SetClipboardData(CF_TEXT, memory) != nullptr;
    }
    if (!done && memory) GlobalFree(memory);
  }
  CloseClipboard();
  return done;
}

}  // namespace kestrum

using namespace kestrum;

TIZQException::TIZQException(IZQModuleSettings* settings, const ExceptionFacts& facts)
    : TIZQSettings(settings ? settings->Module() : GetModuleHandleA(nullptr), true) {
  FModuleSettings = settings;
  if (FModuleSettings) FModuleSettings->AddRef();
  GetLocalTime(&FTime);
  if (!IsStateReport(facts)) FExceptNumber = static_cast<unsigned long long>(InterlockedIncrement64(&g_exceptNumber));
  FExceptType = facts.type;
  FExceptObject = facts.object;
  FExceptAddr = facts.address;
  FCanContinue = FCanContinue2 = facts.canContinue;
  FCrashedThreadId = facts.crashedThreadId ? facts.crashedThreadId : GetCurrentThreadId();
  FCurrentEsp = facts.stackPointer;
  FCurrentEbp = facts.framePointer;
  if (facts.context) {
    FContext = *facts.context;
    FPContext = &FContext;
  }
  FSource = facts.source;
  FRelatedObject = facts.relatedObject;
  FPackage = facts.package;
  FPreparedStack = facts.preparedStack;
  ApplyFilterGroup();
  FAppendScreenShot = FCreateScreenShot;
}

TIZQException::~TIZQException() {
  PropListClear(FSettingsBuf, HeapAllocator());
  if (FSendThread) CloseHandle(FSendThread);
  if (FModuleSettings) FModuleSettings->Release();
}

HRESULT STDMETHODCALLTYPE TIZQException::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGUID(iid, IID_IZQException)) {
    *out = static_cast<IZQException*>(this);
  } else if (IsEqualGUID(iid, IID_IZQExceptionEx)) {
    *out = static_cast<IZQExceptionEx*>(this);
  } else {
    return TIZQSettings::QueryInterface(iid, out);
  }
  AddRef();
  return S_OK;
}

TZQProperty* TIZQException::FindProp(const char* name, bool allowDefault, bool write, TPropertyType createTyp) {
  TZQProperty* p = PropListFind(FSettingsBuf, name);
  if (!p && write) p = PropListAppend(FSettingsBuf, name, createTyp, HeapAllocator());
  if (p || write) return p;
  return TIZQSettings::FindProp(name, allowDefault, false, createTyp);
}

void TIZQException::ApplyFilterGroup() {
  std::vector<std::string> names = ExceptionClassNames(FExceptObject);
  const std::string className = names.empty() ? std::string() : names.front();
  if (!names.empty()) names.erase(names.begin());
  const FilterGroup group = ChooseFilterGroup(GetPropStr("F1Classes"), GetPropStr("F2Classes"), className, names);
  static const char* const kPrefix[] = {"Gn", "F1", "F2"};
  const std::string prefix = kPrefix[static_cast<int>(group)];
  auto key = [&](const char* name) { return prefix + name; };
  FilterGroupSettings settings;
  settings.noBugRep = GetPropBool(key("NoBugRep").c_str());
  settings.noScrShot = GetPropBool(key("NoScrShot").c_str());
  settings.noHandlers = GetPropBool(key("NoHandlers").c_str());
  settings.noSuspend = GetPropBool(key("NoSuspend").c_str());
  settings.showCfg = static_cast<TZQShowSetting>(GetPropInt(key("ShowCfg").c_str()));
  settings.assistant = GetPropStr(key("Assis").c_str());
  const FilterOutcome outcome = kestrum::ApplyFilterGroup(settings, GetPropBool("PauseThreads"), GetPropInt("ScrShotDepth"));
  FCreateBugReport = outcome.createBugReport;
  FCreateScreenShot = outcome.createScreenShot;
  FCallHandlers = outcome.callHandlers;
  FShowSetting = outcome.showSetting;
  FShowAssis = outcome.showAssistant;
  SetPropBool("PauseThreads", outcome.pauseThreads);
}

void STDMETHODCALLTYPE TIZQException::SetCanContinue(bool value) { FCanContinue = value && FCanContinue2; }

ExceptObjectTexts TIZQException::ObjectTexts(std::string& className, std::string& message) const {
  ExceptObjectTexts texts;
  if (!FExceptObject) return texts;
  texts.hasObject = true;
  className = ExceptionClassName(FExceptObject);
  try {
    std::rethrow_exception(FExceptObject);
  } catch (const std::exception&) {
    texts.hasMessage = true;
    message = ExceptionMessage(FExceptObject);
  } catch (...) {
  }
  texts.className = className;
  texts.message = message;
  return texts;
}

void TIZQException::CacheTexts() {
  platform::AutoLock lock(FSection);
  if (FHasExceptTexts) return;
  std::string className, message;
  const ExceptObjectTexts texts = ObjectTexts(className, message);
  FExceptClass = ExceptClassText(texts);
  FExceptMessage = ExceptMessageText(texts);
  FHasExceptTexts = true;
}

std::string STDMETHODCALLTYPE TIZQException::GetExceptClass() {
  CacheTexts();
  return FExceptClass;
}

std::string STDMETHODCALLTYPE TIZQException::GetExceptMessage() {
  CacheTexts();
  return FExceptMessage;
}

DWORD STDMETHODCALLTYPE TIZQException::GetCallstackCrc(int index) {
  return index >= 0 && index < 3 ? FCallstackCrc[index] : 0;
}

void STDMETHODCALLTYPE TIZQException::SetPhase(TExceptPhase value) {
  FPhase = value == epPostProcessing && FComplete ? epCompleteReport : value;
}

// --- The report. Until the report parts exist it is the header's exception lines and one section
// per thread: its title and, for a thread with a known creator, the creating thread's title and
// the call site that created it.

std::string TIZQException::ThreadSections() {
  // The crashed thread first (for a freeze or a state report the main thread), then the main
  // thread, then the others when ListThreads is on.
  const DWORD mainId = MainThreadId();
  const DWORD first = FExceptType == etFrozen ? mainId : FCrashedThreadId;
  std::vector<DWORD> ids{first};
  if (mainId && mainId != first) ids.push_back(mainId);
  if (GetListThreads()) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
      THREADENTRY32 t{};
      t.dwSize = sizeof t;
      for (BOOL more = Thread32First(snapshot, &t); more; more = Thread32Next(snapshot, &t)) {
        if (t.th32OwnerProcessID == GetCurrentProcessId() && std::find(ids.begin(), ids.end(), t.th32ThreadID) == ids.end())
          ids.push_back(t.th32ThreadID);
      }
      CloseHandle(snapshot);
    }
  }
  std::string text;
  for (DWORD id : ids) {
    const void* creator = nullptr;
    DWORD creatorThread = 0;
    const std::string title = ThreadDisplayName(id, id == first, &creator, &creatorThread);
    if (title.empty()) continue;  // the component's own threads
    text += "\r\n" + title + ":\r\n";
    if (creator && creatorThread) {
      char site[16];
      std::snprintf(site, sizeof site, "%08lx", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(creator)));
      text += ">> created by " + ThreadDisplayName(creatorThread, true) + " at:\r\n" + site + "\r\n";
    }
  }
  return text;
}

// --- The report. Until the report parts exist it is the header's exception lines.

std::string STDMETHODCALLTYPE TIZQException::GetBugReport(bool) {
  platform::AutoLock lock(FSection);
  if (FBugReport.empty() && FCreateBugReport) {
    FBugReport = "exception number   : " + std::to_string(FExceptNumber) + "\r\n";
    if (FExceptType == etFrozen) {
      FBugReport += "exception message  : " + GetFrozenMsg() + "\r\n";
    } else {
      FBugReport += "exception class    : " + GetExceptClass() + "\r\n";
      FBugReport += "exception message  : " + GetExceptMessage() + "\r\n";
    }
    FBugReport += ThreadSections();
  }
  return FBugReport;
}

void STDMETHODCALLTYPE TIZQException::SetBugReport(const std::string& value) {
  {
    platform::AutoLock lock(FSection);
    FBugReport = value;
  }
  SetModified();
}

void STDMETHODCALLTYPE TIZQException::BeginUpdate() { InterlockedIncrement(&FUpdating); }

void STDMETHODCALLTYPE TIZQException::EndUpdate() {
  if (InterlockedDecrement(&FUpdating) == 0 && FDirty) {
    FDirty = false;
    SetModified();
  }
}

void TIZQException::SetModified() {
  if (FUpdating > 0) {
    FDirty = true;
    return;
  }
  {
    platform::AutoLock lock(FSection);
    ++FCorrectBugReportNo;
  }
  FireCallbacks();
}

void TIZQException::FireCallbacks() {
  std::vector<Callback> copy;
  {
    platform::AutoLock lock(HandlerLock());
    copy = FBugReportCallbacks;
  }
  const std::string report = GetBugReport(false);
  for (const Callback& c : copy) c.fn(FComplete, report, this);
}

void STDMETHODCALLTYPE TIZQException::RegisterBugReportCallback(TBugReportCallback callback, bool critical) {
  bool added = false;
  {
    platform::AutoLock lock(HandlerLock());
    auto it = std::find_if(FBugReportCallbacks.begin(), FBugReportCallbacks.end(),
                           [&](const Callback& c) { return c.fn == callback; });
    if (it != FBugReportCallbacks.end()) {
      it->critical = critical;
    } else {
      FBugReportCallbacks.push_back({callback, critical});
      added = true;
    }
  }
  if (added) callback(FComplete, GetBugReport(false), this);
}

void STDMETHODCALLTYPE TIZQException::UnregisterBugReportCallback(TBugReportCallback callback) {
  platform::AutoLock lock(HandlerLock());
  std::erase_if(FBugReportCallbacks, [&](const Callback& c) { return c.fn == callback; });
}

bool STDMETHODCALLTYPE TIZQException::CriticalBugReportCallbackExists() {
  platform::AutoLock lock(HandlerLock());
  return std::any_of(FBugReportCallbacks.begin(), FBugReportCallbacks.end(), [](const Callback& c) { return c.critical; });
}

// --- Showing and the actions.

std::string TIZQException::ShowText() {
  if (FExceptType == etFrozen) return GetFrozenMsg();
  return report::BreakMessage(GetExceptMessage());
}

std::string TIZQException::ShowCaption() {
  std::string caption = GetTitleBar();
  if (FExceptType != etFrozen) caption += " - " + GetExceptClass();
  return caption;
}

void STDMETHODCALLTYPE TIZQException::Show() {
  ShowLookInput in;
  in.showSetting = FShowSetting;
  AssistantDefinition assistant;
  in.assistantFound = FShowSetting == ssAssistant && GetAssistant(FShowAssis, assistant);
  in.autoShowBugRep = GetAutoShowBugReport();
  in.showBtnVis = GetPropBool("ShowBtnVis");
  const ShowLookDecision look = ChooseShowLook(in);
  if (look.look == ShowLook::nothing) return;
  // An assistant look shows the full box until the assistants can be shown from here.
  const BoxLook box = look.look == ShowLook::simpleBox   ? BoxLook::simple
                      : look.look == ShowLook::detailBox ? BoxLook::detail
                                                         : BoxLook::full;
  // A box that cannot be made (no window station, out of resources) still tells the user.
  if (!ShowExceptionBox(this, box)) ShowPlainBox(this);
}

void STDMETHODCALLTYPE TIZQException::ShowBugReport(HWND parentWindow) {
  if (!parentWindow) parentWindow = FindExceptionBox();
  if (parentWindow) PostMessageA(parentWindow, kBoxShowReport, 0, 0);
}

void STDMETHODCALLTYPE TIZQException::SendBugReport(HWND parentWindow) { StartSending(parentWindow, GetSendInBackground()); }

void TIZQException::StartSending(HWND parentWindow, bool background) {
  if (!g_seams.sendReport) return;
  if (FSendThread) {
    CloseHandle(FSendThread);
    FSendThread = nullptr;
  }
  g_seams.sendReport(this, parentWindow, background);
}

void STDMETHODCALLTYPE TIZQException::SaveBugReport(HWND parentWindow) {
  if (g_seams.saveReport) g_seams.saveReport(this, parentWindow, true);
}

void STDMETHODCALLTYPE TIZQException::PrintBugReport(HWND parentWindow) {
  if (g_seams.printReport) g_seams.printReport(this, parentWindow);
}

void STDMETHODCALLTYPE TIZQException::ContinueApplication(HWND parentWindow) {
  if (parentWindow) SendMessageA(parentWindow, 0x070B, 0, 0);
}

void STDMETHODCALLTYPE TIZQException::RestartApplication(HWND parentWindow) {
  if (parentWindow) SendMessageA(parentWindow, 0x070B, 0, 0);
  FinishAutoWork(true);
  RestartProgram();
}

void STDMETHODCALLTYPE TIZQException::CloseApplication(HWND parentWindow) {
  if (parentWindow) SendMessageA(parentWindow, 0x070B, 0, 0);
  FinishAutoWork(true);
  CloseProgram();
}

void TIZQException::FinishAutoWork(bool wait) {
  // No handler list has entries in this program, so only a critical callback waits for the report.
  if (ReadCompleteReportFirst(CriticalBugReportCallbackExists(), false, FCallHandlers)) GetBugReport(true);
  if (ShouldAutoSave(GetAutoSave(), GetAutoSaveIfNotSent(), FMailWasSent, FFirstAutoSave) && g_seams.saveReport) {
    g_seams.saveReport(this, nullptr, false);
  }
  if (wait && FSendThread) {
    WaitForSingleObject(FSendThread, INFINITE);
    CloseHandle(FSendThread);
    FSendThread = nullptr;
  }
}
