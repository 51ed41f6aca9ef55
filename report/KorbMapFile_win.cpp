#include "report/KorbMapFile_win.h"

#include <windows.h>

#include <vector>

#include "platform/Handles_win.h"

namespace {

// The loaded module as the pure constructor sees it.
class LoadedModuleSource : public report::DebugInfoSource {
 public:
  explicit LoadedModuleSource(HMODULE module) : module_(module) {}

  std::span<const std::uint8_t> Image() override {
    const auto* base = reinterpret_cast<const std::uint8_t*>(module_);
    // Only what is committed and readable from the base on counts as the image.
    std::size_t readable = 0;
    MEMORY_BASIC_INFORMATION region;
    while (readable < kMostImage && VirtualQuery(base + readable, &region, sizeof region) && region.State == MEM_COMMIT &&
           region.AllocationBase == module_ && !(region.Protect & (PAGE_NOACCESS | PAGE_GUARD))) {
      readable = static_cast<std::size_t>(static_cast<const std::uint8_t*>(region.BaseAddress) - base) + region.RegionSize;
    }
    return {base, readable};
  }

  bool ReadResource(Resource which, std::string& data) override {
    const HRSRC found =
        which == Resource::debugInfo ? FindResourceA(module_, "EXCEPT", "KORB") : FindResourceA(module_, "TKESTRUM", MAKEINTRESOURCEA(10));
    if (!found) return false;
    const HGLOBAL loaded = LoadResource(module_, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return false;
    data.assign(static_cast<const char*>(bytes), SizeofResource(module_, found));
    return true;
  }

  bool ReadFile(const std::string& path, std::string& data) override {
    platform::ScopedFileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMostFile) return false;
    std::string content(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD done = 0;
    for (std::size_t at = 0; at < content.size(); at += done) {
      if (!::ReadFile(file.Get(), content.data() + at, static_cast<DWORD>(content.size() - at), &done, nullptr) || done == 0) return false;
    }
    data = std::move(content);
    return true;
  }

  std::optional<std::int64_t> FileDay(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes)) return std::nullopt;
    FILETIME local;
    FileTimeToLocalFileTime(&attributes.ftLastWriteTime, &local);
    const std::uint64_t ticks = static_cast<std::uint64_t>(local.dwHighDateTime) << 32 | local.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 864000000000ull);
  }

 private:
  static constexpr std::size_t kMostImage = 512u << 20;
  static constexpr LONGLONG kMostFile = 256 << 20;
  HMODULE module_;
};

// The DOS date (high word) and time (low word) of the file's last write; 0 when it cannot be read.
// Asked once per module and round of lookups (see RecheckDebugInfoFiles).
std::uint32_t FileDosTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes)) return 0;
  FILETIME local;
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&attributes.ftLastWriteTime, &local) || !FileTimeToDosDateTime(&local, &date, &time)) return 0;
  return static_cast<std::uint32_t>(date) << 16 | time;
}

// How long a module's file time, once checked, stands for the round of lookups: its own 2-second
// resolution, so that nobody who never starts a new round waits longer for a rebuilt file than the
// time stamp itself lets anyone notice.
constexpr DWORD kCheckedFor = 2000;

struct CacheEntry {
  std::string fileName;
  std::uint32_t time;
  std::shared_ptr<const TMapFile> map;
  // Where the module was loaded when its file time was last checked, and when that was. The query
  // of the region, the module's name and the file's attributes cost several times the lookup itself
  // under Wine; a report asks for hundreds of addresses in a few modules.
  std::uintptr_t base = 0, end = 0;
  unsigned round = 0;
  DWORD checkedAt = 0;
};

struct Cache {
  platform::CriticalSection lock;
  std::vector<CacheEntry> entries;
  unsigned round = 1;
};

std::uintptr_t ImageEnd(HMODULE module, const MEMORY_BASIC_INFORMATION& region) {
  const auto base = reinterpret_cast<std::uintptr_t>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  if (dos->e_magic == IMAGE_DOS_SIGNATURE && dos->e_lfanew > 0 && dos->e_lfanew < 4096) {
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    if (nt->Signature == IMAGE_NT_SIGNATURE && nt->OptionalHeader.SizeOfImage) return base + nt->OptionalHeader.SizeOfImage;
  }
  return reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
}

// Marks entry i as the module loaded at [base, end), checked now; no other entry keeps that range.
void Remember(Cache& cache, std::size_t i, std::uintptr_t base, std::uintptr_t end) {
  for (CacheEntry& other : cache.entries)
    if (other.base < end && base < other.end) other.base = other.end = 0;
  CacheEntry& entry = cache.entries[i];
  entry.base = base;
  entry.end = end;
  entry.round = cache.round;
  entry.checkedAt = GetTickCount();
}

// Lives until the process ends: lookups may come from threads that run while it exits.
Cache& TheCache() {
  static Cache* cache = new Cache;
  return *cache;
}

bool SameName(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

std::shared_ptr<const TMapFile> Invalid() { return std::make_shared<const TMapFile>(); }

// The address of something in this component, for "no address".
void ComponentMarker() {}

}  // namespace

std::shared_ptr<const TMapFile> DebugInfoForAddress(const void* address) {
  try {
    if (!address) address = reinterpret_cast<const void*>(&ComponentMarker);
    Cache& cache = TheCache();
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    {
      platform::AutoLock hold(cache.lock);
      const DWORD now = GetTickCount();
      for (const CacheEntry& entry : cache.entries)
        if (entry.base <= at && at < entry.end && entry.round == cache.round && now - entry.checkedAt < kCheckedFor) return entry.map;
    }
    MEMORY_BASIC_INFORMATION region;
    if (!VirtualQuery(address, &region, sizeof region) || region.State != MEM_COMMIT || !region.AllocationBase) return Invalid();
    const HMODULE module = static_cast<HMODULE>(region.AllocationBase);
    char name[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(module, name, sizeof name);
    if (length == 0 || length >= sizeof name) return Invalid();
    const std::string fileName(name, length);
    const std::uint32_t time = FileDosTime(fileName);
    const auto base = reinterpret_cast<std::uintptr_t>(module);
    const std::uintptr_t end = ImageEnd(module, region);

    platform::AutoLock hold(cache.lock);
    for (std::size_t i = 0; i < cache.entries.size(); ++i) {
      if (!SameName(cache.entries[i].fileName, fileName)) continue;
      if (cache.entries[i].time == time) {
        Remember(cache, i, base, end);
        return cache.entries[i].map;
      }
      // Rewritten since: the entry goes (the last one takes its place), holders keep their object.
      cache.entries[i] = std::move(cache.entries.back());
      cache.entries.pop_back();
      break;
    }
    LoadedModuleSource source(module);
    auto map = std::make_shared<const TMapFile>(true, fileName, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(module)), false,
                                                false, source);
    cache.entries.push_back({fileName, time, map});
    Remember(cache, cache.entries.size() - 1, base, end);
    return map;
  } catch (...) { return Invalid(); }
}

__attribute__((noinline)) bool DescribeAddress(const void* address, std::string& moduleFile, std::string& unit, std::int32_t& line,
                                               std::uint32_t& publicAddress, std::string& publicName) {
  if (!address) address = static_cast<const std::uint8_t*>(__builtin_return_address(0)) - 1;
  const auto map = DebugInfoForAddress(address);
  if (!map->IsValid()) return false;
  const std::uint32_t at = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
  moduleFile = map->ModuleFileName();
  const TMfSegment segment = map->FindSegment(true, at);
  unit = segment.IsValid ? segment.Unit_ : std::string();
  const TMfPublic item = map->FindPublic(at);
  publicName = item.IsValid ? item.Name : std::string();
  publicAddress = item.IsValid ? item.Address : 0;
  line = std::max(map->FindLine(at), 0);
  return true;
}

std::string ProcNameOfAddress(const void* address) {
  const auto map = DebugInfoForAddress(address);
  if (!address || !map->IsValid()) return {};
  const std::uint32_t at = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
  const TMfPublic item = map->FindPublic(at);
  if (!item.IsValid || item.Address != at) return {};
  const TMfSegment segment = map->FindSegment(true, at);
  std::string text = segment.IsValid && !segment.Unit_.empty() ? segment.Unit_ + "." : std::string();
  text += item.Name;
  if (text.find('%') != std::string::npos && !map->ModuleFileName().empty()) {
    const std::string& file = map->ModuleFileName();
    text += " (" + file.substr(file.find_last_of("\\/") + 1) + ")";
  }
  return text;
}

void LineOfAddress(const void* address, std::int32_t& line, std::uint32_t& rangeStart, std::uint32_t& rangeEnd) {
  if (!address) return;
  const std::uint32_t at = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
  if (line != 0 && rangeStart <= at && at < rangeEnd) return;
  const auto map = DebugInfoForAddress(address);
  if (!map->IsValid()) return;
  std::uint32_t next = rangeEnd;
  line = std::max(map->FindLine(at, next), 0);
  rangeEnd = next;
  rangeStart = at;
}

namespace report {

void RecheckDebugInfoFiles() {
  Cache& cache = TheCache();
  platform::AutoLock hold(cache.lock);
  ++cache.round;
}

void ClearDebugInfoCache() {
  Cache& cache = TheCache();
  std::vector<CacheEntry> gone;
  {
    platform::AutoLock hold(cache.lock);
    gone.swap(cache.entries);
  }
}

void PrepareLoadedModules() {
  MEMORY_BASIC_INFORMATION region;
  const char* address = nullptr;
  while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_IMAGE && region.BaseAddress == region.AllocationBase)
      DebugInfoForAddress(region.AllocationBase);
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;  // the top of the address space
    address = next;
  }
}

std::size_t DebugInfoCacheSize() {
  Cache& cache = TheCache();
  platform::AutoLock hold(cache.lock);
  return cache.entries.size();
}

}  // namespace report
