#include "crash/KestrumThreadRegistry.h"

#include "crash/settings/KestrumResource.h"
#include "platform/Text.h"

#include <algorithm>

namespace kestrum {

bool EntryOutlivedThread(const ThreadEntry& entry, ThreadHandleOps& ops) {
  return entry.handle != 0 && ops.Ended(entry.handle);
}

std::optional<ThreadEntry> MergeThreadEntry(std::optional<ThreadEntry> old, const ThreadEntryCall& call, ThreadHandleOps& ops) {
  if (old && EntryOutlivedThread(*old, ops)) {
    ops.Close(old->handle);
    old.reset();
  }
  if (call.name.empty() && call.threadProc == 0) {
    if (old && old->handle != 0) ops.Close(old->handle);
    return std::nullopt;
  }
  ThreadEntry e = old.value_or(ThreadEntry{});
  e.threadId = call.threadId;
  if (!call.name.empty()) e.name = call.name;
  if (!call.creatorClass.empty()) e.creatorClass = call.creatorClass;
  if (call.threadProc != 0) e.threadProc = call.threadProc;
  if (call.creatorThreadId != 0) e.creatorThreadId = call.creatorThreadId;
  if (e.handle == 0) e.handle = call.handle != 0 ? ops.Duplicate(call.handle) : ops.Open(call.threadId);
  if (e.handle == 0) return std::nullopt;
  return e;
}

void ApplyThreadEntry(std::vector<ThreadEntry>& list, const ThreadEntryCall& call, ThreadHandleOps& ops) {
  std::optional<ThreadEntry> old;
  const auto at = std::find_if(list.begin(), list.end(), [&](const ThreadEntry& e) { return e.threadId == call.threadId; });
  if (at != list.end()) {
    old = std::move(*at);
    list.erase(at);
  }
  if (std::optional<ThreadEntry> e = MergeThreadEntry(std::move(old), call, ops)) list.insert(list.begin(), std::move(*e));
  // Every thread's exit cannot be seen, so ended entries are swept at each registration.
  std::erase_if(list, [&](const ThreadEntry& e) {
    if (!EntryOutlivedThread(e, ops)) return false;
    ops.Close(e.handle);
    return true;
  });
}

ThreadDisplay ThreadDisplayName(std::uint32_t threadId, const ThreadEntry* entry, bool showHidden, bool listAvailable,
                                ThreadHandleOps& ops) {
  const std::string plain = "thread " + platform::DollarHex(threadId);
  if (!listAvailable) return {plain};
  if (entry != nullptr && EntryOutlivedThread(*entry, ops)) entry = nullptr;
  if (entry == nullptr) return {plain};
  const std::string& name = entry->name;
  if (!showHidden && (name == "-" || name == "AntiFreezeThread" || name == "HandleExceptionThread")) {
    return {"", entry->threadProc, entry->creatorThreadId};
  }
  if (!name.empty() && name != "-") return {name + " (" + platform::DollarHex(threadId) + ")", entry->threadProc, entry->creatorThreadId};
  std::string text = plain;
  if (!entry->creatorClass.empty()) text += " (" + entry->creatorClass + ")";
  return {text, entry->threadProc, entry->creatorThreadId};
}

}  // namespace kestrum
