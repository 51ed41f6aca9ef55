#include "crash/settings/KestrumRules.h"

#include <algorithm>

#include "platform/Text.h"

namespace kestrum {

namespace {

std::vector<std::string_view> Split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(sep);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 1);
  }
  return parts;
}

std::string_view TrimControls(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
  return s;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool PluginEnabled(std::string_view plugins, std::string_view name) {
  if (plugins.empty()) return false;
  for (std::string_view p : Split(plugins, '|')) {
    if (platform::EqualNoCase(p, name)) return true;
  }
  return false;
}

std::string WithPlugin(std::string_view plugins, std::string_view name, bool enabled) {
  if (enabled) {
    if (PluginEnabled(plugins, name)) return std::string(plugins);
    if (plugins.empty()) return std::string(name);
    return std::string(plugins) + "|" + std::string(name);
  }
  std::string out;
  if (plugins.empty()) return out;
  for (std::string_view p : Split(plugins, '|')) {
    if (platform::EqualNoCase(p, name)) continue;
    if (!out.empty()) out += '|';
    out.append(p);
  }
  return out;
}

std::vector<AttachmentSpec> ParseAttachments(std::string_view addAttachs) {
  std::vector<AttachmentSpec> items;
  if (addAttachs.empty()) return items;
  for (std::string_view item : Split(addAttachs, '|')) {
    if (item.empty()) continue;
    const std::vector<std::string_view> f = Split(item, '>');
    AttachmentSpec a;
    a.originalFile = f[0];
    if (f.size() > 1) a.sendAsFileName = f[1];
    if (f.size() > 2) a.zipFile = f[2];
    if (f.size() > 3) a.fieldName = f[3];
    items.push_back(std::move(a));
  }
  return items;
}

void SetFieldContent(FormCache& fields, std::string_view name, std::string_view content) {
  content = TrimControls(content);
  auto it = std::find_if(fields.begin(), fields.end(), [name](const auto& f) { return platform::EqualNoCase(f.first, name); });
  if (content.empty()) {
    if (it != fields.end()) fields.erase(it);
  } else if (it != fields.end()) {
    it->first = name;
    it->second = content;
  } else {
    fields.emplace_back(std::string(name), std::string(content));
  }
}

std::vector<std::pair<std::string, std::string>> ParseFields(std::string_view addFields) {
  FormCache fields;
  if (addFields.empty()) return fields;
  for (std::string_view item : Split(addFields, '|')) {
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    SetFieldContent(fields, item.substr(0, eq), item.substr(eq + 1));
  }
  return fields;
}

std::vector<std::string> ParseClassList(std::string_view classes) {
  std::vector<std::string> names;
  if (classes.empty()) return names;
  for (std::string_view c : Split(classes, ',')) {
    c = TrimBlanks(c);
    if (!c.empty()) names.emplace_back(c);
  }
  return names;
}

bool AutoActionOn(std::uint32_t value, const ExceptionTimes& history, std::int64_t now) {
  if (value == 0) return false;
  if (value == 1) return true;
  for (std::int64_t t : history) {
    if (t == 0 || now - t > static_cast<std::int64_t>(value)) return false;
  }
  return true;
}

FilterGroup ChooseFilterGroup(std::string_view f1Classes, std::string_view f2Classes, std::string_view className,
                              const std::vector<std::string>& ancestors) {
  auto matches = [&](std::string_view list) {
    for (const std::string& c : ParseClassList(list)) {
      if (c == className) return true;
      if (std::find(ancestors.begin(), ancestors.end(), c) != ancestors.end()) return true;
    }
    return false;
  };
  if (matches(f1Classes)) return FilterGroup::filter1;
  if (matches(f2Classes)) return FilterGroup::filter2;
  return FilterGroup::general;
}

FilterOutcome ApplyFilterGroup(const FilterGroupSettings& g, bool pauseThreads, std::int32_t scrShotDepth) {
  FilterOutcome o;
  o.createBugReport = !g.noBugRep;
  o.createScreenShot = !g.noScrShot && scrShotDepth > 0;
  o.pauseThreads = pauseThreads && !g.noSuspend;
  o.callHandlers = !g.noHandlers;
  o.showSetting = g.showCfg;
  o.showAssistant = g.assistant;
  return o;
}

bool FindAssistant(const std::vector<std::string>& definitions, std::string_view name, bool withScreenShotForm,
                   AssistantDefinition& out) {
  for (const std::string& d : definitions) {
    if (d.empty()) return false;
    const std::vector<std::string_view> f = Split(d, '|');
    if (!platform::EqualNoCase(f[0], name)) continue;
    out = AssistantDefinition{};
    out.name = f[0];
    if (f.size() > 1) out.title = f[1];
    for (std::size_t i = 2; i < f.size(); ++i) {
      if (!withScreenShotForm && f[i] == "ScrShotForm") continue;
      out.forms.emplace_back(f[i]);
    }
    return true;
  }
  return false;
}

void FillFormCache(FormCache& cache, const std::vector<FormCacheForm>& forms) {
  for (const FormCacheForm& form : forms) {
    if (!form.closedWithOk) continue;
    for (const FormCacheItem& item : form.items) {
      if (item.kind == FormCacheItem::edit) SetFieldContent(cache, item.name, item.text);
      if (item.kind == FormCacheItem::checkBox) SetFieldContent(cache, item.name, item.checked ? "+" : "-");
    }
  }
}

std::vector<bool> ReadFormCache(const FormCache& cache, std::vector<FormCacheForm>& forms) {
  std::vector<bool> allFound;
  for (FormCacheForm& form : forms) {
    bool all = true;
    for (FormCacheItem& item : form.items) {
      if (item.kind == FormCacheItem::other) continue;
      auto it = std::find_if(cache.begin(), cache.end(), [&](const auto& f) { return platform::EqualNoCase(f.first, item.name); });
      if (it == cache.end()) {
        all = false;
        continue;
      }
      if (item.kind == FormCacheItem::edit) item.text = it->second;
      if (item.kind == FormCacheItem::checkBox) item.checked = it->second == "+";
    }
    allFound.push_back(all);
  }
  return allFound;
}

}  // namespace kestrum

namespace kestrum {

std::string DecodeBase64(std::string_view text) {
  std::string out;
  if (text.size() % 4 != 0) return out;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const int v = value(c);
    if (v < 0) break;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

}  // namespace kestrum
