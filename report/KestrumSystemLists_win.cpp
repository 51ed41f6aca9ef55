#include "report/KestrumSystemLists_win.h"

#include <psapi.h>
#include <setupapi.h>
#include <winternl.h>

#include <cstring>

#include "platform/Handles_win.h"
#include "platform/Modules_win.h"

namespace report {

namespace {

// --- Modules ----------------------------------------------------------------------------------

std::wstring FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<std::uint8_t> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return {};
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed || fixedSize < sizeof *fixed) return {};
  return VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

// --- Processes --------------------------------------------------------------------------------

struct PsapiEntries {
  decltype(&::GetModuleFileNameExW) pGetModuleFileNameExW;
};

// --- Hardware ---------------------------------------------------------------------------------

struct SetupApiEntries {
  decltype(&::SetupDiGetClassDevsA) pSetupDiGetClassDevsA;
  decltype(&::SetupDiDestroyDeviceInfoList) pSetupDiDestroyDeviceInfoList;
  decltype(&::SetupDiEnumDeviceInfo) pSetupDiEnumDeviceInfo;
  decltype(&::SetupDiGetDeviceRegistryPropertyA) pSetupDiGetDeviceRegistryPropertyA;
};

std::string DeviceProperty(const SetupApiEntries& api, HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  DWORD size = 0;
  api.pSetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr, nullptr, 0, &size);
  if (size == 0) return {};
  // Twice the size, zeroed: a value stored without its terminating zero still ends.
  std::vector<char> buffer(static_cast<std::size_t>(size) * 2, '\0');
  if (!api.pSetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                                              static_cast<DWORD>(buffer.size()), nullptr)) {
    return {};
  }
  return buffer.data();
}

std::string HardwarePlugin() { return HardwareList(); }
std::wstring ProcessesPlugin() { return ProcessesList(); }
std::wstring ModulesPlugin() { return ModulesList(); }

constexpr ULONG kSystemProcessInformation = 5;
constexpr ULONG kFirstBuffer = 128 * 1024, kLastBuffer = 4 * 1024 * 1024;

}  // namespace

std::vector<std::uint8_t> ProcessTable() {
  const auto query = platform::ProcAddress<decltype(&::NtQuerySystemInformation)>(L"ntdll.dll", "NtQuerySystemInformation");
  if (!query) return {};
  const auto processes = static_cast<SYSTEM_INFORMATION_CLASS>(kSystemProcessInformation);
  ULONG needed = 0;
  query(processes, nullptr, 0, &needed);
  if (needed != 0) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(needed) * 2);
    if (NT_SUCCESS(query(processes, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr))) return buffer;
    return {};
  }
  for (ULONG size = kFirstBuffer; size <= kLastBuffer; size *= 2) {
    std::vector<std::uint8_t> buffer(size);
    if (NT_SUCCESS(query(processes, buffer.data(), size, nullptr))) return buffer;
  }
  return {};
}

std::vector<ModuleEntry> CollectModules() {
  std::vector<ModuleEntry> modules;
  modules.reserve(32);
  MEMORY_BASIC_INFORMATION region;
  const char* address = nullptr;
  const void* previousBase = nullptr;
  while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.AllocationBase != previousBase && region.BaseAddress == region.AllocationBase) {
      const std::wstring path = platform::ModulePathW(static_cast<HMODULE>(region.AllocationBase));
      if (!path.empty()) {
        ModuleEntry m{static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(region.AllocationBase)), {}, {}, FileVersion(path)};
        SplitPath(path, m.folder, m.fileName);
        modules.push_back(std::move(m));
      }
    }
    previousBase = region.AllocationBase;
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;  // the top of the address space
    address = next;
  }
  return modules;
}

std::vector<ProcessEntry> CollectProcesses() {
  std::vector<ProcessEntry> processes;
  processes.reserve(64);
  const std::vector<std::uint8_t> table = ProcessTable();
  if (table.empty()) return processes;

  PsapiEntries psapi{};
  const platform::EntrySlot psapiSlots[] = {
      {"GetModuleFileNameExW", "GetModuleFileNameExW", platform::SlotOf(psapi.pGetModuleFileNameExW)}};
  const platform::ScopedModule psapiModule(platform::LoadAndBind(L"psapi.dll", psapiSlots));
  const auto getGuiResources = platform::ProcAddress<decltype(&::GetGuiResources)>(L"user32.dll", "GetGuiResources");
  wchar_t systemFolder[MAX_PATH] = {};
  GetSystemDirectoryW(systemFolder, MAX_PATH);

  const std::uint8_t* const begin = table.data();
  const std::size_t size = table.size();
  std::size_t at = 0;
  while (at + sizeof(SYSTEM_PROCESS_INFORMATION) <= size) {
    SYSTEM_PROCESS_INFORMATION entry;
    std::memcpy(&entry, begin + at, sizeof entry);
    ProcessEntry p;
    p.id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(entry.UniqueProcessId));
    p.session = entry.SessionId;
    // The name points into the buffer; one that does not is not read.
    std::wstring path;
    const auto* name = reinterpret_cast<const std::uint8_t*>(entry.ImageName.Buffer);
    if (name && entry.ImageName.Length && name >= begin && name <= begin + size && entry.ImageName.Length <= begin + size - name) {
      path.assign(reinterpret_cast<const wchar_t*>(name), entry.ImageName.Length / sizeof(wchar_t));
    } else {
      path = L"Idle";
    }
    if (psapi.pGetModuleFileNameExW) {
      const platform::ScopedKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, p.id));
      wchar_t full[MAX_PATH * 2];
      if (process) {
        const DWORD length = psapi.pGetModuleFileNameExW(process.Get(), nullptr, full, MAX_PATH * 2);
        if (length > 0 && length < MAX_PATH * 2) path = NormalizeImagePath(std::wstring(full, length), systemFolder);
      }
    }
    SplitPath(path, p.folder, p.name);
    if (p.id != 0) {
      const platform::ScopedKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, p.id));
      if (process) {
        p.priority = static_cast<std::int32_t>(GetPriorityClass(process.Get()));
        if (getGuiResources) {
          p.gdiObjects = getGuiResources(process.Get(), GR_GDIOBJECTS);
          p.userObjects = getGuiResources(process.Get(), GR_USEROBJECTS);
        }
      }
    }
    processes.push_back(std::move(p));
    if (entry.NextEntryOffset == 0) break;
    at += entry.NextEntryOffset;
  }
  return processes;
}

std::vector<DeviceAnswers> CollectDevices() {
  std::vector<DeviceAnswers> devices;
  SetupApiEntries api{};
  const platform::EntrySlot slots[] = {
      {"SetupDiGetClassDevsA", "SetupDiGetClassDevsA", platform::SlotOf(api.pSetupDiGetClassDevsA)},
      {"SetupDiDestroyDeviceInfoList", "SetupDiDestroyDeviceInfoList", platform::SlotOf(api.pSetupDiDestroyDeviceInfoList)},
      {"SetupDiEnumDeviceInfo", "SetupDiEnumDeviceInfo", platform::SlotOf(api.pSetupDiEnumDeviceInfo)},
      {"SetupDiGetDeviceRegistryPropertyA", "SetupDiGetDeviceRegistryPropertyA", platform::SlotOf(api.pSetupDiGetDeviceRegistryPropertyA)},
  };
  const platform::ScopedModule setupapi(platform::LoadAndBind(L"setupapi.dll", slots));
  if (!setupapi) return devices;
  HDEVINFO set = api.pSetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return devices;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; api.pSetupDiEnumDeviceInfo(set, index, &device); ++index) {
    DeviceAnswers d;
    d.className = DeviceProperty(api, set, device, SPDRP_CLASS);
    d.hardwareId = DeviceProperty(api, set, device, SPDRP_HARDWAREID);
    d.classGuid = DeviceProperty(api, set, device, SPDRP_CLASSGUID);
    d.friendlyName = DeviceProperty(api, set, device, SPDRP_FRIENDLYNAME);
    d.description = DeviceProperty(api, set, device, SPDRP_DEVICEDESC);
    d.driver = DeviceProperty(api, set, device, SPDRP_DRIVER);
    devices.push_back(std::move(d));
  }
  api.pSetupDiDestroyDeviceInfoList(set);
  return devices;
}

std::string ReadMachineValue(const std::string& key, const std::string& name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) return {};
  std::string value;
  DWORD type = 0, size = 0;
  const char* valueName = name.empty() ? nullptr : name.c_str();
  if (RegQueryValueExA(opened, valueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size > 0) {
    value.assign(size, '\0');
    if (RegQueryValueExA(opened, valueName, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS) {
      value.clear();
    } else {
      value.resize(size);
      if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) value.resize(std::strlen(value.c_str()));
    }
  }
  RegCloseKey(opened);
  return value;
}

std::wstring ModulesList() { return FormatModules(CollectModules()); }
std::wstring ProcessesList() { return FormatProcesses(CollectProcesses()); }
std::string HardwareList() { return HardwareList(CollectDevices(), ReadMachineValue); }

void RegisterSystemLists() {
  AddReportPlugin("hardware", "list of installed hardware", HardwarePlugin, true);
  AddReportPluginW("processes", "list of running processes", ProcessesPlugin, true);
  AddReportPluginW("modules", "list of loaded modules", ModulesPlugin, true);
}

void UnregisterSystemLists() {
  RemoveReportPlugin("modules");
  RemoveReportPlugin("processes");
  RemoveReportPlugin("hardware");
}

}  // namespace report
