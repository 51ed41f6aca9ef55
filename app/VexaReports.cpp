#include "app/VexaReports.h"

#include <cstring>

const char* ProtocolName(std::uint8_t protocol) {
  static const char* const names[] = {
      nullptr,
      "VEXA_SIRCS_PROTOCOL",
      "VEXA_NEC_PROTOCOL",
      "VEXA_SAMSUNG_PROTOCOL",
      "VEXA_MATSUSHITA_PROTOCOL",
      "VEXA_KASEIKYO_PROTOCOL",
      "VEXA_RECS80_PROTOCOL",
      "VEXA_RC5_PROTOCOL",
      "VEXA_DENON_PROTOCOL",
      "VEXA_RC6_PROTOCOL",
      "VEXA_SAMSUNG32_PROTOCOL",
      "VEXA_APPLE_PROTOCOL",
  };
  return protocol < std::size(names) ? names[protocol] : nullptr;
}

std::string VersionText(const THidVexaVersion& v) {
  const void* zero = std::memchr(v.Data, 0, sizeof v.Data);
  std::size_t n = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - v.Data) : sizeof v.Data;
  return std::string(v.Data, n);
}

THidReportIRPollingTime MakePollingTimeReport(std::uint16_t word) {
  THidReportIRPollingTime r{};
  r.ReportID = ReportPollingTime;
  r.Data = word;
  return r;
}

THidReportPowerOn MakePowerOnReport(std::uint8_t enabled) {
  THidReportPowerOn r{};
  r.ReportID = ReportPowerOnSet;
  r.Data = enabled;
  return r;
}

THidReportIRCode MakeClearTrainedCodeReport() {
  THidReportIRCode r{};
  r.ReportID = ReportTrainedCodeSet;
  return r;
}
