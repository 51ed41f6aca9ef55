// The minidump of an exception, gathered while its report's thread sections are made: the threads
// and stacks the report traces, the loaded modules with their build identities, code around every
// instruction pointer, the exception and the system. Everything is kept in buffers reserved when
// the component is installed; the encoded dump stays there until the next exception's replaces it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "report/KestrumBugReport_win.h"

namespace kestrum {

struct PersonalFacts;

// At install time. False when the buffers could not be had: dumps then fail with a message.
bool ReserveMiniDumpBuffers();

struct MiniDumpFacts {
  int level = 0;  // the setting MiniDump: 0 none, 1 threads, stacks, modules, exception; 2 also writable data
  DWORD crashedThreadId = 0;
  bool frozen = false;
  const CONTEXT* context = nullptr;  // at the fault or the throw; null when unknown
  report::Addr exceptAddr = 0;
  // The operating system's record of a fault, when there is one.
  bool hasRecord = false;
  DWORD code = 0, flags = 0;
  DWORD parameterCount = 0;
  ULONG_PTR parameters[15] = {};
  // The crashed thread's stack as copied at the throw, when it was; its live stack is unwound.
  const std::uint8_t* stackCopy = nullptr;
  std::size_t stackCopySize = 0;
  report::Addr stackCopyBegin = 0;
  // RedactPersonal: the names and paths the report's text loses are blanked out of the finished
  // dump too; null leaves the dump as it was gathered.
  const PersonalFacts* personal = nullptr;
};

// One exception's gathering. Begin before the report's threads are collected (its sink goes into
// their collection), Finish after: it encodes the dump. Only one exists at a time (the handling
// runs one exception at a time).
class MiniDumpGathering {
 public:
  explicit MiniDumpGathering(const MiniDumpFacts& facts);
  ~MiniDumpGathering();
  MiniDumpGathering(const MiniDumpGathering&) = delete;
  MiniDumpGathering& operator=(const MiniDumpGathering&) = delete;
  report::ThreadSink* Sink();
  // The dump's number (never 0), or 0 with the reason in error.
  std::uint32_t Finish(std::string& error);

 private:
  class Impl;
  Impl* impl_;
};

// What the last gathering cost on the crash path (its share of the thread collection and the
// encoding), in microseconds: for the benchmark.
std::uint32_t LastMiniDumpMicroseconds();

// Writes the dump with that number to path (replacing the file). False with the reason when it is
// not there any more or the file cannot be written.
bool WriteMiniDumpFile(std::uint32_t number, const std::string& path, std::string& error);

}  // namespace kestrum
