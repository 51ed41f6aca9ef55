// The import address tables of a module image as the loader laid it out (offsets are relative
// virtual addresses). The thread creation wrappers are put into these slots; the walk checks
// every offset against the image's size, so a damaged or hostile header ends the walk instead of
// reading outside the image.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrum {

struct ImportSlot {
  std::uint32_t slotRva = 0;  // where the slot lies in the image
  std::string library;        // the library it was bound from, as the import directory names it
  bool operator==(const ImportSlot&) const = default;
};

// Every slot of every import address table of the image, in directory order. An image without an
// import directory has none; nothing (nullopt) when the headers or the import directory do not
// lie inside the image (the module is then left alone). Tables and names that run past the end of
// the image end at that point; at most maxSlots slots are listed.
std::optional<std::vector<ImportSlot>> ImportSlots(std::span<const std::uint8_t> image, std::size_t maxSlots = 65536);

// True when the library name is one of the system's own thread and loader libraries, whose import
// tables are not ours to change (compared without regard to case).
bool IsSystemCoreLibrary(std::string_view fileName);

}  // namespace kestrum
