#include "crash/settings/KestrumPlaceholders.h"

#include <cstdio>
#include <vector>

#include "platform/Text.h"

namespace kestrum {

namespace {

std::string TrimTrailingBackslash(std::string folder) {
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  return folder;
}

}  // namespace

std::string FormatDate(const LocalClock& c) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.year, c.month, c.day);
  return buf;
}

std::string FormatTime(const LocalClock& c) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d, %dms", c.hour, c.minute, c.second, c.millisecond);
  return buf;
}

std::string VersionText(std::string_view versionVar, std::optional<std::uint32_t> ms, std::optional<std::uint32_t> ls) {
  if (!versionVar.empty()) return std::string(versionVar);
  if (!ms || !ls) return "?";
  return std::to_string(*ms >> 16) + "." + std::to_string(*ms & 0xFFFF) + "." + std::to_string(*ls >> 16) + "." +
         std::to_string(*ls & 0xFFFF);
}

namespace {

// The text during expansion: pieces that came from the exception (its class, its message, the
// report) hold what the program or its user wrote, so no later placeholder is searched in them.
class Pieces {
 public:
  explicit Pieces(std::string text) { pieces_.push_back({std::move(text), false}); }
  void Replace(std::string_view what, const std::string& with, bool fixed) {
    std::vector<Piece> out;
    for (Piece& p : pieces_) {
      if (p.fixed) {
        out.push_back(std::move(p));
        continue;
      }
      std::size_t pos = 0;
      for (std::size_t hit; (hit = platform::FindNoCase(p.text, what, pos)) != std::string::npos; pos = hit + what.size()) {
        out.push_back({p.text.substr(pos, hit - pos), false});
        out.push_back({with, fixed});
      }
      out.push_back({p.text.substr(pos), false});
    }
    pieces_ = std::move(out);
  }
  bool Contains(std::string_view what) const {
    for (const Piece& p : pieces_)
      if (!p.fixed && platform::ContainsNoCase(p.text, what)) return true;
    return false;
  }
  std::string Text() const {
    std::string s;
    for (const Piece& p : pieces_) s += p.text;
    return s;
  }

 private:
  struct Piece {
    std::string text;
    bool fixed;
  };
  std::vector<Piece> pieces_;
};

}  // namespace

std::string ExpandPlaceholders(std::string_view text, const PlaceholderInputs& in) {
  std::string s = platform::ReplaceAllNoCase(text, "%appname%", in.appName);
  s = platform::ReplaceAllNoCase(s, "%modname%", in.modName);
  if (platform::ContainsNoCase(s, "%appversion%")) s = platform::ReplaceAllNoCase(s, "%appversion%", in.appVersion ? in.appVersion() : "?");
  if (platform::ContainsNoCase(s, "%modversion%")) s = platform::ReplaceAllNoCase(s, "%modversion%", in.modVersion ? in.modVersion() : "?");
  Pieces pieces(std::move(s));
  if (!in.keepExceptionPlaceholders) {
    pieces.Replace("%exceptClass%", in.exceptClass, true);
    pieces.Replace("%exceptMsg%", in.exceptMsg.empty() ? std::string("Unknown") : in.exceptMsg, true);
    pieces.Replace("%bugReport%", in.bugReport, true);
  }
  pieces.Replace("%LF%", "\r\n", false);
  if (pieces.Contains("%date%") || pieces.Contains("%time%") || pieces.Contains("%datetime%")) {
    const LocalClock now = in.clock ? in.clock() : LocalClock{};
    const std::string date = FormatDate(now), time = FormatTime(now);
    pieces.Replace("%date%", date, false);
    pieces.Replace("%time%", time, false);
    pieces.Replace("%datetime%", date + ", " + time, false);
  }
  if (pieces.Contains("%userappdata%") || pieces.Contains("%commonappdata%")) {
    auto folder = [&in](const std::function<std::string()>& get) {
      const std::string f = get ? TrimTrailingBackslash(get()) : std::string();
      return f.empty() ? in.exeFolder : f;
    };
    pieces.Replace("%userappdata%", folder(in.userAppData), false);
    pieces.Replace("%commonappdata%", folder(in.commonAppData), false);
  }
  return pieces.Text();
}

}  // namespace kestrum
