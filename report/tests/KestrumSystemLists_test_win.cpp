// The system lists against what the system says through other ways: Toolhelp snapshots of the
// same process and of the running processes, the address space as VirtualQuery shows it, and
// registry values written for the test.
#include "report/KestrumSystemLists_win.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/Handles_win.h"
#include "platform/Modules_win.h"
#include "testing/TimeScale_win.h"

namespace report {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s += static_cast<char>(c < 128 ? c : '?');
  return s;
}

std::map<std::uint32_t, std::string> ToolhelpModules() {
  std::map<std::uint32_t, std::string> out;
  const platform::ScopedFileHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0));
  MODULEENTRY32 e{};
  e.dwSize = sizeof e;
  for (BOOL ok = Module32First(snap.Get(), &e); ok; ok = Module32Next(snap.Get(), &e)) {
    out[static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(e.modBaseAddr))] = Lower(e.szModule);
  }
  return out;
}

std::map<std::uint32_t, std::string> ToolhelpProcesses() {
  std::map<std::uint32_t, std::string> out;
  const platform::ScopedFileHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32 e{};
  e.dwSize = sizeof e;
  for (BOOL ok = Process32First(snap.Get(), &e); ok; ok = Process32Next(snap.Get(), &e)) out[e.th32ProcessID] = Lower(e.szExeFile);
  return out;
}

TEST(SystemQueries, ModulesAreTheToolhelpModulesAtTheirAllocationBases) {
  const auto toolhelp = ToolhelpModules();
  const std::vector<ModuleEntry> modules = CollectModules();
  ASSERT_FALSE(toolhelp.empty());
  std::map<std::uint32_t, std::string> ours;
  std::uint32_t previous = 0;
  for (const ModuleEntry& m : modules) {
    EXPECT_GT(m.handle, previous) << "address order";
    previous = m.handle;
    ours[m.handle] = Lower(Narrow(m.fileName));
    MEMORY_BASIC_INFORMATION region;
    ASSERT_EQ(VirtualQuery(reinterpret_cast<void*>(static_cast<std::uintptr_t>(m.handle)), &region, sizeof region), sizeof region);
    EXPECT_EQ(region.AllocationBase, region.BaseAddress) << Narrow(m.fileName);
    EXPECT_EQ(region.State, static_cast<DWORD>(MEM_COMMIT)) << Narrow(m.fileName);
    EXPECT_FALSE(!m.folder.empty() && m.folder.back() == L'\\') << "folder without its closing backslash";
  }
  EXPECT_EQ(ours, toolhelp);

  const auto kernel = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetModuleHandleA("kernel32.dll")));
  const auto self = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)));
  for (const ModuleEntry& m : modules) {
    if (m.handle == kernel) { EXPECT_FALSE(m.version.empty()) << "kernel32 has a version"; }
    if (m.handle == self) {
      EXPECT_TRUE(m.version.empty()) << "the test program has no version resource";
      EXPECT_EQ(Narrow(m.folder) + "\\", platform::ModuleFolder());
    }
  }
  char line[16];
  std::snprintf(line, sizeof line, "%08x ", self);
  const std::string text = Narrow(ModulesList());
  EXPECT_NE(text.find(line + platform::ModuleFileName()), std::string::npos) << text;
}

constexpr char kChildRunning[] = "KESTRUM_CHILD_RUNNING";

// Stays alive for the processes test, which looks for it by id and name. It says when it runs: a
// process still being started has no name yet in any list (emulated, that takes seconds).
TEST(SystemQueries, DISABLED_ChildThatWaits) {
  char name[64] = {};
  if (GetEnvironmentVariableA(kChildRunning, name, sizeof name)) {
    const platform::ScopedKernelHandle running(OpenEventA(EVENT_MODIFY_STATE, FALSE, name));
    if (running) SetEvent(running.Get());
  }
  Sleep(30000);
}

TEST(SystemQueries, ProcessesAreTheToolhelpProcessesTakenAtTheSameTime) {
  const std::string self = platform::ModulePath();
  std::string command = "\"" + self + "\" --gtest_also_run_disabled_tests --gtest_filter=SystemQueries.DISABLED_ChildThatWaits";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const std::string eventName = "KestrumSystemListsChild" + std::to_string(GetCurrentProcessId());
  const platform::ScopedKernelHandle running(CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
  ASSERT_TRUE(running);
  SetEnvironmentVariableA(kChildRunning, eventName.c_str());
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableA(kChildRunning, nullptr);
  ASSERT_TRUE(started);
  const platform::ScopedKernelHandle child(pi.hProcess), childThread(pi.hThread);
  // Ended by the test in any case, also when an assertion below returns early.
  struct Ender {
    HANDLE process;
    ~Ender() {
      TerminateProcess(process, 0);
      WaitForSingleObject(process, testsupport::Scaled(10000));
    }
  } ender{child.Get()};
  const HANDLE waits[] = {running.Get(), child.Get()};
  ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, testsupport::Scaled(20000)), WAIT_OBJECT_0) << "the child did not start";

  const auto before = ToolhelpProcesses();
  const std::vector<ProcessEntry> processes = CollectProcesses();
  const auto after = ToolhelpProcesses();

  std::map<std::uint32_t, const ProcessEntry*> ours;
  for (const ProcessEntry& p : processes) ours[p.id] = &p;
  for (const auto& [id, name] : before) {
    if (!after.count(id)) continue;  // ended meanwhile
    ASSERT_TRUE(ours.count(id)) << id << " " << name;
    // A process without an image name (the system's idle entry, or one the system lists before its
    // image is known) is called Idle. A process starting meanwhile (other tests run beside this
    // one) may get its name between the two snapshots: either is right then.
    const auto named = [](const std::string& n) { return n.empty() ? std::string("idle") : n; };
    const std::string got = Lower(Narrow(ours[id]->name));
    if (got != named(after.at(id))) {
      EXPECT_EQ(got, named(name)) << id;
    }
  }
  for (const ProcessEntry& p : processes)
    EXPECT_TRUE(before.count(p.id) || after.count(p.id) || p.id == 0) << p.id << " " << Narrow(p.name);

  ASSERT_TRUE(ours.count(pi.dwProcessId)) << "the child is not listed";
  EXPECT_EQ(Narrow(ours[pi.dwProcessId]->name), platform::ModuleFileName());
  const ProcessEntry& me = *ours.at(GetCurrentProcessId());
  EXPECT_EQ(Narrow(me.folder) + "\\", platform::ModuleFolder());
  EXPECT_EQ(me.priority, static_cast<std::int32_t>(GetPriorityClass(GetCurrentProcess())));

  const std::string text = Narrow(FormatProcesses(processes));
  EXPECT_NE(text.find(platform::ModuleFileName()), std::string::npos);
}

TEST(SystemQueries, MachineValuesAsTextOrRawBytes) {
  const char* key = "Software\\KestrumSystemListsTest";
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
  const char title[] = "Ports (COM & LPT)";
  const DWORD flags = 0x88;
  const BYTE raw[] = {1, 0, 2};
  RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(title), sizeof title);
  RegSetValueExA(k, "Characteristics", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), sizeof flags);
  RegSetValueExA(k, "Raw", 0, REG_BINARY, raw, sizeof raw);
  RegCloseKey(k);

  EXPECT_EQ(ReadMachineValue(key, ""), title);
  EXPECT_EQ(ReadMachineValue(key, "Characteristics"), std::string("\x88\0\0\0", 4));
  EXPECT_EQ(ReadMachineValue(key, "Raw"), std::string("\x01\x00\x02", 3));
  EXPECT_EQ(ReadMachineValue(key, "Missing"), "");
  EXPECT_EQ(ReadMachineValue(std::string(key) + "\\Missing", ""), "");
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
}

TEST(SystemQueries, HardwareListHasTheTreeShape) {
  // Wine reports few devices; whatever it reports comes out as classes and their devices.
  const std::string text = HardwareList();
  std::size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find("\r\n", at), text.size());
    const std::string line = text.substr(at, end - at);
    EXPECT_TRUE(line.rfind("+ ", 0) == 0 || (!first && line.rfind("  - ", 0) == 0)) << line;
    first = false;
    at = end + 2;
  }
}

TEST(SystemQueries, RegistrationAddsTheThreeListsInOrderAndRemovesThem) {
  const std::size_t before = ReportPlugins().size();
  RegisterSystemLists();
  ASSERT_EQ(ReportPlugins().size(), before + 3);
  const ReportPlugin& hardware = ReportPlugins()[before];
  const ReportPlugin& processes = ReportPlugins()[before + 1];
  const ReportPlugin& modules = ReportPlugins()[before + 2];
  EXPECT_EQ(hardware.name, "hardware");
  EXPECT_EQ(hardware.description, "list of installed hardware");
  EXPECT_NE(hardware.procOldA, nullptr);
  EXPECT_EQ(processes.name, "processes");
  EXPECT_NE(processes.procOldW, nullptr);
  EXPECT_EQ(modules.name, "modules");
  EXPECT_EQ(modules.description, "list of loaded modules");
  ASSERT_NE(modules.procOldW, nullptr);
  EXPECT_TRUE(hardware.ownSection && processes.ownSection && modules.ownSection);
  EXPECT_NE(Narrow(modules.procOldW()).find(platform::ModuleFileName()), std::string::npos);
  UnregisterSystemLists();
  EXPECT_EQ(ReportPlugins().size(), before);
}

}  // namespace
}  // namespace report
