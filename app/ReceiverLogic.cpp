#include "app/ReceiverLogic.h"

#include "platform/Convert.h"

#include <cstdio>

namespace app {
bool PassRepeatSuppression(std::int32_t& repeatCounter, const TIRData& frame) {
  if (IsRepetition(frame) && repeatCounter >= 0) {
    // Two's complement wrap, written without signed overflow.
    repeatCounter = static_cast<std::int32_t>(static_cast<std::uint32_t>(repeatCounter) + 1u);
    return repeatCounter >= 5;
  }
  repeatCounter = 0;
  return true;
}

std::vector<std::string> CodeListing(const char* heading, const TIRData& code) {
  std::vector<std::string> lines{heading};
  if (const char* name = ProtocolName(code.Protocol)) lines.emplace_back(name);
  char text[32];
  std::snprintf(text, sizeof text, "Adress: 0x%04X", static_cast<unsigned>(code.Address));
  lines.emplace_back(text);
  std::snprintf(text, sizeof text, "Command: 0x%04X", static_cast<unsigned>(code.Command));
  lines.emplace_back(text);
  std::snprintf(text, sizeof text, "Flags: 0x%02X", static_cast<unsigned>(code.Flags));
  lines.emplace_back(text);
  lines.emplace_back();
  return lines;
}

const char* PowerOnStateText(bool enabled) { return enabled ? "PowerOn is Enabled" : "PowerOn is Disabled"; }

std::string DeviceStatusText(bool connected) {
  return connected ? "Device: connected" : "Device: disconnected";
}

std::string VexaVersionText(bool connected, const THidVexaVersion& version) {
  return connected ? "Vexa Version: " + VersionText(version) : "Vexa Version: unknown";
}

std::int64_t PollingTicks(std::int32_t positionMicroseconds, std::int32_t frequencyHz) {
  const Extended a = Divide(1, frequencyHz);
  const Extended b = Divide(positionMicroseconds, 1000000);
  return Trunc(Divide(b, a));
}

std::string SliderPositionText(int position) { return std::to_string(position) + "\xB5s"; }

}  // namespace app
