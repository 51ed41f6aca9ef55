#include "crash/settings/KestrumAttachmentList.h"

#include <algorithm>

#include "platform/Text.h"

namespace kestrum {

bool AttachmentList::Add(AttachmentSpec item) {
  if (item.originalFile.empty()) return false;
  if (item.sendAsFileName.empty()) {
    const std::size_t slash = item.originalFile.rfind('\\');
    item.sendAsFileName = slash == std::string::npos ? item.originalFile : item.originalFile.substr(slash + 1);
  }
  if (item.fieldName.empty()) item.fieldName = item.sendAsFileName.substr(0, item.sendAsFileName.rfind('.'));
  items_.push_back(std::move(item));
  return true;
}

bool AttachmentList::Delete(std::string_view originalFile) {
  const auto it = std::find_if(items_.begin(), items_.end(),
                               [&](const AttachmentSpec& a) { return platform::EqualNoCase(a.originalFile, originalFile); });
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

bool AttachmentList::Clear() {
  const bool any = !items_.empty();
  items_.clear();
  return any;
}

std::string AttachmentList::Format() const {
  std::string out;
  for (const AttachmentSpec& a : items_) {
    if (!out.empty()) out += '|';
    out += a.originalFile + ">" + a.sendAsFileName + ">" + a.zipFile + ">" + a.fieldName;
  }
  return out;
}

}  // namespace kestrum
