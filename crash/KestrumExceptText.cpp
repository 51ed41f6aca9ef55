#include "crash/KestrumExceptText.h"

namespace kestrum {

namespace {

constexpr std::string_view kUnknown = "Unknown";

bool UpToBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

std::string ExceptClassText(const ExceptObjectTexts& object) {
  if (!object.hasObject || object.className.empty()) return std::string(kUnknown);
  return std::string(object.className);
}

std::string NormalizeExceptMessage(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  for (char c : text) {
    if (static_cast<unsigned char>(c) < ' ' && c != '\r' && c != '\n') continue;
    out.push_back(c);
  }
  std::size_t first = 0;
  while (first < out.size() && UpToBlank(out[first])) ++first;
  std::size_t last = out.size();
  while (last > first && UpToBlank(out[last - 1])) --last;
  out = out.substr(first, last - first);
  if (out.empty()) out = kUnknown;
  while (!out.empty() && (out.back() == '.' || out.back() == '!')) out.pop_back();
  out.push_back('.');
  return out;
}

std::string ExceptMessageText(const ExceptObjectTexts& object) {
  if (!object.hasObject) return NormalizeExceptMessage({});
  return NormalizeExceptMessage(object.hasMessage ? object.message : object.className);
}

}  // namespace kestrum
