// The collector's pages: server-rendered HTML with a little CSS, readable without JavaScript.
// Everything that came from a report or an upload goes through Html() on its way out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "collector/KestrumCollectorStore.h"

namespace collector {

// Text as HTML text or attribute value: & < > " ' escaped, invalid UTF-8 read as code page 1252.
std::string Html(std::string_view text);
// A value for a URL's query string.
std::string UrlEncode(std::string_view text);
// "2026-12-10 17:03" (UTC).
std::string TimeText(std::int64_t seconds);

std::string GroupsPage(const std::vector<GroupRow>& groups, const GroupQuery& query, const std::vector<std::string>& versions,
                       std::int64_t totalGroups);
// The group with its newest report rendered (latest may be null when every report was pruned).
std::string GroupPage(const GroupDetail& group, const ReportRow* latest, bool statusChangeable);
std::string ReportPage(const ReportRow& report, const GroupRow* group);
std::string MessagePage(int status, std::string_view message);

}  // namespace collector
