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

// ";" becomes ",", blanks (every character up to the space) go at both ends and around every ",".
// Returns the number of addresses, 0 for an empty list.
int NormalizeAddressList(std::string& list);
std::vector<std::string> SplitAddressList(std::string list);
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
