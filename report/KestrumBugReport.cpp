#include "report/KestrumBugReport.h"

#include <algorithm>

#include "platform/Text.h"

namespace report {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

void PadRight(std::string& line, std::string_view text, std::size_t width) {
  line += text;
  line.append(width > text.size() ? width - text.size() : 0, ' ');
}

void PadLeft(std::string& line, std::string_view text, std::size_t width) {
  line.append(width > text.size() ? width - text.size() : 0, ' ');
  line += text;
}

}  // namespace

std::string ThreadSectionName(std::string_view title, bool suspended, int priority) {
  std::string name = std::string(title) + ":";
  if (suspended) name += " <suspended>";
  if (priority != 0) name += " <priority:" + std::to_string(priority) + ">";
  return name;
}

std::string ThreadPlaceholder(std::string_view location) {
  return std::string(location) + std::string(kLineEnd) + ">> stack " + std::string(kSoon);
}

std::string StackNotAccessible(bool crashedThread, std::string_view location) {
  std::string text = ">> stack not accessible";
  if (crashedThread) text += ", exception location: " + std::string(kLineEnd) + std::string(location);
  return text;
}

std::string InsertCreatorLine(std::string_view trace, std::string_view creatorTitle) {
  if (trace.empty() || trace.front() == '>') return std::string(trace);
  const std::string line = ">> created by " + std::string(creatorTitle) + " at:";
  const std::size_t lastBreak = trace.rfind(kLineEnd);
  if (lastBreak == std::string_view::npos) return line + std::string(kLineEnd) + std::string(trace);
  std::string text(trace.substr(0, lastBreak));
  text += kLineEnd;
  text += line;
  text += trace.substr(lastBreak);
  return text;
}

TraceLines LayoutTrace(const TStackTrace& items, bool showRelAddrs, bool showRelLines) {
  struct Row {
    std::uint32_t relAddr = 0;
    bool hasRelAddr = false, hasRelLine = false;
    std::string relEntry;  // the relative-line column's entry
  };
  std::vector<Row> rows(items.size());
  std::size_t relAddrWidth = 0, moduleWidth = 0, unitWidth = 0, lineWidth = 0, relLineWidth = 0;
  bool relAddrColumn = false, lineColumn = false, relLineColumn = false;
  TraceLines out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const TStackItem& item = items[i];
    Row& row = rows[i];
    row.hasRelAddr = showRelAddrs && item.functionStart != 0 && item.functionStart < item.Addr_;
    if (row.hasRelAddr) {
      row.relAddr = item.Addr_ - item.functionStart;
      relAddrColumn = true;
      relAddrWidth = std::max(relAddrWidth, platform::HexDigits(row.relAddr, 0).size());
    }
    moduleWidth = std::max(moduleWidth, item.ModuleName.size());
    unitWidth = std::max(unitWidth, item.UnitName.size());
    row.hasRelLine = showRelLines && item.hasRelLine && item.Line > 0;
    if (row.hasRelLine) {
      lineColumn = true;
      lineWidth = std::max(lineWidth, std::to_string(item.Line).size());
    }
    if (item.Line > 0) {
      relLineColumn = true;
      row.relEntry = row.hasRelLine ? "+" + std::to_string(item.relLine) : std::to_string(item.Line);
      relLineWidth = std::max(relLineWidth, row.relEntry.size());
      if ((row.hasRelLine ? item.relLine : item.Line) > 0) out.hasLines = true;
    }
  }
  std::vector<std::uint32_t> values;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const TStackItem& item = items[i];
    const Row& row = rows[i];
    std::string line = platform::Hex8(item.Addr_) + " ";
    if (relAddrColumn) line += "+" + platform::HexDigits(row.hasRelAddr ? row.relAddr : 0, relAddrWidth) + " ";
    PadRight(line, item.ModuleName, moduleWidth + 1);
    PadRight(line, item.UnitName, unitWidth + 1);
    if (lineColumn) {
      PadLeft(line, row.hasRelLine ? std::to_string(item.Line) : std::string(), lineWidth);
      line += ' ';
    }
    if (relLineColumn) {
      PadLeft(line, row.relEntry, relLineWidth);
      line += ' ';
    }
    line += item.FunctionName;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (i > 0) out.text += kLineEnd;
    out.text += line;

    TraceLineFacts facts;
    facts.address = item.Addr_;
    if (item.functionStart != 0) facts.functionStart = item.functionStart;
    if (item.ModuleName != "???") facts.module = item.ModuleName;
    facts.unit = item.UnitName;
    facts.function = item.FunctionName;
    values.push_back(LineChecksum(facts));
  }
  out.crc = ChecksumsOfThread(values);
  return out;
}

void AddExceptionHeaderFields(FieldList& header, const ExceptionHeaderInput& input) {
  header.Lock();
  for (const auto& [name, content] : input.plugins) header.SetContent(name, content);
  header.SetContent(kCallstackCrcField, kSoon);
  header.SetContent("exception number", std::to_string(input.number));
  if (input.frozen) {
    header.SetContent("exception message", input.frozenMsg);
  } else {
    header.SetContent("exception class", input.className);
    if (input.message != input.className) header.SetContent("exception message", NormaliseMessage(input.message));
  }
  // In front of "callstack crc" wherever the machine's fields left it: how many of them came out
  // empty differs from machine to machine, the place of the fields added later must not.
  header.SetAddIndex(header.Find(kCallstackCrcField));
  header.Unlock();
}

void FinishHeader(FieldList& header, const std::uint32_t (&crc)[3], const std::vector<std::string>& minimalDebugInfo) {
  header.Lock();
  header.SetContent(kCallstackCrcField, CallstackCrcText(crc));
  for (const std::string& entry : minimalDebugInfo) {
    const std::size_t bar = entry.find('|');
    if (bar == std::string::npos || bar == 0) continue;
    header.SetContent(entry.substr(0, bar) + ".korb", entry.substr(bar + 1));
  }
  header.Unlock();
}

std::vector<std::string> PluginNames(std::string_view plugins) {
  std::vector<std::string> names;
  while (!plugins.empty()) {
    const std::size_t bar = plugins.find('|');
    const std::string_view name = plugins.substr(0, bar);
    if (!name.empty()) names.emplace_back(name);
    if (bar == std::string_view::npos) break;
    plugins.remove_prefix(bar + 1);
  }
  return names;
}

}  // namespace report
