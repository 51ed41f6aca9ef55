#include "report/KorbStackTrace.h"

#include "platform/Text.h"
#include "report/KestrumBugReport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

namespace report {

std::string StackMemory::PublicNameAt(Addr address) const {
  std::string name;
  Addr start = 0;
  return PublicAt(address, name, start) && start == address ? name : std::string();
}

void StackTables::Clear() {
  modules.clear();
  functions.clear();
  functionByEntry.clear();
}

std::vector<std::uint8_t> PackPreparedStack(const std::vector<TPreStackItem>& items) {
  std::vector<std::uint8_t> out(4 + items.size() * 5);
  const auto count = static_cast<std::uint32_t>(items.size());
  std::memcpy(out.data(), &count, 4);
  for (std::size_t i = 0; i < items.size(); ++i) {
    out[4 + i * 5] = items[i].dontKill ? 1 : 0;
    std::memcpy(&out[4 + i * 5 + 1], &items[i].afterInstr, 4);
  }
  return out;
}

bool UnpackPreparedStack(const std::uint8_t* data, std::size_t size, std::vector<TPreStackItem>& items) {
  items.clear();
  if (!data || size < 4) return false;
  std::uint32_t count = 0;
  std::memcpy(&count, data, 4);
  if (count > (size - 4) / 5) return false;
  items.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    items[i].dontKill = data[4 + i * 5] != 0;
    std::memcpy(&items[i].afterInstr, data + 4 + i * 5 + 1, 4);
  }
  return true;
}

bool CallEndsAt(const CodeMemory& memory, Addr a) {
  if (a < 8) return false;
  std::uint8_t b[8];
  if (memory.Read(a - 8, b, 8) != 8) return false;
  // b[8 - n] is the byte at a - n.
  if (b[3] == 0xE8) return true;
  for (int n : {2, 3, 4, 6, 7}) {
    if (b[8 - n] == 0xFF && ((b[8 - n + 1] >> 3) & 7) == 2) return true;
  }
  return b[1] == 0x9A;
}

namespace {

constexpr std::int64_t kFlagNotReached = std::int64_t{0x10000000} << 32;
constexpr std::int64_t kFlagAllFunctions = std::int64_t{0x20000000} << 32;
constexpr std::int64_t kFlagReached = std::int64_t{0x40000000} << 32;
constexpr std::int64_t kScoreMask = (std::int64_t{1} << 60) - 1;
// How far below an item (in items) an earlier occurrence of its return address counts as recursion.
constexpr int kRecursionWindow = 128;

struct Aborted {};

struct TStackLink {
  int Link = -1;
  Addr CodeAddr = 0;
  bool HasTarget = false;
  Addr Target = 0;
  int Func = -1;
  std::int64_t Quality = 0;
};

struct TStackLinkList {
  std::vector<TStackLink> Links;
  int Best = -1;
};

struct TFinalOutput {
  Addr Addr_ = 0;
  std::string ModuleName, UnitName, PublicName;
  int Line = 0;
  Addr PublicAddr = 0;
  int PublicLine = 0;
  bool RelLine = false;  // Line counts from the function's first line
};

struct TInternalStackItem {
  Addr AfterInstr = 0;
  bool DontKill = false;
  bool TopItem = false;
  int Module = -1;
  TStackLinkList Links[2];  // 0: inner items, 1: outer items
  bool Invalid = false;
  TFinalOutput FinalOutput;
};

struct CallSite {
  bool found = false;
  Addr codeAddr = 0;
  Addr target = 0;
  bool hasTarget = false;
};

bool InAreas(const TFunctionInfo& fi, Addr r) {
  for (const TCodeArea& a : fi.CodeAreas) {
    if (a.AreaBegin < r && r <= a.AreaEnd + 1) return true;
  }
  return false;
}

class Tracer {
 public:
  Tracer(const StackMemory& memory, StackTables& tables, const TraceInput& in, TraceOutput& out)
      : m_(memory), t_(tables), in_(in), out_(out) {}

  void Run();

 private:
  void CheckAbort() const {
    if (in_.abort && in_.abort->load(std::memory_order_relaxed)) throw Aborted{};
  }
  void Progress(int perMille) const {
    if (in_.progress) in_.progress->Position(perMille);
  }

  int AddModule(Addr base);
  int ModuleContaining(Addr address) const;
  int AddFunction(Addr address, const std::string& name, bool force, bool approved);
  void Approve(int index);
  CallSite FindCallSite(int func, Addr before, Addr r, bool top);

  std::vector<Addr> FrameChain() const;
  bool AddCandidate(bool hasSlot, Addr slot, Addr v, bool top, bool dontKill);
  void Collect();

  void InvalidateItem(int i);
  void InvalidateFunction(int f);
  bool RemoveRecursionAt(int i, int k, bool strict);
  void RemoveRecursion(bool strict);

  void DeepCheck(int x);
  void LinkCallers(int x, bool hasTarget, Addr codeAddr, Addr target, bool approved, bool again);

  std::int64_t Rate(int first, int last, bool direct);
  std::int64_t LinkBonus(int from, const TStackLink& link, std::int64_t quality, bool direct) const;
  void ChooseChain(int lo, int hi);

  void FillFinalOutput();
  void Compose();

  const StackMemory& m_;
  StackTables& t_;
  const TraceInput& in_;
  TraceOutput& out_;
  std::vector<TInternalStackItem> items_;
  std::vector<Addr> returnSlots_;  // ascending
  std::unordered_set<Addr> failedEntries_;
  std::vector<Addr> functionStarts_;  // per item: entry of the shown function, 0 unknown
};

int Tracer::ModuleContaining(Addr a) const {
  for (std::size_t i = 0; i < t_.modules.size(); ++i) {
    const TraceModuleFacts& f = t_.modules[i].facts;
    if ((f.codeBegin < a && a < f.codeEnd) || (f.dataBegin < a && a < f.dataEnd)) return static_cast<int>(i);
  }
  return -1;
}

int Tracer::AddModule(Addr base) {
  for (std::size_t i = 0; i < t_.modules.size(); ++i) {
    if (t_.modules[i].facts.base == base) return static_cast<int>(i);
  }
  TraceModule module;
  if (!m_.DescribeModule(base, module.facts)) return -1;
  t_.modules.push_back(std::move(module));
  return static_cast<int>(t_.modules.size() - 1);
}

void Tracer::Approve(int index) {
  // Far jumps lead to the rest of the same routine (or a tail), so what is approved reaches them.
  std::vector<int> work{index};
  while (!work.empty()) {
    const int f = work.back();
    work.pop_back();
    if (f < 0 || t_.functions[static_cast<std::size_t>(f)].approved) continue;
    t_.functions[static_cast<std::size_t>(f)].approved = true;
    for (const TFarCall& c : t_.functions[static_cast<std::size_t>(f)].fi.FarCalls) {
      if (c.Call || c.Target == 0) continue;
      const auto it = t_.functionByEntry.find(c.Target);
      if (it != t_.functionByEntry.end()) work.push_back(it->second);
    }
  }
}

int Tracer::AddFunction(Addr address, const std::string& name, bool force, bool approved) {
  if (const auto it = t_.functionByEntry.find(address); it != t_.functionByEntry.end()) {
    if (approved) Approve(it->second);
    return it->second;
  }
  if (address == 0 && !force) return -1;
  if (!force && failedEntries_.count(address)) return -1;
  int first = -1;
  // Far jumps are added with the same approval; a worklist instead of recursion keeps long jump
  // chains off the reporting thread's stack.
  std::vector<std::pair<Addr, std::string>> work{{address, name}};
  bool forceThis = force;
  while (!work.empty()) {
    CheckAbort();
    auto [entry, given] = work.back();
    work.pop_back();
    if (t_.functionByEntry.count(entry) || (!forceThis && failedEntries_.count(entry))) continue;
    int module = ModuleContaining(entry);
    if (module < 0) {
      Addr allocationBase = 0;
      bool image = false;
      if (m_.AllocationAt(entry, allocationBase, image) && image) module = AddModule(allocationBase);
    }
    TraceFunction f;
    f.module = module;
    f.fi = AnalyseFunction(m_, entry, t_.routines);
    if (!f.fi.IsValid && forceThis) {
      f.fi = TFunctionInfo{};
      f.fi.IsValid = true;
      f.fi.EntryPoint = entry;
      f.fi.CodeBegin = entry;
      f.fi.CodeLen = 0;
    }
    forceThis = false;
    if (!f.fi.IsValid) {
      failedEntries_.insert(entry);
      continue;
    }
    f.approved = approved;
    f.name = given;
    if (f.name.empty() && module >= 0 && t_.modules[static_cast<std::size_t>(module)].facts.debugInfo) {
      std::string pub;
      Addr start = 0;
      if (m_.PublicAt(entry, pub, start)) f.name = pub;
    }
    if (f.name.empty()) f.name = m_.ExportName(entry);
    for (const TFarCall& c : f.fi.FarCalls) {
      if (!c.Call && c.Target != 0) work.emplace_back(c.Target, std::string());
    }
    t_.functions.push_back(std::move(f));
    const int index = static_cast<int>(t_.functions.size() - 1);
    t_.functionByEntry[entry] = index;
    if (first < 0) first = index;
  }
  if (first < 0) {
    const auto it = t_.functionByEntry.find(address);
    if (it != t_.functionByEntry.end()) first = it->second;
  }
  return first;
}

CallSite Tracer::FindCallSite(int func, Addr before, Addr r, bool top) {
  CallSite s;
  if (func < 0) return s;
  const TraceFunction& f = t_.functions[static_cast<std::size_t>(func)];
  if (f.invalid) return s;
  if (!top) {
    for (const TUnknownTarget& u : f.fi.UnknownTargets) {
      if (u.CodeAddr2 == r) {
        s.found = true;
        s.codeAddr = u.CodeAddr1;
        return s;
      }
    }
    for (const TFarCall& c : f.fi.FarCalls) {
      if (c.CodeAddr2 == r) {
        s.found = true;
        s.codeAddr = c.CodeAddr1;
        s.target = c.Target;
        s.hasTarget = true;
        return s;
      }
    }
    return s;
  }
  if (f.fi.CodeLen == 0) {
    if (r == f.fi.EntryPoint) {
      s.found = true;
      s.codeAddr = r;
    }
    return s;
  }
  if (before != 0) {
    const std::vector<TFarCall> calls = f.fi.FarCalls;  // AddFunction below may move the table
    for (const TFarCall& c : calls) {
      if (!c.Call || c.CodeAddr2 != before || c.Target == 0) continue;
      const int target = AddFunction(c.Target, std::string(), false, false);
      if (target < 0) continue;
      const std::string& name = t_.functions[static_cast<std::size_t>(target)].name;
      for (const std::string& raise : t_.raiseNames) {
        if (platform::ContainsNoCase(name, raise)) {
          s.found = true;
          s.codeAddr = c.CodeAddr1;
          s.target = c.Target;
          s.hasTarget = true;
          return s;
        }
      }
    }
  }
  const TraceFunction& g = t_.functions[static_cast<std::size_t>(func)];
  for (const TCodeArea& a : g.fi.CodeAreas) {
    if (!(a.AreaBegin < r && r <= a.AreaEnd + 1)) continue;
    Addr at = a.AreaBegin;
    while (at < r) {
      const TDecodedInstruction d = DecodeInstruction(m_, at);
      if (!d.Valid || d.Following <= at) break;
      if (d.Following == r) {
        s.found = true;
        s.codeAddr = at;
        return s;
      }
      at = d.Following;
    }
    return s;
  }
  return s;
}

std::vector<Addr> Tracer::FrameChain() const {
  std::vector<Addr> slots;
  Addr f = in_.ebp;
  if (f == 0) return slots;
  const std::uint64_t top = in_.stackTop;
  if (in_.stackBottom < static_cast<std::uint64_t>(f) + 4 && static_cast<std::uint64_t>(f) + 4 < top) slots.push_back(f + 4);
  while (static_cast<std::uint64_t>(f) + 4 < top) {
    std::uint32_t g = 0;
    if (m_.Read(f, &g, 4) != 4 || g <= f) break;
    f = g;
    if (static_cast<std::uint64_t>(g) + 4 > in_.stackBottom && static_cast<std::uint64_t>(g) + 4 < top) slots.push_back(g + 4);
  }
  return slots;
}

bool Tracer::AddCandidate(bool hasSlot, Addr slot, Addr v, bool top, bool dontKill) {
  if (t_.tryFinallyReturn != 0 && v == t_.tryFinallyReturn) return false;
  // The creator's call site has its own item, the first; a copy of it on the thread's stack is the
  // creation record that the thread's start keeps, not a call of this thread.
  if (in_.creatorAddr != 0 && v == in_.creatorAddr && !items_.empty() && !top) return false;
  if (!top && in_.isException && v == in_.currentAddr && v != 0) top = true;
  Addr examined = v - 1;
  Addr r = v;
  if (top) {
    examined = v;
    std::uint8_t probe[8];
    if (m_.Read(v, probe, 8) == 8) {
      const TDecodedInstruction d = DecodeInstruction(m_, v);
      if (d.Valid && d.Following > v) r = d.Following;
    }
  }
  if (items_.empty() && in_.creatorAddr != 0) top = true;

  int module = -1;
  bool plausible = false;
  Addr allocationBase = 0;
  bool image = false;
  // The instruction pattern first: it rejects most stack values without a system query.
  if (r > 7 && (top || CallEndsAt(m_, r)) && m_.AllocationAt(examined, allocationBase, image) && allocationBase != 0) {
    if (!image) {
      plausible = true;
    } else {
      module = AddModule(allocationBase);
      if (module >= 0) {
        const TraceModuleFacts& f = t_.modules[static_cast<std::size_t>(module)].facts;
        plausible = (f.codeBegin < r && r <= f.codeEnd) || (f.dataBegin < r && r <= f.dataEnd);
      }
    }
  }
  if (!plausible) {
    if (!top) return false;
    if (!image) module = -1;
  }
  const bool returnSlot = hasSlot && std::binary_search(returnSlots_.begin(), returnSlots_.end(), slot);

  bool found = false;
  int func = -1;
  CallSite site;
  if (module >= 0) {
    const TraceModuleFacts facts = t_.modules[static_cast<std::size_t>(module)].facts;
    if (facts.codeBegin < r && r <= facts.codeEnd) {
      if (facts.debugInfo) {
        std::string pub;
        Addr start = 0;
        if (m_.PublicAt(examined, pub, start)) {
          func = AddFunction(start, std::string(), false, true);
          site = FindCallSite(func, in_.extException ? 0 : examined, r, top);
          if (!site.found && func >= 0) {
            const std::vector<TFarCall> calls = t_.functions[static_cast<std::size_t>(func)].fi.FarCalls;
            const TFunctionInfo fi = t_.functions[static_cast<std::size_t>(func)].fi;
            func = -1;
            for (const TFarCall& c : calls) {
              if (c.Target <= fi.EntryPoint) continue;
              std::string other;
              Addr otherStart = 0;
              const bool inside = InAreas(fi, c.Target) || (m_.PublicAt(c.Target, other, otherStart) && otherStart == start);
              if (!inside) continue;
              const int label = AddFunction(c.Target, pub + ".@label", false, true);
              const CallSite s = FindCallSite(label, in_.extException ? 0 : examined, r, top);
              if (s.found) {
                func = label;
                site = s;
                break;
              }
            }
          }
          found = site.found;
        }
      } else if (!facts.executable) {
        Addr entry = 0;
        if (!m_.NearestExport(facts.base, r - 1, entry)) entry = 0;
        if (facts.entryPoint != 0 && facts.entryPoint < r && facts.entryPoint > entry) entry = facts.entryPoint;
        if (entry != 0) {
          func = AddFunction(entry, std::string(), false, true);
          if (func >= 0 && InAreas(t_.functions[static_cast<std::size_t>(func)].fi, r)) {
            site = FindCallSite(func, in_.extException ? 0 : examined, r, top);
            found = site.found;
          }
          if (!found) func = -1;
        }
      }
    }
  }
  if (top && !found) {
    func = -1;
    site = CallSite{};
    site.codeAddr = v;
    std::uint8_t one = 0;
    if (in_.extException && m_.Read(v, &one, 1) != 1) {
      func = AddFunction(r, std::string(), true, true);
      found = func >= 0;
    }
  }
  if (!(top || found || dontKill || returnSlot)) return found;
  TInternalStackItem item;
  item.AfterInstr = r;
  item.Module = module;
  item.DontKill = top || dontKill || returnSlot;
  item.TopItem = top && (!items_.empty() || in_.creatorAddr == 0);
  if (site.codeAddr != 0) {
    TStackLink link;
    link.Func = func;
    link.CodeAddr = site.codeAddr;
    link.Target = site.target;
    link.HasTarget = site.hasTarget;
    item.Links[1].Links.push_back(link);
  }
  items_.push_back(std::move(item));
  return found;
}

void Tracer::Collect() {
  items_.reserve(64);
  if (in_.creatorAddr != 0) AddCandidate(false, 0, in_.creatorAddr, false, false);
  const bool usePrepared = in_.prepared != nullptr;
  if (!usePrepared && in_.ebp != 0) {
    returnSlots_ = FrameChain();
    std::sort(returnSlots_.begin(), returnSlots_.end());
  }
  auto lastIsTop = [this] { return !items_.empty() && items_.back().TopItem; };
  if (usePrepared) {
    const auto& list = *in_.prepared;
    for (std::size_t i = 0; i < list.size() && !lastIsTop(); ++i) {
      CheckAbort();
      AddCandidate(false, 0, list[i].afterInstr, false, list[i].dontKill);
      Progress(static_cast<int>(i * 25 / list.size()));
    }
  } else if (in_.stackTop >= in_.stackBottom + 4) {
    const std::uint32_t size = in_.stackTop - in_.stackBottom;
    for (Addr slot = in_.stackTop - 4; !lastIsTop(); slot -= 4) {
      CheckAbort();
      std::uint32_t v = 0;
      if (m_.Read(slot, &v, 4) == 4) {
        const std::size_t before = items_.size();
        AddCandidate(true, slot, v, false, false);
        if (items_.size() > before && items_.back().DontKill && !items_.back().TopItem) {
          if (slot < in_.stackBottom + 4) break;
          slot -= 4;
        }
      }
      if ((slot & 0xFFF) == 0) Progress(static_cast<int>(static_cast<std::uint64_t>(in_.stackTop - slot) * 25 / size));
      if (slot < in_.stackBottom + 4) break;
    }
  }
  if (!in_.dontAddTopItem && !lastIsTop()) AddCandidate(false, 0, in_.currentAddr, true, false);
}

void Tracer::InvalidateItem(int i) {
  TInternalStackItem& item = items_[static_cast<std::size_t>(i)];
  if (item.DontKill) return;
  item.Invalid = true;
  for (int list = 0; list < 2; ++list) {
    for (const TStackLink& l : item.Links[list].Links) {
      if (l.Link < 0 || l.Link >= static_cast<int>(items_.size())) continue;
      auto& back = items_[static_cast<std::size_t>(l.Link)].Links[1 - list];
      const auto end = std::remove_if(back.Links.begin(), back.Links.end(),
                                      [&](const TStackLink& b) { return b.Link == i && b.Func == l.Func; });
      back.Links.erase(end, back.Links.end());
      back.Best = -1;
    }
    item.Links[list].Links.clear();
    item.Links[list].Best = -1;
  }
}

void Tracer::InvalidateFunction(int f) {
  t_.functions[static_cast<std::size_t>(f)].invalid = true;
  for (TInternalStackItem& item : items_) {
    for (auto& list : item.Links) {
      const auto end = std::remove_if(list.Links.begin(), list.Links.end(), [f](const TStackLink& l) { return l.Func == f; });
      if (end != list.Links.end()) {
        list.Links.erase(end, list.Links.end());
        list.Best = -1;
      }
    }
  }
}

bool Tracer::RemoveRecursionAt(int i, int k, bool strict) {
  std::vector<int> between;
  for (int x = i - 1; x > k; --x) {
    if (!items_[static_cast<std::size_t>(x)].Invalid) between.push_back(x);
  }
  const int j = static_cast<int>(between.size());
  if (k < j) return false;
  int x = k - 1;
  for (int n = 0; n < j; ++n, --x) {
    while (x >= 0 && items_[static_cast<std::size_t>(x)].Invalid) --x;
    if (x < 0 || items_[static_cast<std::size_t>(x)].AfterInstr != items_[static_cast<std::size_t>(between[static_cast<std::size_t>(n)])].AfterInstr)
      return false;
  }
  std::vector<int> removed{i};
  removed.insert(removed.end(), between.begin(), between.end());
  for (int y : removed) {
    items_[static_cast<std::size_t>(y)].DontKill = false;
    if (strict) {
      InvalidateItem(y);
    } else {
      items_[static_cast<std::size_t>(y)].Invalid = true;
    }
  }
  return true;
}

// Each pass first notes, for every valid item, the nearest valid item below it with the same
// return address. Removals in a pass only touch items above the one being examined, so the notes
// stay true for the rest of the pass, and a stack of thousands of candidates costs one hash lookup
// per item instead of a search.
void Tracer::RemoveRecursion(bool strict) {
  const int count = static_cast<int>(items_.size());
  std::vector<int> below(items_.size(), -1);
  std::unordered_map<Addr, int> last;
  bool removed = true;
  while (removed) {
    removed = false;
    last.clear();
    for (int x = 0; x < count; ++x) {
      const TInternalStackItem& item = items_[static_cast<std::size_t>(x)];
      below[static_cast<std::size_t>(x)] = -1;
      if (item.Invalid) continue;
      const auto it = last.find(item.AfterInstr);
      if (it != last.end()) below[static_cast<std::size_t>(x)] = it->second;
      last[item.AfterInstr] = x;
    }
    for (int i = count - 1; i >= 1; --i) {
      CheckAbort();
      const int k = below[static_cast<std::size_t>(i)];
      if (items_[static_cast<std::size_t>(i)].Invalid || k < 0 || i - k > kRecursionWindow) continue;
      if (RemoveRecursionAt(i, k, strict)) removed = true;
    }
  }
}

void Tracer::LinkCallers(int x, bool hasTarget, Addr codeAddr, Addr target, bool approved, bool again) {
  int targetFunc = -1;
  if (hasTarget) {
    targetFunc = AddFunction(target, std::string(), false, approved);
    if (targetFunc < 0) return;
    if (!again) {
      bool unknownJump = false;
      for (const TUnknownTarget& u : t_.functions[static_cast<std::size_t>(targetFunc)].fi.UnknownTargets) unknownJump |= !u.Call;
      if (unknownJump) LinkCallers(x, false, codeAddr, 0, approved, true);
    }
  } else {
    for (const TStackLink& l : items_[static_cast<std::size_t>(x)].Links[1].Links) {
      if (l.Func == -1 && l.Link >= 0) return;
    }
  }
  int considered = 0;
  for (int y = x + 1; y < static_cast<int>(items_.size()) && considered < in_.linkSpan; ++y) {
    CheckAbort();
    TInternalStackItem& iy = items_[static_cast<std::size_t>(y)];
    const bool stop = iy.DontKill;
    if (!iy.Invalid) {
      ++considered;
      CallSite s;
      bool ok = true;
      if (targetFunc >= 0) {
        s = FindCallSite(targetFunc, 0, iy.AfterInstr, iy.TopItem);
        ok = s.found;
      }
      if (ok && !approved && s.hasTarget) {
        for (const TStackLink& l : iy.Links[1].Links) {
          if (l.Func >= 0 && t_.functions[static_cast<std::size_t>(l.Func)].approved && l.CodeAddr != s.codeAddr) {
            ok = false;
            break;
          }
        }
      }
      if (ok) {
        iy.Links[1].Links.push_back(TStackLink{x, s.codeAddr, s.hasTarget, s.target, targetFunc, 0});
        items_[static_cast<std::size_t>(x)].Links[0].Links.push_back(TStackLink{y, codeAddr, false, 0, targetFunc, 0});
      }
    }
    if (stop) break;
  }
}

void Tracer::DeepCheck(int x) {
  TInternalStackItem& item = items_[static_cast<std::size_t>(x)];
  const TStackLink* reference = nullptr;
  for (const TStackLink& l : item.Links[1].Links) {
    if (l.Func >= 0 && t_.functions[static_cast<std::size_t>(l.Func)].approved) {
      reference = &l;
      break;
    }
  }
  TStackLink found;
  if (!reference) {
    for (std::size_t f = 0; f < t_.functions.size() && !reference; ++f) {
      const TraceFunction& fn = t_.functions[f];
      if (!fn.approved || fn.invalid || !InAreas(fn.fi, item.AfterInstr)) continue;
      const CallSite s = FindCallSite(static_cast<int>(f), 0, item.AfterInstr, false);
      if (!s.found) {
        InvalidateItem(x);
        return;
      }
      found = TStackLink{-1, s.codeAddr, s.hasTarget, s.target, static_cast<int>(f), 0};
      items_[static_cast<std::size_t>(x)].Links[1].Links.push_back(found);
      reference = &found;
    }
  } else {
    found = *reference;
    reference = &found;
  }
  if (reference) {
    std::vector<int> wrong;
    for (const TStackLink& l : items_[static_cast<std::size_t>(x)].Links[1].Links) {
      if (l.CodeAddr != found.CodeAddr && l.Func >= 0 && l.Func != found.Func) wrong.push_back(l.Func);
    }
    for (int f : wrong) InvalidateFunction(f);
    LinkCallers(x, found.HasTarget, found.CodeAddr, found.Target, true, false);
    return;
  }
  const Addr r = items_[static_cast<std::size_t>(x)].AfterInstr;
  Addr regionBegin = 0, regionEnd = 0;
  if (r <= 7 || !m_.RegionAt(r - 1, regionBegin, regionEnd)) return;
  for (Addr start = std::max<Addr>(r - 7, regionBegin); start <= r - 2; ++start) {
    const TDecodedInstruction d = DecodeInstruction(m_, start);
    if (d.Valid && d.Call && d.Following == r) LinkCallers(x, d.Target != 0, start, d.Target, false, false);
  }
}

std::int64_t Tracer::LinkBonus(int from, const TStackLink& link, std::int64_t quality, bool direct) const {
  int e = 0;
  if (link.Func < 0) {
    quality &= ~kFlagAllFunctions;
  } else {
    e = 14;
    if (direct || (quality & kFlagAllFunctions)) e += 14;
    if (t_.functions[static_cast<std::size_t>(link.Func)].approved) e += 14;
  }
  const TInternalStackItem& f = items_[static_cast<std::size_t>(from)];
  const TInternalStackItem& o = items_[static_cast<std::size_t>(link.Link)];
  if (f.Module >= 0 && o.Module >= 0 && t_.modules[static_cast<std::size_t>(f.Module)].facts.debugInfo) {
    e += 3;
    if (m_.LineAt(f.AfterInstr - 1) > 0) e += 3;
    if (t_.modules[static_cast<std::size_t>(o.Module)].facts.debugInfo && m_.LineAt(o.AfterInstr - 1) > 0) e += 3;
  }
  return AddRating(quality, e);
}

// The rating walks links depth first; an explicit stack keeps a long stretch without anchors off
// the reporting thread's own stack. Each link is rated once and keeps its quality.
std::int64_t Tracer::Rate(int first, int last, bool direct) {
  struct Frame {
    int item;
    bool direct;
    std::size_t next = 0;
    std::int64_t best = kFlagNotReached;
    int bestIndex = -1;
  };
  const int list = first < last ? 0 : 1;
  std::vector<Frame> stack{{first, direct}};
  std::int64_t returned = 0;
  bool hasReturned = false;
  while (!stack.empty()) {
    if (in_.abort && in_.abort->load(std::memory_order_relaxed)) return kFlagNotReached;
    Frame& fr = stack.back();
    auto& links = items_[static_cast<std::size_t>(fr.item)].Links[list];
    if (hasReturned) {
      TStackLink& l = links.Links[fr.next];
      l.Quality = LinkBonus(fr.item, l, returned, fr.direct);
      hasReturned = false;
      if (l.Quality > fr.best) {
        fr.best = l.Quality;
        fr.bestIndex = static_cast<int>(fr.next);
      }
      ++fr.next;
    }
    bool pushed = false;
    while (fr.next < links.Links.size()) {
      TStackLink& l = links.Links[fr.next];
      const bool beyond = list == 0 ? (l.Link > last || l.Link <= fr.item) : (l.Link < last || l.Link >= fr.item);
      if (l.Link < 0 || beyond) {
        ++fr.next;
        continue;
      }
      if (l.Quality == 0) {
        if (l.Link == last) {
          const std::int64_t base = (std::int64_t{l.Func >= 0 ? 0x70000000 : 0x50000000}) << 32;
          l.Quality = LinkBonus(fr.item, l, base, fr.direct);
        } else {
          stack.push_back(Frame{l.Link, l.Func >= 0});
          pushed = true;
          break;
        }
      }
      if (l.Quality > fr.best) {
        fr.best = l.Quality;
        fr.bestIndex = static_cast<int>(fr.next);
      }
      ++fr.next;
    }
    if (pushed) continue;
    if (fr.bestIndex >= 0) links.Best = fr.bestIndex;
    returned = fr.best;
    stack.pop_back();
    hasReturned = !stack.empty();
    if (stack.empty()) return returned;
  }
  return returned;
}

void Tracer::ChooseChain(int lo, int hi) {
  if (hi - lo < 2) return;
  const std::int64_t up = lo < 0 ? 0 : Rate(lo, hi, true);
  const std::int64_t down = (up & kFlagReached) ? 0 : Rate(hi, lo, true);
  CheckAbort();
  for (int i = lo + 1; i < hi; ++i) items_[static_cast<std::size_t>(i)].Invalid = true;
  const bool useUp = up > down;
  int at = useUp ? lo : hi;
  const int end = useUp ? hi : lo;
  const int list = useUp ? 0 : 1;
  for (int steps = 0; at >= 0 && steps <= hi - lo; ++steps) {
    const auto& links = items_[static_cast<std::size_t>(at)].Links[list];
    if (links.Best < 0 || links.Best >= static_cast<int>(links.Links.size())) break;
    const int next = links.Links[static_cast<std::size_t>(links.Best)].Link;
    if (next == end || next < 0) break;
    if (next <= lo || next >= hi) break;
    items_[static_cast<std::size_t>(next)].Invalid = false;
    at = next;
  }
}

void Tracer::FillFinalOutput() {
  functionStarts_.assign(items_.size(), 0);
  bool bcb = in_.bcbTermination;
  bool first = true;
  std::vector<std::string> seen;
  for (int i = static_cast<int>(items_.size()) - 1; i >= 0; --i) {
    CheckAbort();
    TInternalStackItem& item = items_[static_cast<std::size_t>(i)];
    if (item.Invalid) continue;
    TFinalOutput& o = item.FinalOutput;
    std::string name;
    Addr start = 0;
    Addr addr = 0;
    for (const TStackLink& l : item.Links[1].Links) {
      if (l.Func >= 0 && t_.functions[static_cast<std::size_t>(l.Func)].approved) {
        addr = l.CodeAddr;
        name = t_.functions[static_cast<std::size_t>(l.Func)].name;
        start = t_.functions[static_cast<std::size_t>(l.Func)].fi.EntryPoint;
        break;
      }
    }
    if (addr == 0) {
      for (const TStackLink& l : item.Links[1].Links) {
        if (l.CodeAddr != 0) {
          addr = l.CodeAddr;
          break;
        }
      }
    }
    const auto& inner = item.Links[0];
    if (addr == 0 && inner.Best >= 0 && inner.Best < static_cast<int>(inner.Links.size()))
      addr = inner.Links[static_cast<std::size_t>(inner.Best)].CodeAddr;
    if (addr == 0) addr = item.AfterInstr;
    o.Addr_ = addr;
    o.ModuleName = "???";
    if (item.Module >= 0) {
      const TraceModuleFacts& mf = t_.modules[static_cast<std::size_t>(item.Module)].facts;
      o.ModuleName = mf.name;
      if (mf.debugInfo) {
        std::string pub;
        Addr pubStart = 0;
        if (name.empty() && m_.PublicAt(addr, pub, pubStart)) {
          name = pub;
          start = pubStart;
        }
        o.UnitName = m_.UnitAt(addr);
        o.Line = m_.LineAt(addr);
        o.PublicLine = 0;
        if (o.Line > 0 && in_.showRelLines && start != 0) {
          const int startLine = m_.LineAt(start);
          if (startLine > 0) {
            o.PublicLine = o.Line;
            o.Line = o.Line - startLine;
            o.RelLine = true;
          }
        }
        if (o.PublicLine == 0) o.PublicLine = o.Line;
      }
      if (mf.minimalDebugInfo) {
        const std::string entry = mf.name + "|" + mf.minimalDebugId;
        bool known = false;
        for (const std::string& s : out_.minimalDebugInfo) known |= platform::ContainsNoCase(s, entry) && s.size() == entry.size();
        if (!known) out_.minimalDebugInfo.push_back(entry);
      }
    }
    o.PublicName = name;
    o.PublicAddr = start;
    functionStarts_[static_cast<std::size_t>(i)] = start;
    if (first) {
      out_.exceptAddr = addr;
      first = false;
    }
    if (bcb && (name == "_ThrowExceptionLDTC" || name == "_ReThrowException")) {
      bcb = false;
      for (int k = i; k < static_cast<int>(items_.size()); ++k) items_[static_cast<std::size_t>(k)].Invalid = true;
    }
  }
}

void Tracer::Compose() {
  std::vector<int> shown;
  for (int i = static_cast<int>(items_.size()) - 1; i >= 0; --i) {
    const TInternalStackItem& item = items_[static_cast<std::size_t>(i)];
    if (item.Invalid) continue;
    const bool creatorLine = i == 0 && in_.creatorAddr != 0;
    // The absolute line decides: a call on the function's first line has relative line 0 and is
    // as much a line as any other.
    const TFinalOutput& o = item.FinalOutput;
    if (item.TopItem || creatorLine || (!o.PublicName.empty() && (o.Line > 0 || o.PublicLine > 0 || !in_.hideUglyItems)))
      shown.push_back(i);
  }
  bool disasmSet = false;
  for (int i : shown) {
    const TFinalOutput& o = items_[static_cast<std::size_t>(i)].FinalOutput;
    if (functionStarts_[static_cast<std::size_t>(i)] != 0 && o.PublicLine > 0) {
      out_.functionStart = functionStarts_[static_cast<std::size_t>(i)];
      out_.functionAddr = o.Addr_;
      disasmSet = true;
      break;
    }
  }
  Addr previous = 0;
  bool any = false;
  for (int i : shown) {
    const TFinalOutput& o = items_[static_cast<std::size_t>(i)].FinalOutput;
    if (any && o.Addr_ == previous) continue;
    any = true;
    previous = o.Addr_;
    const Addr start = functionStarts_[static_cast<std::size_t>(i)];
    if (!disasmSet && start != 0) {
      out_.functionStart = start;
      out_.functionAddr = o.Addr_;
      disasmSet = true;
    }
    TStackItem s;
    s.Addr_ = o.Addr_;
    s.relAddr = start != 0 && start < o.Addr_ ? o.Addr_ - start : 0;
    s.ModuleName = o.ModuleName;
    s.UnitName = o.UnitName;
    s.Line = o.PublicLine;
    s.relLine = (o.Line > 0 || o.PublicLine > 0) ? o.Line : 0;
    s.FunctionName = o.PublicName;
    s.functionStart = start;
    s.hasRelLine = o.RelLine;
    out_.items.push_back(std::move(s));
  }
  TraceLines lines = LayoutTrace(out_.items, in_.showRelAddrs, in_.showRelLines);
  out_.text = std::move(lines.text);
  out_.crc1 = lines.crc.crc1;
  out_.crc2 = lines.crc.crc2;
  out_.hasLines = lines.hasLines;
}

void Tracer::Run() {
  items_.clear();
  try {
    const char* phase = "CollectPossibleStackItems";
    try {
      Collect();
      Progress(25);
      phase = "RemoveRecursiveStackAreas";
      RemoveRecursion(true);
      phase = "InDeepChecks";
      const int count = static_cast<int>(items_.size());
      for (int i = in_.creatorAddr != 0 ? 1 : 0; i < count; ++i) {
        CheckAbort();
        if (!items_[static_cast<std::size_t>(i)].Invalid) DeepCheck(i);
        Progress(25 + static_cast<int>(static_cast<std::int64_t>(i) * 625 / count));
      }
      phase = "RealizeOptimalLinkChains";
      if (count > 0) {
        int anchor = count - 1;
        for (int i = count - 2; i >= 0; --i) {
          CheckAbort();
          if (items_[static_cast<std::size_t>(i)].DontKill) {
            ChooseChain(i, anchor);
            anchor = i;
          }
          Progress(650 + static_cast<int>(static_cast<std::int64_t>(count - 1 - i) * 350 / count));
        }
        ChooseChain(-1, anchor);
      }
      phase = "RemoveRecursiveAreas";
      RemoveRecursion(false);
      phase = "FillFinalOutput";
      FillFinalOutput();
      phase = "ComposeResult";
      Compose();
    } catch (const Aborted&) {
      throw;
    } catch (const std::exception&) {
      out_.failedPhase = phase;
    }
  } catch (const Aborted&) {
    out_.text.clear();
    out_.items.clear();
  }
}

}  // namespace

std::int64_t AddRating(std::int64_t quality, int exponent) {
  const std::int64_t flags = quality & ~kScoreMask;
  std::int64_t score = quality & kScoreMask;
  const std::int64_t add = exponent >= 60 ? kScoreMask : (std::int64_t{1} << exponent);
  score = score > kScoreMask - add ? kScoreMask : score + add;
  return flags | score;
}

void TraceStack(const StackMemory& memory, StackTables& tables, const TraceInput& input, TraceOutput& output) {
  output = TraceOutput{};
  if (input.stackTop != 0 && input.stackBottom > input.stackTop) return;
  Tracer(memory, tables, input, output).Run();
}

std::vector<TPreStackItem> PreScanStack(const StackMemory& memory, Addr ebp, Addr stackTop, Addr stackBottom, bool isException,
                                        Addr currentAddr) {
  std::vector<TPreStackItem> out;
  if (stackTop < stackBottom + 4) return out;
  std::vector<Addr> slots;
  Addr f = ebp;
  if (f != 0) {
    if (stackBottom < static_cast<std::uint64_t>(f) + 4 && static_cast<std::uint64_t>(f) + 4 < stackTop) slots.push_back(f + 4);
    while (static_cast<std::uint64_t>(f) + 4 < stackTop) {
      std::uint32_t g = 0;
      if (memory.Read(f, &g, 4) != 4 || g <= f) break;
      f = g;
      if (static_cast<std::uint64_t>(g) + 4 > stackBottom && static_cast<std::uint64_t>(g) + 4 < stackTop) slots.push_back(g + 4);
    }
    std::sort(slots.begin(), slots.end());
  }
  for (Addr slot = stackTop - 4;; slot -= 4) {
    std::uint32_t v = 0;
    if (memory.Read(slot, &v, 4) == 4) {
      if (isException && currentAddr != 0 && v == currentAddr) break;
      if (v > 7 && CallEndsAt(memory, v)) {
        const bool dontKill = std::binary_search(slots.begin(), slots.end(), slot);
        out.push_back(TPreStackItem{dontKill, v});
        if (dontKill) {
          if (slot < stackBottom + 4) break;
          slot -= 4;
        }
      }
    }
    if (slot < stackBottom + 4) break;
  }
  return out;
}

}  // namespace report
