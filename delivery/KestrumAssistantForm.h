// Assistant form resources: the binary form stream a module carries for each assistant step, the
// items it describes, and the readable text the build tool compiles into it. Free of Windows so
// that the build tool, the fuzzer and the host tests run exactly the loader's code.
//
// A form resource may come from any module in the process, so it is read as untrusted data:
// every length, count and nesting depth is checked against the bytes that are there, and a
// stream that breaks off or exceeds the limits is reported as damaged instead of half-used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {

// --- The generic object stream.

enum class FormValueKind { integer, boolean, string, identifier };

struct FormProperty {
  std::string name;
  FormValueKind kind = FormValueKind::string;
  std::string text;  // integers as decimal text, booleans as "0" or "1"
  bool operator==(const FormProperty&) const = default;
};

struct FormObject {
  std::string className, name;
  std::vector<FormProperty> properties;
  std::vector<FormObject> children;
  bool operator==(const FormObject&) const = default;
};

// Deeper trees and more objects than any assistant step needs are refused as damaged, so that
// neither the reader's recursion nor the item list can grow with hostile input.
constexpr int kMaxFormDepth = 8;
constexpr std::size_t kMaxFormObjects = 512;

struct FormStream {
  bool signatureOk = false;  // false: not a form stream, nothing else was read
  FormObject root;
  int invalidType = -1;      // an unknown value type stopped the reading; what was read stays
  bool damaged = false;      // truncated, or beyond kMaxFormDepth / kMaxFormObjects
};

FormStream ParseFormStream(const std::uint8_t* data, std::size_t size);

// "Internal error: Invalid assistant resource ($d)."
std::string InvalidAssistantResourceMessage(std::uint8_t type);

// The stream of one object tree: integers in the smallest type that holds them, strings up to 255
// characters as short strings, longer ones as long strings. Throws std::invalid_argument for a
// class, object or property name that does not fit a length byte, or an integer that is not one.
std::vector<std::uint8_t> WriteFormStream(const FormObject& root);

// The readable description, one object per "object Name: Class" ... "end" block:
//
//   object ContactForm: TZQContactForm
//     Message = 'Contact Information'
//     OnAction = 'Kestrum.HandleContactForm'
//     object NameEdit: TNVEdit
//       Lines = 1
//       Optional = True
//       OutputType = nvoHeader
//     end
//   end
//
// Values: True, False, a decimal integer, an identifier, or a text in single quotes with '' for a
// quote inside. Blank lines and lines starting with "#" are skipped. Throws std::invalid_argument
// naming the line for anything else.
FormObject ParseFormText(std::string_view text);

// --- The items of one assistant step.

enum TOutputType : std::int32_t { otHeader = 0, otOwnSection = 1 };
enum class FormItemKind { button, label, edit, checkBox, image };

struct FormItem {
  FormItemKind kind = FormItemKind::label;
  std::string name;
  // Common.
  bool enabled = true;
  int spacing = 0;  // pixels below the item; 0: automatic
  TOutputType outputType = otHeader;
  std::string outputName;
  // Button (minWidth, caption, noOwnerDraw, visible), label and check box (caption).
  std::string caption;
  int minWidth = 0;
  bool noOwnerDraw = false;
  bool visible = true;
  // Edit.
  std::string text;
  int lines = 1;
  bool optional = false;
  bool colored = true;
  bool valid = true;
  // Check box.
  bool checked = false;
  // Image.
  std::string file;
  int width = 0, height = 0;
  bool clickable = false;
  bool border = false;

  bool operator==(const FormItem&) const = default;
};

// The three main buttons are always items 0, 1 and 2.
enum : std::size_t { kContinueBtn = 0, kSkipBtn = 1, kCancelBtn = 2, kFirstOwnItem = 3 };

struct FormDescription {
  std::string name;
  std::string message;
  int minWidth = 0;
  std::string activeControl;
  int timer = 0;  // milliseconds; 0: none
  std::string onAction;
  std::vector<FormItem> items;  // the three main buttons first
  bool operator==(const FormDescription&) const = default;
};

// The three main buttons alone, with their built-in captions.
FormDescription DefaultFormDescription();

struct FormRead {
  FormDescription form;
  int invalidType = -1;  // shown to the user by the caller; the form as read is kept
  bool damaged = false;  // the form must not be used
};

// A stream that does not begin with "TPF0" gives the three buttons alone (a missing resource is
// handled the same way by the caller).
FormRead ReadFormResource(const std::uint8_t* data, std::size_t size);
// The items of an object tree (used by ReadFormResource and by the build tool's check).
FormDescription InterpretFormObject(const FormObject& root);

// Property texts as the items read them: "yes", "true" (any case) and "1" are true; numbers are
// decimal, clamped to [lo, hi]; anything else is 0 (clamped).
bool FormBool(std::string_view text);
int FormNumber(std::string_view text, int lo, int hi);

}  // namespace delivery
