#include "delivery/KestrumBugReportFile.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace delivery {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The header: everything before the first empty line.
std::string_view HeaderOf(std::string_view report) {
  const std::size_t end = report.find(kReportEnd);
  return end == std::string_view::npos ? report : report.substr(0, end);
}

// The position of the header line that holds the field name (the line's start, after its CR LF),
// and the position of its ":"; npos when there is none. Lines that only begin with name (another,
// longer name) are passed over.
struct HeaderLine {
  std::size_t start = std::string_view::npos;
  std::size_t colon = std::string_view::npos;
  std::size_t end = std::string_view::npos;
};
HeaderLine FindHeaderLine(std::string_view header, std::string_view name) {
  std::size_t pos = 0;
  while ((pos = header.find(kLineEnd, pos)) != std::string_view::npos) {
    const std::size_t start = pos + kLineEnd.size();
    pos = start;
    if (header.substr(start, name.size()) != name) continue;
    std::size_t end = header.find(kLineEnd, start);
    if (end == std::string_view::npos) end = header.size();
    std::size_t i = start + name.size();
    while (i < end && header[i] == ' ') ++i;
    if (i < end && header[i] == ':') return {start, i, end};
  }
  return {};
}

bool EqualField(std::string_view a, std::string_view b, std::string_view name) {
  return ExtractHeaderValue(a, name) == ExtractHeaderValue(b, name);
}

// Two reports of the same fault in the same program: the "callstack crc" match is checked by the
// caller, the rest here.
bool SameProgram(std::string_view stored, std::string_view report) {
  for (std::string_view name : {"executable", "current module", "exception class", "version"}) {
    if (!EqualField(stored, report, name)) return false;
  }
  if (!ExtractHeaderValue(stored, "version").empty()) return true;
  return EqualField(stored, report, "exec. date/time") && EqualField(stored, report, "module date/time");
}

// A "count" a user may have edited: digits only, at least 1, saturating instead of wrapping.
std::uint64_t StoredCount(std::string_view value) {
  std::uint64_t n = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), n);
  if (value.empty() || end != value.data() + value.size()) return 1;
  if (error == std::errc::result_out_of_range) return std::numeric_limits<std::uint64_t>::max() - 1;
  return std::max<std::uint64_t>(n, 1);
}

}  // namespace

std::string ExtractHeaderValue(std::string_view report, std::string_view name) {
  if (name.empty()) return {};
  const std::string_view header = HeaderOf(report);
  const HeaderLine line = FindHeaderLine(header, name);
  if (line.start == std::string_view::npos) return {};
  const std::size_t value = line.colon + 2;
  return value >= line.end ? std::string() : std::string(header.substr(value, line.end - value));
}

bool InsertHeaderLine(std::string& report, std::string_view name, std::string_view afterName, std::string_view value) {
  if (afterName.empty()) return false;
  const HeaderLine line = FindHeaderLine(HeaderOf(report), afterName);
  if (line.start == std::string_view::npos) return false;
  std::string inserted(kLineEnd);
  inserted += name;
  const std::size_t width = line.colon - line.start;
  if (name.size() < width) inserted.append(width - name.size(), ' ');
  inserted += ": ";
  inserted += value;
  report.insert(line.end, inserted);
  return true;
}

std::vector<StoredReport> SplitStoredReports(std::string_view content) {
  std::vector<std::size_t> starts;
  if (content.starts_with(kReportStart)) starts.push_back(0);
  for (std::size_t pos = 0; (pos = content.find(kReportEnd, pos)) != std::string_view::npos; ++pos) {
    const std::size_t start = pos + kReportEnd.size();
    if (content.substr(start).starts_with(kReportStart)) starts.push_back(start);
  }
  std::vector<StoredReport> reports;
  reports.reserve(starts.size());
  for (std::size_t i = 0; i < starts.size(); ++i) {
    reports.push_back({starts[i], i + 1 < starts.size() ? starts[i + 1] : content.size()});
  }
  return reports;
}

std::string DuplicateKey(std::string_view report, const StoreRules& rules) {
  std::string key = ExtractHeaderValue(report, "callstack crc");
  if (key.size() != kCallstackCrcLength) return {};
  const bool exception = !ExtractHeaderValue(report, "exception class").empty();
  if (!(exception ? rules.noDupExcepts : rules.noDupFreezes)) return {};
  switch (exception ? rules.dupExceptDef : rules.dupFreezeDef) {
    case kestrum::ddExceptAddrIdentical: key.resize(9); break;
    case kestrum::ddCrashStackIdentical: key.resize(20); break;
    default: break;
  }
  return key;
}

StorePlan PlanStore(std::string_view stored, std::string_view report, const StoreRules& rules) {
  StorePlan plan;
  std::string newReport(report);
  std::string kept;
  if (rules.append && !stored.empty()) {
    kept.assign(stored);
    const std::string key = DuplicateKey(report, rules);
    const std::vector<StoredReport> reports = SplitStoredReports(kept);
    for (auto it = reports.rbegin(); !key.empty() && it != reports.rend(); ++it) {
      const std::string_view old = std::string_view(kept).substr(it->begin, it->end - it->begin);
      if (!ExtractHeaderValue(old, "callstack crc").starts_with(key) || !SameProgram(old, report)) continue;
      plan.count = StoredCount(ExtractHeaderValue(old, "count")) + 1;
      if (!InsertHeaderLine(newReport, "count", "callstack crc", std::to_string(plan.count))) plan.count = 0;
      kept.erase(it->begin, it->end - it->begin);
      break;
    }
    // The limit applies to the file as it was found; what stays is less than three quarters of it.
    if (rules.sizeLimit != 0 && rules.sizeLimit < stored.size()) {
      const std::size_t keep = rules.sizeLimit - rules.sizeLimit / 4;
      const std::vector<StoredReport> left = SplitStoredReports(kept);
      for (std::size_t i = 0; i < left.size(); ++i) {
        if (left[i].begin == 0 || kept.size() - left[i].begin >= keep) continue;
        plan.droppedReports = i;
        kept.erase(0, left[i].begin);
        break;
      }
    }
    // A file cut short or edited by hand: the new report still starts on a line of its own after
    // an empty line, so that it is found again.
    if (!kept.empty() && !kept.ends_with(kReportEnd)) kept += kept.ends_with(kLineEnd) ? kLineEnd : kReportEnd;
  }
  plan.content = std::move(kept);
  plan.content += newReport;
  plan.content += kReportEnd;
  return plan;
}

bool ReplaceStoredContent(ReportFileWriter& file, std::string_view oldContent, std::string_view newContent) {
  if (newContent.starts_with(oldContent)) {
    if (file.WriteAt(oldContent.size(), newContent.substr(oldContent.size())) && file.SetLength(newContent.size())) return true;
    file.SetLength(oldContent.size());
    return false;
  }
  if (!file.WriteAt(oldContent.size(), newContent)) {
    file.SetLength(oldContent.size());
    return false;
  }
  if (file.WriteAt(0, newContent) && file.SetLength(newContent.size())) return true;
  // The staged copy went through, so this is a fault of the device rather than of space: put the
  // stored reports back as well as it can be done.
  file.WriteAt(0, oldContent);
  file.SetLength(oldContent.size());
  return false;
}

std::string MakeAbsolutePath(std::string_view path, std::string_view exeFolder) {
  std::string p;
  if (path.size() < 3 || (path[0] != '\\' && path[1] != ':')) {
    p.assign(exeFolder);
    p += path;
  } else if (path[0] == '\\' && path[1] != '\\') {
    std::string root;
    if (exeFolder.size() >= 2 && exeFolder[1] == ':') {
      root.assign(exeFolder.substr(0, 2));
      root += '\\';
    } else if (exeFolder.starts_with("\\\\")) {
      std::size_t pos = 1;
      for (int slashes = 2; slashes < 4 && pos != std::string_view::npos; ++slashes) pos = exeFolder.find('\\', pos + 1);
      root = pos == std::string_view::npos ? std::string(exeFolder) + '\\' : std::string(exeFolder.substr(0, pos + 1));
    }
    p = root;
    p += path.substr(1);
  } else {
    p.assign(path);
  }
  for (std::size_t pos; (pos = p.find("\\.\\")) != std::string::npos;) p.erase(pos, 2);

  // The root ("X:\" or "\\server\share\") is never taken away by "..".
  std::size_t rootEnd = 0;
  if (p.size() >= 3 && p[1] == ':' && p[2] == '\\') {
    rootEnd = 3;
  } else if (p.starts_with("\\\\")) {
    std::size_t pos = 1;
    for (int slashes = 2; slashes < 4 && pos != std::string::npos; ++slashes) pos = p.find('\\', pos + 1);
    rootEnd = pos == std::string::npos ? p.size() : pos + 1;
  }
  std::vector<std::string_view> segments;
  const std::string_view rest = std::string_view(p).substr(rootEnd);
  for (std::size_t start = 0;;) {
    const std::size_t slash = rest.find('\\', start);
    const std::string_view segment = rest.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    const bool last = slash == std::string_view::npos;
    if (segment == ".." && !segments.empty() && segments.back() != "..") {
      segments.pop_back();
      // "folder\.." at the end leaves the folder's parent as a folder path.
      if (last) segments.push_back({});
    } else {
      segments.push_back(segment);
    }
    if (last) break;
    start = slash + 1;
  }
  std::string result = p.substr(0, rootEnd);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i) result += '\\';
    result += segments[i];
  }
  return result;
}

std::string MiniDumpPathFor(std::string_view reportPath) {
  const std::size_t name = reportPath.find_last_of("\\/:");
  const std::size_t dot = reportPath.rfind('.');
  const bool hasExtension = dot != std::string_view::npos && (name == std::string_view::npos || dot > name + 1);
  std::string path(hasExtension ? reportPath.substr(0, dot) : reportPath);
  return path + ".dmp";
}

}  // namespace delivery
