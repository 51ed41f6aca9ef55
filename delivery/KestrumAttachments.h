// The attachment list of a report delivery and its resolution into what the transports send:
// files as they are, and files packed together into the ZIP archives their items name.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "crash/settings/KestrumRules.h"
#include "delivery/KestrumSmtp.h"

namespace delivery {

using kestrum::AttachmentSpec;

// The items with the list's defaults. Not locked: the interface object guards it.
class AttachmentList {
 public:
  // An empty originalFile adds nothing; an empty send-as name becomes the file-name part, an empty
  // field name the send-as name without its extension. Returns whether an item was added.
  bool Add(AttachmentSpec item);
  // Removes the first item of that file (any case); returns whether one was removed.
  bool Delete(std::string_view originalFile);
  // Returns whether there was anything to remove.
  bool Clear();
  const std::vector<AttachmentSpec>& Items() const { return items_; }
  // The AddAttachs text: items joined by "|", fields by ">".
  std::string Format() const;

 private:
  std::vector<AttachmentSpec> items_;
};

// Resolves the items, in order, into the three arrays. Paths are made absolute by absolute();
// items whose file does not exist are left out; items of one archive (names compared without
// regard to case) are packed by zip(archive path, files, names) at the place of the first and
// sent under the archive's name, when zip succeeds.
using ZipFunction = std::function<bool(const std::string&, const std::vector<std::string>&, const std::vector<std::string>&)>;
AttachmentSet ResolveAttachments(const std::vector<AttachmentSpec>& items, const std::string& tempFolder,
                                 const std::function<std::string(const std::string&)>& absolute,
                                 const std::function<bool(const std::string&)>& exists, const ZipFunction& zip);

}  // namespace delivery
