// Sends a report with a screenshot ROUNDS times over SMTP and over HTTP to loopback servers and
// prints the best time of each in microseconds: "smtp_us http_us". The time runs from the start
// of the session to the server's acceptance (250 after the data, 200 after the upload).

#include <cstdio>
#include <cstdlib>
#include <string>

#include "delivery/KestrumHttp.h"
#include "delivery/KestrumNet_win.h"
#include "delivery/KestrumSmtp.h"

namespace {

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1e6 / static_cast<double>(f.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "TransportSend SMTP-PORT HTTP-PORT REPORT SCREENSHOT ROUNDS\n");
    return 2;
  }
  const auto smtpPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const auto httpPort = static_cast<std::uint16_t>(std::atoi(argv[2]));
  const std::string report = argv[3], shot = argv[4];
  const int rounds = std::atoi(argv[5]);
  delivery::WinsockSession winsock;
  delivery::WinsockNetwork network;
  network.proxyOverride = "";
  std::string body;
  if (FILE* f = std::fopen(report.c_str(), "rb")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) body.append(buffer, n);
    std::fclose(f);
  }
  delivery::SmtpMail mail;
  mail.sender = "bench@kelvane.example";
  mail.subject = "Benchmark";
  mail.body = body;
  mail.attachments = {{report, shot}, {"bugreport.txt", "screenshot.png"}, {"BugReport", "ScreenShot"}};
  delivery::HttpUploadRequest upload;
  upload.url = "http://127.0.0.1/upload";
  upload.port = httpPort;
  upload.attachments = mail.attachments;
  double bestSmtp = 1e18, bestHttp = 1e18;
  for (int i = 0; i < rounds; ++i) {
    double t = Now();
    if (!delivery::SmtpSession(network, nullptr, {"127.0.0.1", smtpPort}, "dev@kelvane.example", mail)) return 1;
    bestSmtp = std::min(bestSmtp, Now() - t);
    t = Now();
    if (!delivery::HttpUpload(network, nullptr, upload)) return 1;
    bestHttp = std::min(bestHttp, Now() - t);
  }
  std::printf("%.0f %.0f\n", bestSmtp, bestHttp);
  return 0;
}
