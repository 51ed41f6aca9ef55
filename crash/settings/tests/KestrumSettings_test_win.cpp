// Settings through real modules: this program (main module, its own resource), the test DLL with
// a resource that lacks keys and its own copy of the component, and copies of that DLL whose
// resource is replaced per test.
#include <windows.h>

#include <gtest/gtest.h>

#include "crash/settings/KestrumResource.h"
#include "crash/settings/KestrumSettings_win.h"
#include "platform/Modules_win.h"
#include "testing/Paths_win.h"

#include <string>
#include <vector>

namespace kestrum {
namespace {

using testsupport::BesideThisProgram;

std::vector<std::string> g_messages;
void CaptureMessage(const char* text) { g_messages.emplace_back(text); }

HMODULE Exe() { return GetModuleHandleA(nullptr); }

HMODULE Dll() {
  static HMODULE dll = LoadLibraryA(BesideThisProgram("KestrumTestModule.dll").c_str());
  return dll;
}

template <class F>
F DllExport(HMODULE module, const char* name) {
  return platform::ProcAddress<F>(module, name);
}

// A copy of the test DLL whose settings resource holds the given bytes.
HMODULE ModuleWithResource(const std::vector<std::uint8_t>& bytes) {
  static int serial = 0;
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string path = std::string(temp) + "kestrum_settings_" + std::to_string(GetCurrentProcessId()) + "_" +
                           std::to_string(++serial) + ".dll";
  if (!CopyFileA(BesideThisProgram("KestrumTestModule.dll").c_str(), path.c_str(), FALSE)) return nullptr;
  HANDLE update = BeginUpdateResourceA(path.c_str(), FALSE);
  if (!update) return nullptr;
  UpdateResourceA(update, MAKEINTRESOURCEA(10), "TKESTRUM", MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                  const_cast<std::uint8_t*>(bytes.data()), static_cast<DWORD>(bytes.size()));
  if (!EndUpdateResourceA(update, FALSE)) return nullptr;
  return LoadLibraryA(path.c_str());
}

std::vector<std::uint8_t> Head() {
  std::vector<std::uint8_t> b = WriteSettingsResource({});
  b.pop_back();  // without the end mark
  return b;
}

void Append(std::vector<std::uint8_t>& b, const std::string& name, std::vector<std::uint8_t> value) {
  b.push_back(static_cast<std::uint8_t>(name.size()));
  b.insert(b.end(), name.begin(), name.end());
  b.insert(b.end(), value.begin(), value.end());
}

using Settings = ZQRef<IZQModuleSettings>;

class KestrumSettings : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetInternalErrorHandler(CaptureMessage);
    Settings main(SettingsForModule(Exe()));
    SetMainSettings(main.get());
  }
  static void TearDownTestSuite() { SetMainSettings(nullptr); }
  void SetUp() override {
    ASSERT_NE(Dll(), nullptr);
    g_messages.clear();
  }
  void TearDown() override {
    // Writes change the shared lists; every test starts from the resources.
    Settings(SettingsForModule(Exe()))->Reload();
    Settings dll(new TIZQSettings(Dll(), true));
    dll->Reload();
  }
};

TEST_F(KestrumSettings, MainModuleReadsItsValuesAndTheDefaultsForMissingKeys) {
  Settings s(SettingsForModule(Exe()));
  ASSERT_TRUE(s->IsValid());
  EXPECT_EQ(s->Module(), Exe());
  EXPECT_TRUE(s->Enabled());
  EXPECT_FALSE(s->GetAutoSave()) << "own value over the default True";
  EXPECT_EQ(s->GetSmtpPort(), 2525u);
  EXPECT_EQ(s->GetAutoDelay(), 60u) << "missing: default";
  EXPECT_EQ(s->GetMailFrom(), "");
  EXPECT_EQ(s->GetContinueBtnCaption(), "continue bug report");
  EXPECT_EQ(s->GetFocusedButton(), bSendBugReport);
  EXPECT_EQ(s->GetDupFreezeDef(), ddAllStacksIdentical);
  EXPECT_EQ(s->GetFilter1Classes(), "EDBEditError");
  EXPECT_TRUE(s->GetFilter1NoBugReport());
  EXPECT_FALSE(s->MinDebugInfoOnly());
  EXPECT_EQ(s->VersionVar(), "");
}

TEST_F(KestrumSettings, SecondModuleFallsBackToTheMainModulesValues) {
  Settings s(SettingsForModule(Dll()));
  ASSERT_TRUE(s->IsValid());
  EXPECT_EQ(s->Module(), Dll());
  EXPECT_TRUE(s->GetAutoSave()) << "own value";
  EXPECT_EQ(s->GetSmtpPort(), 2525u) << "the main module's value, not the default 25";
  EXPECT_EQ(s->GetAutoDelay(), 60u) << "missing in both: the main module's default";
  EXPECT_TRUE(s->Enabled()) << "the main module's value";
  // Texts taken from the main module still name the module they are read for.
  EXPECT_EQ(s->GetMailSubject(), "report of KestrumTestModule.dll");
  EXPECT_EQ(s->GetBugReportFile(), "KestrumTestModule.dll.txt");
  EXPECT_EQ(Settings(SettingsForModule(Exe()))->GetMailSubject(), "report of crash_settings_test.exe");
}

TEST_F(KestrumSettings, PlaceholdersInStoredTexts) {
  Settings s(SettingsForModule(Exe()));
  EXPECT_EQ(s->GetTitleBar(), "crash_settings_test.exe \r\n");
  EXPECT_EQ(s->GetExceptMsg(), "%ExCePtMsG% in crash_settings_test.exe") << "exception placeholders stay for the exception";
  TIZQSettings* self = nullptr;
  {
    IZQPropertyAccess* a = nullptr;
    ASSERT_EQ(s->QueryInterface(IID_IZQPropertyAccess, reinterpret_cast<void**>(&a)), S_OK);
    ZQRef<IZQPropertyAccess> held(a);
    self = held->GetSelf();
    EXPECT_EQ(held->GetPropDw("SmtpPort"), 2525u);
  }
  const std::string user = self->ExpandVars("%userappdata%");
  const std::string common = self->ExpandVars("%COMMONAPPDATA%");
  for (const std::string& folder : {user, common}) {
    EXPECT_FALSE(folder.empty());
    EXPECT_EQ(folder.find('%'), std::string::npos) << folder;
    EXPECT_NE(folder.back(), '\\') << folder;
  }
  const std::string date = self->ExpandVars("%date%");
  ASSERT_EQ(date.size(), 10u) << date;
  EXPECT_EQ(date[4], '-');
  EXPECT_EQ(self->ExpandVars("%modversion%"), "?") << "no version resource and no VersionVar";
}

TEST_F(KestrumSettings, ListsLiveWhileReferencedThenComeFreshFromTheResource) {
  {
    Settings a(SettingsForModule(Dll()));
    a->SetSmtpPort(99);
  }
  EXPECT_EQ(Settings(SettingsForModule(Dll()))->GetSmtpPort(), 2525u) << "the last reference dropped the written list";
}

TEST_F(KestrumSettings, WritesChangeTheSharedListForEveryCopyUntilReload) {
  Settings a(SettingsForModule(Dll()));
  Settings b(SettingsForModule(Dll()));
  auto copyReadsPort = DllExport<int (*)()>(Dll(), "KestrumTestCopySmtpPort");
  ASSERT_NE(copyReadsPort, nullptr);
  EXPECT_EQ(copyReadsPort(), 25) << "the DLL's copy has no main settings: its own module's default";

  a->SetSmtpPort(99);  // a key the DLL's resource lacks: appended to its list
  a->SetAutoSave(false);
  EXPECT_EQ(b->GetSmtpPort(), 99u);
  EXPECT_FALSE(b->GetAutoSave());
  EXPECT_EQ(copyReadsPort(), 99) << "the other copy reads the same list";
  EXPECT_EQ(Settings(SettingsForModule(Exe()))->GetSmtpPort(), 2525u) << "other modules keep theirs";

  b->Reload();
  EXPECT_EQ(a->GetSmtpPort(), 2525u);
  EXPECT_TRUE(a->GetAutoSave());
  EXPECT_EQ(copyReadsPort(), 25);
}

TEST_F(KestrumSettings, SettersRefuseOtherTypesAndInvalidObjects) {
  ZQRef<TIZQSettings> dll(new TIZQSettings(Dll(), true));
  EXPECT_FALSE(dll->SetPropInt("AutoSave", 1)) << "stored as Boolean";
  EXPECT_FALSE(dll->SetPropStr("AutoSave", "x"));
  EXPECT_TRUE(dll->SetPropBool("AutoSave", false));
  EXPECT_TRUE(dll->SetPropStr("Fresh", "new"));
  EXPECT_EQ(dll->GetPropStr("Fresh"), "new");

  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  ZQRef<TIZQSettings> none(new TIZQSettings(kernel, true));
  EXPECT_FALSE(none->IsValid());
  EXPECT_FALSE(none->SetPropBool("AutoSave", true));
  EXPECT_EQ(none->GetSmtpPort(), 2525u) << "a module without settings reads the main module's";
  ZQRef<TIZQSettings> empty(new TIZQSettings(kernel, false));
  EXPECT_FALSE(empty->IsValid());
  EXPECT_EQ(empty->Module(), nullptr);
}

TEST_F(KestrumSettings, NoSettingsDefersToTheProgramsSettings) {
  ZQRef<TIZQSettings> raw(new TIZQSettings(Dll(), true));  // keeps the written list alive
  ASSERT_EQ(Settings(SettingsForModule(Dll()))->Module(), Dll());
  ASSERT_TRUE(raw->SetPropBool("NoSettings", true));
  Settings deferred(SettingsForModule(Dll()));
  EXPECT_EQ(deferred->Module(), Exe());
  Settings byAddress(SettingsForAddress(reinterpret_cast<const void*>(GetProcAddress(Dll(), "KestrumTestCopySmtpPort"))));
  EXPECT_EQ(byAddress->Module(), Exe());
  raw->Reload();
  EXPECT_EQ(Settings(SettingsForModule(Dll()))->Module(), Dll());

  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  Settings none(SettingsForModule(kernel));
  EXPECT_EQ(none->Module(), kernel) << "no settings at all: returned as they are";
  EXPECT_FALSE(none->IsValid());
}

IZQModuleSettings* LevelOneProbe() { return SettingsForCallerLevel(1); }
IZQModuleSettings* LevelZeroProbe() { return SettingsForCallerLevel(0); }

TEST_F(KestrumSettings, LookupsByAddressAndCaller) {
  auto dllCode = reinterpret_cast<const void*>(GetProcAddress(Dll(), "KestrumTestCallThrough"));
  EXPECT_EQ(Settings(SettingsForAddress(dllCode))->Module(), Dll());
  EXPECT_EQ(Settings(SettingsForAddress(reinterpret_cast<const void*>(&LevelOneProbe)))->Module(), Exe());
  EXPECT_EQ(
      Settings(SettingsForAddress(reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "Sleep"))))->Module(),
      Exe());
  EXPECT_EQ(Settings(SettingsForAddress(nullptr))->Module(), Exe());

  auto callThrough = DllExport<void* (*)(void* (*)())>(Dll(), "KestrumTestCallThrough");
  ASSERT_NE(callThrough, nullptr);
  Settings caller(static_cast<IZQModuleSettings*>(callThrough(reinterpret_cast<void* (*)()>(&SettingsForCaller))));
  EXPECT_EQ(caller->Module(), Dll());
  Settings levelOne(static_cast<IZQModuleSettings*>(callThrough(reinterpret_cast<void* (*)()>(&LevelOneProbe))));
  EXPECT_EQ(levelOne->Module(), Dll());
  Settings levelZero(static_cast<IZQModuleSettings*>(callThrough(reinterpret_cast<void* (*)()>(&LevelZeroProbe))));
  EXPECT_EQ(levelZero->Module(), Exe());
  EXPECT_EQ(Settings(SettingsForCaller())->Module(), Exe());
}

TEST_F(KestrumSettings, OneRegistryPerProcessSharedByEveryCopy) {
  const std::string name = SettingsSectionName(GetCurrentProcessId());
  char expected[64];
  wsprintfA(expected, "KestrumSettingsBuf$%x", static_cast<unsigned>(GetCurrentProcessId()));
  EXPECT_EQ(name, expected);
  EXPECT_EQ(SettingsMutexName(GetCurrentProcessId()).substr(0, 19), "KestrumSettingsMtx$");
  HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  EXPECT_NE(section, nullptr);
  if (section) CloseHandle(section);

  SettingsRegistry* block = SettingsRegistryBlock();
  ASSERT_NE(block, nullptr);
  auto copyRefs = DllExport<LONG (*)()>(Dll(), "KestrumTestCopyRegistryRefs");
  const LONG before = block->refCount;
  {
    Settings one(SettingsForModule(Dll()));
    Settings two(SettingsForModule(Exe()));
    EXPECT_EQ(block->refCount, before + 2);
    auto copyReadsPort = DllExport<int (*)()>(Dll(), "KestrumTestCopySmtpPort");
    copyReadsPort();  // the other copy maps, references and releases the same block
    EXPECT_EQ(block->refCount, before + 2);
  }
  EXPECT_EQ(block->refCount, before);
  EXPECT_EQ(copyRefs(), -1) << "the DLL's copy holds nothing and has let its view go";
  // Module entries live as long as someone references them.
  int entries = 0;
  for (TZQSettingsModule* e = block->first; e; e = e->next) ++entries;
  EXPECT_EQ(entries, 1) << "only the main settings are held";
}

TEST_F(KestrumSettings, VersionVarPointsToAVersionText) {
  auto* variable = reinterpret_cast<const char*>(GetProcAddress(Dll(), "KestrumTestVersion"));
  ASSERT_NE(variable, nullptr);
  const auto offset = static_cast<std::uint32_t>(variable - reinterpret_cast<const char*>(Dll()));
  ZQRef<TIZQSettings> writer(new TIZQSettings(Dll(), true));
  ASSERT_TRUE(writer->SetPropDw("VersionVar", offset));
  Settings s(SettingsForModule(Dll()));
  EXPECT_EQ(s->VersionVar(), "7.1.2 beta");
  ZQRef<TIZQSettings> reader(new TIZQSettings(Dll(), true));
  EXPECT_EQ(reader->ExpandVars("v%modversion%"), "v7.1.2 beta");

  // The main module's offset is not applied to other modules.
  ZQRef<TIZQSettings> exe(new TIZQSettings(Exe(), true));
  ASSERT_TRUE(exe->SetPropDw("VersionVar", offset));
  writer->Reload();  // the DLL's list lacks the key again
  EXPECT_EQ(Settings(SettingsForModule(Dll()))->VersionVar(), "");
  exe->Reload();

  // A pointer into nowhere is ignored.
  ASSERT_TRUE(writer->SetPropDw("VersionVar", 0x7FFFFFF0u));
  EXPECT_EQ(Settings(SettingsForModule(Dll()))->VersionVar(), "");
}

TEST_F(KestrumSettings, LoaderKeepsKeysBeforeAnUnknownTypeAndReportsIt) {
  std::vector<std::uint8_t> bytes = Head();
  Append(bytes, "NoSettings", {8});
  Append(bytes, "SmtpPort", {2, 7});
  Append(bytes, "Bad", {5, 0, 0});
  Append(bytes, "HttpPort", {2, 8});
  bytes.push_back(0);
  HMODULE m = ModuleWithResource(bytes);
  ASSERT_NE(m, nullptr);
  {
    Settings s(SettingsForModule(m));
    ASSERT_EQ(g_messages, std::vector<std::string>{"Internal error: Invalid settings resource ($5)."});
    EXPECT_EQ(s->GetSmtpPort(), 7u);
    EXPECT_EQ(s->GetHttpPort(), 80u) << "after the bad key: the main module's (default) value";
  }
  FreeLibrary(m);
}

TEST_F(KestrumSettings, LoaderConvertsWideTextsAndSurvivesBrokenResources) {
  std::vector<std::uint8_t> wide = Head();
  Append(wide, "NoSettings", {8});
  Append(wide, "MailAddr", {18, 3, 0, 0, 0, 'a', 0, '@', 0, 'b', 0});
  Append(wide, "MailSubj", {12, 0xFF, 0xFF, 0xFF, 0x7F, 'x'});  // claims 2 GB
  HMODULE m = ModuleWithResource(wide);
  ASSERT_NE(m, nullptr);
  {
    Settings s(SettingsForModule(m));
    EXPECT_EQ(s->GetMailAddr(), "a@b");
    // The lying length ends the list: MailSubj comes from the main module, naming this copy.
    char path[MAX_PATH];
    const std::string file(path, GetModuleFileNameA(m, path, MAX_PATH));
    EXPECT_EQ(s->GetMailSubject(), "report of " + file.substr(file.find_last_of('\\') + 1));
    EXPECT_TRUE(g_messages.empty());
  }
  FreeLibrary(m);

  HMODULE foreign = ModuleWithResource({'T', 'P', 'F', '0', 3, 'T', 'X', 'X', 0});
  ASSERT_NE(foreign, nullptr);
  {
    ZQRef<TIZQSettings> s(new TIZQSettings(foreign, true));
    EXPECT_TRUE(s->IsValid()) << "the resource is there, its list is empty";
    EXPECT_EQ(s->GetSmtpPort(), 2525u);
    EXPECT_TRUE(g_messages.empty());
  }
  FreeLibrary(foreign);
}

TEST_F(KestrumSettings, PluginsAssistantsAndListKeysThroughTheSettings) {
  Settings s(SettingsForModule(Exe()));
  ZQRef<TIZQSettings> raw(new TIZQSettings(Exe(), true));
  EXPECT_TRUE(s->GetPluginEnabled("PROCESSES"));
  s->SetPluginEnabled("processes", false);
  EXPECT_EQ(raw->GetPropStr("Plugins"), "modules|hardware");
  EXPECT_FALSE(s->GetPluginEnabled("processes"));

  AssistantDefinition a;
  ASSERT_TRUE(s->GetAssistant("sendassistant", a));
  EXPECT_EQ(a.forms, (std::vector<std::string>{"ContactForm", "DetailsForm", "ScrShotForm"}));
  s->SetScreenShotDepth(0);
  ASSERT_TRUE(s->GetAssistant("SendAssistant", a));
  EXPECT_EQ(a.forms, (std::vector<std::string>{"ContactForm", "DetailsForm"}));
  EXPECT_FALSE(s->GetAssistant("PrintAssistant", a)) << "the test program defines two";

  ASSERT_TRUE(raw->SetPropStr("AddAttachs", "C:\\x.log>x.txt>>log"));
  ASSERT_TRUE(raw->SetPropStr("AddFields", "Build=%appname%"));
  IZQAttachments* list = raw->GetAdditionalAttachments();
  ASSERT_NE(list, nullptr);
  std::string file, sendAs, zip, field;
  ASSERT_EQ(list->GetItemCount(), 1);
  ASSERT_TRUE(list->GetItem(0, file, sendAs, zip, field));
  EXPECT_EQ(file + "|" + sendAs + "|" + zip + "|" + field, "C:\\x.log|x.txt||log");
  IZQAttachments* again = raw->GetAdditionalAttachments();
  EXPECT_EQ(again, list) << "built on first use, the same list afterwards";
  again->Release();
  // A change through the list is the setting's new value.
  list->Add("C:\\y.dmp", "", "dumps.zip", "");
  EXPECT_EQ(raw->GetPropStr("AddAttachs"), "C:\\x.log>x.txt>>log|C:\\y.dmp>y.dmp>dumps.zip>y");
  list->Release();
  EXPECT_EQ(raw->GetAdditionalFields(),
            (std::vector<std::pair<std::string, std::string>>{{"Build", "crash_settings_test.exe"}}));
  ASSERT_TRUE(raw->SetPropStr("AddFields", "Other=1"));
  EXPECT_EQ(raw->GetAdditionalFields().front().first, "Build") << "built on first use, kept afterwards";
}

}  // namespace
}  // namespace kestrum
