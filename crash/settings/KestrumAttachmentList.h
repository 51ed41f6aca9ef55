// The items of an attachment list (AddAttachs) with the list's defaults.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "crash/settings/KestrumRules.h"

namespace kestrum {

// Not locked: the interface object guards it.
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

}  // namespace kestrum
