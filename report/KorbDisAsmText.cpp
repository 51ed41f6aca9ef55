// GetCleartextDisAsm: an analysed function as assembly text for the bug report.

#include <algorithm>
#include <unordered_set>

#include "platform/Text.h"
#include "report/KorbDisAsm.h"
#include "report/KorbDisAsmDecode.h"

namespace report {

using detail::Decoded;

namespace {

constexpr int kOperandColumn = 19;
constexpr int kCommentColumn = 40;
constexpr int kLabelWidth = 31;
const char* const kSeparator = "; ---------------------------------------------------------";
const char* const kOrderError = "Internal error in ParseFunction while composing the disassembling string...  :-(";

void PadTo(std::string& s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
}

enum class Kind { Label, Instruction, Table, Separator, Empty };

struct Line {
  Kind kind;
  Addr addr;
  std::string text;   // everything after the address for label, table and separator lines
  Decoded x;          // instruction lines: formatted only when the line is kept
  bool code = false;  // instruction or table: counts as code left out
};

class Composer {
 public:
  Composer(const CodeMemory& memory, const DebugNames* names, const TFunctionInfo& info, Addr marked, bool formatted)
      : memory_(memory), names_(names), info_(info), marked_(marked), formatted_(formatted) {}

  bool Compose();
  std::string Render(int limit) const;

 private:
  std::string Label(Addr begin) const { return begin == info_.EntryPoint ? title_ : "loc_" + platform::HexDigits(begin, 0); }
  void Add(Kind kind, Addr addr, std::string text = {}) {
    Line l;
    l.kind = kind;
    l.addr = addr;
    l.text = std::move(text);
    l.code = kind == Kind::Table;
    lines_.push_back(std::move(l));
  }
  bool LastIsInstruction() const { return !lines_.empty() && lines_.back().kind == Kind::Instruction; }
  void SeparatorBlock(Addr at) {
    Add(Kind::Empty, at);
    Add(Kind::Separator, at, kSeparator);
    Add(Kind::Empty, at);
  }
  std::string InstructionLine(const Line& l) const;
  std::string NameOf(Addr target, bool withModule) const;
  std::string TextAt(Addr at) const;
  std::string CommentFor(const Decoded& x) const;

  const CodeMemory& memory_;
  const DebugNames* names_;
  const TFunctionInfo& info_;
  Addr marked_;
  bool formatted_;
  std::string title_;
  int width_ = 0;
  std::vector<Line> lines_;
  std::vector<const TCodeArea*> ordered_;
  std::unordered_set<Addr> codeBegins_;  // begins of the code areas: the targets that get a label
};

std::string Composer::NameOf(Addr target, bool withModule) const {
  ModuleInfo module;
  if (!memory_.ModuleAt(target, module)) return std::string();
  Addr named = target;
  std::string name = memory_.ExportName(target);
  if (name.empty() && names_) name = names_->ProcNameOfAddress(target);
  if (name.empty()) {
    // An import stub: the routine it jumps to gives the name.
    Decoded stub;
    detail::Decode(memory_, target, stub);
    detail::FinishTargets(stub, nullptr);
    if (stub.d.Valid && stub.d.Jump && stub.d.Target && (stub.d.PPTarget || stub.d.Instruction == 0xE9 || stub.d.Instruction == 0xEB)) {
      named = stub.d.Target;
      name = memory_.ExportName(named);
      if (name.empty() && names_) name = names_->ProcNameOfAddress(named);
      if (!name.empty() && !memory_.ModuleAt(named, module)) module = ModuleInfo{};
    }
  }
  if (name.empty()) return name;
  if (withModule && !module.own && !module.fileName.empty() && name.find('(') == std::string::npos) name += " (" + module.fileName + ")";
  return name;
}

// A text that looks like a message or a name, or "".
std::string Composer::TextAt(Addr at) const {
  std::uint8_t bytes[100];
  const std::size_t n = memory_.Read(at, bytes, sizeof bytes);
  std::string text;
  int a = 0, b = 0, c = 0, d = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t ch = bytes[i];
    if (ch == 0 || ch == '\n' || ch == '\f') break;
    if (ch < 32) return std::string();
    if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == ' ') {
      ++a;
    } else if (ch == ',' || ch == '.' || ch == ':' || ch == '\\') {
      ++b;
    } else if (ch >= '!' && ch <= ']') {
      ++c;
    } else {
      ++d;
    }
    text += static_cast<char>(ch);
  }
  if (text.size() < 4 || !(5 * b < 2 * a) || !(8 * c < b / 2 + a) || !(10 * d < b / 2 + a + c / 4)) return std::string();
  return "  ; '" + text + "'";
}

std::string Composer::CommentFor(const Decoded& x) const {
  if ((x.d.Call || x.d.Jump) && x.d.Target) {
    const std::string name = NameOf(x.d.Target, true);
    return name.empty() ? std::string() : "  ; " + name;
  }
  Addr candidates[2];
  int count = 0;
  bool immediate[2] = {false, false};
  if (x.hasModRm && x.mod != 3 && x.dispSize == 4) candidates[count++] = static_cast<Addr>(x.disp);
  if (x.immSize == 4 && count < 2) {
    immediate[count] = true;
    candidates[count++] = x.imm;
  }
  for (int i = 0; i < count; ++i) {
    const Addr v = candidates[i];
    ModuleInfo module;
    if (!memory_.ModuleAt(v, module) || module.imageEnd - v < 100) continue;
    std::string name = NameOf(v, true);
    if (!name.empty()) return "  ; " + name;
    std::string text = TextAt(v);
    if (!text.empty()) return text;
    if (immediate[i]) {
      bool ok = false;
      const Addr p = detail::ReadDword(memory_, v, ok);
      if (!ok || !memory_.ModuleAt(p, module) || module.imageEnd - p < 100) continue;
      name = NameOf(p, true);
      if (!name.empty()) return "  ; " + name;
      text = TextAt(p);
      if (!text.empty()) return text;
    }
  }
  return std::string();
}

std::string Composer::InstructionLine(const Line& l) const {
  const Decoded& x = l.x;
  std::string s = platform::Hex8(l.addr) + "   ";
  if (!x.d.Valid) return s + "db $" + platform::HexDigits(x.d.ModRmByte, 2);
  s += detail::MnemonicText(x);
  if (x.op[0] != optable::ONone) {
    s += ' ';
    PadTo(s, kOperandColumn);
    bool labelled = false;
    if (x.d.RelTarget && (x.d.Call || x.d.Jump) && codeBegins_.count(x.d.Target)) {
      s += Label(x.d.Target);
      labelled = true;
    }
    if (!labelled) s += detail::OperandText(x);
  }
  const std::string comment = CommentFor(x);
  if (!comment.empty()) {
    PadTo(s, kCommentColumn);
    s += comment;
  }
  return s;
}

bool Composer::Compose() {
  const Addr f = info_.EntryPoint;
  std::string name = memory_.ExportName(f);
  if (name.empty() && names_) name = names_->ProcNameOfAddress(f);
  title_ = name.empty() ? "sub_" + platform::HexDigits(f, 0) : "public " + name;

  if (names_) {
    int line = names_->LineOfAddress(info_.EntryPoint + info_.CodeLen - 1);
    if (line == 0) line = 10 * names_->LineOfAddress(marked_);
    for (int v = line; v > 0; v /= 10) ++width_;
  }

  // Areas by address; an overlap means the analysis is inconsistent.
  for (const TCodeArea& a : info_.CodeAreas) {
    ordered_.push_back(&a);
    if (!a.CaseBlock && !a.OnExceptBlock) codeBegins_.insert(a.AreaBegin);
  }
  std::sort(ordered_.begin(), ordered_.end(), [](const TCodeArea* l, const TCodeArea* r) { return l->AreaBegin < r->AreaBegin; });
  for (std::size_t i = 1; i < ordered_.size(); ++i)
    if (ordered_[i]->AreaBegin < ordered_[i - 1]->AreaEnd + 1) return false;

  bool previousWasCode = false;
  for (std::size_t i = 0; i < ordered_.size(); ++i) {
    const TCodeArea& a = *ordered_[i];
    const bool lastArea = i + 1 == ordered_.size();
    if (a.CaseBlock || a.OnExceptBlock) {
      if (formatted_) {
        if (LastIsInstruction()) Add(Kind::Empty, a.AreaBegin);
        const bool separated = lines_.size() >= 2 && lines_[lines_.size() - 2].kind == Kind::Separator;
        if (previousWasCode && !separated) {
          Add(Kind::Separator, a.AreaBegin, kSeparator);
          Add(Kind::Empty, a.AreaBegin);
        }
      }
      if (a.CaseBlock) {
        for (Addr p = a.AreaBegin; p + 3 <= a.AreaEnd; p += 4) {
          const Addr target = detail::ReadDword(memory_, p);
          std::string text = "  dd loc_" + platform::HexDigits(target, 0);
          if (p == a.AreaBegin) {
            PadTo(text, kLabelWidth);
            text += "  ; case jump table";
          }
          Add(Kind::Table, p, text);
        }
      } else {
        // Handler tables: the exception classes of this runtime carry no readable name here.
        const std::uint32_t count = detail::ReadDword(memory_, a.AreaBegin);
        const std::string unknown = "EUnknown";
        for (std::uint32_t k = 0; k < count && a.AreaBegin + 4 + 8 * k + 7 <= a.AreaEnd; ++k) {
          const Addr pair = a.AreaBegin + 4 + 8 * k;
          const Addr cls = detail::ReadDword(memory_, pair);
          const Addr handler = detail::ReadDword(memory_, pair + 4);
          const std::string text = cls ? "  on " + unknown + " do loc_" + platform::HexDigits(handler, 0)
                                       : "  else" + std::string(unknown.size() + 2, ' ') + " loc_" + platform::HexDigits(handler, 0);
          Add(Kind::Table, pair, text);
        }
      }
      if (formatted_) SeparatorBlock(a.AreaEnd + 1);
      previousWasCode = false;
      continue;
    }

    if (a.AreaBegin == info_.EntryPoint || (formatted_ && a.CalledFrom != 0)) {
      if (formatted_ && LastIsInstruction()) Add(Kind::Empty, a.AreaBegin);
      std::string label = Label(a.AreaBegin) + ":";
      if (a.AreaBegin == info_.EntryPoint) {
        PadTo(label, kLabelWidth);
        label += "  ; function entry point";
      }
      Add(Kind::Label, a.AreaBegin, label);
    }
    Addr pc = a.AreaBegin;
    while (pc <= a.AreaEnd) {
      Line l;
      l.kind = Kind::Instruction;
      l.addr = pc;
      l.code = true;
      detail::Decode(memory_, pc, l.x);
      detail::FinishTargets(l.x, nullptr);
      if (!l.x.d.Valid) {
        // One line per byte; the byte is kept where the renderer looks for it.
        std::uint8_t byte = 0;
        memory_.Read(pc, &byte, 1);
        l.x.d.ModRmByte = byte;
        l.x.d.Following = pc + 1;
      }
      const Decoded x = l.x;
      lines_.push_back(std::move(l));
      pc = x.d.Following;
      if (!formatted_ || !x.d.Valid) continue;
      const bool moreCode = pc <= a.AreaEnd || !lastArea;
      if (!moreCode) continue;
      const std::uint16_t op = x.d.Instruction;
      const bool ret = op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF;
      const bool uncond = op == 0xE9 || op == 0xEA || op == 0xEB || (op == 0xFF && (x.reg == 4 || x.reg == 5));
      if (ret || (x.d.Jump && uncond)) {
        SeparatorBlock(pc);
      } else if (x.d.Call || x.d.Jump) {
        Add(Kind::Empty, pc);
      }
    }
    previousWasCode = true;
  }
  return true;
}

std::string Composer::Render(int limit) const {
  // Which lines are kept: with a limit, the lines around the marked one.
  std::size_t first = 0, last = lines_.size();
  bool cutFront = false, cutBack = false;
  if (limit > 0) {
    std::size_t markedLine = lines_.size();
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].kind == Kind::Instruction && lines_[i].addr == marked_) {
        markedLine = i;
        break;
      }
    }
    if (markedLine < lines_.size()) {
      const std::size_t upTo = markedLine + 1;
      const auto l = static_cast<std::size_t>(limit);
      if (upTo > l * 12 / 10) {
        first = upTo - (l + 1);
        cutFront = true;
      }
      if (lines_.size() - upTo > l) {
        last = upTo + l;
        for (std::size_t i = last; i < lines_.size(); ++i) cutBack = cutBack || lines_[i].code || lines_[i].kind == Kind::Label;
      }
    }
  }

  std::string out;
  out.reserve(200);
  if (cutFront) out += "[...]\r\n";
  int previousLine = -1;
  const std::string blanks(static_cast<std::size_t>(width_ + 1), ' ');
  for (std::size_t i = first; i < last; ++i) {
    const Line& l = lines_[i];
    std::string s;
    switch (l.kind) {
      case Kind::Instruction:
        s = InstructionLine(l);
        if (l.addr == marked_) s[9] = '>';
        break;
      case Kind::Empty: s = platform::Hex8(l.addr); break;
      default: s = platform::Hex8(l.addr) + " " + l.text; break;
    }
    if (width_ > 0) {
      if (l.kind == Kind::Label) {
        s.insert(9, blanks);
      } else {
        const int line = names_->LineOfAddress(l.addr);
        if (line != previousLine) {
          std::string number = std::to_string(line);
          if (number.size() < static_cast<std::size_t>(width_)) number.insert(0, static_cast<std::size_t>(width_) - number.size(), '0');
          if (s.size() <= 8) {
            s += " " + number;
          } else {
            s.insert(9, number + " ");
          }
        } else if (s.size() > 8) {
          s.insert(9, blanks);
        }
        previousLine = line;
      }
    }
    out += s;
    out += "\r\n";
  }
  if (cutBack) {
    out += "[...]";
  } else if (out.size() >= 2) {
    out.resize(out.size() - 2);
  }
  return out;
}

}  // namespace

std::string GetCleartextDisAsm(const CodeMemory& memory, const DebugNames* names, Addr functionStart, Addr markedAddress, bool formatted,
                               int limit, TFunctionInfo& info) {
  info = AnalyseFunction(memory, functionStart);
  if (!info.IsValid) return std::string();
  Composer composer(memory, names, info, markedAddress, formatted);
  if (!composer.Compose()) return kOrderError;
  return composer.Render(limit);
}

}  // namespace report
