#include "crash/KestrumTempFolder.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrum {
namespace {

TEST(TempFolder, ComponentFolderIsTheProgramNameWithoutExtension) {
  struct Case {
    const char* path;
    const char* folder;
  } cases[] = {
      {"C:\\Tools\\Kelvane.exe", "Kelvane.Kestrum"},
      {"Kelvane.exe", "Kelvane.Kestrum"},
      {"\\\\server\\share\\v1.2\\my.tool.EXE", "my.tool.Kestrum"},
      {"C:\\Tools\\noext", "noext.Kestrum"},
      {"C:Kelvane.exe", "Kelvane.Kestrum"},
  };
  for (const Case& c : cases) EXPECT_EQ(ComponentFolderName(c.path), c.folder) << c.path;
}

TEST(TempFolder, NamesReadBackAsWritten) {
  const FolderOwner owners[] = {{0, 0}, {0x1a2c, 0x01dc2b3a4f5e6d70}, {0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF}};
  for (const FolderOwner& o : owners) {
    const std::string name = ProcessFolderName(o);
    EXPECT_EQ(ParseProcessFolderName(name), o) << name;
  }
  EXPECT_EQ(ProcessFolderName({0x1a2c, 0x01dc2b3a4f5e6d70}), "p00001a2c-01dc2b3a4f5e6d70");
  for (std::uint32_t n : {0u, 3u, 0xFFFFFFFFu}) EXPECT_EQ(ParseDeliveryFolderName(DeliveryFolderName(n)), n);
  EXPECT_EQ(DeliveryFolderName(3), "d00000003");
}

TEST(TempFolder, ForeignNamesAreNotOurs) {
  const char* names[] = {
      "",
      "bugreport.txt",
      "p00001a2c-01dc2b3a4f5e6d7",    // one digit short
      "p00001a2c-01dc2b3a4f5e6d700",  // one too many
      "P00001a2c-01dc2b3a4f5e6d70",
      "p00001A2C-01dc2b3a4f5e6d70",  // another spelling of an owner is someone else's folder
      "p00001a2c_01dc2b3a4f5e6d70",
      "p-0001a2c-01dc2b3a4f5e6d70",
      "p00001a2c-01dc2b3a4f5e6d7g",
      "d0000003",
      "d000000003",
      "d0000000x",
      "D00000003",
  };
  for (const char* n : names) {
    EXPECT_EQ(ParseProcessFolderName(n), std::nullopt) << n;
    EXPECT_EQ(ParseDeliveryFolderName(n), std::nullopt) << n;
  }
}

TEST(TempFolder, OnlyFoldersOfEndedProcessesGo) {
  const FolderOwner self{0x100, 5000};
  // The same id as a running process but another creation time: an earlier process with that id.
  std::map<std::pair<std::uint32_t, std::uint64_t>, ProcessState> states = {
      {{0x200, 4000}, ProcessState::running},
      {{0x300, 3000}, ProcessState::ended},
      {{0x200, 1000}, ProcessState::ended},
      {{0x400, 2000}, ProcessState::unknown},  // no access to ask: keep
  };
  std::vector<FolderOwner> asked;
  const ProcessOracle oracle = [&](const FolderOwner& o) {
    asked.push_back(o);
    return states.at({o.processId, o.creationTime});
  };
  std::set<std::string> removed;
  const std::string names[] = {ProcessFolderName(self),        ProcessFolderName({0x200, 4000}), ProcessFolderName({0x300, 3000}),
                               ProcessFolderName({0x200, 1000}), ProcessFolderName({0x400, 2000}), "bugreport.txt",
                               "KestrumTemp"};
  for (const std::string& n : names) {
    if (MayRemoveProcessFolder(n, self, oracle)) removed.insert(n);
  }
  EXPECT_EQ(removed, (std::set<std::string>{ProcessFolderName({0x300, 3000}), ProcessFolderName({0x200, 1000})}));
  EXPECT_EQ(asked.size(), 4u) << "neither the own folder nor foreign names need asking";
}

TEST(TempFolder, OnlyFinishedDeliveriesGo) {
  const std::set<std::uint32_t> running = {2};
  auto isRunning = [&](std::uint32_t d) { return running.count(d) != 0; };
  EXPECT_TRUE(MayRemoveDeliveryFolder(DeliveryFolderName(1), isRunning));
  EXPECT_FALSE(MayRemoveDeliveryFolder(DeliveryFolderName(2), isRunning)) << "a background send still reads its files";
  EXPECT_FALSE(MayRemoveDeliveryFolder("screenshot.png", isRunning));
}

}  // namespace
}  // namespace kestrum
