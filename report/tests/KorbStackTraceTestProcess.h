#pragma once
// A synthetic process for stack traces: an executable with debug information whose functions are
// assembled from a list of calls, a system library without debug information that only exports, and
// a stack built frame by frame. Shared by the tests, the fuzz target and the benchmark.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "report/KorbStackTrace.h"

namespace report::test {

inline constexpr Addr kExeBase = 0x00400000;
inline constexpr Addr kExeCode = 0x00401000;
inline constexpr Addr kDllBase = 0x70000000;
inline constexpr Addr kDllCode = 0x70001000;
inline constexpr Addr kStackBase = 0x00100000;

// One operation of a synthetic function.
struct Op {
  enum Kind { call, callIndirect, fault, nop } kind = nop;
  std::string callee;  // for call
};

class CodeBuilder {
 public:
  explicit CodeBuilder(Addr at) : base_(at) {}
  // Functions are laid out in the order given; calls may name functions defined later.
  void Function(const std::string& name, std::vector<Op> ops) {
    Fn f;
    f.name = name;
    f.ops = std::move(ops);
    functions_.push_back(std::move(f));
  }

  // Lays out the code: entry points, return addresses of every call and the fault addresses.
  void Build() {
    bytes_.clear();
    for (int pass = 0; pass < 2; ++pass) {
      bytes_.clear();
      for (auto& f : functions_) {
        while (bytes_.size() % 16) bytes_.push_back(0xCC);
        f.entry = base_ + static_cast<Addr>(bytes_.size());
        entries_[f.name] = f.entry;
        f.returns.clear();
        Emit({0x55, 0x89, 0xE5});
        for (const Op& op : f.ops) {
          if (op.kind == Op::call) {
            const Addr at = base_ + static_cast<Addr>(bytes_.size());
            const Addr target = entries_.count(op.callee) ? entries_[op.callee] : 0;
            const std::uint32_t rel = target - (at + 5);
            Emit({0xE8, static_cast<std::uint8_t>(rel), static_cast<std::uint8_t>(rel >> 8), static_cast<std::uint8_t>(rel >> 16),
                  static_cast<std::uint8_t>(rel >> 24)});
            f.returns.push_back(at + 5);
          } else if (op.kind == Op::callIndirect) {
            Emit({0xFF, 0xD0});
            f.returns.push_back(base_ + static_cast<Addr>(bytes_.size()));
          } else if (op.kind == Op::fault) {
            f.returns.push_back(base_ + static_cast<Addr>(bytes_.size()));
            Emit({0x89, 0x00});
          } else {
            Emit({0x90});
            f.returns.push_back(base_ + static_cast<Addr>(bytes_.size()));
          }
        }
        Emit({0x5D, 0xC3});
        f.end = base_ + static_cast<Addr>(bytes_.size());
      }
    }
    while (bytes_.size() % 16) bytes_.push_back(0xCC);
  }

  Addr Entry(const std::string& name) const { return entries_.at(name); }
  // The address after operation n of function name (a return address; for a fault its start).
  Addr After(const std::string& name, std::size_t n) const {
    for (const auto& f : functions_) {
      if (f.name == name) return f.returns.at(n);
    }
    return 0;
  }
  Addr Base() const { return base_; }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  struct Fn {
    std::string name;
    std::vector<Op> ops;
    Addr entry = 0, end = 0;
    std::vector<Addr> returns;
  };
  const std::vector<Fn>& Functions() const { return functions_; }

 private:
  void Emit(std::initializer_list<std::uint8_t> b) { bytes_.insert(bytes_.end(), b); }
  Addr base_;
  std::vector<std::uint8_t> bytes_;
  std::vector<Fn> functions_;
  std::map<std::string, Addr> entries_;
};

// A stack growing downwards from its top, with frame pointers when asked for.
class StackBuilder {
 public:
  explicit StackBuilder(std::uint32_t size = 0x10000) : words_(size / 4, 0), sp_(kStackBase + size) {}
  Addr Top() const { return kStackBase + static_cast<Addr>(words_.size() * 4); }
  Addr Sp() const { return sp_; }
  Addr Ebp() const { return ebp_; }
  void Push(std::uint32_t v) {
    sp_ -= 4;
    words_.at((sp_ - kStackBase) / 4) = v;
  }
  // A call: the return address, then (with frame pointers) the saved frame pointer.
  void Call(Addr returnAddress, bool framePointer) {
    Push(returnAddress);
    if (framePointer) {
      Push(ebp_);
      ebp_ = sp_;
    }
  }
  std::vector<std::uint8_t> Bytes() const {
    std::vector<std::uint8_t> out(words_.size() * 4);
    std::memcpy(out.data(), words_.data(), out.size());
    return out;
  }

 private:
  std::vector<std::uint32_t> words_;
  Addr sp_;
  Addr ebp_ = 0;
};

class SyntheticProcess : public StackMemory {
 public:
  SyntheticProcess(const CodeBuilder& exe, const CodeBuilder* dll, std::vector<std::uint8_t> stack)
      : exe_(exe.Bytes()), stack_(std::move(stack)) {
    for (const auto& f : exe.Functions()) functions_.push_back({f.entry, f.end, f.name});
    exeEnd_ = kExeCode + static_cast<Addr>(exe_.size());
    if (dll) {
      dll_ = dll->Bytes();
      for (const auto& f : dll->Functions()) exports_[f.entry] = f.name;
    }
    dllEnd_ = kDllCode + static_cast<Addr>(dll_.size());
  }

  std::size_t Read(Addr address, void* dest, std::size_t count) const override {
    auto* out = static_cast<std::uint8_t*>(dest);
    std::size_t n = 0;
    for (; n < count; ++n) {
      const std::uint64_t a = static_cast<std::uint64_t>(address) + n;
      if (a >= kExeBase && a < kExeCode) {
        out[n] = 0;
      } else if (a >= kExeCode && a < exeEnd_) {
        out[n] = exe_[a - kExeCode];
      } else if (!dll_.empty() && a >= kDllBase && a < kDllCode) {
        out[n] = 0;
      } else if (a >= kDllCode && a < dllEnd_) {
        out[n] = dll_[a - kDllCode];
      } else if (a >= kStackBase && a < kStackBase + stack_.size()) {
        out[n] = stack_[a - kStackBase];
      } else {
        break;
      }
    }
    return n;
  }
  bool ModuleAt(Addr address, ModuleInfo& module) const override {
    if (address >= kExeBase && address < exeEnd_) {
      module = ModuleInfo{kExeBase, exeEnd_, kExeCode, exeEnd_, "prog.exe", false};
      return true;
    }
    if (!dll_.empty() && address >= kDllBase && address < dllEnd_) {
      module = ModuleInfo{kDllBase, dllEnd_, kDllCode, dllEnd_, "sys.dll", false};
      return true;
    }
    return false;
  }
  bool RegionAt(Addr address, Addr& begin, Addr& end) const override {
    bool image = false;
    if (!AllocationAt(address, begin, image)) return false;
    end = begin == kExeBase ? exeEnd_ : begin == kDllBase ? dllEnd_ : kStackBase + static_cast<Addr>(stack_.size());
    return true;
  }
  std::string ExportName(Addr address) const override {
    const auto it = exports_.find(address);
    return it == exports_.end() ? std::string() : it->second;
  }
  bool AllocationAt(Addr address, Addr& base, bool& image) const override {
    if (address >= kExeBase && address < exeEnd_) {
      base = kExeBase;
      image = true;
    } else if (!dll_.empty() && address >= kDllBase && address < dllEnd_) {
      base = kDllBase;
      image = true;
    } else if (address >= kStackBase && address < kStackBase + stack_.size()) {
      base = kStackBase;
      image = false;
    } else {
      return false;
    }
    return true;
  }
  bool DescribeModule(Addr base, TraceModuleFacts& facts) const override {
    facts = TraceModuleFacts{};
    facts.base = base;
    if (base == kExeBase) {
      facts.name = "prog.exe";
      facts.codeBegin = kExeCode;
      facts.codeEnd = exeEnd_;
      facts.executable = true;
      facts.debugInfo = exeDebugInfo;
      return true;
    }
    if (base == kDllBase && !dll_.empty()) {
      facts.name = "sys.dll";
      facts.codeBegin = kDllCode;
      facts.codeEnd = dllEnd_;
      return true;
    }
    return false;
  }
  bool PublicAt(Addr address, std::string& name, Addr& start) const override {
    const int i = FunctionAt(address);
    if (i < 0) return false;
    name = functions_[static_cast<std::size_t>(i)].name;
    start = functions_[static_cast<std::size_t>(i)].entry;
    return true;
  }
  // Every function starts at line 10 × (its index + 1); each byte is a line of its own unless the
  // functions are one-liners.
  int LineAt(Addr address) const override {
    const int i = exeDebugInfo ? FunctionAt(address) : -1;
    if (i < 0) return 0;
    return 10 * (i + 1) + (oneLineFunctions ? 0 : static_cast<int>(address - functions_[static_cast<std::size_t>(i)].entry));
  }
  std::string UnitAt(Addr address) const override {
    return exeDebugInfo && address >= kExeCode && address < exeEnd_ ? "uTest" : std::string();
  }
  bool NearestExport(Addr base, Addr address, Addr& exportAddress) const override {
    if (base != kDllBase) return false;
    auto it = exports_.upper_bound(address);
    if (it == exports_.begin()) return false;
    exportAddress = (--it)->first;
    return true;
  }

  bool exeDebugInfo = true;
  bool oneLineFunctions = false;  // every function written on one line

 private:
  // Functions are laid out in ascending order.
  int FunctionAt(Addr address) const {
    auto it = std::upper_bound(functions_.begin(), functions_.end(), address, [](Addr a, const Range& r) { return a < r.entry; });
    if (it == functions_.begin()) return -1;
    --it;
    return address < it->end ? static_cast<int>(it - functions_.begin()) : -1;
  }
  struct Range {
    Addr entry, end;
    std::string name;
  };
  std::vector<std::uint8_t> exe_;
  std::vector<std::uint8_t> dll_;
  std::vector<std::uint8_t> stack_;
  std::vector<Range> functions_;
  std::map<Addr, std::string> exports_;
  Addr exeEnd_ = 0;
  Addr dllEnd_ = 0;
};

}  // namespace report::test
