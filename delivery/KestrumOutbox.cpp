#include "delivery/KestrumOutbox.h"

#include <algorithm>
#include <charconv>

#include "platform/Text.h"

namespace delivery {

namespace {

constexpr std::string_view kMagic = "kestrum-outbox 1";

// Blanks separate the values of a line and line ends separate lines: both, the escape character
// and every other control byte are written as %XX.
std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == '%' || u == 0x7F) {
      out += '%';
      out += platform::HexDigits(u, 2);
    } else {
      out += c;
    }
  }
  // An empty value still needs a token of its own.
  return out.empty() ? "%" : out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view token) {
  if (token == "%") return std::string();
  std::string out;
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (token[i] != '%') {
      out += token[i];
      continue;
    }
    if (i + 2 >= token.size()) return std::nullopt;
    const int hi = HexDigit(token[i + 1]), lo = HexDigit(token[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t at = 0;
  while (at <= line.size()) {
    const std::size_t blank = line.find(' ', at);
    const std::size_t end = blank == std::string_view::npos ? line.size() : blank;
    tokens.push_back(line.substr(at, end - at));
    if (blank == std::string_view::npos) break;
    at = blank + 1;
  }
  return tokens;
}

template <class T>
bool Number(std::string_view text, T& out) {
  if (text.empty() || text.size() > 20) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string OutboxFileName(std::size_t index) { return "file" + std::to_string(index); }

std::string WriteOutboxEntry(const OutboxEntry& e) {
  std::string t(kMagic);
  t += "\nid " + e.reportId;
  t += "\ncreated " + std::to_string(e.created);
  t += "\nattempts " + std::to_string(e.attempts);
  t += "\nurl " + Escape(e.httpUrl);
  t += "\nrecipients " + Escape(e.recipients);
  t += "\nserver " + Escape(e.server);
  t += "\nport " + std::to_string(e.port);
  t += "\naccount " + Escape(e.account);
  t += "\npassword " + Escape(e.password);
  t += "\nsender " + Escape(e.sender);
  t += "\nsubject " + Escape(e.subject);
  t += "\nbody " + Escape(e.body);
  for (const auto& [name, value] : e.fields) t += "\nfield " + Escape(name) + " " + Escape(value);
  for (const OutboxEntry::File& f : e.files) t += "\nfile " + Escape(f.sendAsName) + " " + Escape(f.fieldName);
  t += "\nend\n";
  return t;
}

std::optional<OutboxEntry> ReadOutboxEntry(std::string_view text) {
  if (text.size() > kOutboxMaxEntryText) return std::nullopt;
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t nl = text.find('\n', at);
    if (nl == std::string_view::npos) return std::nullopt;  // the last line has its line end
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  if (lines.size() < 2 || lines.front() != kMagic || lines.back() != "end") return std::nullopt;

  OutboxEntry e;
  // Each single-valued key exactly once: a repeated one would mean two entries run together.
  unsigned seen = 0;
  const auto once = [&seen](unsigned bit) {
    if (seen & bit) return false;
    seen |= bit;
    return true;
  };
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::vector<std::string_view> t = Tokens(lines[i]);
    const std::string_view key = t[0];
    if (key == "field" || key == "file") {
      if (t.size() != 3) return std::nullopt;
      auto a = Unescape(t[1]), b = Unescape(t[2]);
      if (!a || !b) return std::nullopt;
      if (key == "field") {
        e.fields.emplace_back(std::move(*a), std::move(*b));
      } else {
        if (e.files.size() == kOutboxMaxFiles) return std::nullopt;
        e.files.push_back({std::move(*a), std::move(*b)});
      }
      continue;
    }
    if (t.size() != 2) return std::nullopt;
    const std::string_view v = t[1];
    struct Text {
      std::string_view key;
      unsigned bit;
      std::string* out;
    } const texts[] = {{"url", 1u << 3, &e.httpUrl},       {"recipients", 1u << 4, &e.recipients},
                       {"server", 1u << 5, &e.server},     {"account", 1u << 7, &e.account},
                       {"password", 1u << 8, &e.password}, {"sender", 1u << 9, &e.sender},
                       {"subject", 1u << 10, &e.subject},  {"body", 1u << 11, &e.body}};
    bool known = false;
    for (const Text& x : texts) {
      if (key != x.key) continue;
      auto value = Unescape(v);
      if (!value || !once(x.bit)) return std::nullopt;
      *x.out = std::move(*value);
      known = true;
    }
    if (known) continue;
    if (key == "id") {
      if (!IsReportId(v) || !once(1u << 0)) return std::nullopt;
      e.reportId = v;
    } else if (key == "created") {
      if (!Number(v, e.created) || !once(1u << 1)) return std::nullopt;
    } else if (key == "attempts") {
      if (!Number(v, e.attempts) || !once(1u << 2)) return std::nullopt;
    } else if (key == "port") {
      if (!Number(v, e.port) || !once(1u << 6)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  // id, created, attempts, port and a destination are what sending needs.
  if ((seen & 0x47u) != 0x47u) return std::nullopt;
  if (e.httpUrl.empty() && e.recipients.empty()) return std::nullopt;
  return e;
}

void SortOldestFirst(std::vector<OutboxItem>& items) {
  std::sort(items.begin(), items.end(), [](const OutboxItem& a, const OutboxItem& b) {
    return a.created != b.created ? a.created < b.created : a.reportId < b.reportId;
  });
}

std::vector<OutboxDrop> OutboxDrops(std::vector<OutboxItem> items, std::int64_t now, const OutboxCaps& caps) {
  for (OutboxItem& item : items) item.created = std::min(item.created, now);
  SortOldestFirst(items);
  std::vector<OutboxDrop> drops;
  const std::int64_t maxAge = static_cast<std::int64_t>(caps.maxDays) * 86400000;
  std::size_t first = 0;
  while (first < items.size() && now - items[first].created > maxAge) drops.push_back({items[first++].reportId, DropReason::kAge});
  while (items.size() - first > caps.maxReports) drops.push_back({items[first++].reportId, DropReason::kCount});
  std::uint64_t total = 0;
  for (std::size_t i = first; i < items.size(); ++i) total += items[i].bytes;
  const std::uint64_t limit = static_cast<std::uint64_t>(caps.maxKB) * 1024;
  while (first < items.size() && total > limit) {
    total -= items[first].bytes;
    drops.push_back({items[first++].reportId, DropReason::kSize});
  }
  return drops;
}

std::uint32_t OutboxRetryDelayMs(std::uint32_t round) {
  constexpr std::uint32_t kMinute = 60 * 1000, kHour = 60 * kMinute;
  if (round == 0) return 0;
  if (round > 7) return kHour;
  return std::min(kHour, kMinute << (round - 1));
}

}  // namespace delivery
