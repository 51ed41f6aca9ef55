// The decisions of one report delivery, apart from files, windows and sockets: the mail texts,
// which network way runs, the sending window's areas, the upload fields, the MAPI recipients and
// which fallbacks follow. The Windows side (KestrumDeliver_win.cpp) carries them out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crash/settings/KestrumRules.h"
#include "delivery/KestrumHttp.h"
#include "delivery/KestrumPng.h"
#include "delivery/KestrumSmtp.h"

namespace delivery {

// What a delivery reads from the settings, read once at its start: a delivery on its own thread
// then sees one consistent set even when the settings change meanwhile.
struct DeliverySettings {
  std::string mailAddr, mailFrom, mailSubject, mailBody;
  bool mailAsSmtpServer = false, mailAsSmtpClient = false, uploadViaHttp = false;
  bool mailViaMapi = true, mailViaMailto = true;
  std::string smtpServer;
  std::uint16_t smtpPort = 25;
  std::string smtpAccount, smtpPassword;
  std::string httpServer;
  std::uint16_t httpPort = 80;
  std::string httpAccount, httpPassword;
  bool attachBugRep = true, attachBugRepFile = false, delBugRepFile = false;
  std::string bugRepFile, bugRepSendAs = "bugreport.txt", bugRepZip;
  std::string miniDumpSendAs = "crash.dmp";
  std::int32_t scrShotDepth = 8;
  std::string scrShotSendAs = "screenshot.png", scrShotZip;
  std::vector<kestrum::AttachmentSpec> additionalAttachments;
  FormFields additionalFields;
  bool autoSendBox = false;
  std::string sendBoxTitle, sendFailMsg;
  TransportTexts texts;
  bool outboxRetry = false;
  std::uint32_t outboxMaxReports = 20, outboxMaxKB = 20480, outboxMaxDays = 30;
  std::string answerNewMsg, answerKnownMsg, answerFixedMsg;
};

enum class NetworkWay { kNone, kHttpUpload, kDirectSmtp, kSmtpServer };

// The one network way the settings ask for, in the order upload, direct, server; kNone when the
// chosen way lacks what it needs (no upload server, no recipient, no SMTP server): a later way is
// never tried in its place.
NetworkWay ChooseNetworkWay(const DeliverySettings& s, const std::string& recipients);

// Attachments and the sending window are needed only for a way that sends files.
bool NeedsAttachments(const DeliverySettings& s);

// The sending window's areas (weight, text) before a network way puts its own.
std::vector<std::pair<std::int64_t, std::string>> SendingAreas(const DeliverySettings& s, bool anyAttachment);

// The screenshot's PNG format for the ScrShotDepth setting.
TPngFormat PngFormatForDepth(std::int32_t depth);

// MailFrom, else "Kestrum <first address of MailAddr>" (without a display name), else "".
std::string DefaultSender(const std::string& mailFrom, const std::string& mailAddr);

// The three exception placeholders in one pass: a value that itself holds a placeholder is not
// expanded again. An empty message reads "Unknown".
std::string ExpandExceptionPlaceholders(const std::string& text, const std::string& exceptClass, const std::string& exceptMsg,
                                        const std::string& bugReport);

struct MailTexts {
  std::string sender, subject, body, recipients;
};
// The texts of the mail; subject and body with the report's exception class, message and the
// report itself put in.
MailTexts ComposeMailTexts(const DeliverySettings& s, const std::string& bugReport);

// AddFields, then the mail texts that are not empty, each replacing a field of the same name.
FormFields UploadFields(const FormFields& additional, const MailTexts& texts);

struct MapiRecipient {
  std::string name;     // display name
  std::string address;  // "SMTP:" + address
  bool operator==(const MapiRecipient&) const = default;
};
// One recipient per address: "Name <a@b>" gives name "Name" and address a@b; a bare address is
// both.
std::vector<MapiRecipient> MapiRecipients(const std::string& recipients);

// What the fallbacks after a failed network way do.
struct FallbackPlan {
  bool tryMapi = false;
  bool tryMailto = false;      // only when MAPI did not deliver and was not cancelled
  bool showFailure = false;    // only when nothing delivered and nothing was cancelled
};
FallbackPlan PlanFallbacks(const DeliverySettings& s, bool hidden);

// MAPI sends without any dialog only for an automatic send to a known recipient.
bool MapiWithoutDialog(bool hidden, const std::string& recipients);

// The temporary screenshot stays for a mail client that may read it after the call returns.
bool DeleteScreenShotAfterNetwork(bool networkDelivered, bool mailViaMapi);

// --- The collector's answer to an upload: its JSON body names the state of the report's group.

struct CollectorAnswer {
  enum class State { kNone, kNew, kKnown, kFixed } state = State::kNone;
  std::string fixedIn;
  bool operator==(const CollectorAnswer&) const = default;
};
// kNone for anything but one flat JSON object with a "status" of "new", "known" or "fixed" (any
// other server's answer). A version that is not a short printable text is left out.
CollectorAnswer ParseCollectorAnswer(std::string_view body);

struct AnswerTexts {
  std::string newMsg, knownMsg, fixedMsg;
};
// The one line shown for the answer ("" for none); "%version%" in the fixed text is the version.
// A fixed group without a version reads as known: a line naming no version would say nothing.
std::string CollectorAnswerLine(const CollectorAnswer& answer, const AnswerTexts& texts);

// --- Printing the report.

// The report's lines as printed: split at CR LF; an empty line is printed as one blank, so that it
// keeps its height.
std::vector<std::string> PrintLines(std::string_view report);

// Where the text goes on the page, in device pixels.
struct PrintArea {
  int left = 0, top = 0, width = 0, bottom = 0;
};
struct PrinterMetrics {
  int widthMm = 0, heightMm = 0;        // HORZSIZE, VERTSIZE
  int widthPx = 0, heightPx = 0;        // HORZRES, VERTRES
  int offsetXPx = 0, offsetYPx = 0;     // PHYSICALOFFSETX, PHYSICALOFFSETY
};
// Margins of 10 mm at top and bottom, 20 mm left and 10 mm right, less what the printer cannot
// reach anyway. A printer that reports no size gets no margins.
PrintArea PrintAreaOf(const PrinterMetrics& m);

struct PrintPlacement {
  int page = 0;  // from 0
  int top = 0;
};
// Places lines of the given heights one below the other from area.top; a line that would end
// below area.bottom starts a new page, unless it is the first of its page (a line higher than the
// page is printed as far as it goes rather than pushing pages out for ever).
std::vector<PrintPlacement> PlacePrintLines(const std::vector<int>& heights, const PrintArea& area);

}  // namespace delivery
