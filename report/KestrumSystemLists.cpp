#include "report/KestrumSystemLists.h"

#include <algorithm>
#include <cwchar>

#include "platform/Text.h"

namespace report {

namespace {

// Built on first use: units may register from their static initialisers.
std::vector<ReportPlugin>& Plugins() {
  static std::vector<ReportPlugin> list;
  return list;
}

template <class Char>
std::basic_string<Char> Padded(std::basic_string<Char> text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), Char(' '));
  return text;
}

std::wstring Hex(std::uint32_t v, std::size_t digits) {
  const std::string s = platform::HexDigits(v, digits);
  return std::wstring(s.begin(), s.end());
}

std::wstring Decimal(std::uint32_t v) { return std::to_wstring(v); }

// Every line is written with a line break in front; the first one goes at the end.
template <class Char>
void AppendLine(std::basic_string<Char>& out, const std::basic_string<Char>& line) {
  out += Char('\r');
  out += Char('\n');
  out += line;
}
template <class Char>
std::basic_string<Char> Finished(std::basic_string<Char> out) {
  return out.size() >= 2 ? out.substr(2) : out;
}

std::string Trimmed(const std::string& s) {
  std::size_t first = 0, last = s.size();
  while (first < last && static_cast<unsigned char>(s[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') --last;
  return s.substr(first, last - first);
}

}  // namespace

const std::vector<ReportPlugin>& ReportPlugins() { return Plugins(); }

// --- Modules ----------------------------------------------------------------------------------

std::wstring VersionText(std::uint32_t ms, std::uint32_t ls) {
  if (ms == 0 && ls == 0) return {};
  return Decimal(ms >> 16) + L"." + Decimal(ms & 0xFFFF) + L"." + Decimal(ls >> 16) + L"." + Decimal(ls & 0xFFFF);
}

void SplitPath(const std::wstring& path, std::wstring& folder, std::wstring& name) {
  const std::size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) {
    folder.clear();
    name = path;
  } else {
    folder = path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

std::wstring FormatModules(const std::vector<ModuleEntry>& modules) {
  std::size_t nameWidth = 0, versionWidth = 0;
  for (const ModuleEntry& m : modules) {
    nameWidth = std::max(nameWidth, m.fileName.size());
    versionWidth = std::max(versionWidth, m.version.size());
  }
  ++nameWidth, ++versionWidth;
  std::wstring out;
  for (const ModuleEntry& m : modules) {
    AppendLine(out, Hex(m.handle, 8) + L" " + Padded(m.fileName, nameWidth) + Padded(m.version, versionWidth) + m.folder);
  }
  return Finished(out);
}

// --- Processes --------------------------------------------------------------------------------

std::wstring PriorityText(std::int32_t priorityClass) {
  switch (priorityClass) {
    case 0x20: return L"normal";
    case 0x40: return L"idle";
    case 0x80: return L"high";
    case 0x100: return L"realtime";
    case 0x4000: return L"below normal";
    case 0x8000: return L"above normal";
    case 0:
    case -1: return {};
    default: return L"$" + Hex(static_cast<std::uint32_t>(priorityClass), 0);
  }
}

std::wstring NormalizeImagePath(const std::wstring& path, const std::wstring& systemFolder) {
  static const wchar_t kSystemRoot[] = L"\\systemroot\\system32\\";
  const std::size_t rootLength = std::wcslen(kSystemRoot);
  if (path.size() >= rootLength) {
    bool same = true;
    for (std::size_t i = 0; i < rootLength && same; ++i) {
      const wchar_t c = path[i] >= L'A' && path[i] <= L'Z' ? static_cast<wchar_t>(path[i] - L'A' + L'a') : path[i];
      same = c == kSystemRoot[i];
    }
    // The system folder takes the place of "\SystemRoot\System32" and the backslash stays.
    if (same) return systemFolder + path.substr(rootLength - 1);
  }
  if (path.compare(0, 4, L"\\??\\") == 0) return path.substr(4);
  return path;
}

std::wstring FormatProcesses(const std::vector<ProcessEntry>& processes) {
  std::size_t idDigits = 1, nameWidth = 0, sessionWidth = 0, gdiWidth = 0, userWidth = 0, priorityWidth = 0;
  for (const ProcessEntry& p : processes) {
    idDigits = std::max(idDigits, Hex(p.id, 0).size());
    nameWidth = std::max(nameWidth, p.name.size());
    if (p.session != 0) sessionWidth = std::max(sessionWidth, Decimal(p.session).size());
    gdiWidth = std::max(gdiWidth, Decimal(p.gdiObjects).size());
    userWidth = std::max(userWidth, Decimal(p.userObjects).size());
    priorityWidth = std::max(priorityWidth, PriorityText(p.priority).size());
  }
  const bool sessionColumn = sessionWidth > 0;
  ++nameWidth, ++sessionWidth, ++gdiWidth, ++userWidth, ++priorityWidth;
  std::wstring out;
  for (const ProcessEntry& p : processes) {
    std::wstring line = Hex(p.id, idDigits) + L" " + Padded(p.name, nameWidth);
    if (sessionColumn) line += Padded(Decimal(p.session), sessionWidth);
    line += Padded(Decimal(p.gdiObjects), gdiWidth) + Padded(Decimal(p.userObjects), userWidth) +
            Padded(PriorityText(p.priority), priorityWidth) + p.folder;
    AppendLine(out, line);
  }
  return Finished(out);
}

// --- Hardware ---------------------------------------------------------------------------------

void HardwareTree::Add(const std::string& classTitle, const std::string& name, const std::string& driverKey) {
  auto at =
      std::find_if(classes_.begin(), classes_.end(), [&](const Class& c) { return platform::CompareNoCase(c.title, classTitle) >= 0; });
  // Titles equal but for letter case stand side by side as classes of their own; a device joins
  // the one whose title is exactly its own rather than founding yet another.
  auto exact = at;
  while (exact != classes_.end() && platform::CompareNoCase(exact->title, classTitle) == 0 && exact->title != classTitle) ++exact;
  if (exact != classes_.end() && exact->title == classTitle) {
    at = exact;
  } else {
    at = classes_.insert(at, Class{classTitle, {}});
  }
  auto& devices = at->devices;
  auto before = std::find_if(devices.begin(), devices.end(), [&](const Device& d) { return platform::CompareNoCase(d.name, name) >= 0; });
  devices.insert(before, Device{name, driverKey});
}

std::string HardwareTree::Format(const MachineValueReader& read) const {
  std::string out;
  for (const Class& c : classes_) {
    AppendLine(out, "+ " + c.title);
    for (const Device& d : c.devices) {
      std::string line = "  - " + d.name;
      if (!d.driverKey.empty()) {
        const std::string provider = read(d.driverKey, "ProviderName");
        if (!provider.empty() && provider[0] != '(' && platform::CompareNoCase(provider, "Microsoft") != 0) {
          std::string version = Trimmed(read(d.driverKey, "DriverVersion"));
          if (version.empty()) version = Trimmed(read(d.driverKey, "DriverDate"));
          if (!version.empty()) line += " (driver " + version + ")";
        }
      }
      AppendLine(out, line);
    }
  }
  return Finished(out);
}

std::string HardwareList(const std::vector<DeviceAnswers>& devices, const MachineValueReader& read) {
  HardwareTree tree;
  for (const DeviceAnswers& d : devices) {
    if (d.className == "LegacyDriver" || d.className == "Unknown" || d.className == "Volume") continue;
    if (platform::StartsWithNoCase(d.hardwareId, "sw\\")) continue;  // software-enumerated, not hardware
    std::string classTitle = d.classGuid;
    if (!d.classGuid.empty()) {
      const std::string title = read(kClassKey + d.classGuid, "");
      if (!title.empty()) classTitle = title;
    }
    if (classTitle.empty()) continue;
    const std::string& name = d.friendlyName.empty() ? d.description : d.friendlyName;
    const std::string driverKey = d.driver.empty() ? std::string() : kClassKey + d.driver;
    if (!driverKey.empty()) {
      // Devices the driver hides from the device manager stay out of the list as well.
      const std::string characteristics = read(driverKey, "Characteristics");
      if (characteristics.size() == 4 && (static_cast<unsigned char>(characteristics[0]) & 0x08)) continue;
    }
    tree.Add(classTitle, name, driverKey);
  }
  return tree.Format(read);
}

}  // namespace report

namespace {

// A record with the one callback that fill sets.
template <class Fill>
void Append(const std::string& name, const std::string& description, bool ownSection, Fill fill) {
  report::ReportPlugin p{name, description};
  p.ownSection = ownSection;
  fill(p);
  report::Plugins().push_back(std::move(p));
}

}  // namespace

void AddReportPlugin(const std::string& name, const std::string& description, TBugReportPluginA callback, bool ownSection) {
  Append(name, description, ownSection, [&](report::ReportPlugin& p) { p.procOldA = callback; });
}

void AddReportPluginW(const std::string& name, const std::string& description, TBugReportPluginW callback, bool ownSection) {
  Append(name, description, ownSection, [&](report::ReportPlugin& p) { p.procOldW = callback; });
}

void AddReportPluginEx(const std::string& name, const std::string& description, TBugReportPluginExA callback, bool ownSection) {
  Append(name, description, ownSection, [&](report::ReportPlugin& p) { p.procNewA = callback; });
}

void AddReportPluginExW(const std::string& name, const std::string& description, TBugReportPluginExW callback, bool ownSection) {
  Append(name, description, ownSection, [&](report::ReportPlugin& p) { p.procNewW = callback; });
}

void RemoveReportPlugin(const std::string& name) {
  auto& plugins = report::Plugins();
  const auto it = std::find_if(plugins.begin(), plugins.end(), [&](const report::ReportPlugin& p) { return p.name == name; });
  if (it != plugins.end()) plugins.erase(it);
}
