// The class and message texts that reports, boxes and placeholders show for an exception.
#pragma once

#include <string>
#include <string_view>

namespace kestrum {

// What the exception object offers for its texts. hasMessage is true for objects that carry a
// message (our Exception classes, KorbException, what() of a standard exception); anything else
// thrown, such as a number, has only its type name.
struct ExceptObjectTexts {
  bool hasObject = false;
  bool hasMessage = false;
  std::string_view className;
  std::string_view message;
};

// The class name, or "Unknown" when there is no object to name.
std::string ExceptClassText(const ExceptObjectTexts& object);

// The message (or, for an object without one, its class name) made fit for one line of a box:
// control characters other than CR and LF dropped, characters up to the blank trimmed at both
// ends, "Unknown" for nothing left, and exactly one closing full stop instead of any run of full
// stops and exclamation marks.
std::string ExceptMessageText(const ExceptObjectTexts& object);

// The message rule alone, for a text that is already chosen.
std::string NormalizeExceptMessage(std::string_view text);

}  // namespace kestrum
