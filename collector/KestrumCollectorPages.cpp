#include "collector/KestrumCollectorPages.h"

#include <algorithm>
#include <ctime>

#include "collector/KestrumCollectorReport.h"
#include "platform/Text.h"

namespace collector {
namespace {

constexpr std::string_view kStyle =
    "body{font:14px/1.4 sans-serif;margin:1em 2em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0}th,td{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top}"
    "th{background:#eee}td.n{text-align:right}pre{background:#f6f6f6;padding:.5em;overflow:auto}"
    ".new{color:#b00}.fixed{color:#070}.regressed{color:#b00;font-weight:bold}.mark{color:#b60}"
    "form.inline{display:inline}nav a{margin-right:1em}h2{margin-top:1.5em}";

std::string Head(std::string_view title) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + Html(title) + "</title><style>" +
         std::string(kStyle) + "</style></head><body><nav><a href=\"/\">Groups</a><a href=\"/api/groups\">JSON</a></nav>\n";
}
constexpr std::string_view kFoot = "</body></html>\n";

std::string Num(std::int64_t n) { return std::to_string(n); }

std::string StatusText(const GroupRow& g) {
  if (g.status == "fixed") return "fixed in " + g.fixedIn;
  return g.status;
}

std::string Link(std::string_view href, std::string_view text) { return "<a href=\"" + Html(href) + "\">" + Html(text) + "</a>"; }

std::string SectionHtml(const Section& s) {
  std::string out = "<h3>" + Html(s.name) + "</h3>\n";
  if (!s.thread) return out + "<pre>" + Html(s.body) + "</pre>\n";
  out += "<table class=\"trace\"><tr><th>address</th><th>+</th><th>module</th><th>unit</th><th>line</th><th>+line</th><th>function</th></tr>\n";
  for (const TraceRow& r : s.rows) {
    if (!r.item) {
      out += "<tr><td colspan=\"7\">" + Html(r.text) + "</td></tr>\n";
      continue;
    }
    char address[16];
    std::snprintf(address, sizeof address, "%08x", r.address);
    char relative[16] = "";
    if (r.relative) std::snprintf(relative, sizeof relative, "+%x", *r.relative);
    out += "<tr><td>" + std::string(address) + "</td><td>" + relative + "</td><td>" + Html(r.module) + "</td><td>" + Html(r.unit) +
           "</td><td class=\"n\">" + Html(r.line) + "</td><td class=\"n\">" + Html(r.relLine) + "</td><td>" + Html(r.function) +
           "</td></tr>\n";
  }
  return out + "</table>\n";
}

std::string FilesHtml(const ReportRow& r) {
  std::string out;
  for (const StoredFile& f : r.files) {
    if (f.kind == "report") continue;
    out += "<li>" + Html(f.kind) + ": " + Link("/files/" + f.hash, f.name.empty() ? f.hash.substr(0, 12) : f.name) + " (" + Num(f.size) +
           " bytes)</li>";
    if (f.kind == "screenshot") out += "<li><img alt=\"screenshot\" style=\"max-width:100%\" src=\"/files/" + Html(f.hash) + "\"></li>";
  }
  return out.empty() ? out : "<ul class=\"files\">" + out + "</ul>\n";
}

std::string ReportBody(const ReportRow& r) {
  std::string out = "<p>received " + Html(TimeText(r.received)) + ", version " + Html(r.version) + ", " + Html(r.os) +
                    ", checksum " + Html(r.checksum);
  if (r.checksum == ChecksumStateName(ChecksumState::kDiffers)) out += " <span class=\"mark\">(the stated checksum differs)</span>";
  out += " &middot; " + Link("/reports/" + Num(r.id) + "/raw", "raw download") + "</p>\n" + FilesHtml(r);
  if (!r.fields.empty()) {
    out += "<table class=\"fields\"><tr><th colspan=\"2\">sent with the report</th></tr>\n";
    std::string_view rest = r.fields;
    while (!rest.empty()) {
      const std::string_view line = rest.substr(0, rest.find('\n'));
      rest.remove_prefix(std::min(line.size() + 1, rest.size()));
      const std::size_t colon = line.find(": ");
      out += "<tr><th>" + Html(line.substr(0, colon)) + "</th><td>" + Html(colon == std::string_view::npos ? "" : line.substr(colon + 2)) +
             "</td></tr>\n";
    }
    out += "</table>\n";
  }
  if (!r.text) return out + "<p>The report's text was removed by the retention rules; its counts stay.</p>\n";
  const std::optional<ParsedReport> parsed = ParseReport(*r.text);
  if (!parsed) return out + "<pre>" + Html(*r.text) + "</pre>\n";
  out += "<table class=\"header\">\n";
  for (const auto& [name, value] : parsed->header) out += "<tr><th>" + Html(name) + "</th><td>" + Html(value) + "</td></tr>\n";
  out += "</table>\n";
  for (const Section& s : parsed->sections) out += SectionHtml(s);
  return out;
}

std::string Counts(std::string_view title, const std::vector<std::pair<std::string, std::int64_t>>& rows) {
  std::string out = "<table class=\"counts\"><tr><th>" + Html(title) + "</th><th>count</th></tr>\n";
  for (const auto& [name, count] : rows) {
    out += "<tr><td>" + Html(name.empty() ? "(none)" : name) + "</td><td class=\"n\">" + Num(count) + "</td></tr>\n";
  }
  return out + "</table>\n";
}

}  // namespace

std::string Html(std::string_view raw) {
  const std::string text = DisplayText(raw);
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlEncode(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      platform::AppendEscapedByte(out, '%', u);
    }
  }
  return out;
}

std::string TimeText(std::int64_t seconds) { return UtcText(seconds, "%Y-%m-%d %H:%M"); }

std::string GroupsPage(const std::vector<GroupRow>& groups, const GroupQuery& q, const std::vector<std::string>& versions,
                       std::int64_t totalGroups) {
  auto query = [&](std::string_view sort) {
    return "/?sort=" + std::string(sort) + "&version=" + UrlEncode(q.version) + "&class=" + UrlEncode(q.exceptionClass) +
           "&status=" + UrlEncode(q.status);
  };
  std::string out = Head("Crash groups");
  out += "<h1>Crash groups</h1>\n<p>" + Num(totalGroups) + " groups. Sort by " + Link(query("last"), "last seen") + " or " +
         Link(query("count"), "count") + ".</p>\n";
  out += "<form method=\"get\" action=\"/\"><input type=\"hidden\" name=\"sort\" value=\"" + Html(q.sort) +
         "\">version <select name=\"version\"><option value=\"\">any</option>";
  for (const std::string& v : versions) {
    out += "<option" + std::string(v == q.version ? " selected" : "") + " value=\"" + Html(v) + "\">" + Html(v.empty() ? "(none)" : v) +
           "</option>";
  }
  out += "</select> class <input name=\"class\" value=\"" + Html(q.exceptionClass) + "\"> status <select name=\"status\">";
  for (const char* s : {"", "new", "fixed", "regressed"}) {
    out += "<option" + std::string(q.status == s ? " selected" : "") + " value=\"" + s + "\">" + (*s ? s : "any") + "</option>";
  }
  out += "</select> <button>Filter</button></form>\n";
  out += "<table class=\"groups\"><tr><th>group</th><th>title</th><th>program</th><th>count</th><th>first seen</th><th>last seen</th>"
         "<th>last version</th><th>status</th></tr>\n";
  for (const GroupRow& g : groups) {
    out += "<tr><td>" + Link("/groups/" + Num(g.id), "#" + Num(g.id)) + "</td><td>" + Link("/groups/" + Num(g.id), g.title) + "</td><td>" +
           Html(g.program) + "</td><td class=\"n count\">" + Num(g.count) + "</td><td>" + TimeText(g.firstSeen) + "</td><td>" +
           TimeText(g.lastSeen) + "</td><td>" + Html(g.lastVersion) + "</td><td class=\"" + Html(g.status) + "\">" +
           Html(StatusText(g)) + "</td></tr>\n";
  }
  out += "</table>\n";
  return out + std::string(kFoot);
}

std::string GroupPage(const GroupDetail& d, const ReportRow* latest, bool statusChangeable) {
  const GroupRow& g = d.group;
  std::string out = Head("#" + Num(g.id) + " " + g.title);
  out += "<h1>#" + Num(g.id) + " " + Html(g.title) + "</h1>\n";
  out += "<table class=\"summary\"><tr><th>program</th><td>" + Html(g.program) + "</td></tr><tr><th>count</th><td class=\"count\">" +
         Num(g.count) + "</td></tr><tr><th>first seen</th><td>" + TimeText(g.firstSeen) + "</td></tr><tr><th>last seen</th><td>" +
         TimeText(g.lastSeen) + "</td></tr><tr><th>status</th><td class=\"" + Html(g.status) + "\">" + Html(StatusText(g)) +
         "</td></tr><tr><th>key</th><td>" + Html(g.key) + "</td></tr></table>\n";
  out += "<form method=\"post\" action=\"/groups/" + Num(g.id) +
         "/status\">Status <select name=\"status\"><option value=\"new\">new</option><option value=\"fixed\">fixed</option></select>"
         " in version <input name=\"fixed_in\" size=\"10\"> admin token <input type=\"password\" name=\"token\"> <button" +
         std::string(statusChangeable ? "" : " disabled") + ">Set</button></form>\n";
  out += "<h2>Versions</h2>\n" + Counts("version", d.versions) + "<h2>Systems</h2>\n" + Counts("operating system", d.systems) +
         "<h2>Days</h2>\n" + Counts("day", d.days);
  out += "<h2>Reports</h2>\n<ul class=\"reports\">";
  for (const ReportRow& r : d.reports) {
    out += "<li>" + Link("/reports/" + Num(r.id), TimeText(r.received) + " " + r.version) + " " + Html(r.os) + "</li>";
  }
  out += "</ul>\n";
  if (latest) out += "<h2>Latest report</h2>\n<div class=\"report\">" + ReportBody(*latest) + "</div>\n";
  return out + std::string(kFoot);
}

std::string ReportPage(const ReportRow& r, const GroupRow* g) {
  std::string out = Head("Report " + r.reportId);
  out += "<h1>Report " + Html(r.reportId) + "</h1>\n";
  if (g) out += "<p>Group " + Link("/groups/" + Num(g->id), "#" + Num(g->id) + " " + g->title) + "</p>\n";
  out += "<div class=\"report\">" + ReportBody(r) + "</div>\n";
  return out + std::string(kFoot);
}

std::string MessagePage(int status, std::string_view message) {
  return Head("Error " + Num(status)) + "<h1>" + Num(status) + "</h1><p>" + Html(message) + "</p>\n" + std::string(kFoot);
}

}  // namespace collector
