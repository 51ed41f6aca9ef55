#include "report/KorbDemangle.h"

#include <string_view>

namespace {

void ReplaceScopes(std::string& name) {
  std::size_t at = 0;
  while ((at = name.find("::", at)) != std::string::npos) name.replace(at, 2, ".");
}

}  // namespace

void Demangle(std::string& name, std::string& unit) {
  unit.clear();
  ReplaceScopes(name);
  if (name.empty() || name[0] != '@') return;

  std::string suffix;
  if (name.size() >= 2 && name[1] == '%') {
    const std::size_t at = name.rfind("%@");
    if (at != std::string::npos && at >= 2) suffix = "." + name.substr(at + 2);
  }
  std::size_t start = 2;
  if (name.size() >= 7 && name[1] == '_' && name[2] == '$') {
    const std::size_t dollar = name.find('$', 4);
    if (dollar != std::string::npos && dollar + 1 < name.size() && name[dollar + 1] == '@') start = dollar + 1;
  }
  bool destructor = false;
  bool cut = false;
  for (std::size_t i = start; i < name.size(); ++i) {
    if (name[i] == '$') {
      destructor = name.size() - i - 1 >= 2 && name[i + 2] == 'd';
      name.erase(i);
      name += suffix;
      cut = true;
      break;
    }
    if (name[i] == '@') {
      name[i] = '.';
      if (unit.empty()) unit = name.substr(1, i - 1);
    }
  }
  if (!unit.empty()) {
    if (name.size() > unit.size() + 2) {
      name.erase(0, unit.size() + 2);
      cut = false;
    } else {
      unit.clear();
    }
  }
  if (cut && !name.empty()) name.erase(0, 1);
  if (!name.empty() && name[0] == '%')
    name.erase(0, 1);
  else if (!name.empty() && name[0] == '.')
    name[0] = '@';
  if (!name.empty() && name.back() == '.') name += destructor ? "Destroy" : "Create";
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!name.empty() && blank(name.back())) name.pop_back();
  std::size_t lead = 0;
  while (lead < name.size() && blank(name[lead])) ++lead;
  name.erase(0, lead);
  if (!name.empty() && name.back() == '.') name += '?';
}
