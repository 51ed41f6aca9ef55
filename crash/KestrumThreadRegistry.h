// The rules of the per-process thread registry: which thread is called what in reports and who
// created it. The system's thread handles are reached through ThreadHandleOps, so the rules run
// and are tested without the system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

using ThreadHandle = std::uintptr_t;  // 0: none

class ThreadHandleOps {
 public:
  virtual ~ThreadHandleOps() = default;
  // Both with synchronize and query-information access; 0 when that fails.
  virtual ThreadHandle Duplicate(ThreadHandle given) = 0;
  virtual ThreadHandle Open(std::uint32_t threadId) = 0;
  // The thread behind the handle has ended (the handle is signalled).
  virtual bool Ended(ThreadHandle handle) = 0;
  virtual void Close(ThreadHandle handle) = 0;
};

struct ThreadEntry {
  std::uint32_t threadId = 0;
  std::string name;
  std::string creatorClass;  // class name of the thread object that created the thread, or empty
  std::uintptr_t threadProc = 0;  // where the thread was created
  std::uint32_t creatorThreadId = 0;
  ThreadHandle handle = 0;  // 0 in entries written by copies that kept no handle
  bool operator==(const ThreadEntry&) const = default;
};

// One registration. Empty texts and zero numbers are "not given".
struct ThreadEntryCall {
  std::uint32_t threadId = 0;
  ThreadHandle handle = 0;
  std::string_view name;
  std::uint32_t creatorThreadId = 0;
  std::uintptr_t threadProc = 0;
  std::string_view creatorClass;
};

// An entry kept past its thread's end. Thread ids are reused, so such an entry describes some
// earlier thread, never the one that now has its id.
bool EntryOutlivedThread(const ThreadEntry& entry, ThreadHandleOps& ops);

// The entry that replaces a thread's existing one (`old`, already taken out of the list): fields
// not given are kept from `old` (unless `old` outlived its thread), and so is its handle, else
// the given handle is duplicated, else one is opened for the id. Nothing when the call gives
// neither name nor procedure (removal) or no handle can be had. Every handle not kept is closed.
std::optional<ThreadEntry> MergeThreadEntry(std::optional<ThreadEntry> old, const ThreadEntryCall& call, ThreadHandleOps& ops);

// A whole registration on a list, newest entry first: the merge above, then the removal of every
// entry whose thread has ended.
void ApplyThreadEntry(std::vector<ThreadEntry>& list, const ThreadEntryCall& call, ThreadHandleOps& ops);

struct ThreadDisplay {
  std::string text;  // empty: the thread is left out of reports
  std::uintptr_t threadProc = 0;
  std::uint32_t creatorThreadId = 0;
  bool operator==(const ThreadDisplay&) const = default;
};

// How a report names a thread. entry is the thread's registry entry or null; listAvailable is
// false when the registry could not be read in time. The component's own threads ("-" and two
// older names) are left out unless showHidden is set.
ThreadDisplay ThreadDisplayName(std::uint32_t threadId, const ThreadEntry* entry, bool showHidden, bool listAvailable,
                                ThreadHandleOps& ops);

}  // namespace kestrum
