#pragma once
// The receiver's seven feature reports: packed, little-endian records exchanged as one buffer
// whose byte 0 is the report ID. This is the only place where their layouts are written down.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

static_assert(std::endian::native == std::endian::little,
              "the report records are laid out for a little-endian machine");

constexpr std::uint16_t kReceiverVendorID = 0x16C0;
constexpr std::uint16_t kReceiverProductID = 0x05DF;

// Report IDs.
enum : std::uint8_t {
  ReportIRCode = 1,          // get: last decoded code
  ReportPowerOnGet = 2,      // get: power-on function enabled?
  ReportTrainedCodeGet = 3,  // get: trained code
  ReportPowerOnSet = 4,      // set: enable/disable power-on
  ReportTrainedCodeSet = 5,  // set: write trained code (all zero clears it)
  ReportPollingTime = 6,     // set: IR polling period
  ReportVexaVersion = 7,     // get: firmware version text
};

#pragma pack(push, 1)
struct TIRData {
  std::uint8_t Protocol;   // 0: no code
  std::uint16_t Address;
  std::uint16_t Command;
  std::uint8_t Flags;      // bit 0: repetition frame (key held)
};

struct THidReportIRCode {  // reports 1, 3, 5
  std::uint8_t ReportID;
  TIRData Data;
};

struct THidReportPowerOn {  // reports 2, 4
  std::uint8_t ReportID;
  std::uint8_t Data;        // 0 disabled, anything else enabled
};

struct THidReportIRPollingTime {  // report 6
  std::uint8_t ReportID;
  std::uint16_t Data;             // (65536 - ticks) mod 65536
};

struct THidVexaVersion {  // report 7
  std::uint8_t ReportID;
  char Data[11];           // 8-bit text, zero-terminated unless all 11 bytes are used
};
#pragma pack(pop)

static_assert(sizeof(TIRData) == 6);
static_assert(offsetof(TIRData, Protocol) == 0 && offsetof(TIRData, Address) == 1 &&
              offsetof(TIRData, Command) == 3 && offsetof(TIRData, Flags) == 5);
static_assert(sizeof(THidReportIRCode) == 7 && offsetof(THidReportIRCode, Data) == 1);
static_assert(sizeof(THidReportPowerOn) == 2 && offsetof(THidReportPowerOn, Data) == 1);
static_assert(sizeof(THidReportIRPollingTime) == 3 && offsetof(THidReportIRPollingTime, Data) == 1);
static_assert(sizeof(THidVexaVersion) == 12 && offsetof(THidVexaVersion, Data) == 1);

constexpr std::uint8_t kIRFlagRepetition = 0x01;

inline bool IsRepetition(const TIRData& d) { return (d.Flags & kIRFlagRepetition) != 0; }

// Zero the whole buffer and put the report ID in byte 0, as before every get.
template <class Report>
void PrepareReport(Report& r, std::uint8_t id) {
  r = Report{};
  r.ReportID = id;
}

// The log's name for a protocol number, or nullptr when the listing has no protocol line
// (0 and 12 to 255).
const char* ProtocolName(std::uint8_t protocol);

// The version text: the payload up to the first zero byte, at most all 11 bytes.
std::string VersionText(const THidVexaVersion& v);

// Report 7 counts only when the get succeeded and byte 0 is still 7.
inline bool VersionAnswerAccepted(bool getSucceeded, const THidVexaVersion& v) {
  return getSucceeded && v.ReportID == ReportVexaVersion;
}

// Report 6 carries the two's complement negation of the low 16 bits of the tick count.
constexpr std::uint16_t PollingTimeWord(std::int64_t ticks) {
  return static_cast<std::uint16_t>(0x10000u - (static_cast<std::uint64_t>(ticks) & 0xFFFFu));
}

THidReportIRPollingTime MakePollingTimeReport(std::uint16_t word);
THidReportPowerOn MakePowerOnReport(std::uint8_t enabled);
THidReportIRCode MakeClearTrainedCodeReport();
