#include "delivery/KestrumDeliver.h"

#include <algorithm>
#include <cctype>

#include "delivery/KestrumMailText.h"
#include "platform/Text.h"

namespace delivery {
namespace {

using platform::EqualNoCase;

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

namespace {

// A reader of exactly what the answer may be: one object whose values are strings, numbers,
// true, false or null. Anything nested or malformed makes the whole answer unreadable.
class FlatJson {
 public:
  explicit FlatJson(std::string_view text) : t_(text) {}

  bool Read(std::vector<std::pair<std::string, std::string>>& members) {
    Blank();
    if (!Take('{')) return false;
    Blank();
    if (Take('}')) return End();
    while (true) {
      std::string key, value;
      Blank();
      if (!String(key)) return false;
      Blank();
      if (!Take(':')) return false;
      Blank();
      if (!Value(value)) return false;
      members.emplace_back(std::move(key), std::move(value));
      Blank();
      if (Take('}')) return End();
      if (!Take(',')) return false;
    }
  }

 private:
  bool End() {
    Blank();
    return at_ == t_.size();
  }
  void Blank() {
    while (at_ < t_.size() && (t_[at_] == ' ' || t_[at_] == '\t' || t_[at_] == '\r' || t_[at_] == '\n')) ++at_;
  }
  bool Take(char c) {
    if (at_ < t_.size() && t_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at_ < t_.size()) {
      const char c = t_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= t_.size()) return false;
      const char e = t_[at_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': case 'f': case 'n': case 'r': case 't': out += ' '; break;
        case 'u': {
          if (at_ + 4 > t_.size()) return false;
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = t_[at_++];
            if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
            code = code * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (std::tolower(h) - 'a' + 10));
          }
          // The texts that matter are ASCII; anything else cannot be shown in the report's code page faithfully.
          out += code >= 0x20 && code < 0x7F ? static_cast<char>(code) : '?';
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Value(std::string& out) {
    if (at_ < t_.size() && t_[at_] == '"') return String(out);
    const std::size_t start = at_;
    while (at_ < t_.size() && (std::isalnum(static_cast<unsigned char>(t_[at_])) || t_[at_] == '-' || t_[at_] == '+' || t_[at_] == '.'))
      ++at_;
    const std::string_view word = t_.substr(start, at_ - start);
    if (word == "true" || word == "false" || word == "null") return true;
    if (word.empty() || !(std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '-')) return false;
    out = word;
    return true;
  }

  std::string_view t_;
  std::size_t at_ = 0;
};

constexpr std::size_t kMaxVersionText = 40;

}  // namespace

CollectorAnswer ParseCollectorAnswer(std::string_view body) {
  CollectorAnswer a;
  std::vector<std::pair<std::string, std::string>> members;
  if (body.size() > 4096 || !FlatJson(body).Read(members)) return a;
  std::string status, fixedIn;
  for (const auto& [key, value] : members) {
    if (key == "status") status = value;
    if (key == "fixed_in") fixedIn = value;
  }
  if (status == "new") a.state = CollectorAnswer::State::kNew;
  if (status == "known") a.state = CollectorAnswer::State::kKnown;
  if (status == "fixed") a.state = CollectorAnswer::State::kFixed;
  if (a.state == CollectorAnswer::State::kNone) return a;
  const bool printable = std::all_of(fixedIn.begin(), fixedIn.end(), [](char c) { return c > ' ' && c < 0x7F; });
  if (printable && fixedIn.size() <= kMaxVersionText) a.fixedIn = fixedIn;
  return a;
}

std::string CollectorAnswerLine(const CollectorAnswer& answer, const AnswerTexts& texts) {
  switch (answer.state) {
    case CollectorAnswer::State::kNone: return "";
    case CollectorAnswer::State::kNew: return texts.newMsg;
    case CollectorAnswer::State::kKnown: return texts.knownMsg;
    case CollectorAnswer::State::kFixed: break;
  }
  if (answer.fixedIn.empty()) return texts.knownMsg;
  std::string line = texts.fixedMsg;
  // The version is a short printable text without '%' placeholders of its own.
  for (std::size_t at = 0; (at = line.find("%version%", at)) != std::string::npos; at += answer.fixedIn.size())
    line.replace(at, 9, answer.fixedIn);
  return line;
}

}  // namespace delivery
