// A program file read from disk as the loader would lay it out, and the debug-information source
// over it: for the tools that look up addresses of a program without running it, and for tests.
// Pure: the file's bytes are untrusted and every offset in it is checked.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "report/KorbMapFile.h"

namespace report {

// Headers and sections copied to their virtual addresses; nothing when the file is no PE32 image
// or claims an image larger than mostBytes.
inline constexpr std::uint32_t kMaxLaidOutImage = 256u << 20;
std::optional<std::string> LayOutImage(std::string_view file, std::uint32_t mostBytes = kMaxLaidOutImage);

// A resource of a laid-out image, by type and name (a number or a text), in its first language.
using ResourceId = std::variant<std::uint16_t, std::string>;
bool FindImageResource(std::span<const std::uint8_t> image, const ResourceId& type, const ResourceId& name, std::string& data);

// The whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& data);

// The debug-information source of a program file: its laid-out image and resources, and the files
// beside it on this machine's file system.
class ImageFileSource : public DebugInfoSource {
 public:
  explicit ImageFileSource(std::string image) : image_(std::move(image)) {}
  std::span<const std::uint8_t> Image() override { return {reinterpret_cast<const std::uint8_t*>(image_.data()), image_.size()}; }
  bool ReadResource(Resource which, std::string& data) override;
  bool ReadFile(const std::string& path, std::string& data) override { return ReadWholeFile(path, data); }
  std::optional<std::int64_t> FileDay(const std::string& path) override;

 private:
  std::string image_;
};

}  // namespace report
