// The component's save seam through the bug report file, for an exception object made here with
// the shipped settings: what lands in the file, and when the report counts as saved.
#include <windows.h>

#include <gtest/gtest.h>

#include "crash/KestrumException_win.h"
#include "delivery/KestrumBugReportFile_win.h"
#include "delivery/tests/BugReportTexts.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace delivery {
namespace {

using delivery::testing::Crc;
using delivery::testing::MakeReport;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void SendNothing(kestrum::IZQException*, HWND, bool) {}

class SaveSeam : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "kestrum_seam_" + std::to_string(GetCurrentProcessId()) + ".txt";
    DeleteFileA(path_.c_str());
    module_ = kestrum::SettingsForModule(GetModuleHandleA(nullptr));
    before_ = kestrum::DeliveryHooksInUse();
    kestrum::DeliveryHooks hooks = before_;
    hooks.sendReport = SendNothing;
    hooks.saveReport = SaveExceptionReport;
    kestrum::InstallDeliveryHooks(hooks);
  }
  void TearDown() override {
    kestrum::InstallDeliveryHooks(before_);
    module_->Release();
    DeleteFileA(path_.c_str());
  }
  // A report saved as the automatic save does (silent); true when it counts as saved.
  bool AutoSave(const std::string& report) {
    kestrum::ExceptionFacts facts;
    facts.object = std::make_exception_ptr(std::runtime_error("x"));
    auto* e = new TIZQException(module_, facts);
    e->SetBugReportFile(path_);
    // A report replaced before it is complete would be composed anew when it is saved.
    e->GetBugReport(true);
    e->SetBugReport(report);
    kestrum::DeliveryHooksInUse().saveReport(e, nullptr, false);
    const bool saved = e->GetMailWasSaved();
    e->Release();
    return saved;
  }

  std::string path_;
  kestrum::IZQModuleSettings* module_ = nullptr;
  kestrum::DeliveryHooks before_{};
};

TEST_F(SaveSeam, EqualCrashesAreCounted) {
  const std::string report = MakeReport("2026-12-10, 17:03:09, 45ms", Crc(7), "00401000 x");
  ASSERT_TRUE(AutoSave(report));
  EXPECT_EQ(ReadFile(path_).rfind(report, 0), 0u) << ReadFile(path_);
  ASSERT_TRUE(AutoSave(MakeReport("2026-12-10, 17:04:00, 1ms", Crc(7), "00401000 x")));
  std::istringstream lines(ReadFile(path_));
  int dates = 0, counted = 0;
  for (std::string line; std::getline(lines, line);) {
    dates += line.rfind("date/time", 0) == 0;
    counted += line.rfind("count", 0) == 0 && line.find(": 2") != std::string::npos;
  }
  EXPECT_EQ(dates, 1) << "folded into one report";
  EXPECT_EQ(counted, 1) << ReadFile(path_);
}

TEST_F(SaveSeam, AFileInUseIsNotSavedAndKeepsItsReports) {
  const std::string first = MakeReport("2026-12-10, 17:03:09, 45ms", Crc(1), "00401000 x");
  ASSERT_TRUE(AutoSave(first));
  const std::string stored = ReadFile(path_);
  HANDLE holder = CreateFileA(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(AutoSave(MakeReport("2026-12-10, 17:05:00, 2ms", Crc(2), "00402000 y"))) << "MailWasSaved set for a failed save";
  CloseHandle(holder);
  EXPECT_EQ(ReadFile(path_), stored);
}

}  // namespace
}  // namespace delivery
