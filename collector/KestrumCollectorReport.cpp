#include "collector/KestrumCollectorReport.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "delivery/KestrumBugReportFile.h"
#include "delivery/KestrumZip.h"
#include "platform/Text.h"
#include "report/KestrumReportText.h"

namespace collector {
namespace {

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == text.size()) break;
    at = end + 1;
  }
  return lines;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<std::uint32_t> ParseHex(std::string_view s) {
  if (s.empty() || s.size() > 8 || !std::all_of(s.begin(), s.end(), IsHex)) return std::nullopt;
  std::uint32_t v = 0;
  std::from_chars(s.data(), s.data() + s.size(), v, 16);
  return v;
}

// "main thread ($a4)", "thread $a4", "thread $a4 (TReader)": the names the thread list gives.
bool IsThreadTitle(std::string_view title) {
  if (title.starts_with("thread $")) return true;
  const std::size_t open = title.rfind("($");
  if (open == std::string_view::npos || title.back() != ')') return false;
  const std::string_view digits = title.substr(open + 2, title.size() - open - 3);
  return ParseHex(digits).has_value();
}

// The title without the ":" and the state the component appends (" <suspended>", " <priority:2>").
std::string_view SectionTitleOf(std::string_view name) {
  name = TrimRight(name);
  while (name.ends_with(">")) {
    const std::size_t open = name.rfind(" <");
    if (open == std::string_view::npos) break;
    name = TrimRight(name.substr(0, open));
  }
  if (name.ends_with(":")) name.remove_suffix(1);
  return name;
}

std::size_t TokenEnd(std::string_view line, std::size_t at) {
  const std::size_t end = line.find(' ', at);
  return end == std::string_view::npos ? line.size() : end;
}

bool IsNumberColumn(std::string_view token) {
  if (token.starts_with("+")) token.remove_prefix(1);
  return !token.empty() && std::all_of(token.begin(), token.end(), IsDigit);
}

// The rows of a trace. The columns are padded to the widest entry of the whole trace, so the
// module column's width is found first and the unit column is read at its fixed place: a unit may
// be empty, and the function (the rest of the line) may hold blanks.
std::vector<TraceRow> ParseTrace(const std::vector<std::string_view>& lines, bool& relColumn) {
  std::vector<TraceRow> rows;
  relColumn = false;
  auto isItem = [](std::string_view line) {
    return line.size() >= 8 && std::all_of(line.begin(), line.begin() + 8, IsHex) && (line.size() == 8 || line[8] == ' ');
  };
  for (std::string_view line : lines) {
    if (isItem(line) && line.size() > 9 && line[9] == '+') {
      relColumn = true;
      break;
    }
  }
  std::size_t moduleWidth = 0, unitWidth = 0;
  std::vector<std::size_t> starts(lines.size(), 0);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (!isItem(line)) continue;
    std::size_t at = std::min<std::size_t>(9, line.size());
    if (relColumn && at < line.size() && line[at] == '+') at = std::min(TokenEnd(line, at) + 1, line.size());
    starts[i] = at;
    moduleWidth = std::max(moduleWidth, TokenEnd(line, at) - at);
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (!isItem(line)) continue;
    const std::size_t unitAt = starts[i] + moduleWidth + 1;
    if (unitAt < line.size() && line[unitAt] != ' ') unitWidth = std::max(unitWidth, TokenEnd(line, unitAt) - unitAt);
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    TraceRow row;
    if (!isItem(line)) {
      row.item = false;
      row.text = line;
      rows.push_back(std::move(row));
      continue;
    }
    row.text = line;
    row.address = *ParseHex(line.substr(0, 8));
    if (relColumn) {
      std::size_t at = 9;
      if (at < line.size() && line[at] == '+') row.relative = ParseHex(line.substr(at + 1, TokenEnd(line, at) - at - 1));
      if (!row.relative) row.relative = 0;
    }
    const std::size_t moduleAt = starts[i];
    row.module = line.substr(moduleAt, TokenEnd(line, moduleAt) - moduleAt);
    const std::size_t unitAt = moduleAt + moduleWidth + 1;
    if (unitAt < line.size() && line[unitAt] != ' ') row.unit = line.substr(unitAt, TokenEnd(line, unitAt) - unitAt);
    std::size_t at = std::min(unitAt + unitWidth + 1, line.size());
    std::vector<std::string_view> numbers;
    while (numbers.size() < 2) {
      while (at < line.size() && line[at] == ' ') ++at;
      const std::size_t end = TokenEnd(line, at);
      if (at >= line.size() || !IsNumberColumn(line.substr(at, end - at))) break;
      numbers.push_back(line.substr(at, end - at));
      at = end;
    }
    while (at < line.size() && line[at] == ' ') ++at;
    if (numbers.size() == 2) {
      row.line = numbers[0];
      row.relLine = numbers[1];
    } else if (numbers.size() == 1) {
      row.relLine = numbers[0];
    }
    row.function = TrimRight(line.substr(at));
    rows.push_back(std::move(row));
  }
  return rows;
}

// What one row adds to the checksum. A "+0" row stands for an unknown function start (an export
// without debug information) unless assumeStart says it sits exactly at the function's start.
std::uint32_t RowValue(const TraceRow& row, bool assumeStart) {
  report::TraceLineFacts facts;
  facts.address = row.address;
  if (row.relative && (*row.relative > 0 || assumeStart)) facts.functionStart = row.address - *row.relative;
  if (row.module != "???") facts.module = row.module;
  facts.unit = row.unit;
  facts.function = row.function;
  return report::LineChecksum(facts);
}

std::uint32_t TraceChecksum(const std::vector<TraceRow>& rows, bool firstAtStart) {
  std::vector<std::uint32_t> values;
  for (const TraceRow& row : rows) {
    if (!row.item) continue;
    values.push_back(RowValue(row, firstAtStart && values.empty()));
  }
  return report::ChecksumsOfThread(values).crc2;
}

std::optional<std::array<std::uint32_t, 3>> ParseStatedCrc(std::string_view value) {
  if (value.size() != delivery::kCallstackCrcLength) return std::nullopt;
  std::array<std::uint32_t, 3> crc{};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string_view part = value.substr(i * 11, 9);
    if (part[0] != '$') return std::nullopt;
    const auto v = ParseHex(part.substr(1));
    if (!v) return std::nullopt;
    crc[i] = *v;
    if (i < 2 && value.substr(i * 11 + 9, 2) != ", ") return std::nullopt;
  }
  return crc;
}

std::string FileNamePart(std::string_view path) {
  const std::size_t slash = path.find_last_of("\\/");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool TraceUnreadable(const std::vector<TraceRow>& rows) {
  return std::any_of(rows.begin(), rows.end(), [](const TraceRow& r) {
    return !r.item && (r.text.starts_with(">> internal error") || r.text.starts_with(">> stack not accessible") ||
                       r.text.starts_with(">> stack will be calculated soon"));
  });
}

std::string Shorten(std::string_view s, std::size_t max) {
  if (s.size() <= max) return std::string(s);
  return std::string(s.substr(0, max)) + "...";
}

}  // namespace

const char* ChecksumStateName(ChecksumState state) {
  switch (state) {
    case ChecksumState::kMatches: return "matches";
    case ChecksumState::kDiffers: return "differs";
    case ChecksumState::kNotStated: return "not stated";
    case ChecksumState::kNotCheckable: return "not checkable";
  }
  return "";
}

const std::string& ParsedReport::Field(std::string_view name) const {
  static const std::string kNone;
  for (const auto& [n, v] : header) {
    if (n == name) return v;
  }
  return kNone;
}

std::optional<ParsedReport> ParseReport(std::string_view text, std::string* error) {
  auto fail = [&](const char* why) -> std::optional<ParsedReport> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (text.size() > kMaxReportBytes) return fail("the report is larger than 16 MB");
  if (!text.starts_with(delivery::kReportStart)) return fail("the text is no bug report: it does not begin with \"date/time\"");
  const std::vector<std::string_view> lines = Lines(text);
  ParsedReport r;
  std::size_t i = 0;
  for (; i < lines.size() && !lines[i].empty(); ++i) {
    if (r.header.size() >= kMaxHeaderFields) return fail("the report's header has more than 1000 fields");
    const std::string_view line = lines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      r.header.emplace_back(std::string(TrimRight(line)), std::string());
      continue;
    }
    std::string_view value = line.substr(colon + 1);
    if (value.starts_with(" ")) value.remove_prefix(1);
    r.header.emplace_back(std::string(TrimRight(line.substr(0, colon))), std::string(value));
  }
  while (i < lines.size()) {
    while (i < lines.size() && lines[i].empty()) ++i;
    if (i >= lines.size()) break;
    if (r.sections.size() >= kMaxSections) return fail("the report has more than 10000 sections");
    Section s;
    s.name = lines[i];
    s.title = SectionTitleOf(lines[i]);
    std::vector<std::string_view> body;
    for (++i; i < lines.size() && !lines[i].empty(); ++i) body.push_back(lines[i]);
    for (std::size_t k = 0; k < body.size(); ++k) {
      if (k) s.body += '\n';
      s.body += body[k];
    }
    s.thread = IsThreadTitle(s.title);
    bool relColumn = false;
    if (s.thread) s.rows = ParseTrace(body, relColumn);
    r.sections.push_back(std::move(s));
  }

  r.exceptionClass = r.Field("exception class");
  r.message = r.Field("exception message");
  r.version = r.Field("version");
  r.os = r.Field("operating system");
  r.dateTime = r.Field("date/time");
  r.program = FileNamePart(r.Field("executable"));
  if (r.program.empty()) r.program = FileNamePart(r.Field("current module"));
  if (const std::string& count = r.Field("count"); !count.empty()) {
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), n);
    if (ec == std::errc() && end == count.data() + count.size() && n > 0) r.count = n;
  }
  r.statedCrc = ParseStatedCrc(r.Field("callstack crc"));

  // The crashed thread's section comes first.
  const Section* crashed = !r.sections.empty() && r.sections.front().thread ? &r.sections.front() : nullptr;
  std::vector<TraceRow> none;
  const std::vector<TraceRow>& rows = crashed && !TraceUnreadable(crashed->rows) ? crashed->rows : none;
  const bool relColumn = std::any_of(rows.begin(), rows.end(), [](const TraceRow& row) { return row.item && row.relative; });
  const bool anyItem = std::any_of(rows.begin(), rows.end(), [](const TraceRow& row) { return row.item; });
  // Without the "+" column a named row's function start is unknown; rows without a name count
  // by their address either way.
  const bool anyNamed =
      std::any_of(rows.begin(), rows.end(), [](const TraceRow& row) { return row.item && row.module != "???" && !row.function.empty(); });
  r.crashCrc = TraceChecksum(rows, false);
  if (anyNamed && !relColumn) {
    r.checksum = r.statedCrc ? ChecksumState::kNotCheckable : ChecksumState::kNotStated;
    if (r.statedCrc) r.crashCrc = (*r.statedCrc)[1];
  } else if (!r.statedCrc) {
    r.checksum = ChecksumState::kNotStated;
  } else if ((*r.statedCrc)[1] == r.crashCrc) {
    r.checksum = ChecksumState::kMatches;
  } else if (anyItem && TraceChecksum(rows, true) == (*r.statedCrc)[1]) {
    // The innermost line sat exactly at its function's start.
    r.crashCrc = (*r.statedCrc)[1];
    r.checksum = ChecksumState::kMatches;
  } else {
    r.checksum = ChecksumState::kDiffers;
  }

  const std::string program = platform::AsciiLowered(r.program);
  for (const TraceRow& row : rows) {
    if (row.item && !row.function.empty() && !program.empty() && platform::AsciiLowered(row.module) == program) {
      r.firstOwnFrame = row.function;
      break;
    }
  }
  if (r.firstOwnFrame.empty()) {
    for (const TraceRow& row : rows) {
      if (row.item && !row.function.empty()) {
        r.firstOwnFrame = row.function;
        break;
      }
    }
  }
  std::string what = !r.exceptionClass.empty() ? r.exceptionClass : !r.message.empty() ? Shorten(r.message, 80) : "no exception class";
  r.title = Shorten(what, 120);
  if (!r.firstOwnFrame.empty()) r.title += " in " + Shorten(r.firstOwnFrame, 160);
  r.groupKey = program + "/" + platform::Hex8(r.crashCrc);
  // Without a trace every report of a program would have checksum 0: the class keeps them apart.
  if (!anyItem) r.groupKey += "/" + Shorten(r.exceptionClass, 200);
  return r;
}

std::vector<std::string_view> SplitReportFile(std::string_view content) {
  std::vector<std::string_view> out;
  // Text from elsewhere may have lost the CR of its line ends.
  std::string_view rest = content;
  if (content.find("\r\n") == std::string_view::npos && content.find('\n') != std::string_view::npos) {
    std::size_t start = content.starts_with(delivery::kReportStart) ? 0 : std::string_view::npos;
    std::size_t at = 0;
    while ((at = content.find("\n\ndate/time", at)) != std::string_view::npos) {
      if (start != std::string_view::npos) out.push_back(TrimRight(content.substr(start, at - start)));
      start = at + 2;
      at += 2;
    }
    if (start != std::string_view::npos) {
      std::string_view last = content.substr(start);
      while (last.ends_with("\n")) last.remove_suffix(1);
      out.push_back(last);
    }
    return out;
  }
  const std::vector<delivery::StoredReport> stored = delivery::SplitStoredReports(rest);
  for (const delivery::StoredReport& s : stored) {
    std::string_view one = rest.substr(s.begin, s.end - s.begin);
    while (one.ends_with("\r\n")) one.remove_suffix(2);
    out.push_back(one);
  }
  // A single report saved without its trailing empty line.
  if (out.empty() && content.starts_with(delivery::kReportStart)) out.push_back(content);
  return out;
}

std::string DisplayText(std::string_view text) {
  // Valid UTF-8 stays; a single bad sequence means the whole text is code page 1252.
  bool utf8 = true;
  for (std::size_t i = 0; i < text.size() && utf8;) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size() || (n == 2 && c < 0xC2) || (n == 4 && c > 0xF4)) {
      utf8 = false;
      break;
    }
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) utf8 = false;
    }
    if (utf8 && n == 3) {
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0)) utf8 = false;
    }
    if (utf8 && n == 4) {
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90)) utf8 = false;
    }
    i += n;
  }
  std::string out = utf8 ? std::string(text) : delivery::Cp1252ToUtf8(text);
  std::erase_if(out, [](char ch) {
    const auto u = static_cast<unsigned char>(ch);
    return (u < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') || u == 0x7F;
  });
  return out;
}

std::string UtcText(std::int64_t seconds, const char* format) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[64];
  return std::strftime(buffer, sizeof buffer, format, &tm) ? buffer : "";
}

std::optional<std::int64_t> ReportTime(std::string_view text) {
  int year, month, day, hour, minute, second;
  char tail;
  const std::string s(text.substr(0, 40));
  if (std::sscanf(s.c_str(), "%4d-%2d-%2d, %2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second, &tail) < 6) return std::nullopt;
  if (year < 1980 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return static_cast<std::int64_t>(timegm(&tm));
}

int CompareVersions(std::string_view a, std::string_view b) {
  while (!a.empty() || !b.empty()) {
    const std::size_t ea = std::min(a.find('.'), a.size()), eb = std::min(b.find('.'), b.size());
    std::string_view pa = a.substr(0, ea), pb = b.substr(0, eb);
    std::size_t da = 0, db = 0;
    while (da < pa.size() && IsDigit(pa[da])) ++da;
    while (db < pb.size() && IsDigit(pb[db])) ++db;
    std::string_view na = pa.substr(0, da), nb = pb.substr(0, db);
    while (na.size() > 1 && na.front() == '0') na.remove_prefix(1);
    while (nb.size() > 1 && nb.front() == '0') nb.remove_prefix(1);
    // "1.0" is "1.0.0": a missing part counts as 0.
    if (na.empty()) na = "0";
    if (nb.empty()) nb = "0";
    if (na.size() != nb.size()) return na.size() < nb.size() ? -1 : 1;
    if (na != nb) return na < nb ? -1 : 1;
    const std::string_view ra = pa.substr(da), rb = pb.substr(db);
    if (ra != rb) return ra < rb ? -1 : 1;
    a.remove_prefix(std::min(ea + 1, a.size()));
    b.remove_prefix(std::min(eb + 1, b.size()));
  }
  return 0;
}

}  // namespace collector
