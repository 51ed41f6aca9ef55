#pragma once
// The simulated receiver's scenario file: one timed command per line, '#' starts a comment,
// numbers decimal or with 0x, times in milliseconds since the simulation was loaded.
//
//   at MS plug NAME [vid=HEX] [pid=HEX] [version=TEXT] [vendor=TEXT] [product=TEXT] [serial=TEXT]
//                   [noaccess] [inlen=N]
//   at MS unplug NAME
//   at MS frame NAME PROTOCOL ADDRESS COMMAND FLAGS
//   at MS trained NAME PROTOCOL ADDRESS COMMAND FLAGS
//   at MS poweron NAME 0|1
//   at MS version-fails NAME COUNT          (COUNT -1: for ever)
//   at MS input NAME HEXBYTES               (report ID first, no blanks)
//   repeat MS
//
// A TEXT may be written in double quotes to hold blanks. A line that cannot be parsed is
// reported with its number and left out; the rest of the file still counts. Pure.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/VexaReports.h"

namespace sim {
struct TScenarioCommand {
  enum TKind { skPlug, skUnplug, skFrame, skTrained, skPowerOn, skVersionFails, skInput };
  int Line = 0;
  std::int64_t At = 0;
  TKind Kind = skPlug;
  std::string Name;
  // plug
  std::uint16_t VendorID = kReceiverVendorID;
  std::uint16_t ProductID = kReceiverProductID;
  std::string Version = "1.0";
  std::string Vendor, Product, Serial;
  bool NoAccess = false;
  int InputLength = 0;  // 0: the default
  // frame, trained
  std::uint8_t Protocol = 0;
  std::uint16_t Address = 0;
  std::uint16_t Command = 0;
  std::uint8_t Flags = 0;
  // poweron
  std::uint8_t PowerOn = 0;
  // version-fails
  int Count = 0;
  // input
  std::vector<std::uint8_t> Bytes;
};

struct TScenarioError {
  int Line;
  std::string Message;
};

struct TScenario {
  std::vector<TScenarioCommand> Commands;  // in file order
  std::int64_t RepeatMs = 0;               // 0: run once
  std::vector<TScenarioError> Errors;
};

TScenario ParseScenario(std::string_view text);

// The commands in the order they are to run: by time, lines of equal time in file order.
std::vector<TScenarioCommand> TimelineOrder(const std::vector<TScenarioCommand>& commands);

// Splits a line into words: blanks separate, double quotes group, '#' outside quotes ends the
// line. nullopt for an unterminated quote.
std::optional<std::vector<std::string>> SplitScenarioLine(std::string_view line);

}  // namespace sim
