#include "delivery/KestrumTransport.h"

#include "delivery/KestrumMailText.h"

namespace delivery {

bool SendBySmtpOrHttp(Network& network, ProgressSink* progress, const TransportRequest& r) {
  if (progress) {
    progress->ClearAreas();
    progress->AddArea(1000, r.texts.prepare);
  }
  if (!r.httpUrl.empty()) {
    HttpUploadRequest upload{r.httpUrl, r.port, r.account, r.password, r.sender, r.fields, r.attachments};
    if (progress) {
      AddHttpAreas(*progress, r.texts, upload);
      progress->AreaDone();
    }
    return HttpUpload(network, progress, upload);
  }
  if (r.recipients.empty()) return false;
  SmtpMail mail{r.sender, r.subject, r.body, r.account, r.password, r.attachments};
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
