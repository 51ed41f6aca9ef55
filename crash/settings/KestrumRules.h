// Rules over setting values: the list-valued keys, automatic restart and close, the filter groups,
// assistant definitions and the form cache. Inputs are plain values, so the exception handling
// code and the tests feed them the same way.
#pragma once

#include "crash/settings/KestrumSettingsTypes.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrum {

// --- Plugins: names separated by "|", compared without regard to case.
bool PluginEnabled(std::string_view plugins, std::string_view name);
std::string WithPlugin(std::string_view plugins, std::string_view name, bool enabled);

// --- AddAttachs: items separated by "|", each "source>send as>archive>form field".
struct AttachmentSpec {
  std::string originalFile, sendAsFileName, zipFile, fieldName;
  bool operator==(const AttachmentSpec&) const = default;
};
std::vector<AttachmentSpec> ParseAttachments(std::string_view addAttachs);

// --- AddFields: items separated by "|", each "name=content". Contents lose surrounding control
// characters and blanks; an empty content adds nothing; a name given again (any case) replaces the
// earlier content where it stands.
std::vector<std::pair<std::string, std::string>> ParseFields(std::string_view addFields);

// --- F1Classes / F2Classes: names separated by ",", surrounding blanks ignored, empty names dropped.
std::vector<std::string> ParseClassList(std::string_view classes);

// --- AutoRestart / AutoClose: 0 off, 1 on, n > 1 on only when all ten remembered exception
// times (seconds, newest first, 0 = unused) lie no more than n seconds before now.
using ExceptionTimes = std::array<std::int64_t, 10>;
bool AutoActionOn(std::uint32_t value, const ExceptionTimes& history, std::int64_t now);

// --- Filter groups.
enum class FilterGroup { general = 0, filter1 = 1, filter2 = 2 };

// The first filter with a class name equal (exactly) to the class or one of its ancestors.
FilterGroup ChooseFilterGroup(std::string_view f1Classes, std::string_view f2Classes, std::string_view className,
                              const std::vector<std::string>& ancestors);

struct FilterGroupSettings {
  bool noBugRep = false, noScrShot = false, noHandlers = false, noSuspend = false;
  TZQShowSetting showCfg = ssFullBox;
  std::string assistant;
};

struct FilterOutcome {
  bool createBugReport = true, createScreenShot = false, pauseThreads = false, callHandlers = true;
  TZQShowSetting showSetting = ssFullBox;
  std::string showAssistant;
  bool operator==(const FilterOutcome&) const = default;
};

FilterOutcome ApplyFilterGroup(const FilterGroupSettings& group, bool pauseThreads, std::int32_t scrShotDepth);

// --- Assistant definitions: "name|title|form|form...".
struct AssistantDefinition {
  std::string name, title;
  std::vector<std::string> forms;
  bool operator==(const AssistantDefinition&) const = default;
};

// definitions are the texts of Assistant1, Assistant2, ... in order; the search ends at the first
// empty one. withScreenShotForm false drops "ScrShotForm" from the forms.
bool FindAssistant(const std::vector<std::string>& definitions, std::string_view name, bool withScreenShotForm,
                   AssistantDefinition& out);

// --- Form cache: item names and their last values, edits as text, check boxes as "+" or "-".
struct FormCacheItem {
  enum Kind { edit, checkBox, other } kind = other;
  std::string name;
  std::string text;
  bool checked = false;
};
struct FormCacheForm {
  bool closedWithOk = false;
  std::vector<FormCacheItem> items;
};
using FormCache = std::vector<std::pair<std::string, std::string>>;

void FillFormCache(FormCache& cache, const std::vector<FormCacheForm>& forms);
// Sets every edit and check box whose name is cached; answers for each form whether all of its
// edits and check boxes were found in the cache.
std::vector<bool> ReadFormCache(const FormCache& cache, std::vector<FormCacheForm>& forms);

// The name/content list rule shared by AddFields and the form cache: names compare without regard
// to case, contents lose surrounding characters up to blank, an empty content deletes the name.
void SetFieldContent(FormCache& fields, std::string_view name, std::string_view content);

}  // namespace kestrum

namespace kestrum {

// RFC 4648 Base64 as the stored passwords use it: a text whose length is not a multiple of 4
// decodes to nothing; decoding stops at the first character outside the alphabet (such as "=").
std::string DecodeBase64(std::string_view text);

}  // namespace kestrum
