#include "report/KestrumPeFile.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/Bytes.h"

namespace report {

namespace {

bool Inside(std::size_t size, std::uint64_t offset, std::uint64_t length) { return offset <= size && length <= size - offset; }

}  // namespace

std::optional<std::string> LayOutImage(std::string_view file, std::uint32_t mostBytes) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.data());
  const auto layout = ReadImageLayout(std::span(bytes, file.size()));
  if (!layout || layout->sizeOfImage == 0 || layout->sizeOfImage > mostBytes) return std::nullopt;
  const std::uint32_t nt = platform::LoadLe32(bytes + 0x3C);
  const std::uint16_t sections = platform::LoadLe16(bytes + nt + 6);
  const std::size_t table = nt + 24 + platform::LoadLe16(bytes + nt + 20);
  const std::uint32_t headers = platform::LoadLe32(bytes + nt + 24 + 60);
  std::string image(layout->sizeOfImage, '\0');
  const std::size_t headerBytes = std::min<std::size_t>({headers, file.size(), image.size()});
  image.replace(0, headerBytes, file.substr(0, headerBytes));
  for (std::uint16_t i = 0; i < sections; ++i) {
    const std::uint8_t* s = bytes + table + 40u * i;
    const std::uint32_t virtualSize = platform::LoadLe32(s + 8), address = platform::LoadLe32(s + 12);
    const std::uint32_t rawSize = platform::LoadLe32(s + 16), rawOffset = platform::LoadLe32(s + 20);
    std::uint64_t length = std::min(virtualSize ? virtualSize : rawSize, rawSize);
    if (!Inside(file.size(), rawOffset, 0) || address >= image.size()) continue;
    length = std::min<std::uint64_t>(
        {length, static_cast<std::uint64_t>(file.size() - rawOffset), static_cast<std::uint64_t>(image.size() - address)});
    image.replace(address, static_cast<std::size_t>(length), file.substr(rawOffset, static_cast<std::size_t>(length)));
  }
  return image;
}

bool FindImageResource(std::span<const std::uint8_t> image, const ResourceId& type, const ResourceId& name, std::string& data) {
  const auto layout = ReadImageLayout(image);
  if (!layout) return false;
  const std::uint32_t nt = platform::LoadLe32(&image[0x3C]);
  if (platform::LoadLe32(&image[nt + 24 + 92]) <= 2 || platform::LoadLe16(&image[nt + 20]) < 96 + 3 * 8) return false;
  const std::uint32_t root = platform::LoadLe32(&image[nt + 24 + 96 + 2 * 8]);
  const std::uint32_t rootSize = platform::LoadLe32(&image[nt + 24 + 96 + 2 * 8 + 4]);
  if (root == 0 || !Inside(image.size(), root, rootSize)) return false;
  const std::span<const std::uint8_t> directory = image.subspan(root, rootSize);

  const auto matches = [&directory](std::uint32_t entryName, const ResourceId* wanted) {
    if (!wanted) return true;
    if (!(entryName & 0x80000000u)) return std::holds_alternative<std::uint16_t>(*wanted) && std::get<std::uint16_t>(*wanted) == entryName;
    if (!std::holds_alternative<std::string>(*wanted)) return false;
    const std::string& text = std::get<std::string>(*wanted);
    const std::uint32_t at = entryName & 0x7FFFFFFFu;
    if (!Inside(directory.size(), at, 2)) return false;
    const std::uint16_t length = platform::LoadLe16(&directory[at]);
    if (length != text.size() || !Inside(directory.size(), at + 2, 2u * length)) return false;
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint16_t c = platform::LoadLe16(&directory[at + 2 + 2 * i]);
      const char upper = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 32) : text[i];
      if (c != static_cast<unsigned char>(upper) && c != static_cast<unsigned char>(text[i])) return false;
    }
    return true;
  };
  // Three levels: type, name, language (the first one).
  const ResourceId* wanted[3] = {&type, &name, nullptr};
  std::uint32_t table = 0;
  for (int level = 0; level < 3; ++level) {
    if (!Inside(directory.size(), table, 16)) return false;
    const std::uint32_t count =
        static_cast<std::uint32_t>(platform::LoadLe16(&directory[table + 12])) + platform::LoadLe16(&directory[table + 14]);
    std::optional<std::uint32_t> found;
    for (std::uint32_t i = 0; i < count && !found; ++i) {
      const std::uint64_t entry = table + 16 + 8ull * i;
      if (!Inside(directory.size(), entry, 8)) return false;
      if (matches(platform::LoadLe32(&directory[entry]), wanted[level])) found = platform::LoadLe32(&directory[entry + 4]);
    }
    if (!found) return false;
    const bool subdirectory = (*found & 0x80000000u) != 0;
    if (subdirectory != (level < 2)) return false;
    table = *found & 0x7FFFFFFFu;
  }
  if (!Inside(directory.size(), table, 16)) return false;
  const std::uint32_t address = platform::LoadLe32(&directory[table]), size = platform::LoadLe32(&directory[table + 4]);
  if (!Inside(image.size(), address, size)) return false;
  data.assign(reinterpret_cast<const char*>(&image[address]), size);
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  data = std::move(content);
  return true;
}

bool ImageFileSource::ReadResource(Resource which, std::string& data) {
  if (which == Resource::debugInfo) return FindImageResource(Image(), std::string("KORB"), std::string("EXCEPT"), data);
  return FindImageResource(Image(), std::uint16_t{10}, std::string("TKESTRUM"), data);
}

std::optional<std::int64_t> ImageFileSource::FileDay(const std::string& path) {
  std::error_code error;
  const auto time = std::filesystem::last_write_time(path, error);
  if (error) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::days>(time.time_since_epoch()).count();
}

}  // namespace report
