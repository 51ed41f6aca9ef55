#include "crash/settings/KestrumPropList.h"

#include <cstdlib>
#include <cstring>

namespace kestrum {

namespace {

void* CallocZero(std::size_t bytes) { return std::calloc(1, bytes ? bytes : 1); }
void FreeBlock(void* p) { std::free(p); }

char* CopyText(const char* text, const PropAllocator& a) {
  const std::size_t len = std::strlen(text);
  auto* copy = static_cast<char*>(a.alloc(len + 1));
  if (copy) std::memcpy(copy, text, len + 1);
  return copy;
}

bool Reserve(TZQSettingsModule& list, std::int32_t cap, const PropAllocator& a) {
  if (cap <= list.propCap) return true;
  auto* grown = static_cast<TZQProperty*>(a.alloc(sizeof(TZQProperty) * static_cast<std::size_t>(cap)));
  if (!grown) return false;
  if (list.props) {
    std::memcpy(grown, list.props, sizeof(TZQProperty) * static_cast<std::size_t>(list.propCount));
    a.release(list.props);
  }
  list.props = grown;
  list.propCap = cap;
  return true;
}

}  // namespace

const PropAllocator& HeapAllocator() {
  static const PropAllocator heap{CallocZero, FreeBlock};
  return heap;
}

TZQProperty* PropListFind(const TZQSettingsModule& list, const char* name) {
  if (!name || !list.props) return nullptr;
  for (std::int32_t i = 0; i < list.propCount; ++i) {
    if (list.props[i].name && std::strcmp(list.props[i].name, name) == 0) return &list.props[i];
  }
  return nullptr;
}

TZQProperty* PropListAppend(TZQSettingsModule& list, const char* name, TPropertyType typ, const PropAllocator& a) {
  if (!name) return nullptr;
  if (list.propCount == list.propCap && !Reserve(list, list.propCap + kPropCapStep, a)) return nullptr;
  char* copy = CopyText(name, a);
  if (!copy) return nullptr;
  TZQProperty& p = list.props[list.propCount++];
  p = TZQProperty{copy, typ, false, 0, nullptr};
  return &p;
}

void PropListFill(TZQSettingsModule& list, const std::vector<ParsedProperty>& props, const PropAllocator& a) {
  PropListClear(list, a);
  if (!Reserve(list, kInitialPropCap, a)) return;
  for (const ParsedProperty& in : props) {
    TZQProperty* p = PropListAppend(list, in.name.c_str(), in.typ, a);
    if (!p) return;
    p->vBool = in.vBool;
    p->vInt = in.vInt;
    if (!PropSetString(*p, in.vStr.c_str(), a)) return;
  }
}

void PropListClear(TZQSettingsModule& list, const PropAllocator& a) {
  for (std::int32_t i = 0; i < list.propCount; ++i) {
    if (list.props[i].name) a.release(list.props[i].name);
    if (list.props[i].vStr) a.release(list.props[i].vStr);
  }
  if (list.props) a.release(list.props);
  list.props = nullptr;
  list.propCap = 0;
  list.propCount = 0;
}

bool PropSetString(TZQProperty& prop, const char* text, const PropAllocator& a) {
  char* copy = nullptr;
  if (text && *text) {
    copy = CopyText(text, a);
    if (!copy) return false;
  }
  if (prop.vStr) a.release(prop.vStr);
  prop.vStr = copy;
  return true;
}

}  // namespace kestrum
