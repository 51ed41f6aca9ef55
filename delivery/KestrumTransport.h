// The program's own network ways of report delivery: the HTTP upload, direct delivery to each
// recipient's mail server and delivery through a configured SMTP server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "delivery/KestrumHttp.h"
#include "delivery/KestrumNet.h"
#include "delivery/KestrumSmtp.h"

namespace delivery {

struct TransportRequest {
  std::string httpUrl;     // set: upload
  std::string recipients;  // else: mail to these
  std::string server;      // SMTP server; empty: direct delivery on port 25
  std::uint16_t port = 25;
  std::string account, password, sender, subject, body;
  FormFields fields;
  AttachmentSet attachments;
  TransportTexts texts;
  std::string reportId;  // goes as the upload's field report_id or the mail's header
};

inline constexpr std::uint16_t kDirectDeliveryPort = 25;

// 32 lowercase hexadecimal digits: the only report ids that go into a mail header or a form
// field, and the only names an outbox entry's folder may have.
bool IsReportId(std::string_view text);
// The id of 16 random bytes.
std::string FormatReportId(const std::uint8_t (&bytes)[16]);

// Replaces the progress areas with the way's own and runs it. Direct delivery succeeds when the
// mail reached any one recipient.
// answerBody: the upload's answer body (see HttpUpload).
bool SendBySmtpOrHttp(Network& network, ProgressSink* progress, const TransportRequest& request, std::string* answerBody = nullptr);

}  // namespace delivery
