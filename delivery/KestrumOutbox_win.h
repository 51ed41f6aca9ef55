// The outbox on disk: deliveries whose ways all failed, each in a folder of its own under the
// program's local application data, sent again later by a thread without windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "delivery/KestrumNet.h"
#include "delivery/KestrumOutbox.h"

namespace kestrum {
struct IZQSettings;
}

namespace delivery {

// "<local application data>\<exe name>.Kestrum\outbox\" ("" when the system names no such folder).
std::string DefaultOutboxFolder();

// Milliseconds since 1970, UTC.
std::int64_t OutboxNow();

// Stores entry with copies of files (files[i] becomes "file<i>", described by entry.files[i]):
// written under a temporary name, flushed and renamed, so that an interrupted write leaves no
// entry; then the caps are applied. False when the entry could not be stored whole.
bool StoreInOutbox(const std::string& outbox, const OutboxEntry& entry, const std::vector<std::string>& files, const OutboxCaps& caps);

struct OutboxRound {
  int sent = 0, failed = 0, busy = 0, dropped = 0;
};
// One round: the caps, then every entry oldest first through the transports, without windows. An
// entry another thread or program is sending (its lock is taken) is left to it; a sent entry is
// removed, a failed one stays with one attempt more.
OutboxRound SendOutbox(const std::string& outbox, Network& network, const OutboxCaps& caps);

// The entries as they are on disk now, oldest first (tests and the caps look at them).
std::vector<OutboxEntry> ReadOutbox(const std::string& outbox);

// The caps as the settings give them.
OutboxCaps OutboxCapsOf(kestrum::IZQSettings* settings);

// Sends the outbox of the program's main settings (when OutboxRetry is set) on a thread of its
// own: first once the program waits for input, then at growing intervals while it runs.
void StartOutboxSender();

}  // namespace delivery
