#include "delivery/KestrumTransport.h"

#include "delivery/KestrumMailText.h"

#include <algorithm>

#include "platform/Text.h"

namespace delivery {

bool IsReportId(std::string_view text) {
  return text.size() == 32 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string FormatReportId(const std::uint8_t (&bytes)[16]) { return platform::HexBytes(bytes); }

bool SendBySmtpOrHttp(Network& network, ProgressSink* progress, const TransportRequest& r, std::string* answerBody) {
  if (progress) {
    progress->ClearAreas();
    progress->AddArea(1000, r.texts.prepare);
  }
  if (!r.httpUrl.empty()) {
    HttpUploadRequest upload{r.httpUrl, r.port, r.account, r.password, r.sender, r.fields, r.attachments};
    // The id replaces a field of the same name from the settings: it is what makes a repeated
    // upload recognisable.
    if (!r.reportId.empty()) {
      std::erase_if(upload.fields, [](const auto& f) { return f.first == "report_id"; });
      upload.fields.emplace_back("report_id", r.reportId);
    }
    if (progress) {
      AddHttpAreas(*progress, r.texts, upload);
      progress->AreaDone();
    }
    return HttpUpload(network, progress, upload, kHttpAnswerWaitMs, answerBody);
  }
  if (r.recipients.empty()) return false;
  SmtpMail mail{r.sender, r.subject, r.body, r.account, r.password, r.attachments, r.reportId};
  if (!r.server.empty()) {
    if (progress) {
      AddSmtpAreas(*progress, r.texts, r.attachments, false);
      progress->AreaDone();
    }
    return SmtpSession(network, progress, {r.server, r.port}, r.recipients, mail);
  }
  const std::vector<std::string> addresses = SplitAddressList(r.recipients);
  int perSession = 0;
  if (progress) {
    for (std::size_t i = 0; i < addresses.size(); ++i) perSession = AddSmtpAreas(*progress, r.texts, r.attachments, true);
    progress->AreaDone();
  }
  bool any = false;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (SmtpSession(network, progress, {"", kDirectDeliveryPort}, addresses[i], mail)) any = true;
    // A session that stopped early leaves its areas behind; the next one starts at its own.
    if (progress) progress->SetCurrentArea(1 + static_cast<int>(i + 1) * perSession);
  }
  return any;
}

}  // namespace delivery
