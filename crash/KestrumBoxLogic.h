// The decisions of the exception box that need no window: which button is focused and counts
// down, what a close request does, where the countdown bar stands, and how the report's text is
// cut into the tabs of the details area. The box reads the report as text, so whatever sections
// the report has at the moment become tabs.
#pragma once

#include "crash/settings/KestrumSettingsTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrum {

// --- Buttons.
struct BoxButtonRules {
  TZQButton focusedBtn = bSendBugReport;  // as configured
  bool autoCloseOn = false, autoRestartOn = false, autoContinue = false;  // the rules' results
  bool closeVis = false, restartVis = false, continueVis = false;
  bool canContinue = true;
};
struct FocusChoice {
  TZQButton focused = bSendBugReport;
  bool countdown = false;  // the focused button presses itself after AutoDelay
  bool operator==(const FocusChoice&) const = default;
};
FocusChoice ChooseFocus(const BoxButtonRules& rules);

// What the window's close box or Escape does.
enum class CloseRequest { continueApp, restartApp, closeApp };
struct CloseRequestInput {
  TZQButton focusedBtn = bSendBugReport;
  bool hasContinue = false, hasRestart = false, hasClose = false;
  bool canContinue = true;
  bool smallBox = false;
};
CloseRequest ChooseCloseRequest(const CloseRequestInput& in);

// --- Countdown. barWidth is the width the bar runs over (the button's width, or width - 11 for
// plain system buttons), offset is added to the position (5 for those, else 0).
// Empty when autoDelaySeconds is 0: such a button never presses itself.
std::optional<std::int64_t> CountdownPosition(std::uint64_t elapsedMs, int barWidth, int offset, std::uint32_t autoDelaySeconds);

// --- The report as the details area shows it.
struct ReportSection {
  std::string name;  // the title without its final ":"
  std::string text;  // the lines below the title, joined by CR LF
};
struct ParsedReport {
  std::vector<std::pair<std::string, std::string>> header;  // name, content
  std::vector<ReportSection> sections;
};
// The header lines up to the first empty line, then one section for each run of lines between
// empty lines, its first line the title.
ParsedReport ParseReport(std::string_view report);
// A thread's section names the thread id after a "$".
bool IsThreadSection(const ReportSection& section);
// "general", "call stack" or "call stacks" when the report has leading thread sections, then one
// tab per other section with "cpu registers" and "disassembling" shortened.
std::vector<std::string> DetailTabs(const ParsedReport& report);
// The text of a tab: the header as "name<TAB>content" lines, the thread sections each after ">> "
// and its name and separated by an empty line, or the section's text. Empty for an unknown tab.
std::string DetailTabText(const ParsedReport& report, std::string_view tab);

// --- How a tab's text is shown: as columns and rows when its kind is known, else as the text.
struct DetailColumn {
  std::string caption;
  bool rightAligned = false;
  bool upperCase = false;
  bool operator==(const DetailColumn&) const = default;
};
struct DetailRow {
  std::vector<std::string> cells;
  bool title = false;  // a thread's heading in the call stack tab
  bool operator==(const DetailRow&) const = default;
};
struct DetailView {
  bool list = false;  // false: the text as it is (an unknown kind, a section not computed)
  std::vector<DetailColumn> columns;
  std::vector<DetailRow> rows;
};
// Headings written as "^handle|file name| version|path": "^" shows the column in upper case, a
// leading blank aligns it right.
std::vector<DetailColumn> ParseHeadings(std::string_view headings);
DetailView MakeDetailView(std::string_view tab, std::string_view text);

}  // namespace kestrum
