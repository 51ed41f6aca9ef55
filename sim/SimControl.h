#pragma once
// Control interface of the simulated receiver, exported by the test double of HID.dll. Tests
// link against that DLL's import library; the demo drives the same model through a scenario
// file instead (Scenario.h). Plain C types only, so that any program can call it.

#include <stdint.h>

#ifdef KELVANE_SIM_BUILD
#define KELVANE_SIM_API extern "C" __declspec(dllexport)
#else
#define KELVANE_SIM_API extern "C" __declspec(dllimport)
#endif

// A device to plug. Zero or null fields take the defaults: the receiver's IDs, version 0x0100,
// firmware version "1.0", no strings, language list {0x0409}, report lengths 9 (input and
// output) and 12 (feature). Texts are UTF-8.
struct KelvaneSimDevice {
  const char* Name;  // identifies the device in every other call; required
  uint16_t VendorID;
  uint16_t ProductID;
  uint16_t VersionNumber;
  const char* Vendor;
  const char* Product;
  const char* Serial;
  const uint16_t* Languages;  // the language list (string index 0)
  int LanguageCount;          // 0: default list; -1: reading the list fails
  int NoAccess;               // the device opens only without access rights
  uint16_t InputLength;
  uint16_t OutputLength;
  uint16_t FeatureLength;
  const char* FirmwareVersion;  // the receiver's version text (report 7)
};

struct KelvaneSimFirmwareState {
  uint8_t PowerOn;
  uint16_t PollingWord;
  uint8_t Trained[6];  // protocol, address (LE), command (LE), flags
  int QueuedFrames;
  int VersionFaults;
};

enum { KelvaneSimVersionFail = 0, KelvaneSimVersionWrongID = 1 };

// Each returns 1 on success, 0 when the device is unknown (or, for plug, already plugged).
// Plug and unplug post the device-change notification (0x219, event 7) to the process's
// top-level windows before they return.
KELVANE_SIM_API int KelvaneSimPlug(const KelvaneSimDevice* device);
KELVANE_SIM_API int KelvaneSimUnplug(const char* name);
KELVANE_SIM_API int KelvaneSimQueueFrame(const char* name, uint8_t protocol, uint16_t address, uint16_t command, uint8_t flags);
KELVANE_SIM_API int KelvaneSimSetTrained(const char* name, uint8_t protocol, uint16_t address, uint16_t command, uint8_t flags);
KELVANE_SIM_API int KelvaneSimSetPowerOn(const char* name, uint8_t enabled);
// The next count gets of report 7 fail, or are answered with another report ID; -1 for ever.
KELVANE_SIM_API int KelvaneSimVersionFaults(const char* name, int count, int mode);
// Sends one input report (report ID first) to every open handle of the device.
KELVANE_SIM_API int KelvaneSimInput(const char* name, const uint8_t* bytes, int length);
KELVANE_SIM_API int KelvaneSimFirmware(const char* name, KelvaneSimFirmwareState* state);
// Ends every scenario timeline and unplugs every device.
KELVANE_SIM_API void KelvaneSimReset(void);
// Runs scenario text on its own timeline, its times counted from now; the timeline of the file
// named by KELVANE_SIM_SCENARIO keeps running. Returns the number of lines that were rejected.
KELVANE_SIM_API int KelvaneSimRunScenario(const char* text);
// Appends the feature-report log to this file from now on (null: stop logging).
KELVANE_SIM_API int KelvaneSimSetLog(const char* path);
// Handles the simulation holds open for the device's connections (server ends and their
// bookkeeping), or for all devices when name is null. Settles asynchronously after a close.
KELVANE_SIM_API int KelvaneSimOpenConnections(const char* name);
// Milliseconds since the simulation was loaded, the clock of the scenario and the log.
KELVANE_SIM_API int64_t KelvaneSimClock(void);
