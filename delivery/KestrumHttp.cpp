#include "delivery/KestrumHttp.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>

#include "delivery/KestrumMailText.h"
#include "platform/Text.h"

namespace delivery {

std::string FormFieldsPart(const FormFields& fields) {
  std::string out;
  for (const auto& [name, content] : fields) {
    out += "\r\n--" + std::string(kMultipartBoundary) + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + content;
  }
  return out;
}

std::string FormFilePartHead(const std::string& fieldName, const std::string& sendAsName) {
  return "\r\n--" + std::string(kMultipartBoundary) + "\r\nContent-Disposition: form-data; name=\"" + fieldName + "\"; filename=\"" +
         sendAsName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

std::string FormClosing() { return "\r\n--" + std::string(kMultipartBoundary) + "--\r\n"; }

bool SplitHttpUrl(std::string_view url, std::string& host, std::string& path) {
  const std::size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) url.remove_prefix(scheme + 3);
  const std::size_t slash = url.find('/');
  if (slash == std::string_view::npos || slash == 0) return false;
  host = url.substr(0, slash);
  path = url.substr(slash);
  return true;
}

std::string ProxyTarget(std::string_view list) {
  const std::size_t scheme = list.find("://");
  if (scheme != std::string_view::npos) list.remove_prefix(scheme + 3);
  const std::size_t http = list.find("http=");
  if (http != std::string_view::npos) {
    list.remove_prefix(http + 5);
    list = list.substr(0, list.find(' '));
  }
  while (!list.empty() && list.back() == '/') list.remove_suffix(1);
  return std::string(list);
}

void SplitHostPort(std::string& target, std::uint16_t& port) {
  const std::size_t colon = target.rfind(':');
  if (colon == std::string::npos) return;
  unsigned value = 0;
  const char* first = target.data() + colon + 1;
  const char* last = target.data() + target.size();
  const auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last || first == last || value == 0 || value > 65535) return;
  port = static_cast<std::uint16_t>(value);
  target.resize(colon);
}

bool IsWebAddress(std::string_view url) {
  const bool http = platform::StartsWithNoCase(url, "http://");
  if (!http && !platform::StartsWithNoCase(url, "https://")) return false;
  const std::size_t hostStart = http ? 7 : 8;
  if (url.size() <= hostStart) return false;
  for (char c : url) {
    // Blanks and quotes would let the address carry arguments to whatever opens it.
    if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == 0x7F) return false;
  }
  return true;
}

HttpAnswer JudgeHttpAnswer(std::string_view text) {
  HttpAnswer a;
  while (true) {
    const std::size_t lineEnd = text.find("\r\n");
    if (lineEnd == std::string_view::npos) {
      if (text.size() >= 5 && !text.starts_with("HTTP/")) a.status = HttpAnswer::Status::kFailed;
      return a;
    }
    const std::string_view line = text.substr(0, lineEnd);
    const std::size_t blank = line.find(' ');
    std::string_view code = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
    code = code.substr(0, code.find(' '));
    if (!line.starts_with("HTTP/") || code.size() != 3) {
      a.status = HttpAnswer::Status::kFailed;
      return a;
    }
    const std::size_t headEnd = text.find("\r\n\r\n");
    if (code == "200") {
      a.status = HttpAnswer::Status::kOk;
      return a;
    }
    if (code == "100") {
      if (headEnd == std::string_view::npos) return a;
      text.remove_prefix(headEnd + 4);
      continue;
    }
    if (code == "302") {
      if (headEnd == std::string_view::npos) return a;
      const std::string_view head = text.substr(0, headEnd + 2);
      std::size_t at = 0;
      while ((at = head.find("\r\n", at)) != std::string_view::npos && at + 2 < head.size()) {
        at += 2;
        std::string_view header = head.substr(at, head.find("\r\n", at) - at);
        if (platform::StartsWithNoCase(header, "location:")) {
          header.remove_prefix(9);
          while (!header.empty() && header.front() == ' ') header.remove_prefix(1);
          while (!header.empty() && header.back() == ' ') header.remove_suffix(1);
          a.location = header;
          break;
        }
      }
      a.status = HttpAnswer::Status::kRedirect;
      return a;
    }
    a.status = HttpAnswer::Status::kFailed;
    return a;
  }
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct FilePart {
  std::size_t index;
  std::uint64_t size;
  std::string head;
};

std::vector<FilePart> FileParts(const HttpUploadRequest& r) {
  std::vector<FilePart> parts;
  const AttachmentSet& a = r.attachments;
  for (std::size_t i = 0; i < a.files.size(); ++i) {
    std::uint64_t size = 0;
    if (!FileSize(a.files[i], size) || size == 0) continue;
    const std::string& name = i < a.sendAsNames.size() ? a.sendAsNames[i] : a.files[i];
    const std::string& field = i < a.fieldNames.size() ? a.fieldNames[i] : name;
    parts.push_back({i, size, FormFilePartHead(field, name)});
  }
  return parts;
}

}  // namespace

void AddHttpAreas(ProgressSink& progress, const TransportTexts& texts, const HttpUploadRequest& request) {
  progress.AddArea(100, texts.connect);
  progress.AddArea(100, "");
  progress.AddArea(static_cast<std::int64_t>(FormFieldsPart(request.fields).size()) + 100, texts.field);
  for (const FilePart& p : FileParts(request)) {
    progress.AddArea(static_cast<std::int64_t>((p.head.size() + p.size) / 16), texts.sendAttachment);
  }
  progress.AddArea(100, "");
  progress.AddArea(500, texts.sendFinal);
}

std::optional<std::string> HttpAnswerBody(std::string_view text, bool connectionClosed) {
  // Skip interim 100 answers as the judgement does.
  while (text.starts_with("HTTP/") && text.substr(0, text.find("\r\n")).find(" 100") != std::string_view::npos) {
    const std::size_t end = text.find("\r\n\r\n");
    if (end == std::string_view::npos) return std::nullopt;
    text.remove_prefix(end + 4);
  }
  const std::size_t headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return std::nullopt;
  const std::string_view head = text.substr(0, headEnd + 2);
  const std::string_view body = text.substr(headEnd + 4);
  std::optional<std::uint64_t> length;
  for (std::size_t at = head.find("\r\n"); at != std::string_view::npos && at + 2 < head.size(); at = head.find("\r\n", at + 2)) {
    const std::string_view line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
    constexpr std::string_view kName = "content-length:";
    if (line.size() <= kName.size()) continue;
    if (!platform::StartsWithNoCase(line, kName)) continue;
    std::string_view value = line.substr(kName.size());
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    std::uint64_t n = 0;
    if (value.empty() || value.size() > 12) return std::nullopt;
    for (const char c : value) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    length = n;
  }
  if (length) {
    if (body.size() < *length) return std::nullopt;
    return std::string(body.substr(0, static_cast<std::size_t>(*length)));
  }
  // Without a length the body runs to the end of the connection.
  if (!connectionClosed) return std::nullopt;
  return std::string(body);
}

bool HttpUpload(Network& network, ProgressSink* progress, const HttpUploadRequest& request, int waitMs, std::string* answerBody) {
  auto done = [&] {
    if (progress) progress->AreaDone();
  };
  std::string host, path;
  if (!SplitHttpUrl(request.url, host, path)) return false;
  const std::string hostHeader = host + ":" + std::to_string(request.port);
  std::string target = ProxyTarget(network.ProxySetting());
  const bool viaProxy = !target.empty();
  if (!viaProxy) target = host;
  std::uint16_t port = request.port;
  SplitHostPort(target, port);
  std::unique_ptr<Connection> c = network.Connect(target, port);
  if (!c) return false;
  done();

  const std::string fields = FormFieldsPart(request.fields);
  const std::vector<FilePart> parts = FileParts(request);
  std::uint64_t length = fields.size() + FormClosing().size();
  for (const FilePart& p : parts) length += p.head.size() + p.size;
  // The first CR LF of the body ends the head: it is not part of the content.
  length -= 2;
  // A proxy needs the whole address to know where the request goes.
  const std::string requestTarget = viaProxy ? "http://" + hostHeader + path : path;
  std::string head = "POST " + requestTarget + " HTTP/1.1\r\nHost: " + hostHeader +
                     "\r\nConnection: close\r\nPragma: no-cache\r\nUser-Agent: " + std::string(kHttpUserAgent) +
                     "\r\nContent-Type: multipart/form-data; boundary=" + std::string(kMultipartBoundary) +
                     "\r\nContent-Length: " + std::to_string(length);
  if (!request.sender.empty()) head += "\r\nFrom: " + AngleAddress(request.sender, false);
  if (!request.account.empty() || !request.password.empty()) {
    head += "\r\nAuthorization: Basic " + EncodeBase64(request.account + ":" + request.password);
  }
  head += "\r\n";
  if (!c->Send(head + fields)) return false;
  done();
  for (const FilePart& p : parts) {
    File f(std::fopen(request.attachments.files[p.index].c_str(), "rb"));
    if (!f || !c->Send(p.head)) return false;
    // Large blocks: each send is a system call (under Wine a round trip to the wineserver) and,
    // with no delay for small sends, a segment of its own for the server to wake up for.
    char block[16384];
    std::uint64_t sent = 0;
    while (sent < p.size) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof block, p.size - sent));
      const std::size_t n = std::fread(block, 1, want, f.get());
      // A file that shrank since it was counted would leave the announced length unfilled.
      if (n != want || !c->Send(std::string_view(block, n))) return false;
      sent += n;
      if (progress) progress->SetPosition(static_cast<int>(sent * 1000 / p.size));
    }
    done();
  }
  if (!c->Send(FormClosing())) return false;
  done();

  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  HttpAnswer judged;
  while (judged.status == HttpAnswer::Status::kMore) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    char buffer[5120];
    const int n = left > 0 ? c->Receive(buffer, sizeof buffer, static_cast<int>(left)) : -1;
    if (n <= 0) return false;
    answer.append(buffer, static_cast<std::size_t>(n));
    if (answer.size() > kHttpMaxAnswer) return false;
    judged = JudgeHttpAnswer(answer);
  }
  done();
  if (judged.status == HttpAnswer::Status::kRedirect) {
    if (IsWebAddress(judged.location)) network.OpenWebAddress(judged.location);
    return true;
  }
  if (judged.status == HttpAnswer::Status::kOk && answerBody) {
    // The report is delivered already; the body only adds what the server thinks of it, so a
    // body that does not come in time is simply not there.
    bool closed = false;
    std::optional<std::string> body;
    while (!(body = HttpAnswerBody(answer, closed)) && !closed && answer.size() <= kHttpMaxAnswer) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      char buffer[5120];
      const int n = left > 0 ? c->Receive(buffer, sizeof buffer, static_cast<int>(left)) : -1;
      if (n < 0) break;
      if (n == 0) closed = true;
      answer.append(buffer, static_cast<std::size_t>(n));
    }
    if (body) *answerBody = std::move(*body);
  }
  return judged.status == HttpAnswer::Status::kOk;
}

}  // namespace delivery
