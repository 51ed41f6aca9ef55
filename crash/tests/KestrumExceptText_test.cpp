#include "crash/KestrumExceptText.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrum {
namespace {

TEST(ExceptText, MessageIsOneCleanSentence) {
  struct Case {
    std::string text;
    const char* expected;
  } cases[] = {
      {"Zugriffsverletzung bei Adresse $401000", "Zugriffsverletzung bei Adresse $401000."},
      {"Division durch Null.", "Division durch Null."},
      {"Stop!!!", "Stop."},
      {"Ende.!.!", "Ende."},
      {"  \t Mitte \r\n ", "Mitte."},
      {"erste\r\nzweite", "erste\r\nzweite."},  // line breaks inside stay
      {std::string("a\tb\x01" "c\x1f"), "abc."},  // other control characters go, wherever they are
      {std::string("\x00x", 2), "x."},
      {"Gr\xfc\xdf" "e", "Gr\xfc\xdf" "e."},  // code page 1252 letters are not control characters
      {"", "Unknown."},
      {" \r\n\t ", "Unknown."},
      {"...", "."},  // a text of stops only is not empty
  };
  for (const Case& c : cases) EXPECT_EQ(NormalizeExceptMessage(c.text), c.expected) << c.text;
}

TEST(ExceptText, MessageComesFromTheObjectOrItsClass) {
  struct Case {
    ExceptObjectTexts object;
    const char* className;
    const char* message;
  } cases[] = {
      {{true, true, "EConvertError", "'x' ist kein g\xfcltiger Integer-Wert"}, "EConvertError", "'x' ist kein g\xfcltiger Integer-Wert."},
      {{true, true, "KorbException", ""}, "KorbException", "Unknown."},  // an empty message is not replaced by the class
      {{true, true, "std::bad_alloc", "std::bad_alloc"}, "std::bad_alloc", "std::bad_alloc."},
      {{true, false, "int", "ignored"}, "int", "int."},
      {{false, false, "", ""}, "Unknown", "Unknown."},
      {{true, false, "", ""}, "Unknown", "Unknown."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExceptClassText(c.object), c.className) << c.className;
    EXPECT_EQ(ExceptMessageText(c.object), c.message) << c.className;
  }
}

}  // namespace
}  // namespace kestrum
