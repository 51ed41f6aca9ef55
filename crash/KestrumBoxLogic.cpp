#include "crash/KestrumBoxLogic.h"

#include <algorithm>

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

std::vector<DetailColumn> ParseHeadings(std::string_view headings) {
  std::vector<DetailColumn> columns;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = headings.find('|', start);
    std::string_view h = headings.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start);
    DetailColumn c;
    for (; !h.empty() && (h.front() == '^' || h.front() == ' '); h.remove_prefix(1)) {
      (h.front() == '^' ? c.upperCase : c.rightAligned) = true;
    }
    c.caption = std::string(h);
    columns.push_back(std::move(c));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  return columns;
}

namespace {

std::string Cell(std::string_view line, std::size_t from, std::size_t to) {
  if (from >= line.size()) return {};
  return Trimmed(line.substr(from, to == std::string_view::npos ? std::string_view::npos : to - from));
}

// Where the columns of a padded table start: after a position that is blank (or past the end) in
// every line, where some line has text. At most maxColumns: the last column keeps its blanks.
std::vector<std::size_t> ColumnStarts(const std::vector<std::string_view>& lines, std::size_t maxColumns) {
  std::size_t width = 0;
  for (std::string_view l : lines) width = std::max(width, l.size());
  auto blankEverywhere = [&](std::size_t p) {
    for (std::string_view l : lines) {
      if (p < l.size() && l[p] != ' ') return false;
    }
    return true;
  };
  std::vector<std::size_t> starts;
  for (std::size_t p = 0; p < width && starts.size() < maxColumns; ++p) {
    if (blankEverywhere(p)) continue;
    if (p == 0 || blankEverywhere(p - 1)) starts.push_back(p);
  }
  return starts;
}

std::vector<std::string_view> NonEmptyLines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (std::string_view l : Lines(text)) {
    if (!Trimmed(l).empty()) lines.push_back(l);
  }
  return lines;
}

DetailView PaddedTable(std::string_view text, std::vector<DetailColumn> columns) {
  DetailView view;
  const std::vector<std::string_view> lines = NonEmptyLines(text);
  const std::vector<std::size_t> starts = ColumnStarts(lines, columns.size());
  if (lines.empty() || starts.size() != columns.size()) return view;
  view.list = true;
  view.columns = std::move(columns);
  for (std::string_view l : lines) {
    DetailRow row;
    for (std::size_t c = 0; c < starts.size(); ++c) {
      row.cells.push_back(Cell(l, starts[c], c + 1 < starts.size() ? starts[c + 1] : std::string_view::npos));
    }
    view.rows.push_back(std::move(row));
  }
  return view;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t p = 0;
  while (p < line.size()) {
    while (p < line.size() && line[p] == ' ') ++p;
    const std::size_t start = p;
    while (p < line.size() && line[p] != ' ') ++p;
    if (p > start) words.push_back(line.substr(start, p - start));
  }
  return words;
}

bool IsDecimal(std::string_view w) {
  return !w.empty() && std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "00401234 +34 Kelvane.exe uMain 120 +3 TForm1.Button1Click", relative parts optional, the
// function's name the rest of the line.
DetailView CallStackTable(std::string_view text) {
  struct Frame {
    std::string address, rel, module, unit, line, relLine, function;
  };
  std::vector<std::pair<bool, Frame>> parsed;  // title?, cells
  bool anyRel = false, anyRelLine = false;
  for (std::string_view l : NonEmptyLines(text)) {
    if (l.rfind(">>", 0) == 0) {
      Frame title;
      title.address = Trimmed(l);
      parsed.push_back({true, std::move(title)});
      continue;
    }
    if (Trimmed(l) == ".") continue;
    const std::vector<std::string_view> w = Words(l);
    Frame f;
    std::size_t i = 0;
    auto take = [&](std::string& into) {
      if (i < w.size()) into = std::string(w[i++]);
    };
    take(f.address);
    if (i < w.size() && w[i].front() == '+') {
      take(f.rel);
      anyRel = true;
    }
    take(f.module);
    if (i < w.size() && IsDecimal(w[i]) == false && i + 1 < w.size() && IsDecimal(w[i + 1])) take(f.unit);
    if (i < w.size() && IsDecimal(w[i])) take(f.line);
    if (!f.line.empty() && i < w.size() && w[i].front() == '+') {
      take(f.relLine);
      anyRelLine = true;
    }
    if (i < w.size()) {
      const std::size_t at = static_cast<std::size_t>(w[i].data() - l.data());
      f.function = Trimmed(l.substr(at));
    }
    parsed.push_back({false, std::move(f)});
  }
  DetailView view;
  if (parsed.empty()) return view;
  view.list = true;
  std::string headings = "^address";
  if (anyRel) headings += "|^ rel.";
  headings += "|module|unit| line";
  if (anyRelLine) headings += "| rel.";
  headings += "|function";
  view.columns = ParseHeadings(headings);
  for (auto& [title, f] : parsed) {
    DetailRow row;
    row.title = title;
    row.cells.push_back(f.address);
    if (!title) {
      if (anyRel) row.cells.push_back(f.rel);
      row.cells.insert(row.cells.end(), {f.module, f.unit, f.line});
      if (anyRelLine) row.cells.push_back(f.relLine);
      row.cells.push_back(f.function);
    }
    view.rows.push_back(std::move(row));
  }
  return view;
}

}  // namespace

DetailView MakeDetailView(std::string_view tab, std::string_view text) {
  DetailView view;
  // Not computed yet, or failed: one message, as it stands.
  if (text.rfind(">> will be", 0) == 0 || text.rfind(">> internal", 0) == 0) return view;
  auto split = [&](std::string_view headings, auto cut) {
    view.list = true;
    view.columns = ParseHeadings(headings);
    for (std::string_view l : NonEmptyLines(text)) view.rows.push_back({cut(l), false});
    return view;
  };
  if (tab == "general") {
    return split("description|value", [](std::string_view l) {
      const std::size_t t = l.find('\t');
      return std::vector<std::string>{std::string(l.substr(0, t)), t == std::string_view::npos ? "" : std::string(l.substr(t + 1))};
    });
  }
  if (tab == "cpu regs") {
    return split("reg.|content", [](std::string_view l) {
      const std::size_t eq = l.find(" = ");
      if (eq == std::string_view::npos) return std::vector<std::string>{Trimmed(l), ""};
      return std::vector<std::string>{Trimmed(l.substr(0, eq)), Trimmed(l.substr(eq + 3))};
    });
  }
  if (tab == "stack dump") {
    return split("address|data - hexadecimal|data - chars", [](std::string_view l) {
      return std::vector<std::string>{Cell(l, 0, 10), Cell(l, 10, 61), Cell(l, 61, std::string_view::npos)};
    });
  }
  if (tab == "modules") return PaddedTable(text, ParseHeadings("^handle|file name| version|path"));
  if (tab == "processes") {
    static const char* const kByCount[] = {
        "^id|file name|priority|path",
        "^id|file name|session|priority|path",
        "^id|file name|gdi objects|user objects|priority|path",
        "^id|file name|session|gdi objects|user objects|priority|path",
    };
    const std::size_t found = ColumnStarts(NonEmptyLines(text), 7).size();
    if (found < 4) return view;
    return PaddedTable(text, ParseHeadings(kByCount[found - 4]));
  }
  if (tab == "call stack" || tab == "call stacks") return CallStackTable(text);
  return view;
}

}  // namespace kestrum
