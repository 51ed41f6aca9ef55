// The simulator's diagnostics reach the quiet trace: a program with a window has no console that
// would show what it writes to standard error. Both are met while the DLL loads: a log file that
// cannot be opened and a scenario line that is not a command.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "sim/SimControl.h"

namespace {

TEST(SimTrace, DiagnosticsOfTheLoadReachTheTrace) {
  // The scenario's timeline runs out before the test ends: plugged, one frame queued.
  KelvaneSimFirmwareState fw{};
  for (int i = 0; i < 500 && !(KelvaneSimFirmware("envrx", &fw) && fw.QueuedFrames == 1); ++i) Sleep(2);
  ASSERT_EQ(fw.QueuedFrames, 1);
  KelvaneSimReset();

  char path[MAX_PATH];
  ASSERT_GT(GetEnvironmentVariableA("KELVANE_TRACE", path, sizeof path), 0u);
  // Each line carries this process' id; the file goes after reading, so that the next run
  // starts without it.
  const std::string mine = std::to_string(GetCurrentProcessId()) + ".";
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
      if (line.compare(0, mine.size(), mine) == 0) lines.push_back(line.substr(line.find(' ') + 1));
  }
  DeleteFileA(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "simulator: the log file named by KELVANE_SIM_LOG cannot be opened (error 3)");
  // The scenario is named as the simulator opened it, by its Windows path.
  const std::string lineIgnored = "env.scenario:4: a line starts with 'at' or 'repeat' (line ignored)";
  EXPECT_EQ(lines[1].compare(0, 11, "simulator: "), 0) << lines[1];
  EXPECT_EQ(lines[1].compare(lines[1].size() - lineIgnored.size(), lineIgnored.size(), lineIgnored), 0) << lines[1];
}

}  // namespace
