#include "report/KestrumReportHeader_win.h"

#include <wtsapi32.h>

#include <functional>
#include <set>
#include <vector>

#include "platform/Handles_win.h"
#include "platform/Modules_win.h"
#include "platform/Text.h"
#include "platform/WideText_win.h"
#include "report/KestrumReportHeader.h"
#include "report/KestrumReportText.h"

namespace report {

namespace {

std::string ComputerName() {
  char name[261] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

std::string WtsClientName() {
  if (!GetSystemMetrics(SM_REMOTESESSION)) return {};
  // Bound at run time: a machine without terminal services has no such library.
  static const auto query = [] {
    HMODULE wts = platform::LoadModule(L"wtsapi32.dll");
    return std::make_pair(platform::ProcAddress<decltype(&::WTSQuerySessionInformationA)>(wts, "WTSQuerySessionInformationA"),
                          platform::ProcAddress<decltype(&::WTSFreeMemory)>(wts, "WTSFreeMemory"));
  }();
  if (!query.first || !query.second) return {};
  LPSTR buffer = nullptr;
  DWORD length = 0;
  std::string name;
  if (query.first(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSClientName, &buffer, &length) && buffer) {
    if (length > 1) name.assign(buffer, length - 1);
    query.second(buffer);
  }
  return name;
}

bool IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

std::string UserName() {
  char name[257] = {};
  DWORD size = sizeof name;
  if (!GetUserNameA(name, &size)) return {};
  std::string text = name;
  if (IsAdministrator()) text += "  <admin>";
  return text;
}

std::string RegistryString(HKEY root, const char* path, const char* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  std::string text;
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) &&
      size > 0 && size < 64 * 1024) {
    std::vector<char> buffer(size + 1, '\0');
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS) {
      text = buffer.data();  // the stored value may or may not end in a zero
    }
  }
  RegCloseKey(key);
  return text;
}

std::string RegisteredOwner() {
  const char* path = "Software\\Microsoft\\Windows NT\\CurrentVersion";
  std::string owner = RegistryString(HKEY_LOCAL_MACHINE, path, "RegisteredOwner");
  const std::string organization = RegistryString(HKEY_LOCAL_MACHINE, path, "RegisteredOrganization");
  if (!organization.empty()) owner += " / " + organization;
  return owner;
}

// The version as the system knows it: RtlGetVersion does not bend it to the program's manifest.
struct SystemVersion {
  OsFacts facts;
  bool known = false;
};
const SystemVersion& TheSystemVersion() {
  static const SystemVersion version = [] {
    SystemVersion v;
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const auto rtlGetVersion = platform::ProcAddress<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
    if (rtlGetVersion ? rtlGetVersion(&info) != 0 : true) return v;
    v.known = true;
    v.facts.win9x = false;
    v.facts.major = info.dwMajorVersion;
    v.facts.minor = info.dwMinorVersion;
    v.facts.build = info.dwBuildNumber;
    v.facts.workstation = info.wProductType == VER_NT_WORKSTATION;
    v.facts.r2 = GetSystemMetrics(SM_SERVERR2) != 0;
    v.facts.tabletPc = GetSystemMetrics(SM_TABLETPC) != 0;
    v.facts.starter = GetSystemMetrics(SM_STARTER) != 0;
    v.facts.mediaCenter = GetSystemMetrics(SM_MEDIACENTER) != 0;
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    v.facts.x64 = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    v.facts.servicePack = platform::AnsiFromWide(info.szCSDVersion);
    return v;
  }();
  return version;
}

std::string OperatingSystem() {
  const SystemVersion& version = TheSystemVersion();
  if (!version.known) return {};
  return OsDescription(version.facts) + " build " + std::to_string(version.facts.build);
}

std::string SystemLanguage() {
  char name[128] = {};
  return GetLocaleInfoA(GetSystemDefaultLCID(), LOCALE_SENGLANGUAGE, name, sizeof name) > 1 ? std::string(name) : std::string();
}

std::string SystemUpTime() {
  LARGE_INTEGER count{}, frequency{};
  if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) return {};
  return DurationText(count.QuadPart / frequency.QuadPart);
}

std::pair<const char*, std::string> Processors() {
  const std::string base = "hardware\\description\\system\\centralProcessor\\";
  const std::string name = RegistryString(HKEY_LOCAL_MACHINE, (base + "0").c_str(), "ProcessorNameString");
  int count = 1;
  while (count < 16 && !RegistryString(HKEY_LOCAL_MACHINE, (base + std::to_string(count)).c_str(), "ProcessorNameString").empty()) {
    ++count;
  }
  return {count > 1 ? "processors" : "processor", ProcessorText(count, name)};
}

std::string PhysicalMemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return {};
  return PhysicalMemoryText(status.ullAvailPhys, status.ullTotalPhys);
}

const std::string& DecimalSeparator() {
  static const std::string separator = [] {
    char text[8] = {};
    return GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, text, sizeof text) > 1 ? std::string(text) : std::string(",");
  }();
  return separator;
}

std::string DriveFree(char letter) {
  const char root[] = {letter, ':', '\\', 0};
  ULARGE_INTEGER available{}, total{}, totalFree{};
  std::uint64_t freeBytes = 0;
  if (GetDiskFreeSpaceExA(root, &available, &total, &totalFree)) {
    freeBytes = totalFree.QuadPart;
  } else {
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) return {};
    freeBytes = std::uint64_t{sectorsPerCluster} * bytesPerSector * freeClusters;
  }
  return DriveFreeText(letter, freeBytes, DecimalSeparator());
}

std::string FreeDiskSpace() {
  char windows[MAX_PATH + 1] = {};
  const UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
  const char windowsDrive = length > 0 && length < MAX_PATH ? DriveLetterOf(windows) : 0;
  std::string text = windowsDrive ? DriveFree(windowsDrive) : std::string();
  const char programDrive = DriveLetterOf(platform::ModulePath());
  if (programDrive && (programDrive | 0x20) != (windowsDrive | 0x20)) {
    const std::string second = DriveFree(programDrive);
    if (!second.empty()) text += (text.empty() ? "" : " ") + second;
  }
  return text;
}

std::string DisplayMode() {
  HDC screen = GetDC(nullptr);
  if (!screen) return {};
  const int bits = GetDeviceCaps(screen, BITSPIXEL), planes = GetDeviceCaps(screen, PLANES);
  ReleaseDC(nullptr, screen);
  return DisplayModeText(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), bits, planes);
}

// Committed memory outside the loaded modules: the heaps, stacks and the program's own allocations.
std::string AllocatedMemory() {
  std::uint64_t total = 0;
  std::set<void*> modules, others;
  MEMORY_BASIC_INFORMATION region{};
  for (auto address = reinterpret_cast<std::uintptr_t>(nullptr);;) {
    if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) != sizeof region) break;
    if (region.State == MEM_COMMIT && region.AllocationBase) {
      void* base = region.AllocationBase;
      bool isModule = modules.count(base) != 0;
      if (!isModule && !others.count(base)) {
        char name[MAX_PATH];
        isModule = GetModuleFileNameA(static_cast<HMODULE>(base), name, sizeof name) != 0;
        (isModule ? modules : others).insert(base);
      }
      if (!isModule) total += region.RegionSize;
    }
    const std::uintptr_t next = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    if (region.RegionSize == 0 || next <= address) break;
    address = next;
  }
  return SizeText(total, DecimalSeparator());
}

std::string CommandLine() {
  const char* line = GetCommandLineA();
  return line && HasCommandLineParameters(line) ? std::string(line) : std::string();
}

// The examined file: the module that holds the component (the program itself in this build).
struct ExaminedFile {
  std::string path;
  bool isExecutable = true;
};
ExaminedFile Examined(HMODULE componentModule) {
  ExaminedFile file;
  file.isExecutable = !componentModule || componentModule == GetModuleHandleW(nullptr);
  file.path = platform::ModulePath(file.isExecutable ? nullptr : componentModule);
  return file;
}

bool FileTime(const std::string& path, SYSTEMTIME& local) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  FILETIME localTime{};
  return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) && FileTimeToLocalFileTime(&data.ftLastWriteTime, &localTime) &&
         FileTimeToSystemTime(&localTime, &local);
}

std::string FileVersion(const std::string& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<std::uint8_t> info(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data()) ||
      !VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed || fixedSize < sizeof *fixed) {
    return {};
  }
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

std::string LoadedModuleVersion(const wchar_t* name) {
  HMODULE module = GetModuleHandleW(name);
  return module ? FileVersion(platform::ModulePath(module)) : std::string();
}

std::optional<int> LinkerMajorVersion(HMODULE module) {
  if (!module) module = GetModuleHandleW(nullptr);
  // The image headers of a loaded module are mapped and readable.
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 || dos->e_lfanew > 4096) return std::nullopt;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(reinterpret_cast<const char*>(module) + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return std::nullopt;
  return nt->OptionalHeader.MajorLinkerVersion;
}

}  // namespace

std::int64_t CounterMilliseconds() {
  LARGE_INTEGER count{}, frequency{};
  if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
    return static_cast<std::int64_t>(GetTickCount64());
  }
  return count.QuadPart / frequency.QuadPart * 1000 + count.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart;
}

int AddSystemHeaderFields(FieldList& header, const SystemHeaderInput& input) {
  ReportItems pairs;
  pairs.reserve(32);
  // Each field on its own: a fault or a failing query leaves that field empty, and an empty field
  // is not stored, but it still counts where the report places fields added later.
  const auto add = [&pairs](const char* name, const std::function<std::string()>& value) {
    std::string text;
    try {
      text = value();
    } catch (...) {
      text.clear();
    }
    pairs.emplace_back(name, std::move(text));
  };
  const SYSTEMTIME& t = input.time;
  add("date/time", [&] { return DateTimeText(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds); });
  add("computer name", ComputerName);
  add("wts client name", WtsClientName);
  add("user name", UserName);
  add("registered owner", RegisteredOwner);
  add("operating system", OperatingSystem);
  add("system language", SystemLanguage);
  add("system up time", SystemUpTime);
  add("program up time", [&] { return ProgramUpTimeText(CounterMilliseconds() - input.componentStartMs); });
  {
    std::pair<const char*, std::string> processors{"processor", {}};
    try {
      processors = Processors();
    } catch (...) {
      processors.second.clear();
    }
    pairs.emplace_back(processors.first, processors.second);
  }
  add("physical memory", PhysicalMemory);
  add("system resources", [] { return std::string(); });  // only a system of the old family had them
  add("free disk space", FreeDiskSpace);
  add("display mode", DisplayMode);
  add("process id", [] { return platform::DollarHex(GetCurrentProcessId()); });
  add("allocated memory", AllocatedMemory);
  add("command line", CommandLine);
  add("executable", [] { return platform::ModuleFileName(nullptr); });
  add("current module", [&] {
    return input.componentModule && input.componentModule != GetModuleHandleW(nullptr) ? platform::ModuleFileName(input.componentModule)
                                                                                       : std::string();
  });
  const ExaminedFile examined = Examined(input.componentModule);
  SYSTEMTIME fileTime{};
  const bool found = !examined.path.empty() && FileTime(examined.path, fileTime);
  add(ModuleTimeLabel(examined.isExecutable), [&] {
    return found ? FileDateTimeText(fileTime.wYear, fileTime.wMonth, fileTime.wDay, fileTime.wHour, fileTime.wMinute) : std::string();
  });
  add("version", [&] {
    if (!found) return std::string();
    return input.versionVar.empty() ? FileVersion(examined.path) : input.versionVar;
  });
  add("bde version", [] { return LoadedModuleVersion(L"idapi32.dll"); });
  add("compiled with", [&] { return CompilerName(LinkerMajorVersion(input.componentModule)); });
  add("Kestrum version", [] { return std::string("3.0k"); });

  header.Lock();
  for (const auto& [name, value] : pairs) header.SetContent(name, value);
  header.Unlock();
  return static_cast<int>(pairs.size());
}

}  // namespace report
