// Names and paths blanked out of a finished minidump, in place: the file keeps its size and every
// offset, so it stays the dump a reader expects, only without the values. Pure; the dump may come
// from anywhere, so every offset in it is checked against its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace report {

struct DumpRedaction {
  std::string_view value;  // code page 1252, as the report text has it
  std::string_view token;  // put in where the value was, when it fits
};

struct DumpRedactResult {
  bool readable = false;  // false: no minidump header and directory; nothing was changed
  std::size_t replaced = 0;
};

// Values are found without regard to case (ASCII and the letters of code page 1252), as 8-bit text
// and as UTF-16LE, where the dump keeps them:
// - in the text of its streams (module names and CodeView file names, thread names, the service
//   pack): as whole words, as the report's text is redacted, so that "annual" keeps a user "ann";
// - in its memory (stacks and every range of the memory lists, read across ranges that meet in the
//   address space): everywhere, at any byte, since memory has no words. Values shorter than
//   kMinMemoryValue only where they stand as words, and one character never: such short runs turn
//   up in any bytes by chance, and blanking each of them would cut return addresses and pointers
//   that the stack walk needs.
// A value is replaced by as many characters (bytes, or UTF-16 units): its token followed by '*'
// where the value is at least as long as the token, '*' alone otherwise. At one place the longest
// value that matches goes.
constexpr std::size_t kMinMemoryValue = 3;
DumpRedactResult RedactMiniDump(std::span<std::uint8_t> dump, std::span<const DumpRedaction> values);

}  // namespace report
