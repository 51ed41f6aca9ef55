// Saving the log: the target is replaced whole or not at all, and nothing is left beside it.
#include "app/LogFile_win.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using app::ReplaceFileContents;

class SavedLog : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder = std::wstring(temp) + L"kelvane-logfile-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  void TearDown() override {
    for (const std::wstring& name : Files()) {
      const std::wstring path = folder + L"\\" + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
    }
    RemoveDirectoryW(folder.c_str());
  }

  std::wstring In(const wchar_t* name) const { return folder + L"\\" + name; }
  std::set<std::wstring> Files() const {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") names.insert(name);
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return names;
  }
  static std::string Contents(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "(missing)";
    std::string out(GetFileSize(h, nullptr), '\0');
    DWORD got = 0;
    if (!out.empty()) ReadFile(h, out.data(), static_cast<DWORD>(out.size()), &got, nullptr);
    CloseHandle(h);
    out.resize(got);
    return out;
  }
  static void Write(const std::wstring& path, const std::string& bytes) { ASSERT_EQ(ReplaceFileContents(path, bytes), 0u); }

  std::wstring folder;
};

TEST_F(SavedLog, WritesAndReplacesByteForByte) {
  const std::string log = "IR Code received:\r\nVEXA_NEC_PROTOCOL\r\n\r\n100\xB5s\r\n";
  std::string big(3u << 20, 'x');  // more than one write call
  big[12345] = '\0';
  const std::string contents[] = {log, "", big, "short"};
  for (const std::string& c : contents) {
    Write(In(L"log.txt"), c);
    EXPECT_TRUE(Contents(In(L"log.txt")) == c) << c.size() << " bytes";
    EXPECT_EQ(Files(), std::set<std::wstring>{L"log.txt"}) << "nothing is left beside the target";
  }
}

TEST_F(SavedLog, FailureLeavesTheTargetAsItWas) {
  Write(In(L"old.txt"), "old log\r\n");
  ASSERT_TRUE(SetFileAttributesW(In(L"old.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CreateDirectoryW(In(L"folder.txt").c_str(), nullptr));
  const struct {
    std::wstring path;
    DWORD error;  // 0: any failure
  } cases[] = {
      {In(L"old.txt"), ERROR_ACCESS_DENIED},
      {In(L"folder.txt"), ERROR_ACCESS_DENIED},
      {In(L"no such folder\\new.txt"), 0},
  };
  for (const auto& c : cases) {
    const DWORD error = ReplaceFileContents(c.path, "new log\r\n");
    EXPECT_NE(error, 0u);
    if (c.error) {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(Contents(In(L"old.txt")), "old log\r\n");
    EXPECT_EQ(Files(), (std::set<std::wstring>{L"folder.txt", L"old.txt"})) << "no temporary file is left";
  }
  EXPECT_FALSE(app::SystemErrorText(ERROR_ACCESS_DENIED).empty());
}

}  // namespace
