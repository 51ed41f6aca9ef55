#include "delivery/KestrumSmtp.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>

#include "delivery/KestrumDns.h"
#include "delivery/KestrumMailText.h"
#include "delivery/KestrumTransport.h"
#include "platform/Text.h"

namespace delivery {

SmtpReplyParser::Status SmtpReplyParser::Feed(std::string_view data) {
  if (status_ != Status::kMore) return status_;
  total_ += data.size();
  if (total_ > kSmtpMaxReply) return status_ = Status::kFailed;
  pending_.append(data);
  std::size_t start = 0;
  while (status_ == Status::kMore) {
    const std::size_t lf = pending_.find('\n', start);
    if (lf == std::string::npos) break;
    std::string_view line(pending_.data() + start, lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    status_ = Line(line);
    start = lf + 1;
  }
  pending_.erase(0, start);
  if (status_ == Status::kMore) {
    // A line start that already differs from the code cannot become a reply.
    const std::size_t n = std::min(pending_.size(), code_.size());
    if (pending_.compare(0, n, code_, 0, n) != 0 || pending_.size() > kSmtpMaxLine) status_ = Status::kFailed;
  }
  return status_;
}

SmtpReplyParser::Status SmtpReplyParser::Line(std::string_view line) {
  if (line.size() > kSmtpMaxLine || line.substr(0, code_.size()) != code_) return Status::kFailed;
  if (!authLogin_ && line.size() > 4) {
    std::string rest(line.substr(4));
    for (char& c : rest) c = c == '=' ? ' ' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    rest += ' ';
    if (rest.starts_with("AUTH ") && rest.find(" LOGIN ") != std::string::npos) authLogin_ = true;
  }
  if (line.size() == code_.size() || line[code_.size()] == ' ') return Status::kDone;
  if (line[code_.size()] == '-') return Status::kMore;
  return Status::kFailed;
}

bool ReadSmtpReply(Connection& connection, std::string_view code, bool* authLogin, int waitMs) {
  SmtpReplyParser parser(code);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSmtpReplyDeadlineMs);
  char buffer[1024];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    const int n = connection.Receive(buffer, sizeof buffer, static_cast<int>(std::min<long long>(waitMs, left)));
    if (n <= 0) return false;
    const SmtpReplyParser::Status status = parser.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    if (status == SmtpReplyParser::Status::kFailed) return false;
    if (status == SmtpReplyParser::Status::kDone) {
      if (authLogin && parser.AuthLogin()) *authLogin = true;
      return true;
    }
  }
}

namespace {

UtcTime TimeFromFileTime(std::uint64_t fileTime) {
  // Days since 1601-01-01 to days since 1970-01-01, then the civil date (proleptic Gregorian).
  const std::int64_t seconds = static_cast<std::int64_t>(fileTime / 10000000ULL);
  std::int64_t days = seconds / 86400 - 134774;
  const std::int64_t daySeconds = seconds % 86400;
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2));
  return {year, month, day, static_cast<int>(daySeconds / 3600), static_cast<int>(daySeconds / 60 % 60), static_cast<int>(daySeconds % 60)};
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

class Session {
 public:
  Session(Connection& c, ProgressSink* p, int waitMs) : c_(c), progress_(p), waitMs_(waitMs) {}
  bool Command(const std::string& line, std::string_view code, bool* authLogin = nullptr) {
    if (!line.empty() && !c_.Send(line + "\r\n")) return false;
    return ReadSmtpReply(c_, code, authLogin, waitMs_);
  }
  void Done() {
    if (progress_) progress_->AreaDone();
  }
  void Position(int value) {
    if (progress_) progress_->SetPosition(value);
  }
  bool Send(std::string_view text) { return c_.Send(text); }
  int WaitMs() const { return waitMs_; }

 private:
  Connection& c_;
  ProgressSink* progress_;
  int waitMs_;
};

// 0 sent, 1 file missing (left out), 2 failed.
int SendAttachment(Session& s, const std::string& file, const std::string& name) {
  File f(std::fopen(file.c_str(), "rb"));
  if (!f) return 1;
  std::fseek(f.get(), 0, SEEK_END);
  const long size = std::ftell(f.get());
  std::fseek(f.get(), 0, SEEK_SET);
  if (size < 0) return 2;
  if (!s.Send(MailAttachmentHead(file, name))) return 2;
  char block[57 * 288];
  long sent = 0;
  while (sent < size) {
    const std::size_t n = std::fread(block, 1, sizeof block, f.get());
    if (n == 0) {
      s.Send("\r\n");
      return 2;
    }
    std::string lines;
    for (std::size_t at = 0; at < n; at += 57) {
      lines += EncodeBase64(std::string_view(block + at, std::min<std::size_t>(57, n - at)));
      lines += "\r\n";
    }
    if (!s.Send(lines)) return 2;
    sent += static_cast<long>(n);
    s.Position(static_cast<int>(static_cast<std::int64_t>(std::min(sent, size)) * 1000 / size));
  }
  // Only files with content have an area of their own.
  if (size > 0) s.Done();
  return 0;
}

}  // namespace

bool FileSize(const std::string& path, std::uint64_t& size) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) return false;
  const long n = std::ftell(f.get());
  if (n < 0) return false;
  size = static_cast<std::uint64_t>(n);
  return true;
}

std::string MailHeaderBlock(const std::string& recipients, const std::string& sender, const std::string& subject,
                            std::uint64_t utcFileTime) {
  // The header names exactly the envelope's recipients, as a list mail readers can take apart.
  auto list = [](const std::string& text, std::size_t fieldLength) {
    const std::vector<MailAddress> addresses = ParseAddressList(text);
    return addresses.empty() ? AngleAddress(text, true) : AddressListHeader(addresses, fieldLength);
  };
  return "To: " + list(recipients, 4) + "\r\nFrom: " + list(sender, 6) + "\r\n" + EncodeSubjectHeader(subject) +
         "Date: " + MailDate(TimeFromFileTime(utcFileTime)) + "\r\nMessage-ID: " + MessageId(utcFileTime) + "\r\n";
}

std::string MailMultipartHead() {
  const std::string b(kMultipartBoundary);
  return "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + b +
         "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--" + b +
         "\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
}

std::string MailAttachmentHead(const std::string& file, const std::string& sendAsName) {
  const std::string type = platform::EndsWithNoCase(file, ".png") ? "image/png" : "application/octet-stream";
  // The body before ends with its own line end; this one starts the delimiter line.
  return "\r\n--" + std::string(kMultipartBoundary) + "\r\nContent-Type: " + type + "; name=\"" + sendAsName +
         "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" + sendAsName + "\"\r\n\r\n";
}

int AddSmtpAreas(ProgressSink& progress, const TransportTexts& texts, const AttachmentSet& attachments, bool direct) {
  int count = direct ? 12 : 11;
  if (direct) progress.AddArea(500, texts.mxLookup);
  progress.AddArea(100, texts.connect);
  progress.AddArea(100, "");
  progress.AddArea(200, "");
  progress.AddArea(200, texts.auth);
  progress.AddArea(100, texts.sendMail);
  for (int i = 0; i < 4; ++i) progress.AddArea(100, "");
  for (const std::string& file : attachments.files) {
    std::uint64_t size = 0;
    if (FileSize(file, size) && size > 0) {
      progress.AddArea(static_cast<std::int64_t>(3 * ((size + 56) / 57)), texts.sendAttachment);
      ++count;
    }
  }
  progress.AddArea(500, texts.sendFinal);
  progress.AddArea(100, "");
  return count;
}

bool SmtpSession(Network& network, ProgressSink* progress, const SmtpTarget& target, const std::string& recipients, const SmtpMail& mail,
                 int replyWaitMs) {
  std::string host = target.host;
  if (host.empty()) {
    host = LookupMailServer(network, recipients);
    if (progress) progress->AreaDone();
  }
  if (host.empty()) return false;
  std::unique_ptr<Connection> connection = network.Connect(host, target.port);
  if (!connection) return false;
  Session s(*connection, progress, replyWaitMs);
  s.Done();
  s.Done();
  if (!s.Command("", "220")) return false;
  const std::string computer = network.ComputerName();
  bool authLogin = false;
  if (!s.Command("EHLO " + computer, "250", &authLogin) && !s.Command("HELO " + computer, "250")) return false;
  s.Done();

  const std::string sender = mail.sender.empty() ? recipients : mail.sender;
  bool ok = [&] {
    if (!mail.account.empty() || !mail.password.empty()) {
      if (!authLogin || !s.Command("AUTH LOGIN", "334") || !s.Command(EncodeBase64(mail.account), "334") ||
          !s.Command(EncodeBase64(mail.password), "235")) {
        return false;
      }
    }
    s.Done();
    const std::vector<MailAddress> from = ParseAddressList(sender);
    if (!s.Command("MAIL FROM:<" + (from.empty() ? std::string() : from.front().address) + ">", "250")) return false;
    s.Done();
    bool accepted = false;
    for (const MailAddress& to : ParseAddressList(recipients)) {
      if (s.Command("RCPT TO:<" + to.address + ">", "250")) accepted = true;
    }
    if (!accepted) return false;
    s.Done();
    if (mail.subject.empty() && mail.body.empty()) return s.Command("RSET", "250");
    if (!s.Command("DATA", "354")) return false;
    s.Done();
    // Header and body go in one send, and the closing lines with the end of the data: every send
    // is a wake-up of the server and of the system in between.
    std::string head = MailHeaderBlock(recipients, sender, mail.subject, network.UtcFileTime());
    if (IsReportId(mail.reportId)) head += "X-Kestrum-Report-Id: " + mail.reportId + "\r\n";
    std::string body = BodyAsSmtpData(mail.body);
    std::string end;
    if (!mail.attachments.files.empty()) {
      // The line end before a delimiter belongs to the delimiter: the text part keeps only the
      // line ends the body has.
      if (!mail.body.empty() && mail.body.back() != '\n' && mail.body.back() != '\r') body.resize(body.size() - 2);
      if (!s.Send(head + MailMultipartHead() + body)) return false;
      s.Done();
      s.Done();
      for (std::size_t i = 0; i < mail.attachments.files.size(); ++i) {
        const std::string& name = i < mail.attachments.sendAsNames.size() ? mail.attachments.sendAsNames[i] : mail.attachments.files[i];
        if (SendAttachment(s, mail.attachments.files[i], name) == 2) return false;
      }
      end = "\r\n--" + std::string(kMultipartBoundary) + "--\r\n";
    } else {
      if (!s.Send(head + "\r\n" + body)) return false;
      s.Done();
    }
    if (!s.Command(end + ".", "250")) return false;
    s.Done();
    return true;
  }();
  const bool quit = s.Command("QUIT", "221");
  s.Done();
  return ok && quit;
}

}  // namespace delivery
