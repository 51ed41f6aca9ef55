// The hand-over from a process that restarts itself to the process it started: a named section
// "KestrumRestart$<new pid>" of 88 little-endian bytes, written by the old process while the new
// one is still suspended and read by the new one before anything else runs.
#pragma once

#include "crash/KestrumTimeHistory.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kestrum {

inline constexpr std::size_t kRestartSectionBytes = 88;
using RestartSectionBytes = std::array<std::uint8_t, kRestartSectionBytes>;

struct RestartHandOver {
  std::uint32_t predecessorId = 0;  // the process that restarted us
  std::uint32_t sectionHandle = 0;  // the section's own handle, duplicated into the new process
  ExceptionTimes history{};
  bool operator==(const RestartHandOver&) const = default;
};

std::string RestartSectionName(std::uint32_t newProcessId);

RestartSectionBytes WriteRestartSection(const RestartHandOver& handOver);
// Nothing for a view shorter than the layout.
std::optional<RestartHandOver> ReadRestartSection(const std::uint8_t* data, std::size_t size);

// Process creation times as the system reports them (100 ns units); nothing when unknown.
using CreationTime = std::optional<std::uint64_t>;

// Whether to wait for the process that the hand-over names. Its id may already belong to an
// unrelated process that started after ours and may run for ever: only a process created before
// this one can be the predecessor. When either time is unknown there is nothing safe to wait for.
bool ShouldWaitForPredecessor(CreationTime predecessor, CreationTime own);

}  // namespace kestrum
