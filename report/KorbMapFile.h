#pragma once
// Debug information of one module: segments (address ranges of one unit), publics (names and
// start addresses) and line entries, loaded from the container the build step embeds in the
// program, or from TD32 data, a linker map, a container file or a JCL debug file beside it. The
// container's payload is enciphered (KestrumBlowfish.h) and compressed (KorbCodecs.h).
//
// Everything here is pure: what the constructor needs from the system (the loaded image, its
// resources, the files beside it) comes through report::DebugInfoSource, which KorbMapFile_win.cpp
// implements for loaded modules and KestrumPeFile.h for program files read from disk. The
// process-wide cache and the address lookups on top of it live in KorbMapFile_win.h.
//
// Every input is untrusted: a container, stream, map or debug file may be truncated or damaged,
// and reading one never goes past its data nor allocates more than its size can justify.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Object.h"

struct TMfSegment {
  bool IsValid = false;
  bool Code = false;
  std::uint32_t StartAddress = 0;
  std::uint32_t Length = 0;
  std::string Unit_;
  bool LineNumbers = false;  // only meaningful with minimal debug information
};

struct TMfPublic {
  bool IsValid = false;
  bool Code = false;
  std::string Name;
  std::uint32_t Address = 0;
};

struct TMfLine {
  std::int32_t Line = 0;
  std::uint32_t Address = 0;
};

namespace report {

// The container's fixed values, shared by the reader and the build step.
inline constexpr std::string_view kDebugInfoSignature = "KestrumDbgInfo";
inline constexpr std::size_t kMinDebugInfoLength = 31;

// The 31-character identifier of a full container: its length and its words at N+8 and N+12.
std::string MinDebugInfoIdentifier(std::uint32_t totalLength, std::uint32_t dateTime, std::uint32_t crcCopy);

// The header of a container, when its total length, signature and version pass.
struct ContainerHeader {
  std::uint32_t payloadLength = 0;
  std::uint32_t version = 0;
  std::uint32_t dateTime = 0;  // DOS date in the low word, DOS time in the high word (as stored)
  std::uint32_t crcCopy = 0;
  std::uint32_t flags = 0;
  std::size_t payloadOffset = 0;
};
std::optional<ContainerHeader> ParseContainerHeader(std::string_view data);

// The current UTC time as DOS date (low word) and DOS time (high word), as the container stores it.
std::uint32_t DosDateTimeNowUtc();

// What the constructor needs from the system.
class DebugInfoSource {
 public:
  enum class Resource { debugInfo, settings };  // "KORB"/"EXCEPT" and RCDATA "TKESTRUM"
  virtual ~DebugInfoSource() = default;
  // The module as loaded (headers and sections at their virtual addresses); empty when there is no
  // mapped image.
  virtual std::span<const std::uint8_t> Image() = 0;
  virtual bool ReadResource(Resource which, std::string& data) = 0;
  // The whole file, opened for reading and shared; false when it cannot be opened or read.
  virtual bool ReadFile(const std::string& path, std::string& data) = 0;
  // The day of the file's last write (any steady day count); nothing when it does not exist.
  virtual std::optional<std::int64_t> FileDay(const std::string& path) = 0;
};

// Values of a PE32 image's headers the debug information depends on, all checked to lie inside the
// given bytes.
struct ImageLayout {
  std::uint32_t baseOfCode = 0;  // relative to the image base
  std::uint32_t topOfCode = 0;
  bool twoCodeSections = false;
  std::uint32_t baseOfData = 0;
  std::uint32_t topOfData = 0;
  std::uint32_t entryPoint = 0;
  std::uint32_t debugDirectory = 0;  // relative address, 0 when none
  std::uint32_t debugDirectorySize = 0;
  std::uint32_t sizeOfImage = 0;
  std::uint32_t imageBase = 0;
};
std::optional<ImageLayout> ReadImageLayout(std::span<const std::uint8_t> headers);

}  // namespace report

class TMapFile : public TObject {
 public:
  enum class SegmentAdd { plain, merging, mergingSorted };

  // An empty, invalid object.
  TMapFile();
  // Loads the debug information of the module hInstance (0: none) whose file is moduleFileName.
  TMapFile(bool valid, const std::string& moduleFileName, std::uint32_t hInstance, bool codeOnly, bool onlyAcceptKorbFile,
           report::DebugInfoSource& source);
  // An object to be filled through the table-building operations (the build step): no module,
  // base of code 0, valid.
  static std::unique_ptr<TMapFile> ForBuilding(bool codeOnly);

  bool IsValid() const { return FValid; }
  const std::string& MinDebugInfo() const { return FMinDebugInfo; }
  std::uint32_t EntryPoint() const { return FEntryPoint; }
  std::uint32_t BaseOfCode() const { return FBaseOfCode; }
  std::uint32_t TopOfCode() const { return FTopOfCode; }
  const std::string& ModuleFileName() const { return FModuleFileName; }
  const std::string& MapFileName() const { return FMapFileName; }
  // Whether the loaded stream holds minimal information (placeholder names, no lines).
  bool HoldsMinimalInfo() const { return minimalInfo_; }

  TMfSegment FindSegment(bool code, std::uint32_t address) const;
  TMfSegment FindSegment(int index) const;
  TMfPublic FindPublic(std::uint32_t address) const;
  std::uint32_t FindPublic(bool code, const std::string& unit_, const std::string& name, bool caseSensitive) const;
  TMfPublic FindPublic(int index) const;
  std::int32_t FindLine(std::uint32_t address) const;
  std::int32_t FindLine(std::uint32_t address, std::uint32_t& next) const;
  int SegmentCount() const { return static_cast<int>(FSItems.size()); }
  int PublicCount() const { return static_cast<int>(FPItems.size()); }
  int LineCount() const { return static_cast<int>(FLItems.size()); }
  TMfLine LineAt(int index) const { return FLItems.at(static_cast<std::size_t>(index)); }

  std::string Export(bool newFormat, bool minDebugInfoOnly, bool hideUglyItems) const;
  std::string Export(bool newFormat, bool minDebugInfoOnly, bool hideUglyItems, std::uint32_t dosDateTime) const;

  // Table building, for the readers and the build step.
  void AddSegment(bool code, bool relative, std::uint32_t address, std::string unit, std::uint32_t length, SegmentAdd how);
  void AddPublic(bool code, std::string name, std::uint32_t address, bool segmentKeeping);
  // A public whose name needs no demangling and no unit rules (the build step demangles itself).
  void AddPublicAsIs(bool code, std::string name, std::uint32_t address);
  void AddLine(std::int32_t line, std::uint32_t address, bool checked);
  void CompactSegments(bool closing);
  void SortSegments();
  void SortPublics();
  void SortLines();
  void SetEntryPoint(std::uint32_t address) { FEntryPoint = address; }
  void SetCodeRange(std::uint32_t base, std::uint32_t top) {
    FBaseOfCode = base;
    FTopOfCode = top;
  }

  // A container (resource data or ".korb" file); false when it is rejected.
  bool LoadDebugInfoStream(std::string_view data);
  // The fallback readers (KestrumDebugFiles.cpp).
  void ParseMapText(std::string_view text);
  bool ReadJclDebugFile(const std::string& fileName);
  bool ReadJclDebugData(std::span<const std::uint8_t> file);
  bool ReadTd32();
  bool ReadTd32Data(std::span<const std::uint8_t> data);

 private:
  // FindSegment without the validity check, for the readers while the object is being built.
  const TMfSegment* LocateSegment(bool code, std::uint32_t address) const;
  bool LoadDebugInfoResource();
  bool FindDebugFile(bool onlyAcceptKorbFile);
  void ReadStream(std::string_view data, bool minimal);
  std::string SiblingBase() const;
  bool SegmentUnitIs(bool code, std::uint32_t address, std::string_view name, std::size_t& unitLength) const;

  bool FCodeOnly = false;
  std::vector<TMfSegment> FSItems;
  std::vector<TMfPublic> FPItems;
  std::vector<TMfLine> FLItems;
  std::uint32_t FEntryPoint = 0;
  std::uint32_t FBaseOfData = 0;
  std::uint32_t FTopOfData = 0;
  std::uint32_t FHInstance = 0;
  bool FValid = false;
  std::uint32_t FBaseOfCode = 0;
  std::uint32_t FTopOfCode = 0;
  std::string FModuleFileName;
  std::string FMapFileName;
  std::string FMinDebugInfo;

  report::DebugInfoSource* source_ = nullptr;  // only during construction
  std::optional<report::ImageLayout> layout_;
  bool minimalInfo_ = false;
  int lastSegment_[2] = {-1, -1};  // per kind (data, code): the segment merging extends
};
