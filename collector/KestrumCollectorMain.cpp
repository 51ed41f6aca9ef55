// kestrum-collector serve | import | prune: the bug report collector.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "collector/KestrumCollectorServer.h"

namespace {

constexpr const char* kUsage =
    "usage: kestrum-collector serve [options]\n"
    "       kestrum-collector import [options] FILE...   (bug report files or ZIP archives of one)\n"
    "       kestrum-collector prune [options]\n"
    "options:\n"
    "  --listen HOST:PORT     where to listen (127.0.0.1:8080; port 0 takes a free one)\n"
    "  --data DIR             the data folder: SQLite database, attachments, quarantine (kestrum-data)\n"
    "  --database URL         postgresql://... instead of SQLite in the data folder\n"
    "  --admin-token TOKEN    allows changing a group's status with this token\n"
    "  --max-upload BYTES     larger uploads get 413 (20971520)\n"
    "  --rate N               uploads per minute and client address, 0 for no limit (120)\n"
    "  --burst N              uploads a client may send at once (60)\n"
    "  --keep-reports N       raw reports kept per group (100)\n"
    "  --keep-days N          raw reports older than this are removed, 0 keeps them (0)\n"
    "  --prune-seconds N      time between background prunings (600)\n"
    "  --threads N            request threads (8)\n"
    "  --read-timeout N       seconds a sender may pause (10)\n"
    "  --quiet                no line per request\n";

bool Number(const char* text, long long& value) {
  char* end = nullptr;
  value = std::strtoll(text, &end, 10);
  return end && *end == 0 && end != text && value >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[1];
  collector::Options o;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    auto number = [&]() -> long long {
      const char* v = value();
      long long n = 0;
      if (!Number(v, n)) {
        std::fprintf(stderr, "%s wants a number, not %s\n", a.c_str(), v);
        std::exit(2);
      }
      return n;
    };
    if (a == "--listen") o.listen = value();
    else if (a == "--data") o.data = value();
    else if (a == "--database") o.database = value();
    else if (a == "--admin-token") o.adminToken = value();
    else if (a == "--max-upload") o.maxUpload = static_cast<std::size_t>(number());
    else if (a == "--rate") o.ratePerMinute = static_cast<double>(number());
    else if (a == "--burst") o.burst = static_cast<double>(std::max(1LL, number()));
    else if (a == "--keep-reports") o.prune.perGroup = number();
    else if (a == "--keep-days") o.prune.maxAgeDays = number();
    else if (a == "--prune-seconds") o.pruneSeconds = static_cast<int>(number());
    else if (a == "--threads") o.threads = static_cast<int>(std::max(1LL, number()));
    else if (a == "--read-timeout") o.readTimeoutSeconds = static_cast<int>(std::max(1LL, number()));
    else if (a == "--quiet") o.log = false;
    else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!a.starts_with("--") && command == "import") files.push_back(a);
    else {
      std::fprintf(stderr, "unknown argument %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  try {
    collector::Collector c(o);
    if (command == "serve") return collector::Serve(c);
    if (command == "import") {
      if (files.empty()) {
        std::fputs("import needs at least one file\n", stderr);
        return 2;
      }
      int status = 0;
      for (const std::string& f : files) {
        std::string error;
        const int stored = c.Import(f, error);
        if (stored < 0) {
          std::fprintf(stderr, "%s\n", error.c_str());
          status = 1;
        } else {
          std::printf("%s: %d reports stored\n", f.c_str(), stored);
        }
      }
      return status;
    }
    if (command == "prune") {
      std::printf("%lld reports pruned\n", static_cast<long long>(c.Prune()));
      return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrum-collector: %s\n", e.what());
    return 1;
  }
}
