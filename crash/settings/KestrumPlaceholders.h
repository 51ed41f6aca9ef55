// Placeholders in string settings. Everything the expansion needs from the process (names,
// versions, clock, folders) is handed in, so the rules are the same on the host and in the program.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrum {

struct LocalClock {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

struct PlaceholderInputs {
  std::string appName;                        // executable file name with extension
  std::string modName;                        // module file name with extension
  std::function<std::string()> appVersion;    // asked only when "%appversion%" occurs
  std::function<std::string()> modVersion;    // asked only when "%modversion%" occurs
  bool keepExceptionPlaceholders = true;      // settings objects leave the next three in place
  std::string exceptClass;
  std::string exceptMsg;
  std::string bugReport;
  std::function<LocalClock()> clock;          // read at most once per expansion
  std::function<std::string()> userAppData;   // "" when unknown; asked only when needed
  std::function<std::string()> commonAppData;
  std::string exeFolder;                      // with its trailing backslash
};

std::string ExpandPlaceholders(std::string_view text, const PlaceholderInputs& in);

// "%date%", "%time%" and "%datetime%" texts: "2024-03-07", "09:05:03, 7ms".
std::string FormatDate(const LocalClock& c);
std::string FormatTime(const LocalClock& c);

// A module's version text: the text its VersionVar points to, else the fixed file version as
// "major.minor.release.build" (high and low words of the two version numbers), else "?".
std::string VersionText(std::string_view versionVar, std::optional<std::uint32_t> fileVersionMS,
                        std::optional<std::uint32_t> fileVersionLS);

}  // namespace kestrum
