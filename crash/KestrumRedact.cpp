#include "crash/KestrumRedact.h"

#include <algorithm>
#include <cctype>

#include "platform/Text.h"

namespace kestrum {

namespace {

// Letters of any code page count as parts of a name: "bob" is not replaced inside "bobé".
bool NameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || u >= 0x80;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && (std::isspace(static_cast<unsigned char>(s.back())) || s.back() == '\\' || s.back() == '/')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<report::DumpRedaction> PersonalValues(const PersonalFacts& facts) {
  std::vector<report::DumpRedaction> list;
  const auto add = [&list](std::string_view value, std::string_view token) {
    value = Trimmed(value);
    if (value.empty()) return;
    for (const report::DumpRedaction& r : list)
      if (platform::EqualNoCase(r.value, value)) return;
    list.push_back({value, token});
  };
  for (const std::string& folder : facts.profileFolders) add(folder, "<profile>");
  add(facts.computerName, "<computer>");
  add(facts.userName, "<user>");
  add(facts.registeredOwner, "<owner>");
  add(facts.registeredOrganization, "<organization>");
  add(facts.clientName, "<client>");
  std::stable_sort(list.begin(), list.end(),
                   [](const report::DumpRedaction& a, const report::DumpRedaction& b) { return a.value.size() > b.value.size(); });
  return list;
}

std::string RedactPersonal(std::string_view text, const PersonalFacts& facts) {
  const std::vector<report::DumpRedaction> list = PersonalValues(facts);
  if (list.empty()) return std::string(text);

  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const bool afterName = at > 0 && NameChar(text[at - 1]);
    bool replaced = false;
    {
      for (const report::DumpRedaction& r : list) {
        if (afterName && NameChar(r.value.front())) continue;
        const std::size_t end = at + r.value.size();
        if (end > text.size() || !platform::EqualNoCase(text.substr(at, r.value.size()), r.value)) continue;
        if (end < text.size() && NameChar(text[end]) && NameChar(r.value.back())) continue;
        out += r.token;
        at = end;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[at++];
  }
  return out;
}

}  // namespace kestrum
