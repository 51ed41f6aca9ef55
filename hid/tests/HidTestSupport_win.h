#pragma once
// Shared by the tests of the layer on the simulated receiver: a device to plug and a recorder of
// the controller's events; message dispatching as the UI thread does it comes from testing/.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid/JvHidControllerClass_win.h"
#include "platform/Thread_win.h"
#include "sim/SimControl.h"
#include "testing/Dispatch_win.h"

namespace hidtest {

// Each device carries its own version number; the tests name devices by it.
inline KelvaneSimDevice Device(const char* name, USHORT version, USHORT vid = 0x16C0, USHORT pid = 0x05DF) {
  KelvaneSimDevice d{};
  d.Name = name;
  d.VendorID = vid;
  d.ProductID = pid;
  d.VersionNumber = version;
  return d;
}

inline std::string Name(TJvHidDevice* d) { return d ? "v" + std::to_string(d->VersionNumber()) : "none"; }

using testsupport::Dispatch;

struct Recorder {
  std::vector<std::string> Events;
  TJvHidDeviceController* Controller = nullptr;

  void Arrival(TJvHidDevice* d) {
    // Listed before its own event, and open to queries while it runs.
    const auto& list = Controller->Devices();
    EXPECT_FALSE(list.empty());
    if (!list.empty()) {
      EXPECT_EQ(list.back(), d);
    }
    Events.push_back("arrival " + Name(d));
  }
  void Removal(TJvHidDevice* d) { Events.push_back("removal " + Name(d)); }
  void Unplug(TJvHidDevice* d) { Events.push_back("unplug " + Name(d)); }
  void Change(TJvHidDeviceController*) { Events.push_back("change"); }

  void Attach(TJvHidDeviceController& c) {
    Controller = &c;
    c.OnArrival = TJvHidPlugEvent::Of<&Recorder::Arrival>(this);
    c.OnRemoval = TJvHidPlugEvent::Of<&Recorder::Removal>(this);
    c.SetOnDeviceUnplug(TJvHidPlugEvent::Of<&Recorder::Unplug>(this));
  }
  // Taking OnDeviceChange through its setter runs a pass at once; tests that want the first
  // pass to come from the message loop assign it before the controller's first dispatch.
  void AttachChange(TJvHidDeviceController& c) { c.SetOnDeviceChange(TJvHidNotifyEvent::Of<&Recorder::Change>(this)); }

  std::vector<std::string> Take() {
    std::vector<std::string> e;
    e.swap(Events);
    return e;
  }
};

using Events = std::vector<std::string>;

}  // namespace hidtest
