// Every exception path of the interception, seen from outside: InterceptTest.exe runs one path per
// start and records what reached its stand-in ReportException; here the exit code and that record
// are checked, and the process's registry section and KorbTraceProcess are used as an outside
// tool would.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "testing/Paths_win.h"

namespace {

struct ChildRun {
  DWORD exitCode = 0xDEAD;
  std::string record;
  bool timedOut = false;
};

std::string ResultFile(const std::string& tag) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "kestrum-intercept-" + std::to_string(GetCurrentProcessId()) + "-" + tag + ".txt";
}

std::string ReadFile(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char b[4096];
    for (size_t n; (n = std::fread(b, 1, sizeof b, f)) > 0;) text.append(b, n);
    std::fclose(f);
  }
  return text;
}

struct Child {
  PROCESS_INFORMATION pi{};
  std::string result;
};

Child Start(const std::string& args, const std::string& tag) {
  Child c;
  c.result = ResultFile(tag);
  DeleteFileA(c.result.c_str());
  SetEnvironmentVariableA("KESTRUM_RESULT", c.result.c_str());
  const std::string exe = testsupport::BesideThisProgram("InterceptTest.exe");
  std::string cmd = "\"" + exe + "\" " + args;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  EXPECT_TRUE(CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &c.pi)) << args;
  return c;
}

ChildRun Finish(Child& c, DWORD timeoutMs = 20000) {
  ChildRun r;
  if (WaitForSingleObject(c.pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    r.timedOut = true;
    TerminateProcess(c.pi.hProcess, 99);
    WaitForSingleObject(c.pi.hProcess, 5000);
  }
  GetExitCodeProcess(c.pi.hProcess, &r.exitCode);
  CloseHandle(c.pi.hProcess);
  CloseHandle(c.pi.hThread);
  r.record = ReadFile(c.result);
  DeleteFileA(c.result.c_str());
  return r;
}

struct PathCase {
  const char* what;
  DWORD exitCode;
  std::vector<const char*> lines;  // each a line of the record, in this order
};

// source numbers: 3 runtime ShowException, 4 application ShowException, 5 application
// HandleException, 10 synchronize, 11 runtime error, 13 last chance, 16 thread frame, 17 Execute.
const PathCase kPaths[] = {
    {"tthread",
     0,
     {"report source=17 class=EAccessViolation message=Zugriffsverletzung bei Adresse",
      "continue=1 thread=other related=(anonymous namespace)::FaultingThread context=0", "exit=0"}},
    {"createthread",
     0,
     {"listed while running=1", "report source=16 class=EAccessViolation", "continue=1 thread=other", "exit=ffffffff",
      "listed after its end=0"}},
    {"workitem", 0, {"report source=16 class=EAccessViolation", "continue=1 thread=other"}},
    {"stdthread",
     0,
     {"created by main=1 in our code=1", "report source=16 class=EAccessViolation", "continue=1 thread=other", "exit=ffffffff"}},
    {"sync", 0, {"report source=10 class=EAccessViolation", "continue=1 thread=main", "worker continued"}},
    {"sync-abort", 0, {"worker caught EAbort"}},
    {"overflow-worker",
     0,
     {"report source=13 class=EStackOverflow message=Stack\xFC"
      "berlauf continue=1 thread=other related=- context=1",
      "exit=ffffffff", "listed after its end=0"}},
    {"overflow-main",
     1,
     {"report source=13 class=EStackOverflow message=Stack\xFC"
      "berlauf continue=0 thread=main related=- context=1"}},
    {"foreign-fault-worker",
     0,
     {"report source=13 class=EAccessViolation", "in Modul 'msvcrt.dll'. Lesen von Adresse $10 continue=1 thread=other related=- context=1",
      "exit=0", "listed after its end=0"}},
    {"foreign-fault-main",
     1,
     {"report source=13 class=EAccessViolation message=Zugriffsverletzung bei Adresse",
      "Lesen von Adresse $10 continue=0 thread=main related=- context=1"}},
    {"abort", 1, {"report source=11 class=KorbException message=Abnormal program termination continue=0 thread=main"}},
    {"terminate", 1, {"report source=11 class=KorbException message=Runtime error continue=0 thread=main"}},
    {"pure-virtual", 1, {"report source=11 class=KorbException message=Pure virtual function call continue=0 thread=main"}},
    {"nested", 1, {"report source=13 class=std::runtime_error message=second continue=0 thread=main"}},
    {"seams",
     0,
     {"report source=5 class=EConvertError message=handled continue=1 thread=main related=TObject",
      "report source=4 class=Exception message=shown", "report source=3 class=std::runtime_error message=runtime"}},
    {"naming", 0, {"naming passed on", "display=Named worker ($", "naming passed on", "long name kept=255", "exit=0"}},
    {"second-copy", 0, {"second copy main=1", "copies=2", "display=named by the second copy", "copies=1", "main=main thread"}},
    {"close-while-in-use", 0, {"closed while in use", "exit=0", "exit=0", "exit=0", "exit=0"}},
    {"raise-facts", 0, {"throw object=1 address=1 context=1", "library throw object=1", "fault address=1 context=1", "cleared=1"}},
    {"patch-restore",
     0,
     {"exe slot redirected=1", "library thread created by main=1", "exit=7", "library slot redirected=1", "base taken again=1",
      "freed library untouched=1", "exe slot restored=1"}},
};

class ExceptionPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ExceptionPath, ReachesTheEntryWithItsSourceAndEndsAsItShould) {
  const PathCase& c = GetParam();
  Child child = Start(c.what, c.what);
  const ChildRun r = Finish(child);
  ASSERT_FALSE(r.timedOut) << c.what << "\n" << r.record;
  EXPECT_EQ(r.exitCode, c.exitCode) << c.what << "\n" << r.record;
  // The expected pieces, each found after the previous one; and no report that was not expected.
  size_t at = 0;
  for (const char* piece : c.lines) {
    const size_t found = r.record.find(piece, at);
    ASSERT_NE(found, std::string::npos) << c.what << ": missing \"" << piece << "\" in\n" << r.record;
    at = found + std::strlen(piece);
  }
  size_t reports = 0, expected = 0;
  for (size_t p = 0; (p = r.record.find("report ", p)) != std::string::npos; ++p) ++reports;
  for (const char* piece : c.lines) expected += std::string(piece).rfind("report ", 0) == 0;
  EXPECT_EQ(reports, expected) << c.what << "\n" << r.record;
}

INSTANTIATE_TEST_SUITE_P(Interception, ExceptionPath, ::testing::ValuesIn(kPaths),
                         [](const auto& info) {
                           std::string n = info.param.what;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

// Waits until the idle child has written its "ready" line; gives the main and worker ids.
bool WaitReady(const Child& c, DWORD& mainId, DWORD& workerId) {
  for (int i = 0; i < 200; ++i) {
    const std::string text = ReadFile(c.result);
    unsigned long m = 0, w = 0;
    if (std::sscanf(text.c_str(), "ready main=%lx worker=%lx", &m, &w) == 2) {
      mainId = m;
      workerId = w;
      return true;
    }
    Sleep(50);
  }
  return false;
}

struct RawEntry {
  DWORD threadId;
  DWORD name;
  DWORD next;
  DWORD creatorClass;
  DWORD threadProc;
  DWORD creatorThreadId;
  DWORD handle;
};

std::string ReadRemoteText(HANDLE process, DWORD at) {
  std::string s;
  char ch;
  SIZE_T n;
  while (at && s.size() < 256 && ReadProcessMemory(process, reinterpret_cast<void*>(at++), &ch, 1, &n) && n == 1 && ch) s.push_back(ch);
  return s;
}

TEST(ThreadRegistry, SectionIsReadableFromAnotherProcess) {
  Child child = Start("idle 30000", "registry");
  DWORD mainId = 0, workerId = 0;
  ASSERT_TRUE(WaitReady(child, mainId, workerId));

  char name[64];
  std::snprintf(name, sizeof name, "KestrumThreadNameBuf$%lx", static_cast<unsigned long>(child.pi.dwProcessId));
  HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
  ASSERT_NE(section, nullptr) << name;
  const auto* block = static_cast<const DWORD*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 20));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[3], 1u);  // one copy of the component uses it
  EXPECT_NE(block[1], 0u);  // the thread-list mutex exists
  bool sawMain = false, sawWorker = false;
  int count = 0;
  for (DWORD at = block[2]; at && count < 100; ++count) {
    RawEntry e{};
    SIZE_T n = 0;
    ASSERT_TRUE(ReadProcessMemory(child.pi.hProcess, reinterpret_cast<void*>(at), &e, sizeof e, &n));
    if (e.threadId == mainId) {
      sawMain = true;
      EXPECT_EQ(ReadRemoteText(child.pi.hProcess, e.name), "main thread");
    }
    if (e.threadId == workerId) {
      sawWorker = true;
      EXPECT_EQ(e.creatorThreadId, mainId);
      EXPECT_NE(e.threadProc, 0u);
    }
    at = e.next;
  }
  EXPECT_TRUE(sawMain);
  EXPECT_TRUE(sawWorker);
  UnmapViewOfFile(block);
  CloseHandle(section);
  TerminateProcess(child.pi.hProcess, 0);
  Finish(child);
}

TEST(KorbTraceProcess, ExportedUndecoratedAndCutToTheSectionSize) {
  // The export by its plain name, as an outside tool finds it.
  const std::string exe = testsupport::BesideThisProgram("InterceptTest.exe");
  const DWORD rva = testsupport::ExportOffset(exe, "KorbTraceProcess");
  ASSERT_NE(rva, 0u);

  Child child = Start("idle 30000", "trace");
  DWORD mainId = 0, workerId = 0;
  ASSERT_TRUE(WaitReady(child, mainId, workerId));
  // The section is smaller than the size the caller passes, and smaller than the report.
  constexpr DWORD kSectionSize = 4096;
  HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionSize, "KorbTraceProcessMap");
  ASSERT_NE(section, nullptr);
  auto* view = static_cast<char*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  // The child's program module, as the system lists it.
  HMODULE childBase = nullptr;
  {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, child.pi.dwProcessId);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    MODULEENTRY32 me{};
    me.dwSize = sizeof me;
    for (BOOL more = Module32First(snapshot, &me); more; more = Module32Next(snapshot, &me))
      if (lstrcmpiA(me.szModule, "InterceptTest.exe") == 0) childBase = me.hModule;
    CloseHandle(snapshot);
  }
  ASSERT_NE(childBase, nullptr);
  const auto trace = [&](DWORD bufferSize) {
    HANDLE remote = CreateRemoteThread(child.pi.hProcess, nullptr, 0,
                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<std::uintptr_t>(childBase) + rva),
                                       reinterpret_cast<void*>(static_cast<std::uintptr_t>(bufferSize)), 0, nullptr);
    if (!remote) return DWORD{0xBAD};
    DWORD code = 0xDEAD;
    if (WaitForSingleObject(remote, 20000) == WAIT_OBJECT_0) GetExitCodeThread(remote, &code);
    CloseHandle(remote);
    return code;
  };
  // The caller's size cut to what the section holds.
  EXPECT_EQ(trace(100000), 0u);
  const std::string text(view, strnlen(view, kSectionSize));
  EXPECT_EQ(text.size(), kSectionSize - 1);
  EXPECT_EQ(text.rfind("main: main thread ($", 0), 0u) << text.substr(0, 200);
  char worker[128];
  std::snprintf(worker, sizeof worker, "worker: thread $%lx created by %lx at a call site", static_cast<unsigned long>(workerId),
                static_cast<unsigned long>(mainId));
  EXPECT_NE(text.find(worker), std::string::npos) << text.substr(0, 200);
  // A caller's size below the section's.
  std::memset(view, 'z', kSectionSize);
  EXPECT_EQ(trace(100), 0u);
  EXPECT_EQ(strnlen(view, kSectionSize), 99u);
  EXPECT_EQ(view[100], 'z');
  UnmapViewOfFile(view);
  CloseHandle(section);
  TerminateProcess(child.pi.hProcess, 0);
  const ChildRun r = Finish(child);
  // Both went through the entry as reports of the current state, not as exceptions.
  const std::string manual = "report source=0 class=- message=- continue=1";
  const size_t first = r.record.find(manual);
  ASSERT_NE(first, std::string::npos) << r.record;
  EXPECT_NE(r.record.find(manual, first + 1), std::string::npos) << r.record;
}

}  // namespace
