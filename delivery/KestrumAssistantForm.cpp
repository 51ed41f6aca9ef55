#include "delivery/KestrumAssistantForm.h"

#include "platform/Convert.h"
#include "platform/StreamReader.h"
#include "platform/Text.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace delivery {

namespace {

enum : std::uint8_t {
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaString = 6,
  vaIdent = 7,
  vaFalse = 8,
  vaTrue = 9,
  vaLString = 12,
};

constexpr std::uint8_t kSignature[] = {'T', 'P', 'F', '0'};

using Reader = platform::StreamReader;
using platform::EqualNoCase;
using platform::FindNoCase;

enum class ReadStatus { ok, invalidType, damaged };

struct StreamState {
  Reader in;
  std::size_t objects = 0;
  int invalidType = -1;
};

ReadStatus ReadValue(StreamState& s, std::uint8_t type, FormProperty& p) {
  std::uint32_t u = 0;
  bool ok = true;
  switch (type) {
    case vaInt8:
      ok = s.in.Le(1, u);
      p.kind = FormValueKind::integer;
      p.text = std::to_string(static_cast<std::int8_t>(u));
      break;
    case vaInt16:
      ok = s.in.Le(2, u);
      p.kind = FormValueKind::integer;
      p.text = std::to_string(static_cast<std::int16_t>(u));
      break;
    case vaInt32:
      ok = s.in.Le(4, u);
      p.kind = FormValueKind::integer;
      p.text = std::to_string(static_cast<std::int32_t>(u));
      break;
    case vaString:
    case vaIdent:
      ok = s.in.ShortString(p.text);
      p.kind = type == vaIdent ? FormValueKind::identifier : FormValueKind::string;
      break;
    case vaLString:
      ok = s.in.Le(4, u) && s.in.Chars(u, p.text);
      p.kind = FormValueKind::string;
      break;
    case vaFalse:
    case vaTrue:
      p.kind = FormValueKind::boolean;
      p.text = type == vaTrue ? "1" : "0";
      break;
    default:
      s.invalidType = type;
      return ReadStatus::invalidType;
  }
  return ok ? ReadStatus::ok : ReadStatus::damaged;
}

// Fills obj as far as the data goes, from its class name on (whose length byte classLen was read
// by the caller); obj keeps what was read when the status is not ok.
// The caller has checked the depth and the count of objects, so that a refused object never
// enters the tree.
ReadStatus ReadObject(StreamState& s, int depth, std::uint8_t classLen, FormObject& obj) {
  ++s.objects;
  if (!s.in.Chars(classLen, obj.className) || !s.in.ShortString(obj.name)) return ReadStatus::damaged;
  for (;;) {
    std::uint8_t len, type;
    FormProperty p;
    if (!s.in.Byte(len)) return ReadStatus::damaged;
    if (len == 0) break;
    if (!s.in.Chars(len, p.name) || !s.in.Byte(type)) return ReadStatus::damaged;
    const ReadStatus st = ReadValue(s, type, p);
    if (st != ReadStatus::ok) return st;
    obj.properties.push_back(std::move(p));
  }
  for (;;) {
    std::uint8_t len;
    if (!s.in.Byte(len)) return ReadStatus::damaged;
    if (len == 0) return ReadStatus::ok;
    if (depth + 1 > kMaxFormDepth || s.objects >= kMaxFormObjects) return ReadStatus::damaged;
    obj.children.emplace_back();
    const ReadStatus st = ReadObject(s, depth + 1, len, obj.children.back());
    if (st != ReadStatus::ok) return st;
  }
}



std::string ReplaceLineMarks(std::string_view text) {
  std::string out;
  for (;;) {
    const std::size_t at = FindNoCase(text, "%lf%");
    if (at == std::string_view::npos) break;
    out.append(text.substr(0, at));
    out += "\r\n";
    text.remove_prefix(at + 4);
  }
  out.append(text);
  return out;
}

void WriteShort(std::vector<std::uint8_t>& out, const std::string& s, const char* what) {
  if (s.size() > 255) throw std::invalid_argument(std::string(what) + " longer than 255 characters: " + s.substr(0, 40));
  out.push_back(static_cast<std::uint8_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

void WriteLe(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

bool ParseInt32(std::string_view digits, std::int32_t& value) {
  const bool negative = !digits.empty() && digits.front() == '-';
  if (negative) digits.remove_prefix(1);
  if (digits.empty() || digits.size() > 10) return false;
  std::int64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (negative) n = -n;
  if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::int32_t>::max()) return false;
  value = static_cast<std::int32_t>(n);
  return true;
}

void WriteObject(std::vector<std::uint8_t>& out, const FormObject& obj) {
  WriteShort(out, obj.className, "class name");
  WriteShort(out, obj.name, "object name");
  for (const FormProperty& p : obj.properties) {
    if (p.name.empty()) throw std::invalid_argument("property without a name in " + obj.name);
    WriteShort(out, p.name, "property name");
    switch (p.kind) {
      case FormValueKind::integer: {
        std::int32_t v;
        if (!ParseInt32(p.text, v)) throw std::invalid_argument("not a 32-bit integer: " + p.name + " = " + p.text);
        if (v >= -128 && v <= 127) {
          out.push_back(vaInt8);
          WriteLe(out, static_cast<std::uint32_t>(v), 1);
        } else if (v >= -32768 && v <= 32767) {
          out.push_back(vaInt16);
          WriteLe(out, static_cast<std::uint32_t>(v), 2);
        } else {
          out.push_back(vaInt32);
          WriteLe(out, static_cast<std::uint32_t>(v), 4);
        }
        break;
      }
      case FormValueKind::boolean:
        out.push_back(p.text == "1" ? vaTrue : vaFalse);
        break;
      case FormValueKind::identifier:
        out.push_back(vaIdent);
        WriteShort(out, p.text, "identifier");
        break;
      case FormValueKind::string:
        if (p.text.size() <= 255) {
          out.push_back(vaString);
          WriteShort(out, p.text, "string");
        } else {
          out.push_back(vaLString);
          WriteLe(out, static_cast<std::uint32_t>(p.text.size()), 4);
          out.insert(out.end(), p.text.begin(), p.text.end());
        }
        break;
    }
  }
  out.push_back(0);
  for (const FormObject& child : obj.children) {
    if (child.className.empty()) throw std::invalid_argument("object without a class: " + child.name);
    WriteObject(out, child);
  }
  out.push_back(0);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool IsIdentifier(std::string_view s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  for (char c : s) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.')) return false;
  }
  return true;
}

[[noreturn]] void Fail(std::size_t line, const std::string& what) {
  throw std::invalid_argument("line " + std::to_string(line) + ": " + what);
}

// A quoted text: '' stands for one quote; nothing may follow the closing quote.
bool Unquote(std::string_view v, std::string& out) {
  if (v.size() < 2 || v.front() != '\'' || v.back() != '\'') return false;
  out.clear();
  for (std::size_t i = 1; i + 1 < v.size(); ++i) {
    if (v[i] == '\'') {
      if (i + 2 >= v.size() || v[i + 1] != '\'') return false;
      ++i;
    }
    out += v[i];
  }
  return true;
}

// The first letter of a class name does not matter: interface and class names both name the kind.
bool IsClass(const std::string& className, const char* tName) {
  return !className.empty() && className.size() == std::strlen(tName) && className.compare(1, std::string::npos, tName + 1) == 0;
}

bool ItemKindOf(const std::string& className, FormItemKind& kind) {
  static const struct {
    const char* name;
    FormItemKind kind;
  } kClasses[] = {{"TNVButton", FormItemKind::button},
                  {"TNVLabel", FormItemKind::label},
                  {"TNVEdit", FormItemKind::edit},
                  {"TNVCheckBox", FormItemKind::checkBox},
                  {"TNVImage", FormItemKind::image}};
  for (const auto& c : kClasses) {
    if (IsClass(className, c.name)) {
      kind = c.kind;
      return true;
    }
  }
  return false;
}

constexpr int kMaxPixels = 4096;

void ApplyItemProperty(FormItem& item, const FormProperty& p) {
  const std::string& n = p.name;
  const std::string& v = p.text;
  if (EqualNoCase(n, "Enabled")) item.enabled = FormBool(v);
  else if (EqualNoCase(n, "Spacing")) item.spacing = FormNumber(v, 0, kMaxPixels);
  else if (EqualNoCase(n, "OutputType")) item.outputType = FindNoCase(v, "ownSection") != std::string::npos ? otOwnSection : otHeader;
  else if (EqualNoCase(n, "OutputName")) item.outputName = v;
  else switch (item.kind) {
      case FormItemKind::button:
        if (EqualNoCase(n, "MinWidth")) item.minWidth = FormNumber(v, 0, kMaxPixels);
        else if (EqualNoCase(n, "Caption")) item.caption = v;
        else if (EqualNoCase(n, "NoOwnerDraw")) item.noOwnerDraw = FormBool(v);
        else if (EqualNoCase(n, "Visible")) item.visible = FormBool(v);
        break;
      case FormItemKind::label:
        if (EqualNoCase(n, "Caption")) item.caption = v;
        break;
      case FormItemKind::edit:
        if (EqualNoCase(n, "Text")) item.text = ReplaceLineMarks(v);
        else if (EqualNoCase(n, "Lines")) item.lines = FormNumber(v, 1, 100);
        else if (EqualNoCase(n, "Optional")) item.optional = FormBool(v);
        else if (EqualNoCase(n, "Colored")) item.colored = FormBool(v);
        else if (EqualNoCase(n, "Valid")) item.valid = FormBool(v);
        break;
      case FormItemKind::checkBox:
        if (EqualNoCase(n, "Caption") || EqualNoCase(n, "Text")) item.caption = v;
        else if (EqualNoCase(n, "Checked")) item.checked = FormBool(v);
        break;
      case FormItemKind::image:
        if (EqualNoCase(n, "Width")) item.width = FormNumber(v, 0, kMaxPixels);
        else if (EqualNoCase(n, "Height")) item.height = FormNumber(v, 0, kMaxPixels);
        else if (EqualNoCase(n, "File")) item.file = v;
        else if (EqualNoCase(n, "Clickable")) item.clickable = FormBool(v);
        else if (EqualNoCase(n, "Border")) item.border = FormBool(v);
        break;
    }
}

void ApplyFormProperty(FormDescription& form, const FormProperty& p) {
  if (EqualNoCase(p.name, "Message")) form.message = p.text;
  else if (EqualNoCase(p.name, "MinWidth")) form.minWidth = FormNumber(p.text, 0, kMaxPixels);
  else if (EqualNoCase(p.name, "ActiveControl")) form.activeControl = p.text;
  else if (EqualNoCase(p.name, "Timer")) form.timer = FormNumber(p.text, 0, 3600000);
  else if (EqualNoCase(p.name, "OnAction")) form.onAction = p.text;
}

void InterpretObject(const FormObject& obj, FormDescription& form, bool& named) {
  FormItemKind kind;
  if (ItemKindOf(obj.className, kind)) {
    const std::string name = obj.name == "AbortBtn" ? std::string("CancelBtn") : obj.name;
    FormItem* item = nullptr;
    if (kind == FormItemKind::button) {
      for (std::size_t i = kContinueBtn; i <= kCancelBtn; ++i) {
        if (form.items[i].name == name) item = &form.items[i];
      }
    }
    if (!item) {
      form.items.emplace_back();
      item = &form.items.back();
      item->kind = kind;
      item->name = name;
    }
    for (const FormProperty& p : obj.properties) ApplyItemProperty(*item, p);
    // An own section needs room for more than one line; a one-line field always fits the header.
    if (!(item->kind == FormItemKind::edit && item->lines > 1)) item->outputType = otHeader;
  } else {
    if (!named) form.name = obj.name;
    named = true;
    for (const FormProperty& p : obj.properties) ApplyFormProperty(form, p);
  }
  for (const FormObject& child : obj.children) InterpretObject(child, form, named);
}

}  // namespace

FormStream ParseFormStream(const std::uint8_t* data, std::size_t size) {
  FormStream r;
  if (!data || size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0) return r;
  r.signatureOk = true;
  StreamState s{Reader(data + sizeof kSignature, size - sizeof kSignature)};
  std::uint8_t classLen;
  if (!s.in.Byte(classLen)) {
    r.damaged = true;
    return r;
  }
  const ReadStatus st = ReadObject(s, 0, classLen, r.root);
  r.damaged = st == ReadStatus::damaged;
  r.invalidType = s.invalidType;
  return r;
}

std::string InvalidAssistantResourceMessage(std::uint8_t type) {
  return "Internal error: Invalid assistant resource (" + platform::DollarHex(type) + ").";
}

std::vector<std::uint8_t> WriteFormStream(const FormObject& root) {
  std::vector<std::uint8_t> out(std::begin(kSignature), std::end(kSignature));
  WriteObject(out, root);
  return out;
}

FormObject ParseFormText(std::string_view text) {
  FormObject root;
  std::vector<FormObject*> open;
  bool rootDone = false;
  std::size_t lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    const std::size_t nl = text.find('\n');
    const std::string_view line = Trim(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty() || line.front() == '#') continue;
    if (rootDone) Fail(lineNo, "text after the end of the form object");

    if (line.substr(0, 7) == "object ") {
      const std::string_view rest = Trim(line.substr(7));
      const std::size_t colon = rest.find(':');
      if (colon == std::string_view::npos) Fail(lineNo, "expected object Name: Class");
      const std::string_view name = Trim(rest.substr(0, colon));
      const std::string_view cls = Trim(rest.substr(colon + 1));
      if (!IsIdentifier(name) || !IsIdentifier(cls)) Fail(lineNo, "object and class names are identifiers");
      if (open.size() >= static_cast<std::size_t>(kMaxFormDepth)) Fail(lineNo, "objects nested too deeply");
      FormObject* obj;
      if (open.empty()) {
        obj = &root;
      } else {
        open.back()->children.emplace_back();
        obj = &open.back()->children.back();
      }
      obj->name = std::string(name);
      obj->className = std::string(cls);
      open.push_back(obj);
      continue;
    }
    if (line == "end") {
      if (open.empty()) Fail(lineNo, "end without object");
      open.pop_back();
      rootDone = open.empty();
      continue;
    }
    if (open.empty()) Fail(lineNo, "property outside an object");
    if (!open.back()->children.empty()) Fail(lineNo, "properties come before the object's children");
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) Fail(lineNo, "expected Name = value");
    FormProperty p;
    p.name = std::string(Trim(line.substr(0, eq)));
    const std::string_view value = Trim(line.substr(eq + 1));
    if (!IsIdentifier(p.name) || p.name.size() > 255) Fail(lineNo, "invalid property name");
    std::int32_t n;
    if (value == "True" || value == "False") {
      p.kind = FormValueKind::boolean;
      p.text = value == "True" ? "1" : "0";
    } else if (!value.empty() && value.front() == '\'') {
      if (!Unquote(value, p.text)) Fail(lineNo, "text in single quotes, '' for a quote inside");
      p.kind = FormValueKind::string;
    } else if (ParseInt32(value, n)) {
      p.kind = FormValueKind::integer;
      p.text = std::to_string(n);
    } else if (IsIdentifier(value) && value.size() <= 255) {
      p.kind = FormValueKind::identifier;
      p.text = std::string(value);
    } else {
      Fail(lineNo, "expected True, False, a number, an identifier or a quoted text");
    }
    open.back()->properties.push_back(std::move(p));
  }
  if (!open.empty()) Fail(lineNo, "object without end");
  if (!rootDone) Fail(lineNo, "no object");
  return root;
}

bool FormBool(std::string_view text) { return EqualNoCase(text, "yes") || EqualNoCase(text, "true") || text == "1"; }

int FormNumber(std::string_view text, int lo, int hi) {
  std::int64_t n = 0;
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      n = 0;
      negative = false;
      break;
    }
    // Saturates instead of overflowing: only the clamped value matters.
    if (n < (std::int64_t{1} << 40)) n = n * 10 + (c - '0');
  }
  if (negative) n = -n;
  if (n < lo) return lo;
  if (n > hi) return hi;
  return static_cast<int>(n);
}

FormDescription DefaultFormDescription() {
  FormDescription form;
  const char* const names[] = {"ContinueBtn", "SkipBtn", "CancelBtn"};
  const char* const captions[] = {"Next >", "Skip", "Cancel"};
  for (int i = 0; i < 3; ++i) {
    FormItem b;
    b.kind = FormItemKind::button;
    b.name = names[i];
    b.caption = captions[i];
    form.items.push_back(std::move(b));
  }
  return form;
}

FormDescription InterpretFormObject(const FormObject& root) {
  FormDescription form = DefaultFormDescription();
  bool named = false;
  InterpretObject(root, form, named);
  return form;
}

FormRead ReadFormResource(const std::uint8_t* data, std::size_t size) {
  FormRead r;
  const FormStream s = ParseFormStream(data, size);
  r.invalidType = s.invalidType;
  r.damaged = s.damaged;
  r.form = s.signatureOk ? InterpretFormObject(s.root) : DefaultFormDescription();
  return r;
}

}  // namespace delivery

