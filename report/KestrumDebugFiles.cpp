// The fallback readers of debug information: the linker's text map, JCL binary debug files and
// TD32 data. They fill a TMapFile under construction through its table-building operations.
#include <algorithm>
#include <cstring>

#include "report/KestrumLe.h"
#include "report/KorbMapFile.h"

using report::LoadLe16;
using report::LoadLe32;

void TMapFile::ParseMapText(std::string_view) {}

bool TMapFile::ReadJclDebugFile(const std::string& fileName) {
  std::string data;
  if (!source_ || !source_->ReadFile(fileName, data)) return false;
  return ReadJclDebugData(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

bool TMapFile::ReadJclDebugData(std::span<const std::uint8_t>) { return false; }

bool TMapFile::ReadTd32() { return false; }

bool TMapFile::ReadTd32Data(std::span<const std::uint8_t>) { return false; }
