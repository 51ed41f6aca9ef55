// The analyser on the running process: its own code, a system library's exports, and memory
// that cannot be read.
#include "report/KorbDisAsm_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "platform/CrashHooks_win.h"
#include "platform/GuardedRead_win.h"

namespace report {
namespace {

Addr A(const void* p) { return static_cast<Addr>(reinterpret_cast<std::uintptr_t>(p)); }

volatile int g_sink = 0;

__attribute__((noinline)) int Callee(int a) {
  g_sink = a;
  return a + 1;
}

__attribute__((noinline)) int Sample(int a) {
  if (a > 3) return Callee(a) * 3;
  return a * 2;
}

constexpr std::size_t kPage = 4096;

class KorbProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallFaultConversion();
    converted_ = ConvertedFaultCount();
  }
  void TearDown() override { EXPECT_EQ(ConvertedFaultCount(), converted_) << "a fault escaped the guard"; }
  ProcessCodeMemory memory_;
  unsigned long converted_ = 0;
};

TEST_F(KorbProcess, OwnFunctionWithItsCall) {
  const TFunctionInfo fi = AnalyseFunction(memory_, A(reinterpret_cast<const void*>(&Sample)));
  ASSERT_TRUE(fi.IsValid) << fi.LastErrorStr << " at " << std::hex << fi.LastErrorAddr;
  const TFarCall* call = nullptr;
  for (const TFarCall& f : fi.FarCalls)
    if (f.Target == A(reinterpret_cast<const void*>(&Callee))) call = &f;
  ASSERT_NE(call, nullptr);
  EXPECT_TRUE(call->Call);
  EXPECT_TRUE(IsInstructionPosition(memory_, fi, call->CodeAddr2));
  EXPECT_TRUE(IsInstructionPosition(memory_, fi, call->CodeAddr1));
  EXPECT_FALSE(IsInstructionPosition(memory_, fi, call->CodeAddr1 + 1));

  ModuleInfo module;
  ASSERT_TRUE(memory_.ModuleAt(fi.EntryPoint, module));
  EXPECT_TRUE(module.own);
  EXPECT_LE(module.rangeBegin, fi.CodeBegin);
  EXPECT_GT(module.rangeEnd, fi.CodeBegin + fi.CodeLen);

  TFunctionInfo info;
  const std::string text = GetCleartextDisAsm(memory_, nullptr, fi.EntryPoint, call->CodeAddr1, true, 0, info);
  EXPECT_NE(text.find(":                      ; function entry point"), std::string::npos) << text;
  EXPECT_NE(text.find(" > call"), std::string::npos) << text;
}

TEST_F(KorbProcess, SystemExportsGiveNames) {
  const HMODULE kernelbase = GetModuleHandleA("kernelbase.dll");
  ASSERT_NE(kernelbase, nullptr);
  const void* lstrlen = reinterpret_cast<const void*>(GetProcAddress(kernelbase, "lstrlenA"));
  ASSERT_NE(lstrlen, nullptr);
  // Several names may share the address (lstrlen and lstrlenA): any of them names it.
  const std::string name = memory_.ExportName(A(lstrlen));
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(reinterpret_cast<const void*>(GetProcAddress(kernelbase, name.c_str())), lstrlen);
  EXPECT_EQ(memory_.ExportName(A(lstrlen) + 1), "");
  ModuleInfo module;
  ASSERT_TRUE(memory_.ModuleAt(A(lstrlen), module));
  EXPECT_FALSE(module.own);
  EXPECT_STRCASEEQ(module.fileName.c_str(), "kernelbase.dll");
  TFunctionInfo info;
  const std::string text = GetCleartextDisAsm(memory_, nullptr, A(lstrlen), 0, true, 0, info);
  EXPECT_EQ(text.substr(8, 9 + name.size()), " public " + name + ":") << text;
}

TEST_F(KorbProcess, UnreadableMemoryEndsTheAnalysisNotTheProgram) {
  auto* page = static_cast<unsigned char*>(VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  ASSERT_NE(page, nullptr);
  std::memset(page, 0x90, kPage);
  page[kPage - 1] = 0xE8;  // a call whose operand lies in the page that cannot be read
  DWORD old;
  VirtualProtect(page + kPage, kPage, PAGE_NOACCESS, &old);

  const TDecodedInstruction d = DecodeInstruction(memory_, A(page + kPage - 1));
  EXPECT_FALSE(d.Valid);

  const TFunctionInfo off = AnalyseFunction(memory_, A(page));
  EXPECT_FALSE(off.IsValid);
  EXPECT_EQ(off.LastErrorNo, kInvalidCodeError);

  const TFunctionInfo none = AnalyseFunction(memory_, A(page + kPage));
  EXPECT_FALSE(none.IsValid);
  EXPECT_EQ(none.LastErrorNo, kInvalidParameterError);
  EXPECT_FALSE(none.LastErrorStr.empty());

  // A jump into the unreadable page leaves the function's region: a far jump, and its text.
  page[0] = 0xE9;
  const std::int32_t rel = static_cast<std::int32_t>(kPage + 16 - 5);
  std::memcpy(page + 1, &rel, 4);
  const TFunctionInfo jump = AnalyseFunction(memory_, A(page));
  ASSERT_TRUE(jump.IsValid);
  ASSERT_EQ(jump.FarCalls.size(), 1u);
  EXPECT_EQ(jump.FarCalls[0].Target, A(page + kPage + 16));
  TFunctionInfo info;
  EXPECT_NE(GetCleartextDisAsm(memory_, nullptr, A(page), A(page), true, 10, info).find(" > jmp"), std::string::npos);
  EXPECT_GT(platform::GuardedReadFaultCount(), 0u);
  VirtualFree(page, 0, MEM_RELEASE);
}

// Small numbers on a stack are probed as return addresses by the hundred: the lowest 64 KB, where
// nothing is ever mapped, are refused without the fault that a read there would cost.
TEST_F(KorbProcess, TheLowestAddressesAreRefusedWithoutAFault) {
  const unsigned long faults = platform::GuardedReadFaultCount();
  for (Addr at : {Addr{0}, Addr{8}, Addr{0x1234}, Addr{0xFFF8}, Addr{0xFFFF}}) {
    unsigned char bytes[8] = {};
    EXPECT_EQ(memory_.Read(at, bytes, sizeof bytes), 0u) << at;
    EXPECT_FALSE(DecodeInstruction(memory_, at).Valid) << at;
  }
  EXPECT_EQ(platform::GuardedReadFaultCount(), faults);
  const int readable = 7;
  int copy = 0;
  EXPECT_EQ(memory_.Read(A(&readable), &copy, sizeof copy), sizeof copy) << "readable memory is still read";
  EXPECT_EQ(copy, readable);
}

}  // namespace
}  // namespace report
