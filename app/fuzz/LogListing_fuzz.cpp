// The log is text the user may edit: whatever it holds, finding the code listed at a line must
// end without a fault, and a code found must be one whose listing is exactly what the log shows
// around that line and, when that listing names no protocol, one the worker listed. The text saved from it ends every line in CR LF. The first
// bytes are the worker's listed codes, 7 bytes each.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/ReceiverLogic.h"

using namespace app;

namespace {

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t eol = text.find("\r\n", start);
    if (eol == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, eol - start));
    start = eol + 2;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<ListedCode> listed;
  const std::size_t codes = size > 0 ? std::min<std::size_t>(data[0] % 5, (size - 1) / 7) : 0;
  for (std::size_t i = 0; i < codes; ++i) {
    const std::uint8_t* c = data + 1 + 7 * i;
    listed.push_back({(c[0] & 1) != 0, TIRData{c[1], static_cast<std::uint16_t>(c[2] | c[3] << 8), static_cast<std::uint16_t>(c[4] | c[5] << 8), c[6]}});
  }
  const std::size_t skip = size > 0 ? 1 + 7 * codes : 0;
  const std::string text(reinterpret_cast<const char*>(data) + skip, size - skip);
  const std::vector<std::string> lines = LinesOf(text);
  for (std::size_t line = 0; line <= lines.size(); ++line) {
    const auto found = CodeListedAt(lines, line, listed);
    if (!found) continue;
    if (!ProtocolName(found->Code.Protocol) && std::none_of(listed.begin(), listed.end(), [&](const ListedCode& l) {
          return l.Trained == found->Trained && std::memcmp(&l.Code, &found->Code, sizeof l.Code) == 0;
        }))
      std::abort();
    const std::vector<std::string> listing =
        CodeListing(found->Trained ? TrainedCodeHeading : ReceivedCodeHeading, found->Code);
    // The listing without its closing empty line covers `line`.
    const std::size_t shown = listing.size() - 1;
    bool covered = false;
    for (std::size_t first = line + 1 >= shown ? line + 1 - shown : 0; first <= line && !covered; ++first) {
      if (first + shown > lines.size()) continue;
      covered = true;
      for (std::size_t i = 0; i < shown; ++i) covered = covered && lines[first + i] == listing[i];
    }
    if (!covered) std::abort();
  }

  const std::string saved = WithCrLf(text);
  for (std::size_t i = 0; i < saved.size(); ++i) {
    if (saved[i] == '\r' && (i + 1 == saved.size() || saved[i + 1] != '\n')) std::abort();
    if (saved[i] == '\n' && (i == 0 || saved[i - 1] != '\r')) std::abort();
  }
  if (LineOfOffset(text, text.size()) + 1 < lines.size() || LineOfOffset(text, text.size()) > lines.size()) std::abort();
  return 0;
}
