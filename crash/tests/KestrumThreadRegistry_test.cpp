#include "crash/KestrumThreadRegistry.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

namespace kestrum {
namespace {

// Threads and handles as the system keeps them: a handle refers to one thread object, ids are
// reused once a thread has ended, and every handle is closed exactly once.
class FakeThreads : public ThreadHandleOps {
 public:
  struct Thread {
    std::uint32_t id;
    bool ended = false;
  };

  std::size_t Start(std::uint32_t id) {
    threads_.push_back({id});
    return threads_.size() - 1;
  }
  void End(std::size_t thread) { threads_[thread].ended = true; }
  // The handle that thread creation gives the creator.
  ThreadHandle CreatorHandle(std::size_t thread) { return NewHandle(thread); }
  std::size_t ThreadOf(ThreadHandle h) const { return open_.at(h); }
  std::size_t OpenHandles() const { return open_.size(); }

  ThreadHandle Duplicate(ThreadHandle given) override {
    const auto it = open_.find(given);
    return it == open_.end() ? 0 : NewHandle(it->second);
  }
  ThreadHandle Open(std::uint32_t threadId) override {
    for (std::size_t t = 0; t < threads_.size(); ++t) {
      if (threads_[t].id == threadId && !threads_[t].ended) return NewHandle(t);
    }
    return 0;
  }
  bool Ended(ThreadHandle handle) override { return threads_[open_.at(handle)].ended; }
  void Close(ThreadHandle handle) override { EXPECT_EQ(open_.erase(handle), 1u) << "handle " << handle << " closed twice"; }

 private:
  ThreadHandle NewHandle(std::size_t thread) {
    open_[next_] = thread;
    return next_++;
  }
  std::vector<Thread> threads_;
  std::map<ThreadHandle, std::size_t> open_;
  ThreadHandle next_ = 0x100;
};

const ThreadEntry* Find(const std::vector<ThreadEntry>& list, std::uint32_t id) {
  for (const ThreadEntry& e : list) {
    if (e.threadId == id) return &e;
  }
  return nullptr;
}

TEST(ThreadRegistry, LaterCallsKeepWhatTheyDoNotGive) {
  FakeThreads sys;
  std::vector<ThreadEntry> list;
  const std::size_t worker = sys.Start(0x24);
  const ThreadHandle creatorHandle = sys.CreatorHandle(worker);
  ApplyThreadEntry(list, {0x24, creatorHandle, "", 0x10, 0x401234, "THIDThread"}, sys);
  ApplyThreadEntry(list, {0x24, 0, "HID worker", 0, 0, ""}, sys);  // named later by the thread itself
  ASSERT_EQ(list.size(), 1u);
  const ThreadEntry& e = list[0];
  EXPECT_EQ(e.name, "HID worker");
  EXPECT_EQ(e.creatorClass, "THIDThread");
  EXPECT_EQ(e.threadProc, 0x401234u);
  EXPECT_EQ(e.creatorThreadId, 0x10u);
  EXPECT_NE(e.handle, creatorHandle) << "the registry keeps a handle of its own";
  EXPECT_EQ(sys.ThreadOf(e.handle), worker);
  EXPECT_EQ(sys.OpenHandles(), 2u) << "the kept handle is reused, not duplicated again";
}

TEST(ThreadRegistry, HandleComesFromTheOldEntryThenTheCallThenTheId) {
  FakeThreads sys;
  const std::size_t t = sys.Start(7);
  std::vector<ThreadEntry> list;

  ApplyThreadEntry(list, {7, 0, "opened by id", 0, 0, ""}, sys);
  ASSERT_NE(Find(list, 7), nullptr);
  EXPECT_EQ(sys.ThreadOf(Find(list, 7)->handle), t);

  const ThreadHandle kept = Find(list, 7)->handle;
  const ThreadHandle given = sys.CreatorHandle(t);
  ApplyThreadEntry(list, {7, given, "renamed", 0, 0, ""}, sys);
  EXPECT_EQ(Find(list, 7)->handle, kept);

  std::vector<ThreadEntry> other;
  ApplyThreadEntry(other, {7, given, "from the given handle", 0, 0, ""}, sys);
  ASSERT_NE(Find(other, 7), nullptr);
  EXPECT_NE(Find(other, 7)->handle, given);
  EXPECT_EQ(sys.ThreadOf(Find(other, 7)->handle), t);

  ApplyThreadEntry(other, {99, 0, "no such thread", 0, 0, ""}, sys);
  EXPECT_EQ(Find(other, 99), nullptr) << "without a handle no entry is made";
}

TEST(ThreadRegistry, NeitherNameNorProcedureRemovesAndClosesTheHandle) {
  FakeThreads sys;
  sys.Start(3);
  sys.Start(4);
  std::vector<ThreadEntry> list;
  ApplyThreadEntry(list, {3, 0, "three", 0, 0, ""}, sys);
  ApplyThreadEntry(list, {4, 0, "four", 0, 0, ""}, sys);
  EXPECT_EQ(list[0].threadId, 4u) << "newest first";
  ApplyThreadEntry(list, {3, 0, "", 0x10, 0, "TKept"}, sys);  // creator data alone does not keep an entry
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].threadId, 4u);
  EXPECT_EQ(sys.OpenHandles(), 1u);
}

// A reused id: the new thread gets none of the dead thread's name, creator or handle.
TEST(ThreadRegistry, DeadThreadLendsNothingToTheNextWithItsId) {
  FakeThreads sys;
  std::vector<ThreadEntry> list;
  const std::size_t old = sys.Start(0x2c);
  const ThreadHandle oldGiven = sys.CreatorHandle(old);
  ApplyThreadEntry(list, {0x2c, oldGiven, "old worker", 0x10, 0x401000, "TOldThread"}, sys);
  sys.Close(oldGiven);
  sys.End(old);  // ended without unregistering (terminated, or created outside the hooks)

  const std::size_t fresh = sys.Start(0x2c);
  // The display of the new thread, before anything registered it, does not use the stale entry.
  EXPECT_EQ(ThreadDisplayName(0x2c, Find(list, 0x2c), false, true, sys), (ThreadDisplay{"thread $2c"}));

  ApplyThreadEntry(list, {0x2c, 0, "fresh", 0, 0, ""}, sys);
  ASSERT_EQ(list.size(), 1u);
  const ThreadEntry& e = list[0];
  EXPECT_EQ(e.name, "fresh");
  EXPECT_EQ(e.creatorClass, "");
  EXPECT_EQ(e.threadProc, 0u);
  EXPECT_EQ(e.creatorThreadId, 0u);
  EXPECT_EQ(sys.ThreadOf(e.handle), fresh);
  EXPECT_EQ(sys.OpenHandles(), 1u) << "the dead thread's handle is closed";
}

TEST(ThreadRegistry, EveryEndedEntryIsSweptAtARegistration) {
  FakeThreads sys;
  std::vector<ThreadEntry> list;
  std::vector<std::size_t> threads;
  for (std::uint32_t id = 1; id <= 5; ++id) {
    threads.push_back(sys.Start(id));
    ApplyThreadEntry(list, {id, 0, "t", 0, 0, ""}, sys);
  }
  list.push_back({0x77, "older copy's entry", "", 0, 0, 0});  // no handle: cannot be judged, stays
  sys.End(threads[0]);
  sys.End(threads[2]);
  sys.End(threads[4]);
  sys.Start(9);
  ApplyThreadEntry(list, {9, 0, "nine", 0, 0, ""}, sys);
  std::set<std::uint32_t> ids;
  for (const ThreadEntry& e : list) ids.insert(e.threadId);
  EXPECT_EQ(ids, (std::set<std::uint32_t>{2, 4, 9, 0x77}));
  EXPECT_EQ(sys.OpenHandles(), 3u);
}

TEST(ThreadRegistry, DisplayNames) {
  FakeThreads sys;
  const std::size_t t = sys.Start(0x1a2c);
  auto entry = [&](const char* name, const char* creatorClass) {
    return ThreadEntry{0x1a2c, name, creatorClass, 0x4015f0, 0x10, sys.CreatorHandle(t)};
  };
  struct Case {
    std::optional<ThreadEntry> entry;
    bool showHidden, listAvailable;
    const char* text;
  } cases[] = {
      {entry("HID worker", "THIDThread"), false, false, "thread $1a2c"},
      {std::nullopt, false, true, "thread $1a2c"},
      {entry("main thread", ""), false, true, "main thread ($1a2c)"},
      {entry("", "THIDThread"), false, true, "thread $1a2c (THIDThread)"},
      {entry("", ""), false, true, "thread $1a2c"},
      {entry("-", "TKestrumThread"), false, true, ""},
      {entry("-", "TKestrumThread"), true, true, "thread $1a2c (TKestrumThread)"},
      {entry("AntiFreezeThread", ""), false, true, ""},
      {entry("AntiFreezeThread", ""), true, true, "AntiFreezeThread ($1a2c)"},
      {entry("HandleExceptionThread", ""), false, true, ""},
      {entry("HandleExceptionThread", ""), true, true, "HandleExceptionThread ($1a2c)"},
  };
  for (const Case& c : cases) {
    const ThreadDisplay d = ThreadDisplayName(0x1a2c, c.entry ? &*c.entry : nullptr, c.showHidden, c.listAvailable, sys);
    EXPECT_EQ(d.text, c.text);
    const bool fromEntry = c.entry && c.listAvailable;
    EXPECT_EQ(d.threadProc, fromEntry ? 0x4015f0u : 0u) << c.text;
    EXPECT_EQ(d.creatorThreadId, fromEntry ? 0x10u : 0u) << c.text;
  }
}

}  // namespace
}  // namespace kestrum
