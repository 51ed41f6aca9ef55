#include "report/KorbDisAsm.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "report/KorbDisAsmDecode.h"

namespace report {

using detail::Decoded;

// ---------------------------------------------------------------------------------------------
// Memory

namespace {

using detail::ReadDword;

std::uint16_t ReadU16(const CodeMemory& memory, Addr address, bool& ok) {
  std::uint8_t b[2];
  ok = memory.Read(address, b, 2) == 2;
  return ok ? static_cast<std::uint16_t>(b[0] | b[1] << 8) : 0;
}

}  // namespace

bool ModuleRangeFromHeaders(const CodeMemory& memory, Addr base, ModuleInfo& module) {
  bool ok = true, all = true;
  if (ReadU16(memory, base, ok) != 0x5A4D || !ok) return false;
  const Addr nt = base + ReadDword(memory, base + 0x3C, ok);
  if (!ok || nt < base || ReadDword(memory, nt, ok) != 0x4550 || !ok) return false;
  const std::uint16_t sections = ReadU16(memory, nt + 6, all);
  const std::uint16_t optionalSize = ReadU16(memory, nt + 20, ok);
  all = all && ok;
  const Addr opt = nt + 24;
  const bool pe32 = ReadU16(memory, opt, ok) == 0x10B;
  all = all && ok;
  const std::uint32_t sizeOfCode = ReadDword(memory, opt + 4, ok);
  all = all && ok;
  const std::uint32_t sizeOfInit = ReadDword(memory, opt + 8, ok);
  all = all && ok;
  const std::uint32_t sizeOfUninit = ReadDword(memory, opt + 12, ok);
  all = all && ok;
  const std::uint32_t baseOfCode = ReadDword(memory, opt + 20, ok);
  all = all && ok;
  const std::uint32_t baseOfData = pe32 ? ReadDword(memory, opt + 24, ok) : 0;
  all = all && ok;
  const std::uint32_t sizeOfImage = ReadDword(memory, opt + 56, ok);
  if (!all || !ok) return false;
  module.base = base;
  module.imageEnd = base + sizeOfImage;
  const Addr sectionTable = opt + optionalSize;
  constexpr std::uint32_t kCode = 0x20;
  auto section = [&](int i, Addr& begin, Addr& end, std::uint32_t& characteristics) {
    const Addr s = sectionTable + static_cast<Addr>(i) * 40;
    bool r1 = true, r2 = true, r3 = true;
    const std::uint32_t size = ReadDword(memory, s + 8, r1);
    begin = base + ReadDword(memory, s + 12, r2);
    end = begin + size;
    characteristics = ReadDword(memory, s + 36, r3);
    return r1 && r2 && r3;
  };
  Addr b0 = 0, e0 = 0, b1 = 0, e1 = 0;
  std::uint32_t c0 = 0, c1 = 0;
  if (sections >= 1 && section(0, b0, e0, c0) && (c0 & kCode)) {
    module.rangeBegin = b0;
    module.rangeEnd = e0;
    if (sections >= 2 && section(1, b1, e1, c1) && (c1 & kCode)) module.rangeEnd = e1;
  } else {
    module.rangeBegin = base + baseOfCode;
    module.rangeEnd = module.rangeBegin + sizeOfCode;
  }
  if (pe32 && baseOfData) {
    const Addr dataBegin = base + baseOfData;
    const Addr dataEnd = dataBegin + sizeOfInit + sizeOfUninit;
    module.rangeBegin = std::min(module.rangeBegin, dataBegin);
    module.rangeEnd = std::max(module.rangeEnd, dataEnd);
  }
  return true;
}

void MemoryImage::SetModule(std::string fileName, Addr rangeBegin, Addr rangeEnd, bool own) {
  isModule_ = true;
  module_.base = base_;
  module_.imageEnd = End();
  module_.rangeBegin = rangeBegin;
  module_.rangeEnd = rangeEnd;
  module_.fileName = std::move(fileName);
  module_.own = own;
}

std::size_t MemoryImage::Read(Addr address, void* dest, std::size_t count) const {
  if (address < base_ || address >= End()) return 0;
  const std::size_t offset = address - base_;
  const std::size_t n = std::min(count, bytes_.size() - offset);
  std::memcpy(dest, bytes_.data() + offset, n);
  return n;
}

bool MemoryImage::ModuleAt(Addr address, ModuleInfo& module) const {
  if (!isModule_ || address < base_ || address >= End()) return false;
  module = module_;
  return true;
}

bool MemoryImage::RegionAt(Addr address, Addr& begin, Addr& end) const {
  if (address < base_ || address >= End()) return false;
  begin = base_;
  end = End();
  return true;
}

std::string MemoryImage::ExportName(Addr address) const {
  const auto it = exports_.find(address);
  return it == exports_.end() ? std::string() : it->second;
}

std::string CodeMemory::SystemErrorText(std::uint32_t code) const {
  return code == kInvalidParameterError ? "Falscher Parameter." : "Fehler " + std::to_string(code);
}

// ---------------------------------------------------------------------------------------------
// Decoding

TDecodedInstruction DecodeInstruction(const CodeMemory& memory, Addr address, TRegisters* registers, bool trackRegisters) {
  Decoded x;
  detail::Decode(memory, address, x);
  detail::FinishTargets(x, registers);
  if (registers && trackRegisters) detail::TrackRegisters(x, *registers);
  return x.d;
}

std::string InstructionText(const CodeMemory& memory, Addr address) {
  Decoded x;
  detail::Decode(memory, address, x);
  detail::FinishTargets(x, nullptr);
  if (!x.d.Valid) return std::string();
  std::string s = detail::MnemonicText(x);
  const std::string ops = detail::OperandText(x);
  if (!ops.empty()) s += " " + ops;
  return s;
}

// ---------------------------------------------------------------------------------------------
// Analysis

namespace {

const char* const kInvalidCodeText = "Invalid code!";

bool IsReturn(std::uint16_t op) { return op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF; }

bool IsUnconditionalJump(const Decoded& x) {
  const std::uint16_t op = x.d.Instruction;
  return op == 0xE9 || op == 0xEA || op == 0xEB || (op == 0xFF && (x.reg == 4 || x.reg == 5));
}

class Analyser {
 public:
  Analyser(const CodeMemory& memory, const RuntimeRoutines& routines, TFunctionInfo& info)
      : memory_(memory), routines_(routines), info_(info) {}

  void Run(Addr entry);

 private:
  struct Snapshot {
    std::vector<TCodeArea> areas;
    std::vector<TFarCall> farCalls;
    std::vector<TUnknownTarget> unknowns;
    std::uint32_t bufferLen;
  };

  void AddArea(Addr at, Addr caller);
  void AddTableArea(Addr at, std::uint32_t bytes, bool caseBlock);
  bool ParseArea(std::size_t index);
  bool ParsePending();
  void HandleTarget(const Decoded& x);
  void AddUnknown(const TUnknownTarget& u);
  void RemoveUnknown(Addr codeAddr1);
  bool FillGap();
  void RebuildIndex();
  // A function entry right behind a call means that the call never returns (a routine that ends
  // the thread or throws, maybe called through a pointer) and the next function begins there:
  // push ebp; mov ebp, esp, which frame code has only at an entry, or a this-adjusting thunk
  // (add or sub dword ptr [esp+4], n; jmp), which a body never has.
  bool FunctionEntryAt(Addr at) const {
    std::uint8_t b[9] = {};
    const std::size_t n = memory_.Read(at, b, sizeof b);
    if (n >= 3 && b[0] == 0x55 && ((b[1] == 0x89 && b[2] == 0xE5) || (b[1] == 0x8B && b[2] == 0xEC))) return true;
    if (n < 4 || (b[0] != 0x83 && b[0] != 0x81) || (b[1] != 0x6C && b[1] != 0x44) || b[2] != 0x24 || b[3] != 0x04) return false;
    const std::size_t jump = b[0] == 0x83 ? 5 : 8;
    return n > jump && (b[jump] == 0xE9 || b[jump] == 0xEB);
  }
  bool IsNoReturn(Addr target) const {
    return std::find(routines_.NoReturn.begin(), routines_.NoReturn.end(), target) != routines_.NoReturn.end();
  }
  int AreaAt(Addr at) const {
    const auto it = begins_.find(at);
    return it == begins_.end() ? -1 : static_cast<int>(it->second);
  }
  void Fail(Addr at) {
    failed_ = true;
    failAddr_ = at;
  }

  const CodeMemory& memory_;
  const RuntimeRoutines& routines_;
  TFunctionInfo& info_;
  Addr rangeBegin_ = 0, rangeEnd_ = 0;
  TRegisters current_{};
  std::map<Addr, std::size_t> begins_;                  // area begin -> index
  std::unordered_set<Addr> farEnds_;                    // CodeAddr2 of the far calls
  std::unordered_set<Addr> retried_;                    // unknown targets decoded again with their area's registers
  std::unordered_map<Addr, std::size_t> unknownIndex_;  // CodeAddr1 -> index in UnknownTargets
  std::size_t nextUnparsed_ = 0;
  bool failed_ = false;
  Addr failAddr_ = 0;
};

void MergeInto(TRegisters& target, const TRegisters& other) {
  for (int i = 0; i < 8; ++i)
    if (target[i] != other[i]) target[i] = 0;
}

void Analyser::AddArea(Addr at, Addr caller) {
  auto& areas = info_.CodeAreas;
  const int existing = AreaAt(at);
  if (existing >= 0) {
    TCodeArea& a = areas[static_cast<std::size_t>(existing)];
    if (caller && (a.CalledFrom == 0 || (a.CalledFrom < caller && caller < at) || (a.CalledFrom > caller && caller > at)))
      a.CalledFrom = caller;
    MergeInto(a.Registers, current_);
    return;
  }
  Addr end = 0;
  auto next = begins_.upper_bound(at);
  if (next != begins_.begin()) {
    TCodeArea& before = areas[std::prev(next)->second];
    if (before.AreaEnd != 0 && !before.CaseBlock && !before.OnExceptBlock && before.AreaBegin < at && at <= before.AreaEnd) {
      end = before.AreaEnd;
      before.AreaEnd = at - 1;
      MergeInto(current_, before.Registers);
    }
  }
  if (areas.size() == areas.capacity()) areas.reserve(std::max<std::size_t>(8, areas.capacity() * 2));
  TCodeArea a;
  a.AreaBegin = at;
  a.AreaEnd = end;
  a.CalledFrom = caller;
  a.Registers = current_;
  areas.push_back(a);
  begins_[at] = areas.size() - 1;
}

void Analyser::AddTableArea(Addr at, std::uint32_t bytes, bool caseBlock) {
  auto& areas = info_.CodeAreas;
  int index = AreaAt(at);
  if (index < 0) {
    areas.push_back(TCodeArea{});
    index = static_cast<int>(areas.size() - 1);
    begins_[at] = areas.size() - 1;
  }
  TCodeArea& a = areas[static_cast<std::size_t>(index)];
  a = TCodeArea{};
  a.AreaBegin = at;
  a.AreaEnd = at + bytes - 1;
  a.CaseBlock = caseBlock;
  a.OnExceptBlock = !caseBlock;
}

void Analyser::AddUnknown(const TUnknownTarget& u) {
  unknownIndex_[u.CodeAddr1] = info_.UnknownTargets.size();
  info_.UnknownTargets.push_back(u);
}

void Analyser::RemoveUnknown(Addr codeAddr1) {
  auto& u = info_.UnknownTargets;
  const auto it = unknownIndex_.find(codeAddr1);
  if (it == unknownIndex_.end()) return;
  const std::size_t i = it->second;
  unknownIndex_.erase(it);
  if (i + 1 != u.size()) {
    u[i] = u.back();
    unknownIndex_[u[i].CodeAddr1] = i;
  }
  u.pop_back();
}

void Analyser::HandleTarget(const Decoded& x) {
  const TDecodedInstruction& d = x.d;
  if (d.Target == 0 && d.PTarget == 0 && d.PPTarget == 0) {
    AddUnknown(TUnknownTarget{d.Call, d.Start, d.Following});
    return;
  }
  bool runtime = false;
  const Addr t = d.Target;
  if (t != 0) {
    if (t == routines_.HandleAnyException) {
      runtime = true;
      AddArea(d.Following, d.Start);
    } else if (t == routines_.HandleFinally) {
      runtime = true;
      AddArea(d.Following, d.Start);
      Decoded back;
      detail::Decode(memory_, d.Following, back);
      const Addr to = back.d.Target;
      if (back.d.Valid && back.d.Jump && to > info_.EntryPoint && to < d.Start) {
        std::uint8_t push = 0;
        bool ok = false;
        const Addr finallyBlock = ReadDword(memory_, to - 4, ok);
        if (memory_.Read(to - 5, &push, 1) == 1 && push == 0x68 && ok && finallyBlock > info_.EntryPoint) AddArea(finallyBlock, d.Start);
      }
    } else if (t == routines_.HandleOnException) {
      runtime = true;
      bool ok = true;
      const std::uint32_t count = ReadDword(memory_, d.Following, ok);
      // A count beyond what a handler table can hold is no table: do not walk megabytes for it.
      if (ok && count < 4096) {
        AddTableArea(d.Following, 4 + 8 * count, false);
        for (std::uint32_t i = 0; i < count; ++i) {
          const Addr handler = ReadDword(memory_, d.Following + 4 + 8 * i + 4, ok);
          if (ok) AddArea(handler, d.Start);
        }
      }
    } else if (t == routines_.HandleAutoException) {
      runtime = true;
    }
  }
  // Code in front of the entry is another function's: a compiler lays a function out from its
  // entry upwards, so a jump back there (a this-adjusting thunk, a tail jump) leaves the function.
  const bool far = (d.TargetBytes == 4 && d.Call) || t < rangeBegin_ || t >= rangeEnd_ || runtime || (d.Jump && t < info_.EntryPoint);
  if (far) {
    TFarCall call{d.Call, d.Start, d.Following, t, d.RelTarget, d.PTarget, d.PPTarget};
    std::uint8_t first = 0;
    if (t && memory_.Read(t, &first, 1) == 1 && (first == 0xE9 || first == 0xEB || first == 0xFF)) {
      Decoded stub;
      detail::Decode(memory_, t, stub);
      if (stub.d.Valid && stub.d.Jump && stub.d.Target && memory_.ExportName(t).empty() && !memory_.ExportName(stub.d.Target).empty())
        call.Target = stub.d.Target;
    }
    if (farEnds_.insert(d.Following).second) {
      info_.FarCalls.push_back(call);
      if (d.PPTarget) info_.Copy.BufferLen += 4;
    }
  } else {
    AddArea(t, d.Start);
  }
  RemoveUnknown(d.Start);
}

bool Analyser::ParseArea(std::size_t index) {
  auto& areas = info_.CodeAreas;
  const Addr begin = areas[index].AreaBegin;
  current_ = areas[index].Registers;
  Addr limit = rangeEnd_;
  const auto next = begins_.upper_bound(begin);
  if (next != begins_.end()) limit = std::min(limit, next->first);
  if (begin < rangeBegin_ || begin >= rangeEnd_) {
    Fail(begin);
    return false;
  }
  Addr pc = begin;
  bool havePush = false;
  Addr pushed = 0;
  int cmpRegister = -1;
  std::uint32_t cmpCount = 0;
  bool caseReady = false;
  std::size_t knownAreas = areas.size();
  for (;;) {
    Decoded x;
    detail::Decode(memory_, pc, x);
    detail::FinishTargets(x, &current_);
    if (!x.d.Valid) {
      Fail(pc);
      return false;
    }
    const TRegisters before = current_;
    detail::TrackRegisters(x, current_);
    const bool changed = before != current_;
    const TDecodedInstruction& d = x.d;
    areas[index].AreaEnd = d.Following - 1;
    if (IsReturn(d.Instruction)) return true;

    // Exception frame set-up: push handler; push dword ptr fs:[0].
    bool pushNow = false;
    if (d.Instruction == 0x68 && d.Following - d.Start == 5) {
      std::uint8_t nextByte = 0;
      if (memory_.Read(d.Following, &nextByte, 1) == 1 && nextByte == 0x64) {
        pushNow = true;
        pushed = x.imm;
      }
    } else if (havePush && d.Instruction == 0xFF && x.seg == 5 &&
               ((x.d.ModRmByte == 0x35 && x.disp == 0 && d.Following - d.Start == 7) ||
                (x.mod == 0 && x.reg == 6 && x.rm != 4 && x.rm != 5 && d.Following - d.Start == 3 && before[x.rm] == 0))) {
      AddArea(pushed, d.Start);
    }
    havePush = pushNow;

    // Jump tables: cmp reg, n; ja/jae; jmp dword ptr [table + reg*4] with the table right behind.
    if (caseReady) {
      caseReady = false;
      if (d.Instruction == 0xFF && x.d.ModRmByte == 0x24 && x.hasSib && x.scale == 2 && x.index == cmpRegister && x.noBase &&
          static_cast<Addr>(x.disp) == d.Following) {
        for (std::uint32_t i = 0; i < cmpCount; ++i) {
          bool ok = true;
          const Addr entry = ReadDword(memory_, d.Following + 4 * i, ok);
          if (ok) AddArea(entry, d.Start);
        }
        if (cmpCount) AddTableArea(d.Following, 4 * cmpCount, true);
        return true;
      }
    }
    if (cmpRegister >= 0) {
      const std::uint16_t op = d.Instruction;
      if (op == 0x77 || op == 0x7F || op == 0x0F87 || op == 0x0F8F) {
        ++cmpCount;
        caseReady = true;
      } else if (op == 0x73 || op == 0x7D || op == 0x0F83 || op == 0x0F8D) {
        caseReady = true;
      }
    }
    const int keepRegister = caseReady ? cmpRegister : -1;
    cmpRegister = -1;
    if (d.Instruction == 0x83 && (x.d.ModRmByte & 0xF8) == 0xF8 && !x.opsize16 && x.imm < 0x80) {
      cmpRegister = x.rm;
      cmpCount = x.imm;
    } else if (caseReady) {
      cmpRegister = keepRegister;
    }

    if (d.Call || d.Jump) {
      HandleTarget(x);
      if (d.Target != 0 && (d.Target == routines_.Halt0 || IsNoReturn(d.Target))) return true;
      if (d.Call && FunctionEntryAt(d.Following)) return true;
    }
    if (IsUnconditionalJump(x)) return true;
    if (areas.size() != knownAreas) {
      knownAreas = areas.size();
      // A jump (or handler) back into this area cut it: what follows belongs to an area of its own.
      if (areas[index].AreaEnd != d.Following - 1) {
        AddArea(d.Following, 0);
        return true;
      }
      // An area ahead ends this one where it begins.
      const auto ahead = begins_.upper_bound(d.Start);
      if (ahead != begins_.end()) limit = std::min(limit, ahead->first);
    }
    if (d.Following > limit) {
      Fail(pc);
      return false;
    }
    if (changed || d.Following == limit) {
      AddArea(d.Following, 0);
      return true;
    }
    pc = d.Following;
  }
}

bool Analyser::ParsePending() {
  auto& areas = info_.CodeAreas;
  for (;;) {
    while (nextUnparsed_ < areas.size()) {
      const std::size_t i = nextUnparsed_;
      if (areas[i].AreaEnd == 0 && !areas[i].CaseBlock && !areas[i].OnExceptBlock) {
        if (!ParseArea(i)) return false;
      }
      ++nextUnparsed_;
    }
    // Targets that only the register state of their area makes known. Each is tried once: area
    // states only lose knowledge when areas merge, so a second try could not find more.
    const std::size_t before = areas.size();
    for (std::size_t k = info_.UnknownTargets.size(); k-- > 0;) {
      if (k >= info_.UnknownTargets.size()) continue;
      const TUnknownTarget u = info_.UnknownTargets[k];
      if (retried_.count(u.CodeAddr1)) continue;
      retried_.insert(u.CodeAddr1);
      auto it = begins_.upper_bound(u.CodeAddr1);
      if (it == begins_.begin()) continue;
      const TCodeArea& a = areas[std::prev(it)->second];
      if (a.AreaEnd == 0 || a.CaseBlock || a.OnExceptBlock || u.CodeAddr1 > a.AreaEnd) continue;
      TRegisters regs = a.Registers;
      Decoded x;
      detail::Decode(memory_, u.CodeAddr1, x);
      detail::FinishTargets(x, &regs);
      if (x.d.Valid && x.d.Target) {
        current_ = regs;
        HandleTarget(x);
      }
    }
    if (areas.size() == before && nextUnparsed_ >= areas.size()) return true;
  }
}

bool Analyser::FillGap() {
  auto& areas = info_.CodeAreas;
  if (areas.empty()) return false;
  Addr end = 0;
  for (const TCodeArea& a : areas) end = std::max(end, a.AreaEnd);
  Addr chainEnd = begins_.begin()->second < areas.size() ? areas[begins_.begin()->second].AreaEnd : 0;
  auto it = std::next(begins_.begin());
  while (it != begins_.end() && it->first == chainEnd + 1) {
    chainEnd = areas[it->second].AreaEnd;
    ++it;
  }
  if (chainEnd >= end) return false;
  const Addr gap = chainEnd + 1;
  // An area already there (a table overlapping code) would make no progress.
  if (end - gap >= 1024 || AreaAt(gap) >= 0) return false;

  Snapshot keep{areas, info_.FarCalls, info_.UnknownTargets, info_.Copy.BufferLen};
  const std::unordered_set<Addr> keepFarEnds = farEnds_;
  const std::unordered_set<Addr> keepRetried = retried_;
  current_ = TRegisters{};
  AddArea(gap, 0);
  if (ParsePending()) return true;
  areas = std::move(keep.areas);
  info_.FarCalls = std::move(keep.farCalls);
  info_.UnknownTargets = std::move(keep.unknowns);
  info_.Copy.BufferLen = keep.bufferLen;
  farEnds_ = keepFarEnds;
  retried_ = keepRetried;
  failed_ = false;
  RebuildIndex();
  unknownIndex_.clear();
  for (std::size_t i = 0; i < info_.UnknownTargets.size(); ++i) unknownIndex_[info_.UnknownTargets[i].CodeAddr1] = i;
  nextUnparsed_ = areas.size();
  return false;
}

void Analyser::RebuildIndex() {
  begins_.clear();
  for (std::size_t i = 0; i < info_.CodeAreas.size(); ++i) begins_[info_.CodeAreas[i].AreaBegin] = i;
}

void Analyser::Run(Addr entry) {
  Addr regionBegin = 0, regionEnd = 0;
  std::uint8_t probe = 0;
  if (!memory_.RegionAt(entry, regionBegin, regionEnd) || memory_.Read(entry, &probe, 1) != 1) {
    info_.IsValid = false;
    info_.LastErrorAddr = entry;
    info_.LastErrorNo = kInvalidParameterError;
    info_.LastErrorStr = memory_.SystemErrorText(kInvalidParameterError);
    return;
  }
  ModuleInfo module;
  if (memory_.ModuleAt(entry, module)) {
    rangeBegin_ = module.rangeBegin;
    rangeEnd_ = module.rangeEnd;
  } else {
    rangeBegin_ = regionBegin;
    rangeEnd_ = regionEnd;
  }
  info_.EntryPoint = entry;
  info_.Copy.IsValid = true;
  info_.CodeAreas.reserve(8);
  current_ = TRegisters{};
  AddArea(entry, 0);
  if (!ParsePending()) {
    const Addr at = failAddr_;
    info_ = TFunctionInfo{};
    info_.EntryPoint = entry;
    info_.LastErrorAddr = at;
    info_.LastErrorNo = kInvalidCodeError;
    info_.LastErrorStr = kInvalidCodeText;
    return;
  }
  for (;;) {
    bool jumpUnknown = false;
    for (const TUnknownTarget& u : info_.UnknownTargets) jumpUnknown = jumpUnknown || !u.Call;
    if (!jumpUnknown || !FillGap()) break;
  }
  info_.IsValid = true;
  Addr low = info_.CodeAreas[0].AreaBegin, high = info_.CodeAreas[0].AreaEnd;
  for (const TCodeArea& a : info_.CodeAreas) {
    low = std::min(low, a.AreaBegin);
    high = std::max(high, a.AreaEnd);
  }
  info_.CodeBegin = low;
  info_.CodeLen = high - low + 1;
  info_.Copy.BufferLen += info_.CodeLen + 4;

  // Interceptable: the straight-line code from the entry that no jump enters is longer than 5.
  std::uint32_t straight = 0;
  const TCodeArea* a = &info_.CodeAreas[0];
  for (;;) {
    straight += a->AreaEnd - a->AreaBegin + 1;
    const int next = AreaAt(a->AreaEnd + 1);
    if (next < 0) break;
    a = &info_.CodeAreas[static_cast<std::size_t>(next)];
    if (a->CaseBlock || a->OnExceptBlock || a->CalledFrom != 0) break;
  }
  info_.Interceptable = straight > 5;
  if (info_.Interceptable) {
    for (Addr pc = entry; pc < entry + 6;) {
      Decoded x;
      detail::Decode(memory_, pc, x);
      detail::FinishTargets(x, nullptr);
      if (!x.d.Valid) break;
      if ((x.d.Call || x.d.Jump) && (x.d.PTarget || x.d.PPTarget) && !x.d.Widenable && x.d.TargetBytes < 4) info_.Interceptable = false;
      pc = x.d.Following;
    }
  }
}

}  // namespace

TFunctionInfo AnalyseFunction(const CodeMemory& memory, Addr entryPoint, const RuntimeRoutines& routines) {
  TFunctionInfo info;
  Analyser(memory, routines, info).Run(entryPoint);
  return info;
}

bool IsInstructionPosition(const CodeMemory& memory, const TFunctionInfo& info, Addr address) {
  for (const TFarCall& f : info.FarCalls)
    if (f.CodeAddr2 == address) return true;
  for (const TUnknownTarget& u : info.UnknownTargets)
    if (u.CodeAddr2 == address) return true;
  for (const TCodeArea& a : info.CodeAreas) {
    if (a.CaseBlock || a.OnExceptBlock || address < a.AreaBegin || address > a.AreaEnd + 1) continue;
    Addr pc = a.AreaBegin;
    while (pc < address) {
      const TDecodedInstruction d = DecodeInstruction(memory, pc);
      if (!d.Valid) break;
      pc = d.Following;
    }
    if (pc == address) return true;
  }
  return false;
}

}  // namespace report
