// The texts of a report mail and a mailto request: address lists, the MIME pieces (Base64,
// encoded subject, the body as SMTP data, Date and Message-ID), mailto escaping and the stored
// password cipher. All 8-bit text in code page 1252.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace delivery {

// The one boundary of mails and uploads; no report line or Base64 line can contain it.
inline constexpr std::string_view kMultipartBoundary = "kelvane.invalid_multipart_boundary";

// The address lists of the settings separate their entries by ";" or ","; a separator inside a
// quoted display name ("Doe, Jane" <jane@x.org>) or inside angle brackets is part of the entry.
// The entries are trimmed of blanks (every character up to the space); empty ones are dropped.
std::vector<std::string> SplitAddressList(std::string_view list);
// The entries joined by ","; returns their number, 0 for an empty list.
int NormalizeAddressList(std::string& list);

// One entry of an address list: the display name as meant (its quotes and escapes removed) and
// the bare address.
struct MailAddress {
  std::string name;
  std::string address;
  bool operator==(const MailAddress&) const = default;
};
MailAddress ParseMailAddress(std::string_view entry);
std::vector<MailAddress> ParseAddressList(std::string_view list);
// The list as the value of a To: or From: header: "<address>" for a bare address, the display
// name as an atom phrase, a quoted string or (with 8-bit letters) encoded words in front of its
// "<address>", the entries separated by commas and folded before a line grows past 78 characters.
std::string AddressListHeader(const std::vector<MailAddress>& list, std::size_t fieldNameLength);
// "<address>" for a bare address; with a display name the text from "<" on, or unchanged when
// keepName is set.
std::string AngleAddress(std::string_view address, bool keepName);
// The value of a "name: value" line of the report's header ("" when missing).
std::string ReportHeaderField(std::string_view bugReport, std::string_view name);

// RFC 4648 with "=" padding, no line breaks.
std::string EncodeBase64(std::string_view data);

// "Subject: " and the subject as ISO-8859-1 Q encoded words, folded so that no encoded word is
// longer than 75 characters and each continuation line starts with a blank. Ends with CR LF.
std::string EncodeSubjectHeader(std::string_view subject);
// The body as it goes into the DATA stream: every line end becomes CR LF and a line starting with
// "." gets a second one, so that the server hands on the body unchanged and the data cannot end
// early. The result ends with CR LF when the body is not empty.
std::string BodyAsSmtpData(std::string_view body);

// "10 Dec 2026 07:03:09 UT" for the given UTC time.
struct UtcTime {
  int year, month, day, hour, minute, second;
};
std::string MailDate(const UtcTime& t);
// "<" 16 lower-case hex digits of the file time "@Kestrum>".
std::string MessageId(std::uint64_t fileTime);

// Escapes line ends, blank, '"', '#', '%', '&', '+', '<', '>' and '?' as %XX.
std::string EscapeMailto(std::string_view text);
std::string MailtoUrl(std::string recipients, std::string_view subject, std::string_view text);
// The mailto handler's command line with the URL put in for "%1" (or appended), cut to maxLength
// without cutting through a percent escape.
std::string MailtoCommand(std::string_view command, std::string_view url, std::size_t maxLength = 32766);

// The stored SMTP/HTTP password (bytes after Base64) deciphered with server and account as keys.
// An empty key leaves its pass out: a key schedule over no bytes is undefined.
std::string DecodePassword(std::string stored, std::string_view account, std::string_view server);
// The inverse, for tests and for writing settings.
std::string EncodePassword(std::string plain, std::string_view account, std::string_view server);

}  // namespace delivery
