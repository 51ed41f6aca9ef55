// Names in the component's temporary folder "<temp>\<program name>.Kestrum\" and which of them may
// be removed. Several copies of the program, and several background deliveries of one copy, use
// the folder at once, so each process works in a subfolder of its own named after its id and
// creation time, and each delivery in a numbered subfolder of that. A folder goes only when its
// owner is known to have ended; names that are not ours are never touched.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrum {

// "Kelvane.Kestrum" for "C:\Tools\Kelvane.exe": the file name without folder and extension.
std::string ComponentFolderName(std::string_view programPath);

// A process is known by its id together with its creation time (100 ns units): ids are reused.
struct FolderOwner {
  std::uint32_t processId = 0;
  std::uint64_t creationTime = 0;
  bool operator==(const FolderOwner&) const = default;
};

// "p0000012c-01dc2b3a4f5e6d70"; parsing accepts exactly what formatting writes.
std::string ProcessFolderName(const FolderOwner& owner);
std::optional<FolderOwner> ParseProcessFolderName(std::string_view name);

// "d00000003" inside the process folder.
std::string DeliveryFolderName(std::uint32_t delivery);
std::optional<std::uint32_t> ParseDeliveryFolderName(std::string_view name);

enum class ProcessState { running, ended, unknown };
using ProcessOracle = std::function<ProcessState(const FolderOwner&)>;

// A folder found in the component folder: only another process's folder whose process has ended.
bool MayRemoveProcessFolder(std::string_view name, const FolderOwner& self, const ProcessOracle& oracle);

// A folder found in the own process folder: only a delivery's folder whose delivery is over.
bool MayRemoveDeliveryFolder(std::string_view name, const std::function<bool(std::uint32_t delivery)>& deliveryRunning);

}  // namespace kestrum
