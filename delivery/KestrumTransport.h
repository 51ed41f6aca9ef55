// The program's own network ways of report delivery: the HTTP upload, direct delivery to each
// recipient's mail server and delivery through a configured SMTP server.
#pragma once

#include <cstdint>
#include <string>

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
};

inline constexpr std::uint16_t kDirectDeliveryPort = 25;

// Replaces the progress areas with the way's own and runs it. Direct delivery succeeds when the
// mail reached any one recipient.
bool SendBySmtpOrHttp(Network& network, ProgressSink* progress, const TransportRequest& request);

}  // namespace delivery
