// The attachment list of a report delivery and its resolution into what the transports send:
// files as they are, and files packed together into the ZIP archives their items name.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "crash/settings/KestrumAttachmentList.h"
#include "crash/settings/KestrumRules.h"
#include "delivery/KestrumSmtp.h"

namespace delivery {

using kestrum::AttachmentSpec;

using kestrum::AttachmentList;

// Resolves the items, in order, into the three arrays. Paths are made absolute by absolute();
// items whose file does not exist are left out; items of one archive (names compared without
// regard to case) are packed by zip(archive path, files, names) at the place of the first and
// sent under the archive's name, when zip succeeds.
using ZipFunction = std::function<bool(const std::string&, const std::vector<std::string>&, const std::vector<std::string>&)>;
AttachmentSet ResolveAttachments(const std::vector<AttachmentSpec>& items, const std::string& tempFolder,
                                 const std::function<std::string(const std::string&)>& absolute,
                                 const std::function<bool(const std::string&)>& exists, const ZipFunction& zip);

}  // namespace delivery
