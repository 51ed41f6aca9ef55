// Ending the program after an exception: a restart hands the time history to the new process;
// both end at once with TerminateProcess.
#include "crash/KestrumProgramEnd_win.h"

#include <cstring>
#include <string>

#include "crash/KestrumTimeHistory_win.h"
#include "crash/KestrumRestart.h"
#include "platform/Modules_win.h"

namespace kestrum {

namespace {

std::wstring* g_startDirectory = nullptr;

}  // namespace

void RememberStartDirectory() {
  wchar_t dir[MAX_PATH * 2];
  const DWORD n = GetCurrentDirectoryW(MAX_PATH * 2, dir);
  if (!g_startDirectory) g_startDirectory = new std::wstring;
  if (n > 0 && n < MAX_PATH * 2) g_startDirectory->assign(dir, n);
}

namespace {

// Hands the time history to the suspended new process in "KestrumRestart$<pid>", with the
// section's handle duplicated into it so that the section outlives this process.
void WriteHandOver(const PROCESS_INFORMATION& pi) {
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
  const std::string name = RestartSectionName(pi.dwProcessId);
  HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, kRestartSectionBytes, name.c_str());
  if (!section) return;
  HANDLE inNew = nullptr;
  DuplicateHandle(GetCurrentProcess(), section, pi.hProcess, &inNew, 0, FALSE, DUPLICATE_SAME_ACCESS);
  if (void* view = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, kRestartSectionBytes)) {
    RestartHandOver handOver;
    handOver.predecessorId = GetCurrentProcessId();
    handOver.sectionHandle = static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(inNew));
    handOver.history = ExceptionHistory();
    const RestartSectionBytes bytes = WriteRestartSection(handOver);
    std::memcpy(view, bytes.data(), bytes.size());
    UnmapViewOfFile(view);
  }
  CloseHandle(section);
}

// Inlined: the code analyser must see the end of each caller in its own body, where the loop ends it.
[[noreturn]] inline __attribute__((always_inline)) void EndProcess(UINT exitCode) {
  TerminateProcess(GetCurrentProcess(), exitCode);
  for (;;) Sleep(INFINITE);
}

}  // namespace

void RestartProgram() {
  // The module's own file and the directory the program started in: a relative command line
  // would resolve against whatever the current directory has become (a save dialog moves it).
  const std::wstring path = platform::ModulePathW(nullptr);
  std::wstring commandLine = GetCommandLineW();
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const wchar_t* dir = g_startDirectory && !g_startDirectory->empty() ? g_startDirectory->c_str() : nullptr;
  if (!path.empty() &&
      CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, dir, &si, &pi)) {
    WriteHandOver(pi);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  EndProcess(2);
}

void CloseProgram() { EndProcess(1); }

}  // namespace kestrum
