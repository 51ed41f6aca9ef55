#include "report/KestrumSystemLists.h"

#include <gtest/gtest.h>

#include <map>

namespace report {
namespace {

std::string OneA() { return "a"; }
std::string TwoA() { return "b"; }
std::wstring OneW() { return L"w"; }
std::string WithException(kestrum::IZQException*) { return "e"; }

TEST(ReportPlugins, NamesMayRepeatAndRemovalTakesTheFirstExactName) {
  const std::size_t before = ReportPlugins().size();
  AddReportPlugin("twice", "first", OneA, true);
  AddReportPluginW("other", "wide", OneW, false);
  AddReportPlugin("twice", "second", TwoA, false);
  ASSERT_EQ(ReportPlugins().size(), before + 3);
  const ReportPlugin& wide = ReportPlugins()[before + 1];
  EXPECT_EQ(wide.procOldW, &OneW);
  EXPECT_EQ(wide.procOldA, nullptr);
  EXPECT_FALSE(wide.ownSection);

  RemoveReportPlugin("TWICE");  // names are case-sensitive
  RemoveReportPlugin("unknown");
  ASSERT_EQ(ReportPlugins().size(), before + 3);
  RemoveReportPlugin("twice");
  ASSERT_EQ(ReportPlugins().size(), before + 2);
  EXPECT_EQ(ReportPlugins()[before].name, "other");
  EXPECT_EQ(ReportPlugins()[before + 1].description, "second");
  EXPECT_EQ(ReportPlugins()[before + 1].procOldA, &TwoA);
  RemoveReportPlugin("twice");
  RemoveReportPlugin("other");
  EXPECT_EQ(ReportPlugins().size(), before);

  AddReportPluginEx("ex", "", WithException, true);
  EXPECT_EQ(ReportPlugins().back().procNewA, &WithException);
  EXPECT_EQ(ReportPlugins().back().procOldA, nullptr);
  RemoveReportPlugin("ex");
}

TEST(ModulesList, ColumnsAreAsWideAsTheirLongestEntryPlusOne) {
  struct Case {
    const char* name;
    std::vector<ModuleEntry> modules;
    std::wstring want;
  } cases[] = {
      {"versions",
       {{0x400000, L"Kelvane.exe", L"C:\\Programs", L"1.0.0.17"}, {0x7bc00000, L"ntdll.dll", L"C:\\windows\\system32", L"10.0.19041.1"}},
       L"00400000 Kelvane.exe 1.0.0.17     C:\\Programs\r\n"
       L"7bc00000 ntdll.dll   10.0.19041.1 C:\\windows\\system32"},
      {"no versions: one blank",
       {{0x10000000, L"a.dll", L"C:", L""}, {0x1000, L"bb.dll", L"", L""}},
       L"10000000 a.dll   C:\r\n"
       L"00001000 bb.dll  "},
      {"none", {}, L""},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatModules(c.modules), c.want) << c.name;
}

TEST(ModulesList, VersionTextAndPaths) {
  EXPECT_EQ(VersionText(0, 0), L"");
  EXPECT_EQ(VersionText(0x0001'0002, 0x0003'0004), L"1.2.3.4");
  EXPECT_EQ(VersionText(0, 1), L"0.0.0.1");
  EXPECT_EQ(VersionText(0xFFFF'FFFF, 0xFFFF'FFFF), L"65535.65535.65535.65535");
  std::wstring folder, name;
  SplitPath(L"C:\\a\\b.dll", folder, name);
  EXPECT_EQ(folder, L"C:\\a");
  EXPECT_EQ(name, L"b.dll");
  SplitPath(L"System", folder, name);
  EXPECT_EQ(folder, L"");
  EXPECT_EQ(name, L"System");
}

TEST(ProcessesList, PriorityTexts) {
  const std::pair<std::int32_t, const wchar_t*> cases[] = {
      {0x20, L"normal"}, {0x40, L"idle"}, {0x80, L"high"}, {0x100, L"realtime"},       {0x4000, L"below normal"}, {0x8000, L"above normal"},
      {0, L""},          {-1, L""},       {0x1A, L"$1a"},  {0x7FFFFFFF, L"$7fffffff"}, {-2, L"$fffffffe"},
  };
  for (const auto& [priority, text] : cases) EXPECT_EQ(PriorityText(priority), text) << priority;
}

TEST(ProcessesList, ImagePaths) {
  const std::wstring system = L"C:\\windows\\system32";
  EXPECT_EQ(NormalizeImagePath(L"\\SystemRoot\\System32\\smss.exe", system), L"C:\\windows\\system32\\smss.exe");
  EXPECT_EQ(NormalizeImagePath(L"\\SYSTEMROOT\\system32\\drivers\\x.sys", system), L"C:\\windows\\system32\\drivers\\x.sys");
  EXPECT_EQ(NormalizeImagePath(L"\\??\\C:\\windows\\system32\\csrss.exe", system), L"C:\\windows\\system32\\csrss.exe");
  EXPECT_EQ(NormalizeImagePath(L"C:\\Programs\\Kelvane.exe", system), L"C:\\Programs\\Kelvane.exe");
  EXPECT_EQ(NormalizeImagePath(L"\\SystemRoot\\System3", system), L"\\SystemRoot\\System3");
}

TEST(ProcessesList, ColumnsFollowTheWidestEntry) {
  ProcessEntry idle{0, L"Idle", L"", 0, -1, 0, 0};
  ProcessEntry kelvane{0x1f4, L"Kelvane.exe", L"C:\\Programs", 0, 0x20, 12, 345};
  ProcessEntry service{0x10028, L"svc.exe", L"C:\\windows", 0, 0x8000, 3, 0};
  ProcessEntry odd{0x30, L"odd.exe", L"D:", 0, 0x1A, 0, 7};
  struct Case {
    const char* name;
    std::vector<ProcessEntry> processes;
    std::wstring want;
  } cases[] = {
      {"every session 0: no session column",
       {idle, kelvane, service, odd},
       L"00000 Idle        0  0                \r\n"
       L"001f4 Kelvane.exe 12 345 normal       C:\\Programs\r\n"
       L"10028 svc.exe     3  0   above normal C:\\windows\r\n"
       L"00030 odd.exe     0  7   $1a          D:"},
      {"a session shows the column, 0 as 0",
       {idle,
        [&] {
          auto p = kelvane;
          p.session = 12;
          return p;
        }()},
       L"000 Idle        0  0  0          \r\n"
       L"1f4 Kelvane.exe 12 12 345 normal C:\\Programs"},
      {"none", {}, L""},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatProcesses(c.processes), c.want) << c.name;
}

// A registry of recorded answers: "key|value" -> data.
MachineValueReader Registry(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const std::string& key, const std::string& name) {
    const auto it = values.find(key + "|" + name);
    return it == values.end() ? std::string() : it->second;
  };
}

const std::string kPorts = "{4d36e978-e325-11ce-bfc1-08002be10318}";
const std::string kDisk = "{4d36e967-e325-11ce-bfc1-08002be10318}";

TEST(HardwareList, RecordedDevicesGroupedSortedAndFiltered) {
  const std::string ports = kClassKey + kPorts, disk = kClassKey + kDisk;
  const std::string drv = std::string(kClassKey) + kPorts + "\\";
  const MachineValueReader read = Registry({
      {ports + "|", "Ports (COM & LPT)"},
      {disk + "|", "Disk drives"},
      {drv + "0000|ProviderName", "Vexa Ltd"},
      {drv + "0000|DriverVersion", "  2.1.0.4 "},
      {drv + "0001|ProviderName", "MICROSOFT"},
      {drv + "0001|DriverVersion", "10.0"},
      {drv + "0002|ProviderName", "(Standard port types)"},
      {drv + "0002|DriverVersion", "10.0"},
      {drv + "0003|ProviderName", "Vexa Ltd"},
      {drv + "0003|DriverDate", "7-1-2020"},
      {drv + "0004|ProviderName", "Vexa Ltd"},
      {drv + "0005|Characteristics", std::string("\x08\x00\x00\x00", 4)},
      {drv + "0006|Characteristics", std::string("\x08\x00", 2)},
  });
  auto port = [&](const char* name, const char* driver) {
    return DeviceAnswers{"Ports", "ACPI\\PNP0501", kPorts, name, "ignored", std::string(kPorts) + "\\" + driver};
  };
  const std::vector<DeviceAnswers> devices = {
      port("USB Serial (COM3)", "0000"),
      port("Communications Port (COM1)", "0001"),
      port("Communications Port (COM1)", "0002"),  // same name: both listed
      port("ECP Printer Port (LPT1)", "0003"),
      port("Bluetooth link (COM9)", "0004"),                      // a provider without version or date
      port("Hidden port", "0005"),                                // hidden by its driver
      port("Short characteristics", "0006"),                      // 2 bytes: not the flag word
      {"DiskDrive", "IDE\\Disk", kDisk, "", "Generic disk", ""},  // no friendly name, no driver
      {"Volume", "STORAGE\\Volume", kDisk, "vol", "", ""},
      {"LegacyDriver", "ROOT\\LEGACY", kDisk, "legacy", "", ""},
      {"Unknown", "X", kDisk, "unknown", "", ""},
      {"Media", "SW\\{abc}", kDisk, "software", "", ""},
      {"Media", "Sw\\{abc}", kDisk, "software too", "", ""},
      {"Mouse", "HID\\1", "", "no class", "", ""},
      {"Custom", "PCI\\1", "{no-title}", "untitled class", "", ""},
  };
  EXPECT_EQ(HardwareList(devices, read),
            "+ Disk drives\r\n"
            "  - Generic disk\r\n"
            "+ Ports (COM & LPT)\r\n"
            "  - Bluetooth link (COM9)\r\n"
            "  - Communications Port (COM1)\r\n"
            "  - Communications Port (COM1)\r\n"
            "  - ECP Printer Port (LPT1) (driver 7-1-2020)\r\n"
            "  - Short characteristics\r\n"
            "  - USB Serial (COM3) (driver 2.1.0.4)\r\n"
            "+ {no-title}\r\n"
            "  - untitled class");
}

TEST(HardwareList, ClassTitlesDifferingInCaseStandApart) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> adds;  // class, device
    std::string want;
  } cases[] = {
      {"case variant goes in front", {{"Ports", "b"}, {"PORTS", "a"}}, "+ PORTS\r\n  - a\r\n+ Ports\r\n  - b"},
      {"exact title joins its own class",
       {{"Ports", "b"}, {"PORTS", "a"}, {"Ports", "c"}, {"PORTS", "d"}},
       "+ PORTS\r\n  - a\r\n  - d\r\n+ Ports\r\n  - b\r\n  - c"},
      {"case-blind order",
       {{"mouse", "m"}, {"Keyboard", "k"}, {"DISPLAY", "d"}},
       "+ DISPLAY\r\n  - d\r\n+ Keyboard\r\n  - k\r\n+ mouse\r\n  - m"},
      {"devices in case-blind order, equal names in front",
       {{"C", "beta"}, {"C", "Alpha"}, {"C", "BETA"}},
       "+ C\r\n  - Alpha\r\n  - BETA\r\n  - beta"},
      {"empty tree", {}, ""},
  };
  for (const Case& c : cases) {
    HardwareTree tree;
    for (const auto& [cls, device] : c.adds) tree.Add(cls, device, "");
    EXPECT_EQ(tree.Format(Registry({})), c.want) << c.name;
  }
}

}  // namespace
}  // namespace report
