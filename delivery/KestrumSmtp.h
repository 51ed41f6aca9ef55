// The SMTP client of report delivery: the reply reader and one session that hands a mail with
// the report attachments to a server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/KestrumNet.h"

namespace delivery {

inline constexpr int kSmtpReplyWaitMs = 7000;
// A reply longer than this, or a line longer than kSmtpMaxLine, is not from a mail server.
inline constexpr std::size_t kSmtpMaxReply = 64 * 1024;
inline constexpr std::size_t kSmtpMaxLine = 4096;
// However slowly the server trickles a reply in, the session gives up after this.
inline constexpr int kSmtpReplyDeadlineMs = 60000;

// Reads one (possibly multi-line) reply from the bytes given to Feed. Every line must start with
// the expected code; "code-" continues the reply, "code " or the bare code ends it.
class SmtpReplyParser {
 public:
  enum class Status { kMore, kDone, kFailed };
  explicit SmtpReplyParser(std::string_view code) : code_(code) {}
  Status Feed(std::string_view data);
  // Whether a line offered AUTH with the LOGIN method (also written "AUTH=LOGIN").
  bool AuthLogin() const { return authLogin_; }

 private:
  Status Line(std::string_view line);
  std::string code_;
  std::string pending_;
  std::size_t total_ = 0;
  bool authLogin_ = false;
  Status status_ = Status::kMore;
};

// Waits for one reply with the code; authLogin (when given) is set when AUTH LOGIN was offered.
bool ReadSmtpReply(Connection& connection, std::string_view code, bool* authLogin = nullptr, int waitMs = kSmtpReplyWaitMs);

struct AttachmentSet {
  std::vector<std::string> files;
  std::vector<std::string> sendAsNames;
  std::vector<std::string> fieldNames;
};

struct SmtpMail {
  std::string sender;
  std::string subject;
  std::string body;
  std::string account;
  std::string password;
  AttachmentSet attachments;
  std::string reportId;  // a header of its own when set, so that a receiver can tell repeats apart
};

// Texts of the progress areas, from the settings.
struct TransportTexts {
  std::string prepare = "Prepare attachments...";
  std::string mxLookup, connect, auth, sendMail, field, sendAttachment, sendFinal;
};

// The progress areas of one SMTP session (direct: with the MX lookup area first); returns their
// number.
int AddSmtpAreas(ProgressSink& progress, const TransportTexts& texts, const AttachmentSet& attachments, bool direct);

struct SmtpTarget {
  std::string host;  // empty: find the recipient's mail server by MX lookup
  std::uint16_t port = 25;
};

// One SMTP session delivering mail to recipients. progress may be null.
bool SmtpSession(Network& network, ProgressSink* progress, const SmtpTarget& target, const std::string& recipients, const SmtpMail& mail,
                 int replyWaitMs = kSmtpReplyWaitMs);

// The header block of a mail (To, From, Subject, Date, Message-ID, each ended by CR LF).
std::string MailHeaderBlock(const std::string& recipients, const std::string& sender, const std::string& subject,
                            std::uint64_t utcFileTime);
// The head of one Base64 attachment part, from the "--boundary" line to the empty line.
std::string MailAttachmentHead(const std::string& file, const std::string& sendAsName);
// The head of the multipart mail, ending where the body starts.
std::string MailMultipartHead();

// Reads a whole file; false when it cannot be opened ("vanished") or read.
bool FileSize(const std::string& path, std::uint64_t& size);

}  // namespace delivery
