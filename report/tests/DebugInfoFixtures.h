// Small fixtures of the debug-information tests: a module in memory (image headers, resources,
// files beside it) and containers around hand-made streams.
#pragma once

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "platform/Bytes.h"
#include "report/KestrumBlowfish.h"
#include "report/KorbCodecs.h"
#include "report/KorbMapFile.h"

namespace report::testing {

inline std::string FromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

inline std::string ToHex(std::string_view bytes) {
  std::string out;
  char two[3];
  for (const char c : bytes) {
    std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(c));
    out += two;
  }
  return out;
}

inline std::string Stream(const TMiniStream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<std::size_t>(stream.Size()));
}

// A version 3 container around an uncompressed stream, made the way the format describes it.
inline std::string ContainerFor(const std::string& stream, std::uint32_t flags = 0) {
  std::string block = CompressBlock(stream);
  const std::string key = MakeDebugInfoKey(static_cast<std::uint32_t>(block.size()));
  Blowfish(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()))
      .Encipher(std::span(reinterpret_cast<std::uint8_t*>(block.data()), block.size()));
  std::string header(kDebugInfoSignature);
  header.resize(header.size() + 20);
  auto* fields = reinterpret_cast<std::uint8_t*>(header.data()) + kDebugInfoSignature.size();
  platform::StoreLe32(fields, static_cast<std::uint32_t>(block.size()));
  platform::StoreLe32(fields + 4, 3);
  platform::StoreLe32(fields + 8, 0x5A5A0101);
  platform::StoreLe32(fields + 12, platform::LoadLe32(reinterpret_cast<const std::uint8_t*>(block.data()) + 8));
  platform::StoreLe32(fields + 16, flags);
  std::string out = header + block;
  out.resize((out.size() + 3) / 4 * 4, '\0');
  return out;
}

// A module "C:\app\Prog.exe" loaded at 0x00400000 with one code section at 0x1000 (0x2000 bytes).
class FakeModule : public DebugInfoSource {
 public:
  static constexpr std::uint32_t kBase = 0x00400000;
  std::map<Resource, std::string> resources;
  std::map<std::string, std::string> files;
  std::map<std::string, std::int64_t> days;
  std::string image = MakeImage();

  std::uint32_t BaseOfCode() const { return kBase + 0x1000; }

  std::unique_ptr<TMapFile> Load(bool onlyAcceptKorbFile = false) {
    return std::make_unique<TMapFile>(true, "C:\\app\\Prog.exe", kBase, false, onlyAcceptKorbFile, *this);
  }

  static std::string SettingsWithMinDebugInfo(const std::string& identifier) {
    return std::string(
               "\x05"
               "Other\x0C\x03\0\0\0abc",
               14) +
           std::string("\x0CMinDebugInfo\x0C\x1F\0\0\0", 18) + identifier + "tail";
  }

  std::span<const std::uint8_t> Image() override { return {reinterpret_cast<const std::uint8_t*>(image.data()), image.size()}; }
  bool ReadResource(Resource which, std::string& data) override {
    const auto it = resources.find(which);
    if (it == resources.end()) return false;
    data = it->second;
    return true;
  }
  bool ReadFile(const std::string& path, std::string& data) override {
    const auto it = files.find(path);
    if (it == files.end()) return false;
    data = it->second;
    return true;
  }
  std::optional<std::int64_t> FileDay(const std::string& path) override {
    if (!files.count(path)) return std::nullopt;
    const auto it = days.find(path);
    return it == days.end() ? 0 : it->second;
  }

 private:
  static std::string MakeImage() {
    std::string image(0x400, '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(image.data());
    p[0] = 'M';
    p[1] = 'Z';
    platform::StoreLe32(p + 0x3C, 0x80);
    platform::StoreLe32(p + 0x80, 0x00004550);
    p[0x80 + 6] = 1;      // sections
    p[0x80 + 20] = 0xE0;  // optional header size
    std::uint8_t* o = p + 0x98;
    o[0] = 0x0B;
    o[1] = 0x01;
    platform::StoreLe32(o + 4, 0x2000);   // size of code
    platform::StoreLe32(o + 8, 0x800);    // initialised data
    platform::StoreLe32(o + 12, 0x200);   // uninitialised data
    platform::StoreLe32(o + 16, 0x1044);  // entry
    platform::StoreLe32(o + 20, 0x1000);
    platform::StoreLe32(o + 24, 0x3000);
    platform::StoreLe32(o + 28, kBase);
    platform::StoreLe32(o + 56, 0x4000);
    platform::StoreLe32(o + 92, 16);
    std::uint8_t* section = o + 0xE0;
    std::memcpy(section, ".text", 5);
    platform::StoreLe32(section + 8, 0x2000);
    platform::StoreLe32(section + 12, 0x1000);
    platform::StoreLe32(section + 36, 0x60000020);
    return image;
  }
};

}  // namespace report::testing
