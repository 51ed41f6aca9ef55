#include "delivery/KestrumDeliver.h"

#include <algorithm>
#include <cctype>

#include "delivery/KestrumMailText.h"

namespace delivery {
namespace {

using kestrum::EqualNoCase;

void SetField(FormFields& fields, const std::string& name, const std::string& content) {
  if (content.empty()) return;
  for (auto& [n, c] : fields) {
    if (EqualNoCase(n, name)) {
      c = content;
      return;
    }
  }
  fields.emplace_back(name, content);
}

}  // namespace

NetworkWay ChooseNetworkWay(const DeliverySettings& s, const std::string& recipients) {
  if (s.uploadViaHttp) return s.httpServer.empty() ? NetworkWay::kNone : NetworkWay::kHttpUpload;
  if (s.mailAsSmtpServer) return recipients.empty() ? NetworkWay::kNone : NetworkWay::kDirectSmtp;
  if (s.mailAsSmtpClient) return recipients.empty() || s.smtpServer.empty() ? NetworkWay::kNone : NetworkWay::kSmtpServer;
  return NetworkWay::kNone;
}

bool NeedsAttachments(const DeliverySettings& s) {
  return s.mailAsSmtpServer || s.mailAsSmtpClient || s.uploadViaHttp || s.mailViaMapi;
}

std::vector<std::pair<std::int64_t, std::string>> SendingAreas(const DeliverySettings& s, bool anyAttachment) {
  std::vector<std::pair<std::int64_t, std::string>> areas{{100, s.texts.prepare}};
  if (!(s.mailAsSmtpServer || s.mailAsSmtpClient || s.uploadViaHttp)) return areas;
  if (s.mailAsSmtpServer) areas.emplace_back(100, s.texts.mxLookup);
  areas.emplace_back(100, s.texts.connect);
  if (s.mailAsSmtpServer || s.mailAsSmtpClient) {
    areas.emplace_back(200, s.texts.auth);
    areas.emplace_back(100, s.texts.sendMail);
  }
  if (s.uploadViaHttp) areas.emplace_back(100, s.texts.field);
  if (anyAttachment) areas.emplace_back(100, s.texts.sendAttachment);
  areas.emplace_back(100, s.texts.sendFinal);
  return areas;
}

TPngFormat PngFormatForDepth(std::int32_t depth) {
  switch (depth) {
    case 4: return pf16Grays;
    case 51200: return pf50kb;
    case 102400: return pf100kb;
    case 204800: return pf200kb;
    case 307200: return pf300kb;
    default: return pf256Colors;
  }
}

std::string DefaultSender(const std::string& mailFrom, const std::string& mailAddr) {
  if (!mailFrom.empty()) return mailFrom;
  const std::vector<MailAddress> addresses = ParseAddressList(mailAddr);
  if (addresses.empty()) return {};
  return "Kestrum <" + addresses.front().address + ">";
}

std::string ExpandExceptionPlaceholders(const std::string& text, const std::string& exceptClass, const std::string& exceptMsg,
                                        const std::string& bugReport) {
  static constexpr std::string_view kNames[] = {"%exceptClass%", "%exceptMsg%", "%bugReport%"};
  const std::string* values[] = {&exceptClass, &exceptMsg, &bugReport};
  static const std::string kUnknown = "Unknown";
  if (exceptMsg.empty()) values[1] = &kUnknown;
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    bool replaced = false;
    if (text[i] == '%') {
      for (std::size_t k = 0; k < 3; ++k) {
        if (text.size() - i >= kNames[k].size() && EqualNoCase(std::string_view(text).substr(i, kNames[k].size()), kNames[k])) {
          out += *values[k];
          i += kNames[k].size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

MailTexts ComposeMailTexts(const DeliverySettings& s, const std::string& bugReport) {
  MailTexts t;
  t.recipients = s.mailAddr;
  t.sender = DefaultSender(s.mailFrom, s.mailAddr);
  const std::string exceptClass = ReportHeaderField(bugReport, "exception class");
  const std::string exceptMsg = ReportHeaderField(bugReport, "exception message");
  t.subject = ExpandExceptionPlaceholders(s.mailSubject, exceptClass, exceptMsg, bugReport);
  t.body = ExpandExceptionPlaceholders(s.mailBody, exceptClass, exceptMsg, bugReport);
  return t;
}

FormFields UploadFields(const FormFields& additional, const MailTexts& texts) {
  FormFields fields = additional;
  SetField(fields, "MailFrom", texts.sender);
  SetField(fields, "MailSubject", texts.subject);
  SetField(fields, "MailBody", texts.body);
  SetField(fields, "MailAddr", texts.recipients);
  return fields;
}

std::vector<MapiRecipient> MapiRecipients(const std::string& recipients) {
  std::vector<MapiRecipient> out;
  for (const MailAddress& a : ParseAddressList(recipients)) out.push_back({a.name.empty() ? a.address : a.name, "SMTP:" + a.address});
  return out;
}

FallbackPlan PlanFallbacks(const DeliverySettings& s, bool hidden) {
  return {s.mailViaMapi, s.mailViaMailto && !hidden, !hidden};
}

bool MapiWithoutDialog(bool hidden, const std::string& recipients) { return hidden && !recipients.empty(); }

bool DeleteScreenShotAfterNetwork(bool networkDelivered, bool mailViaMapi) { return networkDelivered || !mailViaMapi; }

std::vector<std::string> PrintLines(std::string_view report) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= report.size()) {
    const std::size_t end = report.find("\r\n", start);
    std::string line(report.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos && line.empty()) break;  // nothing after the last line end
    lines.push_back(line.empty() ? std::string(" ") : std::move(line));
    if (end == std::string_view::npos) break;
    start = end + 2;
  }
  return lines;
}

PrintArea PrintAreaOf(const PrinterMetrics& m) {
  auto pixels = [](int mm, int px, int sizeMm, int offset) {
    if (sizeMm <= 0) return 0;
    return std::max(0, static_cast<int>(static_cast<long long>(mm) * px / sizeMm) - offset);
  };
  const int top = pixels(10, m.heightPx, m.heightMm, m.offsetYPx);
  const int left = pixels(20, m.widthPx, m.widthMm, m.offsetXPx);
  const int right = pixels(10, m.widthPx, m.widthMm, m.offsetXPx);
  PrintArea a;
  a.top = top;
  a.left = left;
  a.width = std::max(1, m.widthPx - left - right);
  a.bottom = std::max(top + 1, m.heightPx - top);
  return a;
}

std::vector<PrintPlacement> PlacePrintLines(const std::vector<int>& heights, const PrintArea& area) {
  std::vector<PrintPlacement> out;
  out.reserve(heights.size());
  int page = 0, y = area.top;
  for (const int h : heights) {
    if (y != area.top && y + h > area.bottom) {
      ++page;
      y = area.top;
    }
    out.push_back({page, y});
    y += std::max(0, h);
  }
  return out;
}

}  // namespace delivery
