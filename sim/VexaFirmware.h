#pragma once
// The receiver's firmware as the tool sees it through its seven feature reports: a queue of
// decoded frames served one per poll, the trained code, the power-on flag, the polling word and
// the version text, plus version faults on demand. Pure; the simulated HID library wraps it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "app/VexaReports.h"

namespace sim {
class TVexaFirmware {
 public:
  enum TVersionFault { vfFail, vfWrongID };

  // Answers a get: byte 0 of buf names the report. False (buffer untouched) for a report that
  // cannot be read, a buffer shorter than the report, or an injected version failure.
  bool GetFeature(std::uint8_t* buf, std::size_t len);
  // Takes a set: byte 0 names the report. False for a report that cannot be written or a
  // buffer shorter than the report.
  bool SetFeature(const std::uint8_t* buf, std::size_t len);

  void QueueFrame(const TIRData& d) { Frames.push_back(d); }
  // The next count gets of report 7 fail in the given way; -1 for ever, 0 ends the fault.
  void SetVersionFaults(int count, TVersionFault mode) {
    VersionFaults = count;
    VersionFaultMode = mode;
  }

  std::deque<TIRData> Frames;
  TIRData Trained{};
  std::uint8_t PowerOn = 0;
  std::uint16_t PollingWord = 0;
  std::string Version = "1.0";
  int VersionFaults = 0;
  TVersionFault VersionFaultMode = vfFail;
};

// The length of a report of the receiver, 0 for an ID it does not have.
std::size_t VexaReportLength(std::uint8_t id);

}  // namespace sim
