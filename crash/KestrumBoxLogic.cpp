#include "crash/KestrumBoxLogic.h"

namespace kestrum {

FocusChoice ChooseFocus(const BoxButtonRules& r) {
  if (r.autoCloseOn && r.closeVis) return {bCloseApplication, true};
  if (r.autoRestartOn && r.restartVis) return {bRestartApplication, true};
  if (r.autoContinue && r.continueVis && r.canContinue) return {bContinueApplication, true};
  return {r.focusedBtn, false};
}

CloseRequest ChooseCloseRequest(const CloseRequestInput& in) {
  switch (in.focusedBtn) {
    case bContinueApplication: return CloseRequest::continueApp;
    case bRestartApplication: return CloseRequest::restartApp;
    case bCloseApplication: return CloseRequest::closeApp;
    default: break;
  }
  if (in.hasContinue && in.canContinue) return CloseRequest::continueApp;
  if (in.hasClose) return CloseRequest::closeApp;
  if (in.hasRestart) return CloseRequest::restartApp;
  if (in.smallBox) return CloseRequest::closeApp;
  // A full box without any of the three buttons must still let the user out: the gentlest way
  // the exception allows.
  return in.canContinue ? CloseRequest::continueApp : CloseRequest::closeApp;
}

std::optional<std::int64_t> CountdownPosition(std::uint64_t elapsedMs, int barWidth, int offset, std::uint32_t autoDelaySeconds) {
  if (autoDelaySeconds == 0) return std::nullopt;
  const std::uint64_t width = barWidth > 0 ? static_cast<std::uint64_t>(barWidth) : 0;
  const std::uint64_t delayMs = static_cast<std::uint64_t>(autoDelaySeconds) * 1000u;
  // elapsedMs * width stays far below 2^64 for any tick count and screen width.
  const std::uint64_t x = (elapsedMs * width + delayMs / 2) / delayMs;
  return static_cast<std::int64_t>(x) + offset;
}

namespace {

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
  return lines;
}

std::string Trimmed(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string ShortTabName(const std::string& name) {
  if (name == "cpu registers") return "cpu regs";
  if (name == "disassembling") return "disasm";
  return name;
}

// How many sections from the start are threads' (the call stack tab holds them all).
std::size_t LeadingThreads(const ParsedReport& report) {
  std::size_t n = 0;
  while (n < report.sections.size() && IsThreadSection(report.sections[n])) ++n;
  return n;
}

}  // namespace

ParsedReport ParseReport(std::string_view report) {
  ParsedReport parsed;
  const std::vector<std::string_view> lines = Lines(report);
  std::size_t i = 0;
  for (; i < lines.size() && !Trimmed(lines[i]).empty(); ++i) {
    const std::string_view line = lines[i];
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) {
      parsed.header.emplace_back(Trimmed(line), std::string());
    } else {
      parsed.header.emplace_back(Trimmed(line.substr(0, colon)), std::string(line.substr(colon + 2)));
    }
  }
  while (i < lines.size()) {
    while (i < lines.size() && Trimmed(lines[i]).empty()) ++i;
    if (i >= lines.size()) break;
    ReportSection section;
    section.name = Trimmed(lines[i++]);
    if (!section.name.empty() && section.name.back() == ':') section.name.pop_back();
    for (bool first = true; i < lines.size() && !Trimmed(lines[i]).empty(); ++i, first = false) {
      if (!first) section.text += "\r\n";
      section.text += lines[i];
    }
    parsed.sections.push_back(std::move(section));
  }
  return parsed;
}

bool IsThreadSection(const ReportSection& section) { return section.name.find('$') != std::string::npos; }

std::vector<std::string> DetailTabs(const ParsedReport& report) {
  std::vector<std::string> tabs{"general"};
  const std::size_t threads = LeadingThreads(report);
  if (threads > 0) tabs.push_back(threads > 1 ? "call stacks" : "call stack");
  for (std::size_t i = threads; i < report.sections.size(); ++i) tabs.push_back(ShortTabName(report.sections[i].name));
  return tabs;
}

std::string DetailTabText(const ParsedReport& report, std::string_view tab) {
  std::string text;
  if (tab == "general") {
    for (const auto& [name, content] : report.header) {
      if (!text.empty()) text += "\r\n";
      text += name + "\t" + content;
    }
    return text;
  }
  const std::size_t threads = LeadingThreads(report);
  if (tab == "call stack" || tab == "call stacks") {
    for (std::size_t i = 0; i < threads; ++i) {
      if (i > 0) text += "\r\n\r\n";
      text += ">> " + report.sections[i].name;
      if (!report.sections[i].text.empty()) text += "\r\n" + report.sections[i].text;
    }
    return text;
  }
  for (std::size_t i = threads; i < report.sections.size(); ++i) {
    if (ShortTabName(report.sections[i].name) == tab) return report.sections[i].text;
  }
  return text;
}

}  // namespace kestrum
