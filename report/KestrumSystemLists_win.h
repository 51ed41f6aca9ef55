// The system queries behind the three system lists, and their registration as report plug-ins.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "report/KestrumSystemLists.h"

namespace report {

// The loaded modules of this process in address order, from a walk of its address space.
std::vector<ModuleEntry> CollectModules();
// The system's process table (process and thread entries) in one buffer, sized from its answer
// where it gives one; empty when it cannot be had.
std::vector<std::uint8_t> ProcessTable();
// The running processes in the order the system reports them.
std::vector<ProcessEntry> CollectProcesses();
// The present devices as the device-setup services describe them; none when the services are
// missing.
std::vector<DeviceAnswers> CollectDevices();
// A value under HKEY_LOCAL_MACHINE as the hardware list reads it.
std::string ReadMachineValue(const std::string& key, const std::string& name);

// The lists as the plug-ins give them.
std::wstring ModulesList();
std::wstring ProcessesList();
std::string HardwareList();

// Registers "hardware", "processes" and "modules", in this order; the component does so at
// start-up and undoes it with UnregisterSystemLists when it ends.
void RegisterSystemLists();
void UnregisterSystemLists();

}  // namespace report
