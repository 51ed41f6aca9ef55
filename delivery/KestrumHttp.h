// The HTTP upload of report delivery: a multipart form POST of the fields and attachment files,
// and the judgement of the server's answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "delivery/KestrumNet.h"
#include "delivery/KestrumSmtp.h"

namespace delivery {

inline constexpr int kHttpAnswerWaitMs = 7000;
inline constexpr std::size_t kHttpMaxAnswer = 64 * 1024;
inline constexpr std::string_view kHttpUserAgent = "Kestrum/3.0";

using FormFields = std::vector<std::pair<std::string, std::string>>;

// Every field as CR LF "--boundary" CR LF, its Content-Disposition line, an empty line, content.
std::string FormFieldsPart(const FormFields& fields);
// The head of one file part, from its leading CR LF to the empty line before the bytes.
std::string FormFilePartHead(const std::string& fieldName, const std::string& sendAsName);
std::string FormClosing();

// "host[:port]/path" after the scheme; false when there is no "/" after the host.
bool SplitHttpUrl(std::string_view url, std::string& host, std::string& path);
// The proxy of the internet settings' list that serves http ("" for none).
std::string ProxyTarget(std::string_view proxyList);
// "name:number" with a valid port number becomes name and that port.
void SplitHostPort(std::string& target, std::uint16_t& port);
// Only web addresses may be opened from a redirect: a server must not start programs.
bool IsWebAddress(std::string_view url);

struct HttpAnswer {
  enum class Status { kMore, kOk, kRedirect, kFailed } status = Status::kMore;
  std::string location;
};
// Judges the answer text received so far: 100 answers are skipped, 200 is done, 302 is done and
// carries its Location, anything else fails; kMore until enough has arrived.
HttpAnswer JudgeHttpAnswer(std::string_view text);

struct HttpUploadRequest {
  std::string url;
  std::uint16_t port = 80;
  std::string account, password, sender;
  FormFields fields;
  AttachmentSet attachments;
};

// The upload's progress areas.
void AddHttpAreas(ProgressSink& progress, const TransportTexts& texts, const HttpUploadRequest& request);
// answerBody (when given) receives the body of a 200 answer as far as it arrives in time: the
// collector's verdict on the report, nothing that decides success.
bool HttpUpload(Network& network, ProgressSink* progress, const HttpUploadRequest& request, int waitMs = kHttpAnswerWaitMs,
                std::string* answerBody = nullptr);
// The body of a complete 200 answer text (head and body), bounded by its Content-Length; nothing
// while the head or the announced length has not arrived whole.
std::optional<std::string> HttpAnswerBody(std::string_view text, bool connectionClosed);

}  // namespace delivery
