// The outbox of deliveries that found no way out: what one entry holds and how it is written and
// read back, which entries the caps drop, the order of sending and the pauses between rounds. The
// files, locks and the sending thread are the _win part (KestrumOutbox_win.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/KestrumHttp.h"
#include "delivery/KestrumTransport.h"

namespace delivery {

// One stored delivery. Its files lie beside the entry text as "file0", "file1", ...; the entry
// names them only by their number, never by a path.
struct OutboxEntry {
  std::string reportId;
  std::int64_t created = 0;  // milliseconds since 1970, UTC: deliveries a moment apart keep their order
  std::uint32_t attempts = 0;
  // The destination as the delivery's settings gave it: an upload when httpUrl is set, else mail
  // to recipients through server (empty: each recipient's own mail server).
  std::string httpUrl;
  std::string recipients, server;
  std::uint16_t port = 0;
  std::string account;
  std::string password;  // enciphered as the settings store it
  std::string sender, subject, body;
  FormFields fields;
  struct File {
    std::string sendAsName, fieldName;
    bool operator==(const File&) const = default;
  };
  std::vector<File> files;  // files[i] is "file<i>"
  bool operator==(const OutboxEntry&) const = default;
};

inline constexpr std::size_t kOutboxMaxFiles = 64;
inline constexpr std::size_t kOutboxMaxEntryText = 1 << 20;

std::string OutboxFileName(std::size_t index);

// The entry as its text file; it ends with an "end" line, so that a text cut short anywhere is
// never read as a whole entry.
std::string WriteOutboxEntry(const OutboxEntry& entry);
// Nothing for a text that is not a whole, valid entry.
std::optional<OutboxEntry> ReadOutboxEntry(std::string_view text);

// What the caps look at of an entry on disk.
struct OutboxItem {
  std::string reportId;
  std::int64_t created = 0;
  std::uint64_t bytes = 0;  // entry text and files
};
struct OutboxCaps {
  std::uint32_t maxReports = 20;
  std::uint32_t maxKB = 20480;
  std::uint32_t maxDays = 30;
};
enum class DropReason { kAge, kCount, kSize };
struct OutboxDrop {
  std::string reportId;
  DropReason reason;
  bool operator==(const OutboxDrop&) const = default;
};
// The entries to remove: those older than maxDays first, then the oldest until at most maxReports
// remain and their bytes fit in maxKB. An entry dated in the future (a clock set back since) counts
// as made now, so that it cannot stay for ever.
std::vector<OutboxDrop> OutboxDrops(std::vector<OutboxItem> items, std::int64_t now, const OutboxCaps& caps);

// Oldest first; entries made in the same millisecond in the order of their ids.
void SortOldestFirst(std::vector<OutboxItem>& items);

// The pause before sending round `round` (0: the round at the start) while the program runs:
// one minute, doubling up to an hour.
std::uint32_t OutboxRetryDelayMs(std::uint32_t round);

}  // namespace delivery
