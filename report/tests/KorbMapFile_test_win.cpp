// The cache and the address lookups on loaded modules: the shipped program (loaded as an image
// beside this test, with its embedded container) and modules without debug information.
#include "report/KorbMapFile_win.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <thread>
#include <vector>

#include "testing/Paths_win.h"

namespace {

// A copy of Kelvane.exe in the temporary folder, loaded as an image (not run), so that its file
// time can be changed without touching the build's.
class LoadedProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[MAX_PATH];
    ASSERT_TRUE(GetTempPathA(sizeof folder, folder));
    path_ = std::string(folder) + "KorbLookup" + std::to_string(GetCurrentProcessId()) + ".exe";
    ASSERT_TRUE(CopyFileA(testsupport::BesideThisProgram("Kelvane.exe").c_str(), path_.c_str(), FALSE));
    module_ = LoadLibraryExA(path_.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module_, nullptr);
    base_ = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(module_));
  }
  void TearDown() override {
    report::ClearDebugInfoCache();
    if (module_) FreeLibrary(module_);
    DeleteFileA(path_.c_str());
  }

  const void* At(std::uint32_t address) const { return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)); }

  // Moves the file's last write forward by seconds (DOS times count in steps of two).
  void Touch(int seconds) {
    HANDLE file = CreateFileA(path_.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME written;
    GetFileTime(file, nullptr, nullptr, &written);
    ULARGE_INTEGER t{{written.dwLowDateTime, written.dwHighDateTime}};
    t.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000ull;
    written = {t.LowPart, t.HighPart};
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
  }

  std::string path_;
  HMODULE module_ = nullptr;
  std::uint32_t base_ = 0;
};

TEST_F(LoadedProgram, DescribesTheProgramsOwnCodeFromItsContainer) {
  const auto map = DebugInfoForAddress(module_);
  ASSERT_TRUE(map->IsValid());
  EXPECT_GT(map->SegmentCount(), 100);
  EXPECT_EQ(map->ModuleFileName(), path_);
  const std::uint32_t winMain = map->FindPublic(true, "Kelvane", "WinMain", true);
  ASSERT_NE(winMain, 0u) << "WinMain in unit Kelvane";

  std::string moduleFile, unit, publicName;
  std::int32_t line = -5;
  std::uint32_t publicAddress = 0;
  ASSERT_TRUE(DescribeAddress(At(winMain + 3), moduleFile, unit, line, publicAddress, publicName));
  EXPECT_EQ(moduleFile, path_);
  EXPECT_EQ(unit, "Kelvane");
  EXPECT_EQ(publicName, "WinMain");
  EXPECT_EQ(publicAddress, winMain);
  EXPECT_GT(line, 0);

  EXPECT_EQ(ProcNameOfAddress(At(winMain)), "Kelvane.WinMain");
  EXPECT_EQ(ProcNameOfAddress(At(winMain + 1)), "") << "only where a public begins";
  EXPECT_EQ(map->EntryPoint() - base_,
            reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const std::uint8_t*>(module_) +
                                                      reinterpret_cast<const IMAGE_DOS_HEADER*>(module_)->e_lfanew)
                ->OptionalHeader.AddressOfEntryPoint);
}

TEST_F(LoadedProgram, LineOfAddressRemembersItsRange) {
  const auto map = DebugInfoForAddress(module_);
  const std::uint32_t winMain = map->FindPublic(true, "Kelvane", "WinMain", true);
  std::int32_t line = 0;
  std::uint32_t start = 0, end = 0;
  LineOfAddress(At(winMain), line, start, end);
  EXPECT_GT(line, 0);
  EXPECT_EQ(start, winMain);
  EXPECT_GT(end, winMain);
  const std::int32_t first = line;
  line = 77;  // inside the remembered range nothing is looked up
  LineOfAddress(At(end - 1), line, start, end);
  EXPECT_EQ(line, 77);
  line = first;
  const std::uint32_t oldEnd = end;
  LineOfAddress(At(oldEnd), line, start, end);
  EXPECT_EQ(start, oldEnd) << "outside the range the line is looked up again";
  const std::uint32_t keptStart = start;
  LineOfAddress(nullptr, line, start, end);
  EXPECT_EQ(start, keptStart) << "no address: nothing changes";
}

TEST_F(LoadedProgram, CacheKeepsOneObjectPerFileVersionAndHoldersKeepTheirs) {
  const auto first = DebugInfoForAddress(module_);
  EXPECT_EQ(DebugInfoForAddress(At(base_ + 0x1000)).get(), first.get()) << "an unchanged file comes from the cache";
  const std::size_t modules = report::DebugInfoCacheSize();
  Touch(4);
  report::RecheckDebugInfoFiles();  // the next report
  const auto second = DebugInfoForAddress(module_);
  EXPECT_NE(second.get(), first.get()) << "a rewritten file is read again";
  EXPECT_EQ(report::DebugInfoCacheSize(), modules) << "the old entry is replaced, not kept beside";
  EXPECT_TRUE(first->IsValid()) << "the replaced object stays usable for its holder";
  EXPECT_EQ(first->FindPublic(true, "Kelvane", "WinMain", true), second->FindPublic(true, "Kelvane", "WinMain", true));
}

TEST_F(LoadedProgram, ConcurrentLookupsWhileTheFileChanges) {
  const std::uint32_t winMain = DebugInfoForAddress(module_)->FindPublic(true, "Kelvane", "WinMain", true);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        std::string moduleFile, unit, publicName;
        std::int32_t line = 0;
        std::uint32_t publicAddress = 0;
        if (!DescribeAddress(At(winMain + 2), moduleFile, unit, line, publicAddress, publicName) || publicName != "WinMain") ++wrong;
      }
    });
  }
  for (int i = 0; i < 5; ++i) {
    Touch(2);
    report::RecheckDebugInfoFiles();
    Sleep(20);
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

// Read ahead at the start, every loaded module (as the system's own list has them) is answered from
// the cache afterwards, the program's container among them.
TEST_F(LoadedProgram, PreparedModulesAreAllInTheCache) {
  report::ClearDebugInfoCache();
  report::PrepareLoadedModules();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  std::vector<HMODULE> listed;
  MODULEENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry)) listed.push_back(entry.hModule);
  CloseHandle(snapshot);
  ASSERT_GT(listed.size(), 2u);
  EXPECT_EQ(report::DebugInfoCacheSize(), listed.size());
  const auto program = DebugInfoForAddress(module_);
  EXPECT_TRUE(program->IsValid());
  for (HMODULE m : listed) DebugInfoForAddress(m);
  EXPECT_EQ(report::DebugInfoCacheSize(), listed.size()) << "no module was left for the lookups";
}

// This test program carries no container and has no debug files beside it.
TEST(DebugInfoCache, ModuleWithoutDebugInformationIsCachedOnce) {
  report::ClearDebugInfoCache();
  const auto first = DebugInfoForAddress(reinterpret_cast<const void*>(&DebugInfoForAddress));
  EXPECT_FALSE(first->IsValid());
  EXPECT_EQ(DebugInfoForAddress(reinterpret_cast<const void*>(&DebugInfoForAddress)).get(), first.get());
  EXPECT_EQ(report::DebugInfoCacheSize(), 1u);

  std::string moduleFile = "unchanged";
  std::string unit, publicName;
  std::int32_t line = 0;
  std::uint32_t publicAddress = 0;
  EXPECT_FALSE(DescribeAddress(reinterpret_cast<const void*>(&DebugInfoForAddress), moduleFile, unit, line, publicAddress, publicName));
  EXPECT_EQ(moduleFile, "unchanged");
  EXPECT_EQ(ProcNameOfAddress(reinterpret_cast<const void*>(&DebugInfoForAddress)), "");
  report::ClearDebugInfoCache();
}

TEST(DebugInfoCache, AddressesOutsideModulesAreNeverCached) {
  report::ClearDebugInfoCache();
  std::vector<char> heap(64);
  EXPECT_FALSE(DebugInfoForAddress(heap.data())->IsValid());
  EXPECT_FALSE(DebugInfoForAddress(reinterpret_cast<const void*>(0x10))->IsValid());
  EXPECT_EQ(report::DebugInfoCacheSize(), 0u);
}

}  // namespace
