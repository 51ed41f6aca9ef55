// Report plug-ins: named callbacks whose output becomes a header field or a section of a bug
// report, in one process-wide list. The component registers three of its own, the system lists
// "hardware", "processes" and "modules"; their formatting is here, the system queries that fill
// them are in the _win part.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrum {
struct IZQException;
}

using TBugReportPluginA = std::string (*)();
using TBugReportPluginW = std::wstring (*)();
using TBugReportPluginExA = std::string (*)(kestrum::IZQException* exception);
using TBugReportPluginExW = std::wstring (*)(kestrum::IZQException* exception);

// Registration appends without looking for the name; removal takes the first record of exactly
// that name. The list has no lock: it changes only while the program starts and ends.
void AddReportPlugin(const std::string& name, const std::string& description, TBugReportPluginA callback, bool ownSection);
void AddReportPluginW(const std::string& name, const std::string& description, TBugReportPluginW callback, bool ownSection);
void AddReportPluginEx(const std::string& name, const std::string& description, TBugReportPluginExA callback, bool ownSection);
void AddReportPluginExW(const std::string& name, const std::string& description, TBugReportPluginExW callback, bool ownSection);
void RemoveReportPlugin(const std::string& name);

namespace report {

struct ReportPlugin {
  std::string name;         // the header field or section; the Plugins setting names it
  std::string description;  // for people
  TBugReportPluginA procOldA = nullptr;
  TBugReportPluginW procOldW = nullptr;
  TBugReportPluginExA procNewA = nullptr;
  TBugReportPluginExW procNewW = nullptr;
  bool ownSection = false;
};

// The records in registration order.
const std::vector<ReportPlugin>& ReportPlugins();

// --- Modules list -----------------------------------------------------------------------------

struct ModuleEntry {
  std::uint32_t handle;  // allocation base
  std::wstring fileName;
  std::wstring folder;   // without the closing backslash
  std::wstring version;  // "" when the file has no version
};

// "major.minor.release.build" of a file version's two 32-bit halves; "" for version 0.
std::wstring VersionText(std::uint32_t mostSignificant, std::uint32_t leastSignificant);
// The part after the last backslash, and the part before it (all of it and "" without one).
void SplitPath(const std::wstring& path, std::wstring& folder, std::wstring& name);
// One line per module: handle in 8 hex digits, the name and version columns, the folder.
std::wstring FormatModules(const std::vector<ModuleEntry>& modules);

// --- Processes list ---------------------------------------------------------------------------

struct ProcessEntry {
  std::uint32_t id = 0;
  std::wstring name;
  std::wstring folder;
  std::uint32_t session = 0;
  std::int32_t priority = -1;  // priority class; -1 unknown
  std::uint32_t gdiObjects = 0;
  std::uint32_t userObjects = 0;
};

std::wstring PriorityText(std::int32_t priorityClass);
// A kernel image path made usable: "\SystemRoot\System32\" becomes the system folder, a leading
// "\??\" goes.
std::wstring NormalizeImagePath(const std::wstring& path, const std::wstring& systemFolder);
// One line per process: id in hexadecimal, name, session (only when some process has a
// non-zero one), GDI and USER object counts, priority, folder.
std::wstring FormatProcesses(const std::vector<ProcessEntry>& processes);

// --- Hardware list ----------------------------------------------------------------------------

// What the device-setup services answer for one device (registry properties as text).
struct DeviceAnswers {
  std::string className;     // SPDRP_CLASS
  std::string hardwareId;    // SPDRP_HARDWAREID (its first string)
  std::string classGuid;     // SPDRP_CLASSGUID
  std::string friendlyName;  // SPDRP_FRIENDLYNAME
  std::string description;   // SPDRP_DEVICEDESC
  std::string driver;        // SPDRP_DRIVER
};

// A value under HKEY_LOCAL_MACHINE: the text of a string value, the raw bytes of any other, ""
// when it cannot be read. name "" is the key's default value.
using MachineValueReader = std::function<std::string(const std::string& key, const std::string& name)>;

inline constexpr char kClassKey[] = "System\\CurrentControlSet\\Control\\Class\\";

// Devices sorted into classes, both in case-blind order of their titles.
class HardwareTree {
 public:
  void Add(const std::string& classTitle, const std::string& name, const std::string& driverKey);
  // "+ class", then "  - device" lines, a device followed by its driver version when its
  // provider is someone other than Microsoft.
  std::string Format(const MachineValueReader& read) const;

 private:
  struct Device {
    std::string name;
    std::string driverKey;
  };
  struct Class {
    std::string title;
    std::vector<Device> devices;
  };
  std::vector<Class> classes_;
};

// The hardware list of the devices the device-setup services reported, in their order.
std::string HardwareList(const std::vector<DeviceAnswers>& devices, const MachineValueReader& read);

}  // namespace report
