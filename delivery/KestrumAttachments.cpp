#include "delivery/KestrumAttachments.h"

#include <algorithm>
#include <cctype>

#include "platform/Text.h"

namespace delivery {

using platform::EqualNoCase;

AttachmentSet ResolveAttachments(const std::vector<AttachmentSpec>& items, const std::string& tempFolder,
                                 const std::function<std::string(const std::string&)>& absolute,
                                 const std::function<bool(const std::string&)>& exists, const ZipFunction& zip) {
  AttachmentSet out;
  std::vector<std::string> handled;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const AttachmentSpec& item = items[i];
    if (item.zipFile.empty()) {
      const std::string file = absolute(item.originalFile);
      if (!exists(file)) continue;
      out.files.push_back(file);
      out.sendAsNames.push_back(item.sendAsFileName);
      out.fieldNames.push_back(item.fieldName);
      continue;
    }
    if (std::any_of(handled.begin(), handled.end(), [&](const std::string& z) { return EqualNoCase(z, item.zipFile); })) continue;
    handled.push_back(item.zipFile);
    std::vector<std::string> files, names;
    for (std::size_t j = i; j < items.size(); ++j) {
      if (!EqualNoCase(items[j].zipFile, item.zipFile)) continue;
      const std::string file = absolute(items[j].originalFile);
      if (!exists(file)) continue;
      files.push_back(file);
      names.push_back(items[j].sendAsFileName);
    }
    const std::string archive = tempFolder + item.zipFile;
    if (files.empty() || tempFolder.empty() || !zip(archive, files, names)) continue;
    out.files.push_back(archive);
    out.sendAsNames.push_back(item.zipFile);
    out.fieldNames.push_back(item.zipFile);
  }
  return out;
}

}  // namespace delivery
