#include "collector/KestrumCollectorForm.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>

#include "collector/KestrumCollectorReport.h"
#include "platform/Text.h"

namespace collector {
namespace {

constexpr std::size_t kMaxParts = 100;
constexpr std::size_t kMaxPartHead = 8 * 1024;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The value of parameter name in "form-data; name=\"x\"; filename=\"y\"" (quoted or token).
std::optional<std::string> HeaderParameter(std::string_view value, std::string_view name) {
  std::size_t at = value.find(';');
  while (at != std::string_view::npos) {
    std::string_view rest = Trim(value.substr(at + 1));
    const std::size_t eq = rest.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string key = platform::AsciiLowered(Trim(rest.substr(0, eq)));
    rest = Trim(rest.substr(eq + 1));
    std::string v;
    std::size_t consumed = 0;
    if (rest.starts_with("\"")) {
      std::size_t i = 1;
      for (; i < rest.size() && rest[i] != '"'; ++i) {
        if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
        v += rest[i];
      }
      consumed = i + 1;
    } else {
      consumed = std::min(rest.find(';'), rest.size());
      v = Trim(rest.substr(0, consumed));
    }
    if (key == name) return v;
    const std::size_t next = rest.find(';', std::min(consumed, rest.size()));
    if (next == std::string_view::npos) return std::nullopt;
    at = static_cast<std::size_t>(rest.data() + next - value.data());
  }
  return std::nullopt;
}

std::uint32_t Le(std::string_view s, std::size_t at, std::size_t bytes) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
  return v;
}

bool InflateRaw(std::string_view in, std::size_t expected, std::string& out) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
  out.assign(expected, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(expected);
  int rc = inflate(&z, Z_FINISH);
  // A stream that wants to go on past the declared size is an archive that lies about its sizes.
  if (rc == Z_BUF_ERROR && z.avail_out == 0) {
    unsigned char probe;
    z.next_out = &probe;
    z.avail_out = 1;
    rc = inflate(&z, Z_FINISH);
    if (rc != Z_STREAM_END || z.avail_out == 0) rc = Z_DATA_ERROR;
  }
  const bool ok = rc == Z_STREAM_END && z.total_out == expected;
  inflateEnd(&z);
  return ok;
}

AttachmentKind KindOf(std::string_view field, std::string_view fileName, std::string_view data) {
  const std::string f = platform::AsciiLowered(field);
  if (data.starts_with("MDMP") || f == "upload_file_minidump" || f == "minidump" || platform::EndsWithNoCase(fileName, ".dmp")) {
    return AttachmentKind::kMinidump;
  }
  if (data.starts_with("\x89PNG\r\n\x1a\n") || data.starts_with("BM") || f == "screenshot") return AttachmentKind::kScreenshot;
  if (data.starts_with("date/time")) return AttachmentKind::kReport;
  return AttachmentKind::kOther;
}

}  // namespace

std::string MultipartBoundary(std::string_view contentType) {
  const std::size_t semi = contentType.find(';');
  if (platform::AsciiLowered(Trim(contentType.substr(0, semi))) != "multipart/form-data") return {};
  const std::optional<std::string> b = HeaderParameter(contentType, "boundary");
  if (!b || b->empty() || b->size() > 200) return {};
  return *b;
}

std::optional<std::vector<FormPart>> ParseMultipart(std::string_view body, std::string_view boundary, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<std::vector<FormPart>> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (boundary.empty()) return fail("the form has no boundary");
  const std::string delimiter = "--" + std::string(boundary);
  std::size_t at;
  if (body.starts_with(delimiter)) {
    at = delimiter.size();
  } else {
    const std::size_t first = body.find("\r\n" + delimiter);
    if (first == std::string_view::npos) return fail("the form's boundary does not occur in the body");
    at = first + 2 + delimiter.size();
  }
  const std::string next = "\r\n" + delimiter;
  std::vector<FormPart> parts;
  while (true) {
    if (body.substr(at, 2) == "--") return parts;
    // Transport padding after a delimiter, then its line end.
    while (at < body.size() && (body[at] == ' ' || body[at] == '\t')) ++at;
    if (body.substr(at, 2) != "\r\n") return fail("the form ends inside a boundary line");
    at += 2;
    if (parts.size() >= kMaxParts) return fail("the form has more than 100 parts");
    const std::size_t headEnd = body.find("\r\n\r\n", at);
    // A part without header lines has its empty line right away.
    const bool noHead = body.substr(at, 2) == "\r\n";
    if (!noHead && (headEnd == std::string_view::npos || headEnd - at > kMaxPartHead)) {
      return fail("a part of the form has no end of its header lines");
    }
    FormPart part;
    if (!noHead) {
      std::string_view head = body.substr(at, headEnd - at);
      bool disposition = false;
      while (!head.empty()) {
        const std::size_t eol = std::min(head.find("\r\n"), head.size());
        const std::string_view line = head.substr(0, eol);
        head.remove_prefix(std::min(eol + 2, head.size()));
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return fail("a part of the form has a header line without \":\"");
        if (platform::AsciiLowered(Trim(line.substr(0, colon))) != "content-disposition") continue;
        const std::string_view value = Trim(line.substr(colon + 1));
        if (platform::AsciiLowered(Trim(value.substr(0, value.find(';')))) != "form-data") {
          return fail("a part of the form is not form-data");
        }
        const std::optional<std::string> name = HeaderParameter(value, "name");
        if (!name) return fail("a part of the form has no name");
        part.name = *name;
        if (const std::optional<std::string> file = HeaderParameter(value, "filename")) {
          part.fileName = *file;
          part.isFile = true;
        }
        disposition = true;
      }
      if (!disposition) return fail("a part of the form has no Content-Disposition");
      at = headEnd + 4;
    } else {
      return fail("a part of the form has no Content-Disposition");
    }
    const std::size_t end = body.find(next, at);
    if (end == std::string_view::npos) return fail("the form ends before its closing boundary");
    part.data = body.substr(at, end - at);
    parts.push_back(std::move(part));
    at = end + next.size();
  }
}

std::optional<std::vector<ZipFile>> ReadZip(std::string_view zip, const ZipLimits& limits, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<std::vector<ZipFile>> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (zip.size() < 22) return fail("the ZIP archive is too short");
  std::size_t eocd = std::string_view::npos;
  const std::size_t lowest = zip.size() > 22 + 65535 ? zip.size() - 22 - 65535 : 0;
  for (std::size_t p = zip.size() - 22 + 1; p-- > lowest;) {
    if (Le(zip, p, 4) == 0x06054b50) {
      eocd = p;
      break;
    }
  }
  if (eocd == std::string_view::npos) return fail("the ZIP archive has no end record");
  const std::uint32_t count = Le(zip, eocd + 10, 2);
  const std::uint32_t cdSize = Le(zip, eocd + 12, 4);
  const std::uint32_t cdOffset = Le(zip, eocd + 16, 4);
  if (count > limits.maxEntries) return fail("the ZIP archive has too many entries");
  if (static_cast<std::uint64_t>(cdOffset) + cdSize > eocd) return fail("the ZIP archive's directory lies outside it");
  std::vector<ZipFile> files;
  std::uint64_t total = 0;
  std::size_t at = cdOffset;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (at + 46 > eocd || Le(zip, at, 4) != 0x02014b50) return fail("the ZIP archive's directory is damaged");
    const std::uint32_t flags = Le(zip, at + 8, 2);
    const std::uint32_t method = Le(zip, at + 10, 2);
    const std::uint32_t crc = Le(zip, at + 16, 4);
    const std::uint32_t packed = Le(zip, at + 20, 4);
    const std::uint32_t size = Le(zip, at + 24, 4);
    const std::uint32_t nameLen = Le(zip, at + 28, 2), extraLen = Le(zip, at + 30, 2), commentLen = Le(zip, at + 32, 2);
    const std::uint32_t local = Le(zip, at + 42, 4);
    if (at + 46 + nameLen > eocd) return fail("the ZIP archive's directory is damaged");
    ZipFile file;
    file.name = zip.substr(at + 46, nameLen);
    at += 46 + nameLen + extraLen + commentLen;
    if (flags & 1) return fail("the ZIP archive is encrypted");
    if (packed == 0xFFFFFFFFu || size == 0xFFFFFFFFu || local == 0xFFFFFFFFu) return fail("the ZIP archive needs ZIP64");
    if (method != 0 && method != 8) return fail("the ZIP archive uses a compression other than deflate");
    total += size;
    if (total > limits.maxTotal) return fail("the ZIP archive unpacks to more than the limit");
    if (static_cast<std::uint64_t>(local) + 30 > zip.size() || Le(zip, local, 4) != 0x04034b50) return fail("a ZIP entry's local header is missing");
    const std::uint64_t dataAt = static_cast<std::uint64_t>(local) + 30 + Le(zip, local + 26, 2) + Le(zip, local + 28, 2);
    if (dataAt + packed > zip.size()) return fail("a ZIP entry runs past the archive's end");
    const std::string_view packedData = zip.substr(static_cast<std::size_t>(dataAt), packed);
    if (method == 0) {
      if (packed != size) return fail("a stored ZIP entry's sizes differ");
      file.data = packedData;
    } else if (!InflateRaw(packedData, size, file.data)) {
      return fail("a ZIP entry does not unpack to its stated size");
    }
    if (static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(file.data.data()), static_cast<uInt>(file.data.size()))) != crc) {
      return fail("a ZIP entry's checksum is wrong");
    }
    // Folders have no content.
    if (!file.name.ends_with("/")) files.push_back(std::move(file));
  }
  return files;
}

const char* AttachmentKindName(AttachmentKind kind) {
  switch (kind) {
    case AttachmentKind::kReport: return "report";
    case AttachmentKind::kScreenshot: return "screenshot";
    case AttachmentKind::kMinidump: return "minidump";
    case AttachmentKind::kOther: return "other";
  }
  return "other";
}

bool ValidReportId(std::string_view id) {
  return !id.empty() && id.size() <= 64 &&
         std::all_of(id.begin(), id.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
}

std::optional<Upload> ReadUpload(std::vector<FormPart> parts, const ZipLimits& limits, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Upload> {
    if (error) *error = why;
    return std::nullopt;
  };
  Upload u;
  std::vector<UploadFile> files;
  for (FormPart& p : parts) {
    if (!p.isFile) {
      const std::string name = platform::AsciiLowered(p.name);
      if (name == "report_id") {
        if (!ValidReportId(p.data)) return fail("the report_id field must be 1 to 64 letters, digits or \"-\"");
        u.reportId = p.data;
      } else if (name == "prod") {
        u.product = p.data;
      } else if (name == "ver") {
        u.version = p.data;
      } else if (name == "guid") {
        u.clientId = p.data;
      }
      u.fields.emplace_back(std::move(p.name), std::move(p.data));
      continue;
    }
    if (p.data.empty()) continue;
    if (p.data.starts_with("PK\x03\x04") || p.data.starts_with("PK\x05\x06")) {
      std::string why;
      std::optional<std::vector<ZipFile>> entries = ReadZip(p.data, limits, &why);
      if (!entries) return fail("the attachment \"" + DisplayText(p.fileName) + "\": " + why);
      for (ZipFile& e : *entries) {
        const AttachmentKind kind = KindOf("", e.name, e.data);
        files.push_back({kind, std::move(e.name), std::move(e.data)});
      }
      continue;
    }
    const AttachmentKind kind = KindOf(p.name, p.fileName, p.data);
    files.push_back({kind, std::move(p.fileName), std::move(p.data)});
  }
  // The report: the first report file, the newest report of it when it is a whole bug report
  // file; a mail body that holds one serves when no file does.
  for (UploadFile& f : files) {
    if (f.kind != AttachmentKind::kReport) continue;
    const std::vector<std::string_view> reports = SplitReportFile(f.data);
    if (!reports.empty()) {
      u.reportText = reports.back();
      break;
    }
  }
  if (u.reportText.empty()) {
    for (const auto& [name, content] : u.fields) {
      const std::size_t at = content.starts_with("date/time") ? 0 : content.find("\r\ndate/time");
      if (at == std::string::npos) continue;
      const std::vector<std::string_view> reports = SplitReportFile(std::string_view(content).substr(at == 0 ? 0 : at + 2));
      if (!reports.empty()) {
        u.reportText = reports.back();
        break;
      }
    }
  }
  u.files = std::move(files);
  const bool minidump = std::any_of(u.files.begin(), u.files.end(), [](const UploadFile& f) { return f.kind == AttachmentKind::kMinidump; });
  if (u.reportText.empty() && !minidump) return fail("the form carries neither a bug report nor a minidump");
  return u;
}

}  // namespace collector
