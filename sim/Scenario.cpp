#include "sim/Scenario.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace sim {
namespace {

// Times beyond a year of milliseconds are surely typing errors; they also keep sums in range.
constexpr std::int64_t kMaxMs = 366LL * 24 * 3600 * 1000;
constexpr std::size_t kMaxInputBytes = 4096;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal, or hexadecimal after 0x; an optional minus only where allowed.
std::optional<std::int64_t> ParseNumber(std::string_view s, bool allowMinus = false) {
  bool neg = false;
  if (allowMinus && !s.empty() && s[0] == '-') {
    neg = true;
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    const int d = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (d < 0) return std::nullopt;
    if (v > (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - d) / base) return std::nullopt;
    v = v * base + d;
  }
  const auto r = static_cast<std::int64_t>(v);
  return neg ? -r : r;
}

std::optional<std::int64_t> ParseRanged(std::string_view s, std::int64_t lo, std::int64_t hi) {
  auto v = ParseNumber(s, lo < 0);
  if (!v || *v < lo || *v > hi) return std::nullopt;
  return v;
}

// vid= and pid= are hexadecimal even without a prefix.
std::optional<std::uint16_t> ParseHexId(std::string_view s) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  if (s.empty() || s.size() > 4) return std::nullopt;
  unsigned v = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = v * 16 + d;
  }
  return static_cast<std::uint16_t>(v);
}

struct LineError {
  std::string Message;
};

TScenarioCommand ParseCommand(const std::vector<std::string>& w, std::int64_t at) {
  TScenarioCommand c;
  c.At = at;
  const std::string& verb = w[2];
  auto need = [&](std::size_t n) {
    if (w.size() != n) throw LineError{"'" + verb + "' takes " + std::to_string(n - 3) + " arguments"};
  };
  auto number = [&](std::size_t i, std::int64_t lo, std::int64_t hi, const char* what) {
    auto v = ParseRanged(w[i], lo, hi);
    if (!v) throw LineError{std::string("bad ") + what + " '" + w[i] + "'"};
    return *v;
  };
  if (w.size() < 4) throw LineError{"'" + verb + "' needs a device name"};
  c.Name = w[3];
  if (verb == "plug") {
    c.Kind = TScenarioCommand::skPlug;
    for (std::size_t i = 4; i < w.size(); ++i) {
      const std::string& opt = w[i];
      if (opt == "noaccess") {
        c.NoAccess = true;
        continue;
      }
      const auto eq = opt.find('=');
      if (eq == std::string::npos) throw LineError{"unknown option '" + opt + "'"};
      const std::string key = opt.substr(0, eq), value = opt.substr(eq + 1);
      if (key == "vid" || key == "pid") {
        auto id = ParseHexId(value);
        if (!id) throw LineError{"bad " + key + " '" + value + "'"};
        (key == "vid" ? c.VendorID : c.ProductID) = *id;
      } else if (key == "version") {
        c.Version = value;
      } else if (key == "vendor") {
        c.Vendor = value;
      } else if (key == "product") {
        c.Product = value;
      } else if (key == "serial") {
        c.Serial = value;
      } else if (key == "inlen") {
        auto n = ParseRanged(value, 1, 4096);
        if (!n) throw LineError{"bad inlen '" + value + "'"};
        c.InputLength = static_cast<int>(*n);
      } else {
        throw LineError{"unknown option '" + opt + "'"};
      }
    }
  } else if (verb == "unplug") {
    c.Kind = TScenarioCommand::skUnplug;
    need(4);
  } else if (verb == "frame" || verb == "trained") {
    c.Kind = verb == "frame" ? TScenarioCommand::skFrame : TScenarioCommand::skTrained;
    need(8);
    c.Protocol = static_cast<std::uint8_t>(number(4, 0, 0xFF, "protocol"));
    c.Address = static_cast<std::uint16_t>(number(5, 0, 0xFFFF, "address"));
    c.Command = static_cast<std::uint16_t>(number(6, 0, 0xFFFF, "command"));
    c.Flags = static_cast<std::uint8_t>(number(7, 0, 0xFF, "flags"));
  } else if (verb == "poweron") {
    c.Kind = TScenarioCommand::skPowerOn;
    need(5);
    c.PowerOn = static_cast<std::uint8_t>(number(4, 0, 1, "power-on value"));
  } else if (verb == "version-fails") {
    c.Kind = TScenarioCommand::skVersionFails;
    need(5);
    c.Count = static_cast<int>(number(4, -1, std::numeric_limits<int>::max(), "count"));
  } else if (verb == "input") {
    c.Kind = TScenarioCommand::skInput;
    need(5);
    const std::string& hex = w[4];
    if (hex.empty() || hex.size() % 2 != 0 || hex.size() / 2 > kMaxInputBytes) throw LineError{"bad report bytes '" + hex + "'"};
    for (std::size_t i = 0; i < hex.size(); i += 2) {
      const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
      if (hi < 0 || lo < 0) throw LineError{"bad report bytes '" + hex + "'"};
      c.Bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
  } else {
    throw LineError{"unknown command '" + verb + "'"};
  }
  return c;
}

}  // namespace

std::optional<std::vector<std::string>> SplitScenarioLine(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size() || line[i] == '#') break;
    std::string word;
    while (i < line.size() && !IsBlank(line[i]) && line[i] != '#') {
      if (line[i] == '"') {
        const auto close = line.find('"', i + 1);
        if (close == std::string_view::npos) return std::nullopt;
        word.append(line.substr(i + 1, close - i - 1));
        i = close + 1;
      } else {
        word.push_back(line[i++]);
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

TScenario ParseScenario(std::string_view text) {
  TScenario sc;
  int lineNo = 0;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    auto nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    const std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++lineNo;
    try {
      const auto words = SplitScenarioLine(line);
      if (!words) throw LineError{"unterminated quote"};
      const auto& w = *words;
      if (w.empty()) continue;
      if (w[0] == "repeat") {
        if (w.size() != 2) throw LineError{"'repeat' takes one time"};
        auto ms = ParseRanged(w[1], 1, kMaxMs);
        if (!ms) throw LineError{"bad time '" + w[1] + "'"};
        sc.RepeatMs = *ms;
        continue;
      }
      if (w[0] != "at") throw LineError{"a line starts with 'at' or 'repeat'"};
      if (w.size() < 3) throw LineError{"'at' needs a time and a command"};
      auto at = ParseRanged(w[1], 0, kMaxMs);
      if (!at) throw LineError{"bad time '" + w[1] + "'"};
      TScenarioCommand c = ParseCommand(w, *at);
      c.Line = lineNo;
      sc.Commands.push_back(std::move(c));
    } catch (const LineError& e) {
      sc.Errors.push_back({lineNo, e.Message});
    }
    if (nl == text.size()) break;
  }
  return sc;
}

std::vector<TScenarioCommand> TimelineOrder(const std::vector<TScenarioCommand>& commands) {
  std::vector<TScenarioCommand> sorted = commands;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const TScenarioCommand& a, const TScenarioCommand& b) { return a.At < b.At; });
  return sorted;
}

}  // namespace sim
