#include "crash/KestrumException_win.h"

#include "crash/KestrumExceptBox_win.h"
#include "crash/KestrumExceptText.h"
#include "crash/KestrumGuard_win.h"
#include "crash/KestrumHandling_win.h"
#include "crash/KestrumInterception_win.h"
#include "crash/KestrumMiniDump_win.h"
#include "crash/KestrumPause_win.h"
#include "crash/KestrumPlainBox_win.h"
#include "crash/KestrumProgramEnd_win.h"
#include "crash/KestrumRedact_win.h"
#include "crash/KestrumStartup_win.h"
#include "crash/settings/KestrumPropList.h"
#include "crash/settings/KestrumRules.h"
#include "platform/Exceptions.h"
#include "platform/Modules_win.h"
#include "platform/Text.h"
#include "report/KestrumReportHeader_win.h"
#include "report/KestrumReportText.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace kestrum {

const GUID IID_IZQException = {0x5EE7E49B, 0x571F, 0x4504, {0xB9, 0xE6, 0x1E, 0xEF, 0x65, 0x87, 0xC5, 0x1F}};
const GUID IID_IZQExceptionEx = {0x0BCABCF1, 0xB70F, 0x4952, {0xB9, 0x07, 0xA1, 0x29, 0xA9, 0xBD, 0x19, 0xFD}};

namespace {

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
// The system's random source (RtlGenRandom). Should it fail, the clock, the process, the thread
// and a count still make an id that no other report of this machine shares.
std::string NewReportId() {
  static LONG count = 0;
  std::uint8_t bytes[16] = {};
  using GenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);
  const auto genRandom = platform::ProcAddress<GenRandomFn>(L"advapi32.dll", "SystemFunction036");
  if (!genRandom || !genRandom(bytes, sizeof bytes)) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t parts[2] = {
        static_cast<std::uint64_t>(counter.QuadPart) ^ (std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime),
        (std::uint64_t{GetCurrentProcessId()} << 32 | GetCurrentThreadId()) ^
            (static_cast<std::uint64_t>(InterlockedIncrement(&count)) << 16)};
    std::memcpy(bytes, parts, sizeof bytes);
  }
  return platform::HexBytes(bytes);
}

}  // namespace kestrum

using namespace kestrum;

namespace {

// The thread registry as the report reads it.
class RegistryThreads : public report::ReportThreads {
 public:
  std::string Title(DWORD threadId, bool showHidden, report::Addr& creator, DWORD& creatorThreadId) override {
    const void* site = nullptr;
    DWORD creatorId = 0;
    std::string title = ThreadDisplayName(threadId, showHidden, &site, &creatorId);
    creator = static_cast<report::Addr>(reinterpret_cast<std::uintptr_t>(site));
    creatorThreadId = site ? creatorId : 0;
    return title;
  }
};

RegistryThreads g_registryThreads;

// Another thread holds the loader's or the environment's lock for 250 ms: a thread started now
// could not even begin, and one waited for might never end.
bool ProcessBlocked() {
  const DWORD self = GetCurrentThreadId();
  for (int i = 0; i < 25; ++i) {
    const auto [loader, environment] = platform::CurrentProcessLockOwners();
    if ((!loader || loader == self) && (!environment || environment == self)) return false;
    Sleep(10);
  }
  return true;
}

// One step of the report that may reach foreign code (a plug-in, a system query): a C++ exception
// or a fault there ends the step with its internal-error text, and failed is set.
struct ReportStep {
  const std::function<std::string()>* produce;
  std::string text;
  std::exception_ptr error;
};

void RunReportStepNoThrow(void* p) {
  auto* step = static_cast<ReportStep*>(p);
  try {
    step->text = (*step->produce)();
  } catch (...) { step->error = std::current_exception(); }
}

std::string RunReportStep(const char* name, const std::function<std::string()>& produce, const report::TraceSettings& settings,
                          bool* failed = nullptr) {
  ReportStep step{&produce, {}, nullptr};
  const void* faultAddress = nullptr;
  const bool ran = GuardedRun(RunReportStepNoThrow, &step, &faultAddress);
  if (failed) *failed = !ran || step.error;
  if (!ran) {
    const std::string where = report::DescribeCodeAddress(static_cast<report::Addr>(reinterpret_cast<std::uintptr_t>(faultAddress)),
                                                          settings.showRelAddrs, settings.showRelLines);
    return report::InternalErrorText(name, faultAddress ? &where : nullptr);
  }
  if (step.error) {
    try {
      std::rethrow_exception(step.error);
    } catch (...) { return report::CurrentInternalError(name, settings.showRelAddrs, settings.showRelLines); }
  }
  return std::move(step.text);
}

// The prepared stack in the packed layout (count, then 5-byte entries).
std::vector<report::TPreStackItem> UnpackPrepared(const void* packed) {
  std::vector<report::TPreStackItem> items;
  if (!packed) return items;
  std::uint32_t count = 0;
  std::memcpy(&count, packed, 4);
  if (count > kMaxPreparedBytes / 5) return items;
  report::UnpackPreparedStack(static_cast<const std::uint8_t*>(packed), 4 + std::size_t{count} * 5, items);
  return items;
}

}  // namespace

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
  FStackCopy = facts.stackCopy;
  FStackCopySize = facts.stackCopySize;
  FStackCopyBegin = facts.stackCopyBegin;
  ApplyFilterGroup();
  FAppendScreenShot = FCreateScreenShot;
  // Without a report there is nothing to wait for.
  FComplete = !FCreateBugReport;
}

TIZQException::~TIZQException() {
  FAbortCompleteThread = true;
  if (FCompleteTh) {
    if (GetCurrentThreadId() != FCompleteTid) {
      if (ProcessBlocked()) {
        TerminateThread(FCompleteTh, 0);
        // Its plug-in thread would go on with this object freed.
        if (HANDLE plugins = InterlockedExchangePointer(&FPluginTh, nullptr)) {
          TerminateThread(plugins, 0);
          CloseHandle(plugins);
        }
      } else {
        WaitForSingleObject(FCompleteTh, INFINITE);
      }
    }
    CloseHandle(FCompleteTh);
  }
  for (TIZQFields* list : {FBugReportHeader, FBugReportSections}) {
    if (!list) continue;
    list->ClearExcParent();
    list->Release();
  }
  PropListClear(FSettingsBuf, HeapAllocator());
  if (FSendThread) CloseHandle(FSendThread);
  if (FScreenShot) FScreenShot->Release();
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
  } catch (...) {}
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

DWORD STDMETHODCALLTYPE TIZQException::GetCallstackCrc(int index) { return index >= 0 && index < 3 ? FCallstackCrc[index] : 0; }

void STDMETHODCALLTYPE TIZQException::SetPhase(TExceptPhase value) {
  FPhase = value == epPostProcessing && FComplete ? epCompleteReport : value;
}

// --- The report: the header and the sections with placeholders at once, the slow contents on
// the completion thread, each replacing its placeholder when it is done.

report::TraceSettings TIZQException::TraceSettingsInUse() {
  report::TraceSettings settings;
  settings.hideUglyItems = GetHideUglyItems();
  settings.showRelAddrs = GetShowRelativeAddrs();
  settings.showRelLines = GetShowRelativeLines();
  return settings;
}

void TIZQException::ListsModified() {
  {
    platform::AutoLock lock(FSection);
    FBugReport.clear();
  }
  SetModified();
}

report::IZQFields* TIZQException::GetBugReportHeader() {
  // One notice when the build is done, after the build lock is left: a handler that the notice
  // runs may wait for the completion thread, which needs that lock.
  BeginUpdate();
  {
    platform::AutoLock build(FBuildSection);
    if (!FBugReportHeader) FBugReportHeader = new TIZQFields(&FListOwner, nullptr);
    if (FCreateBugReport && FBugReportHeader->GetItemCount() == 0) BuildHeader();
  }
  EndUpdate();
  return FBugReportHeader;
}

report::IZQFields* TIZQException::GetBugReportSections() {
  GetBugReportHeader();
  bool start = false;
  BeginUpdate();
  {
    platform::AutoLock build(FBuildSection);
    if (!FBugReportSections) FBugReportSections = new TIZQFields(&FListOwner, nullptr);
    if (FCreateBugReport && FBugReportSections->GetItemCount() == 0) {
      BuildSections();
      start = true;
    }
  }
  EndUpdate();
  if (start) StartCompletion();
  return FBugReportSections;
}

void TIZQException::BuildHeader() {
  report::FieldList& header = FBugReportHeader->List();
  header.AcceptData();
  header.Lock();
  try {
    report::SystemHeaderInput system;
    system.time = FTime;
    system.componentStartMs = ComponentStartMs();
    system.componentModule = platform::ModuleContaining(reinterpret_cast<const void*>(&ProcessBlocked));
    system.versionVar = VersionVar();
    report::AddSystemHeaderFields(header, system);
  } catch (...) {}
  report::ExceptionHeaderInput in;
  for (const std::string& name : report::PluginNames(GetPropStr("Plugins"))) {
    report::ReportPlugin plugin;
    if (!report::FindReportPlugin(name, plugin) || plugin.ownSection) continue;
    bool failed = false;
    std::string content = RunReportStep(
        "plugin", [&] { return report::CallReportPlugin(plugin, this); }, TraceSettingsInUse(), &failed);
    if (!failed) in.plugins.emplace_back(plugin.name, std::move(content));
  }
  in.number = FExceptNumber;
  in.frozen = FExceptType == etFrozen;
  if (in.frozen) {
    in.frozenMsg = GetFrozenMsg();
  } else {
    in.className = GetExceptClass();
    in.message = GetExceptMessage();
  }
  report::AddExceptionHeaderFields(header, in);
  header.Unlock();
}

void TIZQException::BuildSections() {
  report::FieldList& sections = FBugReportSections->List();
  sections.AcceptData();
  const report::TraceSettings trace = TraceSettingsInUse();
  report::ReportItems pairs;
  try {
    report::CollectInput in;
    in.frozen = FExceptType == etFrozen;
    in.listThreads = GetListThreads();
    in.crashedThreadId = FCrashedThreadId;
    in.mainThreadId = MainThreadId();
    in.skipped = {ReportingThreadId()};
    in.exceptAddr = static_cast<report::Addr>(reinterpret_cast<std::uintptr_t>(FExceptAddr));
    in.context = FPContext;
    in.currentEsp = FCurrentEsp;
    in.currentEbp = FCurrentEbp;
    const std::vector<report::TPreStackItem> prepared = UnpackPrepared(FPreparedStack);
    in.prepared = &prepared;
    in.extException = ExceptionInheritsFrom(FExceptObject, "EExternal");
    in.bcbTermination = GetExceptClass() == "BcbTermination";
    in.trace = trace;
    in.threads = &g_registryThreads;
    std::unique_ptr<MiniDumpGathering> dump;
    // A report of the state for an outside tool makes none: it would replace an exception's dump.
    if (WantsMiniDump() && !(FExceptType == etFrozen && FSource == esManual)) {
      dump = std::make_unique<MiniDumpGathering>(MiniDumpFactsOf());
      in.sink = dump->Sink();
    }
    pairs = report::CollectThreads(in, FThreadStacks);
    if (dump) FMiniDumpNumber = dump->Finish(FMiniDumpError);
    // One area of the please-wait window per thread that will be traced, as large as its stack.
    std::vector<std::int64_t> weights;
    const std::size_t traced = in.listThreads ? FThreadStacks.size() : std::min<std::size_t>(FThreadStacks.size(), 1);
    for (std::size_t i = 0; i < traced; ++i) {
      const report::ThreadRecord& r = FThreadStacks[i];
      weights.push_back(
          std::max<std::int64_t>(1, (static_cast<std::int64_t>(r.stackTop) - static_cast<std::int64_t>(r.stackBottom)) * 100));
    }
    FPleaseWait.SetAreas(weights, GetPleaseWaitText());
  } catch (...) {
    if (FMiniDumpError.empty()) FMiniDumpError = "it failed while the threads were collected";
  }
  FSectionPlugins.clear();
  for (const std::string& name : report::PluginNames(GetPropStr("Plugins"))) {
    report::ReportPlugin plugin;
    if (!report::FindReportPlugin(name, plugin) || !plugin.ownSection) continue;
    FSectionPlugins.push_back(plugin);
    pairs.emplace_back(plugin.name, report::kSectionSoon);
  }
  FHasCpuRegisters = GetShowCpuRegisters() && FPContext;
  FHasStackDump = GetShowStackDump() && FPContext;
  FHasDisAsm = GetShowDisAsm();
  if (FHasCpuRegisters) pairs.emplace_back("cpu registers", report::kSectionSoon);
  if (FHasStackDump) pairs.emplace_back("stack dump", report::kSectionSoon);
  if (FHasDisAsm) pairs.emplace_back("disassembling", report::kSectionSoon);
  sections.Lock();
  for (const auto& [name, content] : pairs) sections.SetContent(name, content);
  sections.Unlock();
}

MiniDumpFacts TIZQException::MiniDumpFactsOf() {
  MiniDumpFacts facts;
  facts.level = GetPropInt("MiniDump");
  facts.crashedThreadId = FCrashedThreadId;
  facts.frozen = FExceptType == etFrozen;
  facts.context = FPContext;
  facts.exceptAddr = static_cast<report::Addr>(reinterpret_cast<std::uintptr_t>(FExceptAddr));
  facts.stackCopy = FStackCopy;
  facts.stackCopySize = FStackCopySize;
  facts.stackCopyBegin = FStackCopyBegin;
  if (GetPropBool("RedactPersonal")) facts.personal = &MachinePersonalFacts();
  if (FExceptObject) {
    try {
      std::rethrow_exception(FExceptObject);
    } catch (const EExternal& e) {
      if (e.HasRecord()) {
        const TExceptionRecord& r = e.ExceptionRecord();
        facts.hasRecord = true;
        facts.code = r.ExceptionCode;
        facts.flags = r.ExceptionFlags;
        facts.parameterCount = std::min<DWORD>(r.NumberParameters, 15);
        for (DWORD i = 0; i < facts.parameterCount; ++i) facts.parameters[i] = r.ExceptionInformation[i];
      }
    } catch (...) {}
  }
  return facts;
}

bool STDMETHODCALLTYPE TIZQException::WriteMiniDump(const std::string& path, std::string& error) {
  if (FMiniDumpNumber == 0) {
    error = FMiniDumpError.empty() ? "it was not made" : FMiniDumpError;
    return false;
  }
  return WriteMiniDumpFile(FMiniDumpNumber, path, error);
}

void STDMETHODCALLTYPE TIZQException::SetHeaderField(const std::string& name, const std::string& content) {
  GetBugReportHeader()->SetContent(name, content);
}

void STDMETHODCALLTYPE TIZQException::SetSection(const std::string& name, const std::string& content) {
  GetBugReportSections()->SetContent(name, content);
}

void TIZQException::StartCompletion() {
  if (FDontCompleteYet) return;
  if ((FCompleteOnOwnThread || GetCurrentThreadId() == ReportingThreadId()) && !ProcessBlocked()) {
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, CompleteThreadProc, this, CREATE_SUSPENDED, &id);
    if (thread) {
      FCompleteTh = thread;
      FCompleteTid = id;
      SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL);
      SetThreadEntry(id, thread, "-", GetCurrentThreadId(), nullptr, nullptr);
      ResumeThread(thread);
      return;
    }
  }
  CompleteHereWithWindow();
}

void TIZQException::CompleteHereWithWindow() {
  const bool shown = GetShowPleaseWaitBox() && FPleaseWait.Show(GetPleaseWaitTitle(), Module());
  CompleteBugReport();
  if (shown) FPleaseWait.Close();
}

void TIZQException::WaitForCompletion() {
  // Done meanwhile: no window that would only flash.
  if (WaitForSingleObject(FCompleteTh, 0) != WAIT_TIMEOUT) return;
  // Someone waits for it now: it runs ahead of the program's own threads.
  SetThreadPriority(FCompleteTh, THREAD_PRIORITY_HIGHEST);
  if (!GetShowPleaseWaitBox() || !FPleaseWait.Show(GetPleaseWaitTitle(), Module())) {
    WaitForSingleObject(FCompleteTh, INFINITE);
    return;
  }
  while (WaitForSingleObject(FCompleteTh, 50) == WAIT_TIMEOUT) FPleaseWait.Pump();
  FPleaseWait.Close();
}

DWORD WINAPI TIZQException::CompleteThreadProc(void* exception) {
  try {
    static_cast<TIZQException*>(exception)->CompleteBugReport();
  } catch (...) {}
  return 0;
}

void TIZQException::ProducePluginSections() {
  const report::TraceSettings trace = TraceSettingsInUse();
  for (std::size_t i = 0; i < FSectionPlugins.size() && !FAbortCompleteThread; ++i) {
    const report::ReportPlugin& plugin = FSectionPlugins[i];
    FPluginTexts[i] = RunReportStep(
        "plugin", [this, &plugin] { return report::CallReportPlugin(plugin, this); }, trace);
    FPluginDone[i] = 1;
  }
}

DWORD WINAPI TIZQException::PluginThreadProc(void* exception) {
  try {
    static_cast<TIZQException*>(exception)->ProducePluginSections();
  } catch (...) {}
  return 0;
}

void TIZQException::FinishHeaderNow() {
  const std::uint32_t crc[3] = {FCallstackCrc[0], FCallstackCrc[1], FCallstackCrc[2]};
  report::FinishHeader(FBugReportHeader->List(), crc, FMinimalDebugInfo);
  // The id travels beside the report, never in it: equal reports must stay equal to fold.
  if (GetPropStr(kReportIdKey).empty()) SetPropStr(kReportIdKey, NewReportId());
  FComplete = true;
}

void TIZQException::StoreSection(const std::string& name, const std::string& content) {
  if (FAbortCompleteThread) return;
  BeginUpdate();
  FBugReportSections->List().SetContent(name, content);
  if (InterlockedDecrement(&FPendingSections) == 0) { FinishHeaderNow(); }
  EndUpdate();
}

void TIZQException::CompleteBugReport() {
  if (InterlockedExchange(&FCompletionStarted, 1) != 0) return;
  GetBugReportSections();
  const report::TraceSettings trace = TraceSettingsInUse();
  if (!GetListThreads() && FThreadStacks.size() > 1) FThreadStacks.resize(1);
  const LONG pending = static_cast<LONG>(FThreadStacks.size() + FSectionPlugins.size()) + FHasCpuRegisters + FHasStackDump + FHasDisAsm;
  InterlockedExchange(&FPendingSections, pending);
  if (pending == 0) {
    // Nothing to wait for (no thread could be read, no section asked for): complete at once.
    BeginUpdate();
    FinishHeaderNow();
    EndUpdate();
  }
  auto addMinimal = [this](const std::vector<std::string>& entries) {
    for (const std::string& e : entries) {
      if (std::none_of(FMinimalDebugInfo.begin(), FMinimalDebugInfo.end(), [&](const std::string& k) { return report::SameName(k, e); }))
        FMinimalDebugInfo.push_back(e);
    }
  };
  // The plug-in sections (the system lists among them) mostly wait for the system: on a thread of
  // their own they are made while this one traces. They are stored here, in their turn, so that
  // whoever the stores notify is never called on the plug-in thread, which this one waits for.
  FPluginTexts.assign(FSectionPlugins.size(), std::string());
  FPluginDone.assign(FSectionPlugins.size(), 0);
  if (!FSectionPlugins.empty() && !FAbortCompleteThread && GetCurrentThreadId() == FCompleteTid) {
    DWORD id = 0;
    if (HANDLE thread = CreateThread(nullptr, 0, PluginThreadProc, this, CREATE_SUSPENDED, &id)) {
      SetThreadEntry(id, thread, "-", GetCurrentThreadId(), nullptr, nullptr);
      SetThreadPriority(thread, GetThreadPriority(GetCurrentThread()));
      FPluginTh = thread;
      ResumeThread(thread);
    }
  }
  if (!FThreadStacks.empty() && !FAbortCompleteThread) {
    report::ThreadReport r = report::GetThreadReport(FThreadStacks[0], trace, &FAbortCompleteThread, &g_registryThreads, &FPleaseWait);
    FPleaseWait.AreaDone();
    FCallstackCrc[0] = r.crc.crc1;
    FCallstackCrc[1] = FCallstackCrc[2] = r.crc.crc2;
    // A trace that ended early keeps the address the exception came with.
    if (r.exceptAddr != 0) FExceptAddr = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(r.exceptAddr));
    FDisAsmStart = r.functionStart;
    FDisAsmAddr = r.functionAddr;
    addMinimal(r.minimalDebugInfo);
    StoreSection(FThreadStacks[0].threadName, r.text);
  }
  auto section = [this, &trace](const char* name, const char* step, const std::function<std::string()>& produce) {
    if (FAbortCompleteThread) return;
    StoreSection(name, RunReportStep(step, produce, trace));
  };
  if (FHasCpuRegisters) section("cpu registers", "GetCpuRegisters", [this] { return report::CpuRegistersSection(FContext); });
  if (FHasStackDump) section("stack dump", "GetStackDump", [this] { return report::StackDumpSection(FContext); });
  if (FHasDisAsm) {
    section("disassembling", "GetCleartextDisAsm",
            [this] { return report::DisassemblySection(FDisAsmStart, FDisAsmAddr, GetFormatDisassembly(), GetLimitDisassembly()); });
  }
  for (std::size_t i = 1; i < FThreadStacks.size() && !FAbortCompleteThread; ++i) {
    report::ThreadReport r = report::GetThreadReport(FThreadStacks[i], trace, &FAbortCompleteThread, &g_registryThreads, &FPleaseWait);
    FPleaseWait.AreaDone();
    if (r.hasLines) FCallstackCrc[2] = report::FoldThreadChecksum(FCallstackCrc[2], r.crc.crc2);
    addMinimal(r.minimalDebugInfo);
    StoreSection(FThreadStacks[i].threadName, r.text);
  }
  // Last: they have run beside all the traces.
  if (FPluginTh) {
    WaitForSingleObject(FPluginTh, INFINITE);
    if (HANDLE plugins = InterlockedExchangePointer(&FPluginTh, nullptr)) CloseHandle(plugins);
  } else {
    ProducePluginSections();
  }
  for (std::size_t i = 0; i < FSectionPlugins.size() && !FAbortCompleteThread; ++i) {
    if (FPluginDone[i]) StoreSection(FSectionPlugins[i].name, FPluginTexts[i]);
  }
  if (!FAbortCompleteThread && FPhase == epPostProcessing) SetPhase(epCompleteReport);
}

std::string STDMETHODCALLTYPE TIZQException::GetBugReport(bool mustBeComplete) {
  unsigned long long number;
  std::string result;
  {
    platform::AutoLock lock(FSection);
    number = FCorrectBugReportNo;
    result = FBugReport;
  }
  if (!((FCreateBugReport && result.empty()) || (mustBeComplete && !FComplete))) return result;
  report::IZQFields* header = GetBugReportHeader();
  report::IZQFields* sections = GetBugReportSections();
  if (mustBeComplete) {
    if (FDontCompleteYet) {
      CompleteHereWithWindow();
    } else if (FCompleteTh && GetCurrentThreadId() != FCompleteTid && !ProcessBlocked()) {
      WaitForCompletion();
    }
  }
  const report::ReportItems headerItems = static_cast<TIZQFields*>(header)->List().Items();
  const report::ReportItems sectionItems = static_cast<TIZQFields*>(sections)->List().Items();
  result = report::ComposeReport(headerItems, sectionItems);
  // Here, where the text is made, so that showing, saving and sending all have the same text.
  if (GetPropBool("RedactPersonal")) result = RedactPersonal(result, MachinePersonalFacts());
  platform::AutoLock lock(FSection);
  if (FCorrectBugReportNo == number) FBugReport = result;
  return result;
}

void STDMETHODCALLTYPE TIZQException::SetBugReport(const std::string& value) {
  {
    platform::AutoLock lock(FSection);
    FBugReport = value;
  }
  SetModified();
}

IUnknown* STDMETHODCALLTYPE TIZQException::GetScreenShot() {
  platform::AutoLock lock(FShotSection);
  if (FCreateScreenShot && !FScreenShotTried) {
    FScreenShotTried = true;
    if (const auto take = DeliveryHooksInUse().takeScreenShot) FScreenShot = take(GetScreenShotAppOnly());
    // Nothing to show (no display, no own window): the assistant leaves out its picture step.
    if (!FScreenShot) FCreateScreenShot = false;
  }
  if (FScreenShot) FScreenShot->AddRef();
  return FScreenShot;
}

void STDMETHODCALLTYPE TIZQException::SetScreenShot(IUnknown* value) {
  if (value) value->AddRef();
  IUnknown* old = nullptr;
  {
    platform::AutoLock lock(FShotSection);
    old = FScreenShot;
    FScreenShot = value;
    FScreenShotTried = true;
  }
  if (old) old->Release();
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
  // The report as it stands before the callback is in the list: building it announces changes,
  // which would reach the new callback before its first call.
  const std::string report = GetBugReport(false);
  bool added = false;
  {
    platform::AutoLock lock(HandlerLock());
    auto it = std::find_if(FBugReportCallbacks.begin(), FBugReportCallbacks.end(), [&](const Callback& c) { return c.fn == callback; });
    if (it != FBugReportCallbacks.end()) {
      it->critical = critical;
    } else {
      FBugReportCallbacks.push_back({callback, critical});
      added = true;
    }
  }
  if (added) callback(FComplete, report, this);
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
  // An assistant that cannot be shown (undefined, damaged) leaves the full box: the user must hear of the exception.
  if (look.look == ShowLook::assistant && RunAssistantNamed(FShowAssis, nullptr) != AssistantRun::notShown) return;
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

void STDMETHODCALLTYPE TIZQException::SendBugReport(HWND parentWindow) {
  // Without a way to send, asking the user for the mail's contents would be for nothing.
  if (DeliveryHooksInUse().sendReport && ConfirmThroughAssistant(GetSendAssistant(), parentWindow))
    StartSending(parentWindow, GetSendInBackground());
}

AssistantRun TIZQException::RunAssistantNamed(const std::string& name, HWND parentWindow) {
  AssistantDefinition definition;
  const auto runAssistant = DeliveryHooksInUse().runAssistant;
  if (!runAssistant || name.empty() || !GetAssistant(name, definition)) return AssistantRun::notShown;
  // Typed values are remembered by the module's settings: this object's own view ends with it.
  IZQPropertyAccess* formCache = nullptr;
  if (FModuleSettings && FAILED(FModuleSettings->QueryInterface(IID_IZQPropertyAccess, reinterpret_cast<void**>(&formCache)))) {
    formCache = nullptr;
  }
  const AssistantRun run = runAssistant(this, definition, parentWindow, formCache);
  if (formCache) formCache->Release();
  return run;
}

bool TIZQException::ConfirmThroughAssistant(const std::string& name, HWND parentWindow) {
  // Actions called by a program without a window of its own go ahead unasked.
  if (!parentWindow) return true;
  // A topmost parent (the box) would cover the assistant's steps it owns.
  const bool topmost = (GetWindowLongA(parentWindow, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  if (topmost) SetWindowPos(parentWindow, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  const AssistantRun run = RunAssistantNamed(name, parentWindow);
  if (topmost && IsWindow(parentWindow)) SetWindowPos(parentWindow, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  return run != AssistantRun::cancelled;
}

void TIZQException::StartSending(HWND parentWindow, bool background) {
  if (!DeliveryHooksInUse().sendReport) return;
  if (FSendThread) {
    CloseHandle(FSendThread);
    FSendThread = nullptr;
  }
  DeliveryHooksInUse().sendReport(this, parentWindow, background);
}

void STDMETHODCALLTYPE TIZQException::SaveBugReport(HWND parentWindow) {
  if (DeliveryHooksInUse().saveReport && ConfirmThroughAssistant(GetSaveAssistant(), parentWindow))
    DeliveryHooksInUse().saveReport(this, parentWindow, true);
}

void STDMETHODCALLTYPE TIZQException::PrintBugReport(HWND parentWindow) {
  if (DeliveryHooksInUse().printReport && ConfirmThroughAssistant(GetPrintAssistant(), parentWindow))
    DeliveryHooksInUse().printReport(this, parentWindow);
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
  if (ShouldAutoSave(GetAutoSave(), GetAutoSaveIfNotSent(), FMailWasSent, FFirstAutoSave) && DeliveryHooksInUse().saveReport) {
    DeliveryHooksInUse().saveReport(this, nullptr, false);
  }
  if (wait && FSendThread) {
    WaitForSingleObject(FSendThread, INFINITE);
    CloseHandle(FSendThread);
    FSendThread = nullptr;
  }
}
