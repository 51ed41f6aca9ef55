#include "sim/VexaFirmware.h"

#include <algorithm>
#include <cstring>

namespace sim {
std::size_t VexaReportLength(std::uint8_t id) {
  switch (id) {
    case ReportIRCode:
    case ReportTrainedCodeGet:
    case ReportTrainedCodeSet:
      return sizeof(THidReportIRCode);
    case ReportPowerOnGet:
    case ReportPowerOnSet:
      return sizeof(THidReportPowerOn);
    case ReportPollingTime:
      return sizeof(THidReportIRPollingTime);
    case ReportVexaVersion:
      return sizeof(THidVexaVersion);
    default:
      return 0;
  }
}

bool TVexaFirmware::GetFeature(std::uint8_t* buf, std::size_t len) {
  if (!buf || len == 0) return false;
  const std::uint8_t id = buf[0];
  const std::size_t need = VexaReportLength(id);
  if (need == 0 || len < need) return false;
  switch (id) {
    case ReportIRCode: {
      THidReportIRCode r{};
      r.ReportID = id;
      if (!Frames.empty()) {
        r.Data = Frames.front();
        Frames.pop_front();
      }
      std::memcpy(buf, &r, sizeof r);
      return true;
    }
    case ReportTrainedCodeGet: {
      THidReportIRCode r{id, Trained};
      std::memcpy(buf, &r, sizeof r);
      return true;
    }
    case ReportPowerOnGet: {
      THidReportPowerOn r{id, PowerOn};
      std::memcpy(buf, &r, sizeof r);
      return true;
    }
    case ReportVexaVersion: {
      if (VersionFaults != 0) {
        if (VersionFaults > 0) --VersionFaults;
        if (VersionFaultMode == vfFail) return false;
        // Another report's answer: the tool must not take it for the version.
        THidReportIRCode other{};
        other.ReportID = ReportIRCode;
        std::memset(buf, 0, need);
        std::memcpy(buf, &other, sizeof other);
        return true;
      }
      THidVexaVersion r{};
      r.ReportID = id;
      std::memcpy(r.Data, Version.data(), std::min(Version.size(), sizeof r.Data));
      std::memcpy(buf, &r, sizeof r);
      return true;
    }
    default:
      return false;  // reports 4, 5 and 6 are written only
  }
}

bool TVexaFirmware::SetFeature(const std::uint8_t* buf, std::size_t len) {
  if (!buf || len == 0) return false;
  const std::uint8_t id = buf[0];
  const std::size_t need = VexaReportLength(id);
  if (need == 0 || len < need) return false;
  switch (id) {
    case ReportPowerOnSet:
      PowerOn = buf[1];
      return true;
    case ReportTrainedCodeSet:
      std::memcpy(&Trained, buf + 1, sizeof Trained);
      return true;
    case ReportPollingTime:
      PollingWord = static_cast<std::uint16_t>(buf[1] | (buf[2] << 8));
      return true;
    default:
      return false;  // reports 1, 2, 3 and 7 are read only
  }
}

}  // namespace sim
