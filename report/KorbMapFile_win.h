#pragma once
// The process-wide debug-info cache and the address lookups on top of it.
//
// Objects are shared: an entry replaced because its module file was rewritten stays valid for
// whoever still holds it. Lookups are answered from any thread; the cache takes a lock, the loaded
// objects are read-only. A module without debug information is cached too (its invalid object),
// so that it costs no image parse and file probes at every lookup; addresses outside any module
// are never cached.

#include <cstdint>
#include <memory>
#include <string>

#include "report/KorbMapFile.h"

// The debug information of the module that contains address (null: the module that contains this
// component). Never null: an invalid object when the address lies in no module or the module has
// no debug information.
std::shared_ptr<const TMapFile> DebugInfoForAddress(const void* address = nullptr);

// Everything a report prints about one code address. False, with the outputs unchanged, when there
// is no debug information; a null address describes the caller's call site.
bool DescribeAddress(const void* address, std::string& moduleFile, std::string& unit, std::int32_t& line, std::uint32_t& publicAddress,
                     std::string& publicName);

// "Unit.Name" of a public that begins exactly at address, else empty. Placeholder names of
// minimal information get " (module file name)" appended.
std::string ProcNameOfAddress(const void* address);

// The line of address, remembering [rangeStart, rangeEnd) in which the previous answer holds.
void LineOfAddress(const void* address, std::int32_t& line, std::uint32_t& rangeStart, std::uint32_t& rangeEnd);

namespace report {

// Starts a new round of lookups: the next lookup in each module checks the module file's time again
// (a rebuilt file is read again). A report calls it when it starts; without it a check stands for
// two seconds, the file time's own resolution.
void RecheckDebugInfoFiles();
// Empties the cache (the component's finalisation); objects still held elsewhere stay valid.
void ClearDebugInfoCache();
// Fills the cache for every module loaded now, so that a report finds their debug information (or
// their lack of it) ready instead of parsing images and probing for files while the user waits.
void PrepareLoadedModules();
// How many modules the cache holds, for tests.
std::size_t DebugInfoCacheSize();

}  // namespace report
