// The growable property array of one module's list. The memory comes from an allocator handed in
// (the process-wide local heap on Windows) so that any copy of the component can free it.
#pragma once

#include "crash/settings/KestrumResource.h"
#include "crash/settings/KestrumSettingsTypes.h"

#include <cstddef>
#include <vector>

namespace kestrum {

struct PropAllocator {
  void* (*alloc)(std::size_t bytes);  // zero-filled memory or nullptr
  void (*release)(void* block);
};

// calloc/free, for host builds and tests.
const PropAllocator& HeapAllocator();

constexpr std::int32_t kInitialPropCap = 131;
constexpr std::int32_t kPropCapStep = 20;

// First property with exactly this name, or nullptr.
TZQProperty* PropListFind(const TZQSettingsModule& list, const char* name);

// Appends a property with the name and type and no value; grows the array by kPropCapStep
// records when full. nullptr when memory runs out.
TZQProperty* PropListAppend(TZQSettingsModule& list, const char* name, TPropertyType typ, const PropAllocator& a);

// Replaces the list's content by the parsed properties (room for kInitialPropCap records first).
void PropListFill(TZQSettingsModule& list, const std::vector<ParsedProperty>& props, const PropAllocator& a);

// Frees every name, string and the array; the list is empty afterwards.
void PropListClear(TZQSettingsModule& list, const PropAllocator& a);

// Replaces a property's string (nullptr for an empty text). False when memory runs out.
bool PropSetString(TZQProperty& prop, const char* text, const PropAllocator& a);

}  // namespace kestrum
