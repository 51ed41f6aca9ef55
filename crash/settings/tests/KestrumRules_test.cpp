#include "crash/settings/KestrumDefaults.h"
#include "crash/settings/KestrumPlaceholders.h"
#include "crash/settings/KestrumPropList.h"
#include "crash/settings/KestrumRules.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace kestrum {
namespace {

PlaceholderInputs Inputs(int* clockReads = nullptr) {
  PlaceholderInputs in;
  in.appName = "Kelvane.exe";
  in.modName = "Helper.dll";
  in.appVersion = [] { return std::string("1.2.3.4"); };
  in.modVersion = [] { return std::string("?"); };
  in.clock = [clockReads] {
    if (clockReads) ++*clockReads;
    return LocalClock{2024, 3, 7, 9, 5, 3, 7};
  };
  in.userAppData = [] { return std::string("C:\\Users\\me\\AppData\\Roaming\\"); };
  in.commonAppData = [] { return std::string(); };
  in.exeFolder = "C:\\Tools\\";
  return in;
}

TEST(Placeholders, ExpandWithoutRegardToCase) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"%appname% %LF%", "Kelvane.exe \r\n"},
      {"%APPNAME%|%ModName%|%lf%", "Kelvane.exe|Helper.dll|\r\n"},
      {"v%appversion% / %MODVERSION%", "v1.2.3.4 / ?"},
      {"%date%", "2024-03-07"},
      {"%time%", "09:05:03, 7ms"},
      {"%DateTime%", "2024-03-07, 09:05:03, 7ms"},
      {"%userappdata%\\Kelvane", "C:\\Users\\me\\AppData\\Roaming\\Kelvane"},
      {"%commonappdata%x", "C:\\Tools\\x"},  // undeterminable folder: the program's own
      {"100% sure, %unknown%", "100% sure, %unknown%"},
      {"%appname", "%appname"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExpandPlaceholders(c.text, Inputs()), c.expected) << c.text;
}

TEST(Placeholders, ExceptionPlaceholdersStayForSettingsAndFillForExceptions) {
  PlaceholderInputs in = Inputs();
  EXPECT_EQ(ExpandPlaceholders("%ExCePtMsG% / %EXCEPTCLASS% / %bugreport%", in), "%ExCePtMsG% / %EXCEPTCLASS% / %bugreport%");
  in.keepExceptionPlaceholders = false;
  in.exceptClass = "EAccessViolation";
  in.bugReport = "report";
  EXPECT_EQ(ExpandPlaceholders("%ExCePtMsG% / %EXCEPTCLASS% / %bugreport%", in), "Unknown / EAccessViolation / report");
  in.exceptMsg = "Zugriffsverletzung";
  EXPECT_EQ(ExpandPlaceholders("%exceptMsg%", in), "Zugriffsverletzung");
}

TEST(Placeholders, ClockReadOnceAndExpensiveInputsOnlyWhenUsed) {
  int reads = 0;
  PlaceholderInputs in = Inputs(&reads);
  bool versionAsked = false, folderAsked = false;
  in.appVersion = [&] { versionAsked = true; return std::string("x"); };
  in.userAppData = [&] { folderAsked = true; return std::string("y"); };
  EXPECT_EQ(ExpandPlaceholders("%appname%", in), "Kelvane.exe");
  EXPECT_EQ(reads, 0);
  EXPECT_FALSE(versionAsked);
  EXPECT_FALSE(folderAsked);
  ExpandPlaceholders("%date% %time% %datetime%", in);
  EXPECT_EQ(reads, 1);
}

TEST(Placeholders, ReplacementsAreNotSearchedAgain) {
  PlaceholderInputs in = Inputs();
  in.appName = "%modname%";
  EXPECT_EQ(ExpandPlaceholders("%appname%", in), "Helper.dll") << "later placeholders see earlier results";
  EXPECT_EQ(platform::ReplaceAllNoCase("aAa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(platform::ReplaceAllNoCase("", "a", "b"), "");
}

TEST(Placeholders, WhatTheExceptionBringsIsTakenAsItIs) {
  // A message or report may hold anything the program or its user wrote, placeholders included:
  // they must arrive as written, and the text around them is still expanded.
  PlaceholderInputs in = Inputs();
  in.keepExceptionPlaceholders = false;
  in.exceptClass = "%exceptMsg%";
  in.exceptMsg = "50%LF% off on %date%";
  in.bugReport = "path %userappdata%\\x, %bugReport%";
  EXPECT_EQ(ExpandPlaceholders("%exceptClass%|%exceptMsg%|%bugReport%|%date%%LF%", in),
            "%exceptMsg%|50%LF% off on %date%|path %userappdata%\\x, %bugReport%|2024-03-07\r\n");
}

TEST(Placeholders, VersionText) {
  EXPECT_EQ(VersionText("2.0 beta", 0x00010002u, 0x00030004u), "2.0 beta");
  EXPECT_EQ(VersionText("", 0x00010002u, 0x00030004u), "1.2.3.4");
  EXPECT_EQ(VersionText("", 0xFFFF0000u, 0x0000FFFFu), "65535.0.0.65535");
  EXPECT_EQ(VersionText("", std::nullopt, std::nullopt), "?");
}

TEST(ListKeys, Plugins) {
  const std::string shipped = "modules|processes|hardware";
  EXPECT_EQ(WithPlugin(shipped, "processes", false), "modules|hardware");
  EXPECT_EQ(WithPlugin(shipped, "MODULES", false), "processes|hardware");
  EXPECT_EQ(WithPlugin(shipped, "hardware", false), "modules|processes");
  EXPECT_EQ(WithPlugin("a|b|a|c|a", "a", false), "b|c");
  EXPECT_EQ(WithPlugin("a", "a", false), "");
  EXPECT_EQ(WithPlugin(shipped, "Processes", true), shipped);
  EXPECT_EQ(WithPlugin(shipped, "extra", true), shipped + "|extra");
  EXPECT_EQ(WithPlugin("", "extra", true), "extra");
  EXPECT_TRUE(PluginEnabled(shipped, "HardWare"));
  EXPECT_FALSE(PluginEnabled(shipped, "hard"));
  EXPECT_FALSE(PluginEnabled("", ""));
}

TEST(ListKeys, AttachmentsFieldsAndClasses) {
  EXPECT_EQ(ParseAttachments("C:\\a.log>a.txt>logs.zip>log|C:\\b.ini|"),
            (std::vector<AttachmentSpec>{{"C:\\a.log", "a.txt", "logs.zip", "log"}, {"C:\\b.ini", "", "", ""}}));
  EXPECT_TRUE(ParseAttachments("").empty());
  EXPECT_EQ(ParseFields("Version=1.0|user= Jo |Empty=  |noequals|a=b=c|USER=Ann"),
            (std::vector<std::pair<std::string, std::string>>{{"Version", "1.0"}, {"USER", "Ann"}, {"a", "b=c"}}));
  EXPECT_EQ(ParseClassList(" EDBEditError , EAbort,,  "), (std::vector<std::string>{"EDBEditError", "EAbort"}));
  EXPECT_TRUE(ParseClassList("").empty());
}

TEST(AutoRestartRule, OffOnAndTimeWindow) {
  const std::int64_t now = 13'000'000'000;
  ExceptionTimes quick{};
  for (std::size_t i = 0; i < quick.size(); ++i) quick[i] = now - static_cast<std::int64_t>(i) * 3;  // newest 0 s, oldest 27 s ago
  ExceptionTimes slow = quick;
  slow[9] = now - 31;
  ExceptionTimes nine = quick;
  nine[9] = 0;
  struct Case {
    std::uint32_t value;
    const ExceptionTimes& history;
    bool on;
  } cases[] = {
      {0, quick, false}, {1, ExceptionTimes{}, true}, {1, slow, true},  {30, quick, true},
      {30, slow, false}, {30, nine, false},           {27, quick, true}, {26, quick, false},
      {30, ExceptionTimes{}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(AutoActionOn(c.value, c.history, now), c.on) << c.value;
}

TEST(FilterGroups, ClassOrAncestorPicksTheFirstMatchingFilter) {
  const std::vector<std::string> dbAncestors = {"EDBEditError", "Exception", "TObject"};
  struct Case {
    const char* f1;
    const char* f2;
    const char* cls;
    std::vector<std::string> ancestors;
    FilterGroup group;
  } cases[] = {
      {"EDBEditError", "", "EDBEditError", {"Exception", "TObject"}, FilterGroup::filter1},
      {"EDBEditError", "", "EMyEditError", dbAncestors, FilterGroup::filter1},
      {"EDBEditError", "", "edbediterror", {"Exception"}, FilterGroup::general},
      {"EDBEditError", "", "EAccessViolation", {"EExternal", "Exception", "TObject"}, FilterGroup::general},
      {"EAbort", " EExternal , EMath", "EAccessViolation", {"EExternal", "Exception"}, FilterGroup::filter2},
      {"Exception", "EAccessViolation", "EAccessViolation", {"EExternal", "Exception"}, FilterGroup::filter1},
      {"", "", "Exception", {}, FilterGroup::general},
  };
  for (const Case& c : cases) EXPECT_EQ(ChooseFilterGroup(c.f1, c.f2, c.cls, c.ancestors), c.group) << c.cls << " in " << c.f1;
}

TEST(FilterGroups, GroupDecidesWhatTheExceptionGets) {
  FilterGroupSettings shippedF1{true, true, true, true, ssSimpleBox, ""};
  EXPECT_EQ(ApplyFilterGroup(shippedF1, true, 8), (FilterOutcome{false, false, false, false, ssSimpleBox, ""}));
  FilterGroupSettings general{};
  EXPECT_EQ(ApplyFilterGroup(general, true, 8), (FilterOutcome{true, true, true, true, ssFullBox, ""}));
  EXPECT_EQ(ApplyFilterGroup(general, false, 0), (FilterOutcome{true, false, false, true, ssFullBox, ""}));
  FilterGroupSettings assistant{false, false, false, false, ssAssistant, "SendAssistant"};
  EXPECT_EQ(ApplyFilterGroup(assistant, false, -1), (FilterOutcome{true, false, false, true, ssAssistant, "SendAssistant"}));
}

TEST(Assistants, DefinitionsAndTheScreenshotForm) {
  const std::vector<std::string> defs = {"SendAssistant|Send Assistant|ContactForm|DetailsForm|ScrShotForm",
                                         "SaveAssistant|Save Assistant|ContactForm|DetailsForm", "",
                                         "Hidden|After the gap|X"};
  AssistantDefinition a;
  ASSERT_TRUE(FindAssistant(defs, "sendassistant", true, a));
  EXPECT_EQ(a, (AssistantDefinition{"SendAssistant", "Send Assistant", {"ContactForm", "DetailsForm", "ScrShotForm"}}));
  ASSERT_TRUE(FindAssistant(defs, "SendAssistant", false, a));
  EXPECT_EQ(a.forms, (std::vector<std::string>{"ContactForm", "DetailsForm"}));
  ASSERT_TRUE(FindAssistant(defs, "SaveAssistant", false, a));
  EXPECT_EQ(a.title, "Save Assistant");
  EXPECT_FALSE(FindAssistant(defs, "Hidden", true, a)) << "numbering stops at the first empty key";
  EXPECT_FALSE(FindAssistant(defs, "Nope", true, a));
}

TEST(FormCache, RemembersFormsClosedWithOkAndPrefills) {
  using K = FormCacheItem;
  std::vector<FormCacheForm> first = {
      {true, {{K::edit, "NameEdit", " Ann ", false}, {K::checkBox, "MemCheck", "", true}, {K::other, "Label1", "x", false}}},
      {false, {{K::edit, "DetailsMemo", "not kept", false}}},
  };
  FormCache cache;
  FillFormCache(cache, first);
  EXPECT_EQ(cache, (FormCache{{"NameEdit", "Ann"}, {"MemCheck", "+"}}));

  std::vector<FormCacheForm> next = {
      {false, {{K::edit, "nameedit", "", false}, {K::checkBox, "MemCheck", "", false}}},
      {false, {{K::edit, "DetailsMemo", "typed", false}}},
  };
  EXPECT_EQ(ReadFormCache(cache, next), (std::vector<bool>{true, false}));
  EXPECT_EQ(next[0].items[0].text, "Ann");
  EXPECT_TRUE(next[0].items[1].checked);
  EXPECT_EQ(next[1].items[0].text, "typed");

  first[0].items[0].text = "";  // emptied: forgotten
  first[0].items[1].checked = false;
  FillFormCache(cache, first);
  EXPECT_EQ(cache, (FormCache{{"MemCheck", "-"}}));
}

TEST(DefaultsTable, OneRowPerKeyWithTheFallbacks) {
  std::size_t count = 0;
  const TZQProperty* rows = DefaultsTable(&count);
  EXPECT_EQ(count, 131u);
  std::set<std::string> keys;
  for (std::size_t i = 0; i < count; ++i) EXPECT_TRUE(keys.insert(rows[i].name).second) << rows[i].name;
  EXPECT_STREQ(rows[0].name, "Enabled");
  EXPECT_STREQ(rows[120].name, "VersionVar") << "the given table, then the extensions";
  EXPECT_STREQ(rows[count - 1].name, "AnswerFixedMsg");
  struct Case {
    const char* key;
    TPropertyType typ;
    std::int32_t vInt;
    bool vBool;
    const char* vStr;
  } cases[] = {
      {"AutoDelay", ptInteger, 60, false, nullptr},
      {"NoSettings", ptBoolean, 0, true, nullptr},
      {"Enabled", ptBoolean, 0, false, nullptr},
      {"MailFrom", ptString, 0, false, nullptr},
      {"FreezeTimeout", ptInteger, 60000, false, nullptr},
      {"BugRepFileSize", ptInteger, 100000, false, nullptr},
      {"DupFreezeDef", ptInteger, 2, false, nullptr},
      {"Plugins", ptString, 0, false, "modules|processes|hardware"},
      {"ContinueBtnTxt", ptString, 0, false, "continue bug report"},
      {"OutboxRetry", ptBoolean, 0, false, nullptr},
      {"OutboxMaxReports", ptInteger, 20, false, nullptr},
      {"OutboxMaxKB", ptInteger, 20480, false, nullptr},
      {"OutboxMaxDays", ptInteger, 30, false, nullptr},
      {"AnswerFixedMsg", ptString, 0, false, "This problem is fixed in version %version%."},
      {"PrepAttMsg", ptString, 0, false, "Prepare attachments..."},
      {"BitFaultMsg", ptString, 0, false, "The file \"%modname%\" seems to be corrupt!"},
      {"MiniDump", ptInteger, 0, false, nullptr},
      {"MiniDumpSendAs", ptString, 0, false, "crash.dmp"},
  };
  for (const Case& c : cases) {
    const TZQProperty* p = FindDefault(c.key);
    ASSERT_NE(p, nullptr) << c.key;
    EXPECT_EQ(p->typ, c.typ) << c.key;
    EXPECT_EQ(p->vInt, c.vInt) << c.key;
    EXPECT_EQ(p->vBool, c.vBool) << c.key;
    if (c.vStr) EXPECT_STREQ(p->vStr, c.vStr) << c.key;
    else EXPECT_EQ(p->vStr, nullptr) << c.key;
  }
  EXPECT_EQ(FindDefault("autodelay"), nullptr) << "keys are case-sensitive";
  EXPECT_EQ(FindDefault("Assistant1"), nullptr);
  EXPECT_EQ(FindDefault("MinDebugInfo"), nullptr);
}

TEST(PropertyList, GrowsInStepsAndKeepsValues) {
  TZQSettingsModule list{};
  std::vector<ParsedProperty> parsed;
  for (int i = 0; i < 131; ++i) parsed.push_back({"K" + std::to_string(i), ptInteger, false, i, ""});
  parsed.push_back({"S", ptString, false, 0, "text"});  // the 132nd: past the first room
  PropListFill(list, parsed, HeapAllocator());
  EXPECT_EQ(list.propCount, 132);
  EXPECT_EQ(list.propCap, 151);
  EXPECT_EQ(PropListFind(list, "K130")->vInt, 130);
  EXPECT_STREQ(PropListFind(list, "S")->vStr, "text");

  TZQProperty* added = PropListAppend(list, "New", ptBoolean, HeapAllocator());
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->typ, ptBoolean);
  EXPECT_FALSE(added->vBool);
  EXPECT_EQ(added->vStr, nullptr);
  EXPECT_EQ(PropListFind(list, "New"), added);
  EXPECT_EQ(PropListFind(list, "new"), nullptr);

  ASSERT_TRUE(PropSetString(*added, "", HeapAllocator()));
  EXPECT_EQ(added->vStr, nullptr) << "empty texts are stored as no string";
  ASSERT_TRUE(PropSetString(*added, "abc", HeapAllocator()));
  EXPECT_STREQ(added->vStr, "abc");

  PropListClear(list, HeapAllocator());
  EXPECT_EQ(list.propCount, 0);
  EXPECT_EQ(list.props, nullptr);
  EXPECT_EQ(PropListFind(list, "S"), nullptr);
}

TEST(PropertyList, FirstOfTwoEqualNamesWins) {
  TZQSettingsModule list{};
  PropListFill(list, {{"A", ptInteger, false, 1, ""}, {"A", ptInteger, false, 2, ""}}, HeapAllocator());
  EXPECT_EQ(PropListFind(list, "A")->vInt, 1);
  PropListClear(list, HeapAllocator());
}

TEST(Passwords, Base64AsStored) {
  EXPECT_EQ(DecodeBase64("TWFu"), "Man");
  EXPECT_EQ(DecodeBase64("TWE="), "Ma");
  EXPECT_EQ(DecodeBase64("TQ=="), "M");
  EXPECT_EQ(DecodeBase64("TWFuTQ"), "") << "length not a multiple of 4";
  EXPECT_EQ(DecodeBase64("TW!u"), "M") << "stops at the first foreign character";
  EXPECT_EQ(DecodeBase64("+/+/"), std::string("\xFB\xFF\xBF", 3));
}

}  // namespace
}  // namespace kestrum
