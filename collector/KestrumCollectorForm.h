// What an upload carries: the multipart form (as the component's HTTP upload and Crashpad-style
// clients send it), ZIP archives inside it, and the reading of both into one upload. Pure and
// bounded: every size and count comes from the sender and is checked before it is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace collector {

struct FormPart {
  std::string name;
  std::string fileName;  // empty for a plain field
  bool isFile = false;
  std::string data;
};

// The boundary of "multipart/form-data; boundary=..." (quoted or not); "" when there is none.
std::string MultipartBoundary(std::string_view contentType);
// The parts of a multipart body; nullopt with a reason when the body is not a whole form.
std::optional<std::vector<FormPart>> ParseMultipart(std::string_view body, std::string_view boundary, std::string* error = nullptr);

struct ZipLimits {
  std::size_t maxEntries = 64;
  std::uint64_t maxTotal = 64ull * 1024 * 1024;  // all entries unpacked together
};
struct ZipFile {
  std::string name;  // as the archive gives it: for showing only, never a path
  std::string data;
};
// The stored and deflated entries of an archive, checked against their CRC; nullopt with a reason
// for anything else, including an archive that would unpack beyond the limits.
std::optional<std::vector<ZipFile>> ReadZip(std::string_view archive, const ZipLimits& limits, std::string* error = nullptr);

enum class AttachmentKind { kReport, kScreenshot, kMinidump, kOther };
const char* AttachmentKindName(AttachmentKind kind);

struct UploadFile {
  AttachmentKind kind = AttachmentKind::kOther;
  std::string name;  // shown only
  std::string data;
};

struct Upload {
  std::string reportText;  // the bug report (the newest of a bug report file); empty without one
  std::vector<UploadFile> files;
  std::string reportId;    // the sender's id of this report ("" when it gave none)
  std::string product, version, clientId;  // Crashpad-style fields
  std::vector<std::pair<std::string, std::string>> fields;
};

// Reads the form's parts into an upload; nullopt with a reason the sender can act on.
std::optional<Upload> ReadUpload(std::vector<FormPart> parts, const ZipLimits& limits, std::string* error = nullptr);

// A report id as senders may give one: 1 to 64 letters, digits and "-".
bool ValidReportId(std::string_view id);

}  // namespace collector
