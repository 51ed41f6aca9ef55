#include "crash/settings/KestrumSettings_win.h"

#include <shlobj.h>

#include "crash/settings/KestrumDefaults.h"
#include "crash/settings/KestrumPlaceholders.h"
#include "crash/settings/KestrumPropList.h"
#include "crash/settings/KestrumResource.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"
#include "platform/Text.h"
#include "platform/WideText_win.h"

#include <cstring>
#include <optional>

namespace kestrum {

const GUID IID_IZQSettings = {0x27DBC590, 0x890F, 0x463E, {0x8D, 0x05, 0x32, 0xE3, 0x35, 0x84, 0x11, 0x9F}};
const GUID IID_IZQModuleSettings = {0xE2196B25, 0xD73A, 0x4F69, {0xB7, 0x9B, 0xD6, 0x55, 0x39, 0x76, 0x3B, 0x31}};
const GUID IID_IZQPropertyAccess = {0x8C612485, 0xCD17, 0x4C66, {0x8C, 0x62, 0xD6, 0xD9, 0x4D, 0x54, 0xEA, 0x50}};

#ifndef _WIN64
// Every copy of the component in the process reads this block at the same offsets.
static_assert(sizeof(SettingsRegistry) == 40);
static_assert(offsetof(SettingsRegistry, lock) == 8 && offsetof(SettingsRegistry, first) == 32);
#endif

namespace {

const char kResourceName[] = "TKESTRUM";

// Per copy of the component: its view of the registry and how many references it holds.
SettingsRegistry* g_registry = nullptr;
LONG g_copyRefs = 0;
HANDLE g_mutex = nullptr;
IZQModuleSettings* g_main = nullptr;
InternalErrorHandler g_errorHandler = nullptr;
PasswordDecoder g_passwordDecoder = nullptr;

void* LocalZeroed(std::size_t bytes) { return LocalAlloc(LPTR, bytes ? bytes : 1); }
void LocalRelease(void* p) { LocalFree(p); }
const PropAllocator kLocalHeap{LocalZeroed, LocalRelease};

// Section and mutex: open to everyone in the process' session, handles not inherited.
struct OpenSecurity {
  SECURITY_DESCRIPTOR sd;
  SECURITY_ATTRIBUTES sa;
  OpenSecurity() {
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    sa = SECURITY_ATTRIBUTES{sizeof sa, &sd, FALSE};
  }
};

// The process-wide mutex that orders the copies' set-up and release of the registry; made on
// first use and kept for the process' life. Null when it cannot be made: then nothing is held.
HANDLE RegistryMutex() {
  if (!g_mutex) {
    OpenSecurity sec;
    g_mutex = CreateMutexA(&sec.sa, FALSE, SettingsMutexName(GetCurrentProcessId()).c_str());
  }
  return g_mutex;
}

// Guards a module's list while it is searched, appended to or rebuilt. Reads take it too: an
// append may move the array and a write may free a string that a reader is copying. Nothing to
// guard while this copy holds no registry.
std::optional<platform::AutoLock> LockLists() {
  if (!g_registry) return std::nullopt;
  return std::optional<platform::AutoLock>(std::in_place, g_registry->lock);
}

bool ReferenceRegistry() {
  const platform::MutexGuard hold(RegistryMutex());
  if (!g_registry) {
    OpenSecurity sec;
    const std::string name = SettingsSectionName(GetCurrentProcessId());
    platform::ScopedKernelHandle section(
        CreateFileMappingA(INVALID_HANDLE_VALUE, &sec.sa, PAGE_READWRITE, 0, sizeof(SettingsRegistry), name.c_str()));
    if (!section) section.Reset(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str()));
    void* view = section ? MapViewOfFile(section.Get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(SettingsRegistry)) : nullptr;
    if (!view) {
      ShowInternalError("internal error (opening settings buffer)");
      return false;
    }
    g_registry = static_cast<SettingsRegistry*>(view);
    // The block keeps the handle of whoever initialised it; every other copy maps and lets go.
    if (g_registry->refCount == 0 && !g_registry->section) g_registry->section = section.Release();
  }
  // A count of 0 means nobody holds the block: freshly created, or released by every copy while
  // this one kept its view. Either way it is set up again.
  if (g_registry->refCount == 0) {
    if (!g_registry->section) {
      g_registry->section = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE,
                                             SettingsSectionName(GetCurrentProcessId()).c_str());
    }
    InitializeCriticalSection(&g_registry->lock);
    g_registry->first = nullptr;
    g_registry->reserved = 0;
  }
  ++g_registry->refCount;
  ++g_copyRefs;
  return true;
}

void ReleaseRegistry() {
  const platform::MutexGuard hold(RegistryMutex());
  if (!g_registry) return;
  if (g_registry->refCount == 1) {
    DeleteCriticalSection(&g_registry->lock);
    const platform::ScopedKernelHandle section(g_registry->section);
    g_registry->section = nullptr;
    g_registry->refCount = 0;
  } else if (g_registry->refCount > 1) {
    --g_registry->refCount;
  }
  if (--g_copyRefs <= 0) {
    g_copyRefs = 0;
    UnmapViewOfFile(g_registry);
    g_registry = nullptr;
  }
}

std::string PropText(const TZQSettingsModule& list, const char* name) {
  const TZQProperty* p = PropListFind(list, name);
  return p && p->vStr ? p->vStr : "";
}

// Step after loading: the stored passwords are Base64 text of enciphered bytes.
void DecodePasswords(TZQSettingsModule& list) {
  static const char* const groups[][3] = {{"SmtpPassword", "SmtpServer", "SmtpAccount"},
                                          {"HttpPassword", "HttpServer", "HttpAccount"}};
  if (!g_passwordDecoder) return;
  for (const auto& g : groups) {
    TZQProperty* pw = PropListFind(list, g[0]);
    if (!pw || !pw->vStr) continue;
    const std::string plain = g_passwordDecoder(DecodeBase64(pw->vStr), PropText(list, g[2]), PropText(list, g[1]));
    PropSetString(*pw, plain.c_str(), kLocalHeap);
  }
}

void BuildPropertyList(TZQSettingsModule& list) {
  PropListClear(list, kLocalHeap);
  HMODULE module = static_cast<HMODULE>(list.module);
  HRSRC info = FindResourceA(module, kResourceName, MAKEINTRESOURCEA(10) /* RT_RCDATA */);
  if (!info) return;
  HGLOBAL res = LoadResource(module, info);
  const void* data = res ? LockResource(res) : nullptr;
  if (!data) return;
  const ParsedResource parsed =
      ParseSettingsResource(static_cast<const std::uint8_t*>(data), SizeofResource(module, info), platform::AnsiFromUtf16);
  if (!parsed.prefixOk) return;
  PropListFill(list, parsed.props, kLocalHeap);
  if (parsed.invalidType >= 0) ShowInternalError(InvalidResourceMessage(static_cast<std::uint8_t>(parsed.invalidType)).c_str());
  DecodePasswords(list);
}

TZQSettingsModule* ReferenceModule(HMODULE module) {
  if (!HasSettingsResource(module) || !ReferenceRegistry()) return nullptr;
  const auto lock = LockLists();
  TZQSettingsModule** link = &g_registry->first;
  while (*link && (*link)->module != module) link = &(*link)->next;
  if (!*link) {
    auto* entry = static_cast<TZQSettingsModule*>(LocalZeroed(sizeof(TZQSettingsModule)));
    if (!entry) {
      ReleaseRegistry();
      return nullptr;
    }
    entry->module = module;
    *link = entry;
    BuildPropertyList(*entry);
  }
  ++(*link)->refCount;
  return *link;
}

void ReleaseModule(TZQSettingsModule* entry) {
  if (!entry || !g_registry) return;
  {
    const auto lock = LockLists();
    if (entry->refCount == 1) {
      TZQSettingsModule** link = &g_registry->first;
      while (*link && *link != entry) link = &(*link)->next;
      if (*link) *link = entry->next;
      PropListClear(*entry, kLocalHeap);
      LocalFree(entry);
    } else {
      --entry->refCount;
    }
  }
  ReleaseRegistry();
}

// The text a VersionVar pointer leads to, read only from committed, readable memory.
bool Readable(const void* p, std::size_t bytes) {
  const auto* at = static_cast<const char*>(p);
  while (bytes > 0) {
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery(at, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT) return false;
    if (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)) return false;
    const std::size_t inRegion = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize - at;
    if (inRegion >= bytes) return true;
    bytes -= inRegion;
    at += inRegion;
  }
  return true;
}

std::string ReadVersionText(HMODULE module, std::uint32_t offset) {
  const char* slot = reinterpret_cast<const char*>(module) + offset;
  if (!Readable(slot, sizeof(const char*))) return {};
  const char* text;
  std::memcpy(&text, slot, sizeof text);
  std::string out;
  while (text && Readable(text, 1) && *text) out.push_back(*text++);
  return out;
}

std::string FileVersionText(HMODULE module, const std::string& versionVar) {
  std::optional<std::uint32_t> ms, ls;
  if (versionVar.empty()) {
    const std::string path = platform::ModulePath(module);
    DWORD ignored = 0;
    const DWORD size = path.empty() ? 0 : GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size) {
      std::vector<char> block(size);
      VS_FIXEDFILEINFO* fixed = nullptr;
      UINT len = 0;
      if (GetFileVersionInfoA(path.c_str(), 0, size, block.data()) &&
          VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &len) && fixed && len >= sizeof *fixed) {
        ms = fixed->dwFileVersionMS;
        ls = fixed->dwFileVersionLS;
      }
    }
  }
  return VersionText(versionVar, ms, ls);
}

std::string FolderPath(int csidl) {
  char path[MAX_PATH];
  if (SHGetFolderPathA(nullptr, csidl, nullptr, 0, path) != S_OK) return {};
  return path;
}

HMODULE ModuleOfAddress(const void* address) {
  MEMORY_BASIC_INFORMATION mbi;
  if (!VirtualQuery(address, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT || mbi.Type != MEM_IMAGE) return nullptr;
  return static_cast<HMODULE>(mbi.AllocationBase);
}

bool Defers(IZQModuleSettings* s) { return !s || s->NoOwnSettings(); }

void Replace(IZQModuleSettings*& held, IZQModuleSettings* by) {
  if (held) held->Release();
  held = by;
}

}  // namespace

std::string SettingsSectionName(DWORD processId) { return "KestrumSettingsBuf" + platform::DollarHex(processId); }
std::string SettingsMutexName(DWORD processId) { return "KestrumSettingsMtx" + platform::DollarHex(processId); }
SettingsRegistry* SettingsRegistryBlock() { return g_registry; }

void SetInternalErrorHandler(InternalErrorHandler handler) { g_errorHandler = handler; }

void ShowInternalError(const char* text) {
  if (g_errorHandler) g_errorHandler(text);
  else MessageBoxA(nullptr, text, "Kestrum", MB_OK | MB_ICONERROR);
}

void SetPasswordDecoder(PasswordDecoder decoder) { g_passwordDecoder = decoder; }

bool HasSettingsResource(HMODULE module) {
  return module && FindResourceA(module, kResourceName, MAKEINTRESOURCEA(10)) != nullptr;
}

void SetMainSettings(IZQModuleSettings* settings) {
  if (settings) settings->AddRef();
  IZQModuleSettings* old = g_main;
  g_main = settings;
  if (old) old->Release();
}

IZQModuleSettings* MainSettings() { return g_main; }

// --- TIZQSettings

TIZQSettings::TIZQSettings(HMODULE module, bool init) {
  if (!init) return;
  FModule = module;
  FSettings = ReferenceModule(module);
  FValid = FSettings != nullptr;
  // Only the module's own key: an offset delegated from the main module's list would point into
  // the wrong image.
  std::uint32_t offset = 0;
  {
    const auto lock = LockLists();
    if (const TZQProperty* p = FindProp("VersionVar", false, false, ptInteger)) offset = static_cast<std::uint32_t>(p->vInt);
  }
  if (offset) FVersionVar = ReadVersionText(module, offset);
}

TIZQSettings::~TIZQSettings() {
  if (TIZQAttachments* list = FAddAttachs) {
    // The list may outlive these settings in a caller's hands: it must not write back to them.
    list->ClearParent();
    list->Release();
  }
  if (FSettings) ReleaseModule(FSettings);
}

HRESULT STDMETHODCALLTYPE TIZQSettings::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IZQSettings) || IsEqualGUID(iid, IID_IZQModuleSettings)) {
    *out = static_cast<IZQModuleSettings*>(this);
  } else if (IsEqualGUID(iid, IID_IZQPropertyAccess)) {
    *out = static_cast<IZQPropertyAccess*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE TIZQSettings::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&FRefCount)); }

ULONG STDMETHODCALLTYPE TIZQSettings::Release() {
  const LONG left = InterlockedDecrement(&FRefCount);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

TZQProperty* TIZQSettings::FindProp(const char* name, bool allowDefault, bool write, TPropertyType createTyp) {
  TZQProperty* p = nullptr;
  if (FSettings) {
    p = PropListFind(*FSettings, name);
    if (!p && write) p = PropListAppend(*FSettings, name, createTyp, kLocalHeap);
  }
  // Defaults are only read: writers never pass allowDefault.
  if (!p && allowDefault) p = const_cast<TZQProperty*>(FindDefault(name));
  return p;
}

bool TIZQSettings::IsMainModule() { return !g_main || g_main->Module() == FModule; }

IZQPropertyAccess* TIZQSettings::MainAccess() {
  IZQPropertyAccess* access = nullptr;
  if (g_main && g_main->QueryInterface(IID_IZQPropertyAccess, reinterpret_cast<void**>(&access)) != S_OK) return nullptr;
  return access;
}

bool STDMETHODCALLTYPE TIZQSettings::GetPropBool(const char* name) {
  const bool main = IsMainModule();
  {
    const auto lock = LockLists();
    if (const TZQProperty* p = FindProp(name, main, false, ptBoolean)) return p->vBool;
  }
  if (main) return false;
  ZQRef<IZQPropertyAccess> access(MainAccess());
  return access && access->GetPropBool(name);
}

std::int32_t STDMETHODCALLTYPE TIZQSettings::GetPropInt(const char* name) {
  const bool main = IsMainModule();
  {
    const auto lock = LockLists();
    if (const TZQProperty* p = FindProp(name, main, false, ptInteger)) return p->vInt;
  }
  if (main) return 0;
  ZQRef<IZQPropertyAccess> access(MainAccess());
  return access ? access->GetPropInt(name) : 0;
}

std::string TIZQSettings::RawPropStr(const char* name) {
  const bool main = IsMainModule();
  {
    const auto lock = LockLists();
    if (const TZQProperty* p = FindProp(name, main, false, ptString)) return p->vStr ? p->vStr : "";
  }
  if (main) return {};
  // The main settings' own text, not their expansion: placeholders such as "%modname%" name
  // this object's module.
  ZQRef<IZQPropertyAccess> access(MainAccess());
  return access ? access->GetSelf()->RawPropStr(name) : std::string();
}

std::string STDMETHODCALLTYPE TIZQSettings::GetPropStr(const char* name) { return ExpandVars(RawPropStr(name)); }

std::string TIZQSettings::ExpandVars(const std::string& text) {
  if (text.find('%') == std::string::npos) return text;
  PlaceholderInputs in;
  HMODULE exe = GetModuleHandleA(nullptr);
  in.appName = platform::ModuleFileName(exe);
  in.modName = platform::ModuleFileName(FModule);
  in.appVersion = [this, exe] {
    if (exe == FModule) return FileVersionText(exe, FVersionVar);
    ZQRef<TIZQSettings> exeSettings(new TIZQSettings(exe, true));
    return FileVersionText(exe, exeSettings->VersionVar());
  };
  in.modVersion = [this] { return FileVersionText(FModule, FVersionVar); };
  in.keepExceptionPlaceholders = true;
  in.clock = [] {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return LocalClock{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  };
  in.userAppData = [] { return FolderPath(CSIDL_APPDATA); };
  in.commonAppData = [] { return FolderPath(CSIDL_COMMON_APPDATA); };
  in.exeFolder = platform::ModuleFolder(nullptr);
  return ExpandPlaceholders(text, in);
}

bool TIZQSettings::SetPropBool(const char* name, bool value) {
  if (!FValid) return false;
  const auto lock = LockLists();
  TZQProperty* p = FindProp(name, false, true, ptBoolean);
  if (!p || p->typ != ptBoolean) return false;
  p->vBool = value;
  return true;
}

bool TIZQSettings::SetPropInt(const char* name, std::int32_t value) {
  if (!FValid) return false;
  const auto lock = LockLists();
  TZQProperty* p = FindProp(name, false, true, ptInteger);
  if (!p || p->typ != ptInteger) return false;
  p->vInt = value;
  return true;
}

bool TIZQSettings::SetPropStr(const char* name, const std::string& value) {
  if (!FValid) return false;
  const auto lock = LockLists();
  TZQProperty* p = FindProp(name, false, true, ptString);
  if (!p || p->typ != ptString) return false;
  return PropSetString(*p, value.c_str(), kLocalHeap);
}

std::vector<std::pair<std::string, std::string>> STDMETHODCALLTYPE TIZQSettings::GetAdditionalFields() {
  if (!FFieldsBuilt) {
    FAddFields = ParseFields(GetPropStr("AddFields"));
    FFieldsBuilt = true;
  }
  return FAddFields;
}

IZQAttachments* STDMETHODCALLTYPE TIZQSettings::GetAdditionalAttachments() {
  if (!FAddAttachs) {
    auto* built = new TIZQAttachments(this, ParseAttachments(GetPropStr("AddAttachs")));
    // Two first calls at once: one list wins, the other is dropped unseen.
    if (InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&FAddAttachs), built, nullptr) != nullptr) {
      built->ClearParent();
      built->Release();
    }
  }
  FAddAttachs->AddRef();
  return FAddAttachs;
}

bool STDMETHODCALLTYPE TIZQSettings::GetPluginEnabled(const std::string& plugin) {
  return PluginEnabled(GetPropStr("Plugins"), plugin);
}

void STDMETHODCALLTYPE TIZQSettings::SetPluginEnabled(const std::string& plugin, bool value) {
  SetPropStr("Plugins", WithPlugin(RawPropStr("Plugins"), plugin, value));
}

bool STDMETHODCALLTYPE TIZQSettings::GetAssistant(const std::string& name, AssistantDefinition& out) {
  std::vector<std::string> definitions;
  for (int i = 1;; ++i) {
    std::string d = GetPropStr(("Assistant" + std::to_string(i)).c_str());
    if (d.empty()) break;
    definitions.push_back(std::move(d));
  }
  return FindAssistant(definitions, name, GetScreenShotDepth() != 0, out);
}

void STDMETHODCALLTYPE TIZQSettings::Reload() {
  if (!FSettings) return;
  const auto lock = LockLists();
  BuildPropertyList(*FSettings);
}

void STDMETHODCALLTYPE TIZQSettings::FillFormCache(const std::vector<FormCacheForm>& assistantForms) {
  kestrum::FillFormCache(FFormCache, assistantForms);
}

std::vector<bool> STDMETHODCALLTYPE TIZQSettings::ReadFormCache(std::vector<FormCacheForm>& assistantForms) {
  if (FFormCache.empty()) return std::vector<bool>(assistantForms.size(), false);
  return kestrum::ReadFormCache(FFormCache, assistantForms);
}

// --- Lookups

IZQModuleSettings* FindOwnSettings() {
  IZQModuleSettings* found = nullptr;
  HMODULE exe = GetModuleHandleA(nullptr);
  if (HasSettingsResource(exe)) found = new TIZQSettings(exe, true);
  if (Defers(found)) {
    HMODULE ide = GetModuleHandleA("KestrumIde_.bpl");
    if (ide && HasSettingsResource(ide)) Replace(found, new TIZQSettings(ide, true));
  }
  const char* at = nullptr;
  const void* lastBase = nullptr;
  MEMORY_BASIC_INFORMATION mbi;
  while (Defers(found) && VirtualQuery(at, &mbi, sizeof mbi)) {
    if (mbi.State == MEM_COMMIT && mbi.Type == MEM_IMAGE && mbi.AllocationBase == mbi.BaseAddress &&
        mbi.AllocationBase != lastBase) {
      lastBase = mbi.AllocationBase;
      HMODULE module = static_cast<HMODULE>(mbi.AllocationBase);
      if (HasSettingsResource(module)) {
        auto* candidate = new TIZQSettings(module, true);
        if (!found || !candidate->NoOwnSettings()) Replace(found, candidate);
        else candidate->Release();
      }
    }
    const char* next = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return found;
}

IZQModuleSettings* SettingsForModule(HMODULE module) {
  auto* s = new TIZQSettings(module, true);
  if (s->IsValid() && !s->NoOwnSettings()) return s;
  if (!s->IsValid()) return s;  // this copy is never the design-time package
  IZQModuleSettings* own = FindOwnSettings();
  if (own && own->IsValid() && !own->NoOwnSettings()) {
    s->Release();
    return own;
  }
  if (own) own->Release();
  return s;
}

IZQModuleSettings* SettingsForAddress(const void* address) {
  IZQModuleSettings* taken = nullptr;
  HMODULE exe = GetModuleHandleA(nullptr);
  HMODULE module = ModuleOfAddress(address);
  if (module && module != exe && HasSettingsResource(module)) taken = new TIZQSettings(module, true);
  if (!taken || (taken->IsValid() && taken->NoOwnSettings())) {
    IZQModuleSettings* own = FindOwnSettings();
    if (own && (!taken || (own->IsValid() && !own->NoOwnSettings()))) Replace(taken, own);
    else if (own) own->Release();
  }
  if (!taken) taken = new TIZQSettings(exe, true);
  return taken;
}

__attribute__((noinline)) IZQModuleSettings* SettingsForCaller() {
  return SettingsForAddress(__builtin_return_address(0));
}

__attribute__((noinline)) IZQModuleSettings* SettingsForCallerLevel(int level) {
  // Frame layout with frame pointers: [ebp] = caller's ebp, [ebp + 4] = return address.
  void* const* frame = static_cast<void* const*>(__builtin_frame_address(0));
  const void* address = __builtin_return_address(0);
  for (int i = 0; i < level; ++i) {
    auto* up = static_cast<void* const*>(frame[0]);
    if (up <= frame || !Readable(up, 2 * sizeof(void*))) break;
    frame = up;
    address = frame[1];
  }
  return SettingsForAddress(address);
}

}  // namespace kestrum
