#include "collector/KestrumCollectorServer.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "collector/KestrumCollectorPages.h"
#include "collector/KestrumCollectorReport.h"
#include "platform/Text.h"

namespace collector {
namespace {

using nlohmann::json;

std::int64_t Now() { return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count(); }

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string RandomId() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%016llx%016llx", static_cast<unsigned long long>(random()),
                static_cast<unsigned long long>(random()));
  return buffer;
}

Answer Stored(const GroupState& s) {
  json j = {{"report_id", s.reportId}, {"group", s.groupId}, {"status", s.answer}, {"fixed_in", s.fixedIn}};
  if (s.duplicate) j["duplicate"] = true;
  return {200, j.dump(), "application/json"};
}

Answer Unavailable(const std::string& why) { return {503, why + "\n", "text/plain; charset=utf-8", 60}; }

bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

json GroupJson(const GroupRow& g) {
  return {{"id", g.id},          {"key", g.key},           {"title", DisplayText(g.title)}, {"exception_class", DisplayText(g.exceptionClass)},
          {"program", DisplayText(g.program)}, {"count", g.count}, {"first_seen", g.firstSeen}, {"last_seen", g.lastSeen},
          {"status", g.status}, {"fixed_in", DisplayText(g.fixedIn)}, {"last_version", DisplayText(g.lastVersion)}};
}

json ReportJson(const ReportRow& r, bool withText) {
  json files = json::array();
  for (const StoredFile& f : r.files) files.push_back({{"kind", f.kind}, {"name", DisplayText(f.name)}, {"hash", f.hash}, {"size", f.size}});
  json j = {{"id", r.id},          {"report_id", r.reportId},      {"group", r.groupId},    {"received", r.received},
            {"count", r.weight},  {"version", DisplayText(r.version)}, {"os", DisplayText(r.os)}, {"checksum", r.checksum},
            {"message", DisplayText(r.message)}, {"files", files}};
  if (withText) {
    j["text"] = r.text ? json(DisplayText(*r.text)) : json(nullptr);
    j["fields"] = DisplayText(r.fields);
  }
  return j;
}

std::int64_t ToInt(const std::string& s, std::int64_t fallback) {
  try {
    std::size_t used = 0;
    const long long v = std::stoll(s, &used);
    return used == s.size() ? v : fallback;
  } catch (...) {
    return fallback;
  }
}

GroupQuery QueryOf(const httplib::Request& req) {
  GroupQuery q;
  if (req.has_param("sort") && req.get_param_value("sort") == "count") q.sort = "count";
  q.version = req.get_param_value("version");
  q.exceptionClass = req.get_param_value("class");
  q.status = req.get_param_value("status");
  if (req.has_param("limit")) q.limit = std::clamp<std::int64_t>(ToInt(req.get_param_value("limit"), 200), 1, 1000);
  if (req.has_param("offset")) q.offset = std::max<std::int64_t>(ToInt(req.get_param_value("offset"), 0), 0);
  return q;
}

}  // namespace

int RateLimiter::Take(const std::string& client, double now) {
  if (perSecond_ <= 0) return 0;
  std::lock_guard<std::mutex> hold(lock_);
  if (buckets_.size() > 100000) buckets_.clear();  // a flood of addresses must not grow this without end
  auto [it, added] = buckets_.try_emplace(client, Bucket{burst_, now});
  Bucket& b = it->second;
  b.tokens = std::min(burst_, b.tokens + (now - b.at) * perSecond_);
  b.at = now;
  if (b.tokens >= 1) {
    b.tokens -= 1;
    return 0;
  }
  return std::max(1, static_cast<int>(std::ceil((1 - b.tokens) / perSecond_)));
}

Collector::Collector(const Options& options) : options_(options), files_(options.data) {
  if (!files_.Prepare()) throw std::runtime_error("cannot create the data folder " + options.data + ": " + std::strerror(errno));
  std::unique_ptr<SqlConnection> db = options.database.starts_with("postgres") ? OpenPostgres(options.database)
                                      : OpenSqlite(options.database.empty() ? options.data + "/collector.db" : options.database);
  store_ = std::make_unique<Store>(std::move(db));
  store_->Migrate();
}

Answer Collector::Refuse(std::string_view body, const std::string& why, const std::string& client) {
  // Nothing sent is lost silently: what could not be read is kept for a person to look at.
  if (!files_.Quarantine(body, why, client)) std::fprintf(stderr, "quarantine failed: %s\n", std::strerror(errno));
  return {400, why + "\n", "text/plain; charset=utf-8"};
}

Answer Collector::Upload(std::string_view body, std::string_view contentType, const std::string& client) {
  const std::string boundary = MultipartBoundary(contentType);
  if (boundary.empty()) return Refuse(body, "the upload is not a multipart/form-data form with a boundary", client);
  std::string why;
  std::optional<std::vector<FormPart>> parts = ParseMultipart(body, boundary, &why);
  if (!parts) return Refuse(body, why, client);
  const ZipLimits limits{64, static_cast<std::uint64_t>(options_.maxUpload) * 2};
  std::optional<collector::Upload> up = ReadUpload(std::move(*parts), limits, &why);
  if (!up) return Refuse(body, why, client);

  try {
    if (!up->reportId.empty()) {
      if (std::optional<GroupState> known = store_->Known(up->reportId)) return Stored(*known);
    }
    Incoming in;
    in.reportId = up->reportId.empty() ? RandomId() : up->reportId;
    in.received = Now();
    in.client = client;
    for (const auto& [name, value] : up->fields) {
      if (name == "report_id") continue;
      // One line per field: a value's line breaks would read as further fields.
      std::string line = name + ": " + value;
      std::replace(line.begin(), line.end(), '\r', ' ');
      std::replace(line.begin(), line.end(), '\n', ' ');
      in.fields += line + "\n";
    }
    if (!up->reportText.empty()) {
      std::optional<ParsedReport> parsed = ParseReport(up->reportText, &why);
      if (!parsed) return Refuse(body, "the bug report cannot be read: " + why, client);
      in.groupKey = parsed->groupKey;
      in.title = parsed->title;
      in.exceptionClass = parsed->exceptionClass;
      in.message = parsed->message;
      in.program = parsed->program;
      in.version = !parsed->version.empty() ? parsed->version : up->version;
      in.os = parsed->os;
      in.checksum = ChecksumStateName(parsed->checksum);
      in.text = DisplayText(up->reportText);
    } else {
      // A minidump without a report: nothing to group it by but its product.
      const std::string product = up->product.empty() ? "unknown" : up->product;
      in.groupKey = platform::AsciiLowered(product) + "/minidump";
      in.title = "minidump without bug report";
      in.program = product;
      in.version = up->version;
      in.checksum = ChecksumStateName(ChecksumState::kNotStated);
    }
    for (const UploadFile& f : up->files) {
      const std::string hash = files_.Put(f.data);
      if (hash.empty()) return Unavailable(std::string("the collector cannot store the upload: ") + std::strerror(errno));
      // A whole bug report file is kept as it came; the report taken from it is the raw report.
      const bool wholeFile = f.kind == AttachmentKind::kReport && f.data != up->reportText;
      in.files.push_back({wholeFile ? "report file" : AttachmentKindName(f.kind), f.name, hash, static_cast<std::int64_t>(f.data.size())});
    }
    if (!up->reportText.empty() && std::none_of(up->files.begin(), up->files.end(), [&](const UploadFile& f) { return f.data == up->reportText; })) {
      // A report taken from a whole bug report file or a mail body is kept on its own too.
      const std::string hash = files_.Put(up->reportText);
      if (hash.empty()) return Unavailable(std::string("the collector cannot store the upload: ") + std::strerror(errno));
      in.files.push_back({"report", "bugreport.txt", hash, static_cast<std::int64_t>(up->reportText.size())});
    }
    return Stored(store_->Ingest(in));
  } catch (const SqlError& e) {
    if (e.full) return Unavailable(std::string("the collector's storage is full: ") + e.what());
    return {500, std::string("the collector could not store the report: ") + e.what() + "\n", "text/plain; charset=utf-8"};
  }
}

int Collector::Import(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read";
    return -1;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string content = buffer.str();
  std::vector<std::string> texts;
  if (content.starts_with("PK")) {
    std::optional<std::vector<ZipFile>> files = ReadZip(content, {64, 256ull * 1024 * 1024}, &error);
    if (!files) return -1;
    for (const ZipFile& f : *files) {
      for (std::string_view r : SplitReportFile(f.data)) texts.emplace_back(r);
    }
  } else {
    for (std::string_view r : SplitReportFile(content)) texts.emplace_back(r);
  }
  if (texts.empty()) {
    error = path + ": holds no bug report";
    return -1;
  }
  int stored = 0;
  for (const std::string& text : texts) {
    std::optional<ParsedReport> parsed = ParseReport(text, &error);
    if (!parsed) return -1;
    Incoming r;
    // The id is the text's hash: importing the same file again stores nothing twice.
    r.reportId = "import-" + Sha256Hex(text).substr(0, 32);
    // An imported report arrived when it was written, not when it was imported.
    r.received = ReportTime(parsed->dateTime).value_or(Now());
    r.weight = static_cast<std::int64_t>(std::min<std::uint64_t>(parsed->count, 1u << 30));
    r.groupKey = parsed->groupKey;
    r.title = parsed->title;
    r.exceptionClass = parsed->exceptionClass;
    r.message = parsed->message;
    r.program = parsed->program;
    r.version = parsed->version;
    r.os = parsed->os;
    r.checksum = ChecksumStateName(parsed->checksum);
    r.client = "import";
    r.text = DisplayText(text);
    const std::string hash = files_.Put(text);
    if (hash.empty()) {
      error = std::string("cannot store: ") + std::strerror(errno);
      return -1;
    }
    r.files.push_back({"report", "bugreport.txt", hash, static_cast<std::int64_t>(text.size())});
    if (!store_->Ingest(r).duplicate) ++stored;
  }
  return stored;
}

std::int64_t Collector::Prune() {
  const std::int64_t pruned = store_->Prune(options_.prune, Now());
  const std::vector<std::string> hashes = store_->ReferencedHashes();
  files_.RemoveUnreferenced(std::set<std::string>(hashes.begin(), hashes.end()));
  return pruned;
}

int Serve(Collector& c, std::atomic<bool>* stop) {
  const Options& o = c.Settings();
  const std::size_t colon = o.listen.rfind(':');
  if (colon == std::string::npos) {
    std::fprintf(stderr, "--listen wants HOST:PORT\n");
    return 2;
  }
  const std::string host = o.listen.substr(0, colon);
  const int port = static_cast<int>(ToInt(o.listen.substr(colon + 1), -1));

  // SIGTERM and SIGINT go to one waiting thread, so that no request thread is interrupted.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  httplib::Server svr;
  const int threads = o.threads;
  svr.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
  svr.set_payload_max_length(o.maxUpload);
  svr.set_read_timeout(o.readTimeoutSeconds, 0);
  svr.set_write_timeout(o.readTimeoutSeconds, 0);
  svr.set_keep_alive_timeout(5);
  std::mutex logLock;
  if (o.log) {
    svr.set_logger([&logLock](const httplib::Request& req, const httplib::Response& res) {
      const std::lock_guard<std::mutex> hold(logLock);
      const std::string when = UtcText(Now(), "%Y-%m-%dT%H:%M:%SZ");
      std::fprintf(stderr, "%s %s %s %s %d %zu\n", when.c_str(), req.remote_addr.c_str(), req.method.c_str(), req.path.c_str(), res.status,
                   res.body.size());
    });
  }
  RateLimiter limiter(o.ratePerMinute, o.burst);
  auto send = [](httplib::Response& res, const Answer& a) {
    res.status = a.status;
    if (a.retryAfter > 0) res.set_header("Retry-After", std::to_string(a.retryAfter));
    res.set_content(a.body, a.contentType.c_str());
  };
  auto page = [](httplib::Response& res, int status, const std::string& html) {
    res.status = status;
    // Escaping keeps report text as text; the policy keeps any slip from running.
    res.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; form-action 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(html, "text/html; charset=utf-8");
  };

  auto upload = [&](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    const std::string client = req.remote_addr;
    if (const int wait = limiter.Take(client, NowSeconds())) {
      res.set_header("Connection", "close");
      send(res, {429, "too many uploads from " + client + "; try again later\n", "text/plain; charset=utf-8", wait});
      return;
    }
    if (req.has_header("Content-Length") && static_cast<std::uint64_t>(ToInt(req.get_header_value("Content-Length"), 0)) > o.maxUpload) {
      res.set_header("Connection", "close");
      send(res, {413, "the upload is larger than " + std::to_string(o.maxUpload) + " bytes\n", "text/plain; charset=utf-8"});
      return;
    }
    // The library would split a multipart body itself and hand over parts only; the collector
    // needs the body as sent, to read it with its own bounded parser and to keep it in the
    // quarantine when it cannot. The request object is the library's own, made for this handler.
    const std::string contentType = req.get_header_value("Content-Type");
    auto& headers = const_cast<httplib::Request&>(req).headers;
    headers.erase("Content-Type");
    headers.emplace("Content-Type", "application/octet-stream");
    std::string body;
    bool tooLarge = false, tooSlow = false;
    const double deadline = NowSeconds() + o.uploadSeconds;
    // Bounded after unpacking too: a gzip body may be small on the wire and huge inside.
    const bool read = reader([&](const char* data, std::size_t length) {
      if (body.size() + length > o.maxUpload) {
        tooLarge = true;
        return false;
      }
      // A sender that keeps each pause under the read timeout would hold a thread for ever.
      if (NowSeconds() > deadline) {
        tooSlow = true;
        return false;
      }
      body.append(data, length);
      return true;
    });
    if (tooLarge) {
      res.set_header("Connection", "close");
      send(res, {413, "the upload is larger than " + std::to_string(o.maxUpload) + " bytes\n", "text/plain; charset=utf-8"});
      return;
    }
    if (tooSlow) {
      res.set_header("Connection", "close");
      Answer a = c.Refuse(body, "the upload took longer than " + std::to_string(o.uploadSeconds) + " seconds", client);
      a.status = 408;
      send(res, a);
      return;
    }
    if (!read) {
      res.set_header("Connection", "close");
      send(res, c.Refuse(body, "the upload ended before its announced length", client));
      return;
    }
    send(res, c.Upload(body, contentType, client));
  };
  for (const char* path : {"/", "/upload", "/submit"}) svr.Post(path, upload);

  svr.Get("/", [&](const httplib::Request& req, httplib::Response& res) {
    const GroupQuery q = QueryOf(req);
    page(res, 200, GroupsPage(c.Db().Groups(q), q, c.Db().Versions(), c.Db().GroupCount()));
  });
  svr.Get(R"(/groups/(\d{1,18}))", [&](const httplib::Request& req, httplib::Response& res) {
    std::optional<GroupDetail> d = c.Db().Group(ToInt(req.matches[1], 0));
    if (!d) return page(res, 404, MessagePage(404, "no such group"));
    std::optional<ReportRow> latest;
    if (!d->reports.empty()) latest = c.Db().Report(d->reports.front().id);
    page(res, 200, GroupPage(*d, latest ? &*latest : nullptr, !o.adminToken.empty()));
  });
  svr.Get(R"(/reports/(\d{1,18}))", [&](const httplib::Request& req, httplib::Response& res) {
    std::optional<ReportRow> r = c.Db().Report(ToInt(req.matches[1], 0));
    if (!r) return page(res, 404, MessagePage(404, "no such report"));
    std::optional<GroupDetail> g = c.Db().Group(r->groupId, 0);
    page(res, 200, ReportPage(*r, g ? &g->group : nullptr));
  });
  svr.Get(R"(/reports/(\d{1,18})/raw)", [&](const httplib::Request& req, httplib::Response& res) {
    std::optional<ReportRow> r = c.Db().Report(ToInt(req.matches[1], 0));
    std::string data;
    if (!r) return page(res, 404, MessagePage(404, "no such report"));
    const auto raw = std::find_if(r->files.begin(), r->files.end(), [](const StoredFile& f) { return f.kind == "report"; });
    if (raw == r->files.end() || !c.Files().Get(raw->hash, data)) return page(res, 404, MessagePage(404, "the raw report was removed"));
    res.set_header("Content-Disposition", "attachment; filename=\"bugreport.txt\"");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(data, "text/plain; charset=windows-1252");
  });
  svr.Get(R"(/files/([0-9a-f]{64}))", [&](const httplib::Request& req, httplib::Response& res) {
    std::string data;
    if (!c.Files().Get(req.matches[1].str(), data)) return page(res, 404, MessagePage(404, "no such file"));
    res.set_header("X-Content-Type-Options", "nosniff");
    const bool png = data.starts_with("\x89PNG\r\n\x1a\n");
    // Nothing an upload holds may open as a page of this site.
    if (!png) res.set_header("Content-Disposition", "attachment; filename=\"" + req.matches[1].str().substr(0, 16) + ".bin\"");
    res.set_content(data, png ? "image/png" : "application/octet-stream");
  });

  auto setStatus = [&](std::int64_t id, const std::string& token, const std::string& status, const std::string& fixedIn) -> Answer {
    if (o.adminToken.empty()) return {403, "status changes need the collector to be started with --admin-token\n", "text/plain"};
    if (!SameSecret(token, o.adminToken)) return {403, "wrong admin token\n", "text/plain"};
    if (status != "new" && status != "fixed") return {400, "status must be new or fixed\n", "text/plain"};
    if (status == "fixed" && fixedIn.empty()) return {400, "a fixed status needs the version that fixes it\n", "text/plain"};
    if (!c.Db().SetStatus(id, status, fixedIn)) return {404, "no such group\n", "text/plain"};
    return {200, "", "text/plain"};
  };
  svr.Post(R"(/groups/(\d{1,18})/status)", [&](const httplib::Request& req, httplib::Response& res) {
    const std::int64_t id = ToInt(req.matches[1], 0);
    const Answer a = setStatus(id, req.get_param_value("token"), req.get_param_value("status"), req.get_param_value("fixed_in"));
    if (a.status != 200) return page(res, a.status, MessagePage(a.status, a.body));
    res.set_redirect("/groups/" + std::to_string(id), 303);
  });

  auto sendJson = [](httplib::Response& res, int status, const json& j) {
    res.status = status;
    res.set_content(j.dump(), "application/json");
  };
  svr.Get("/api/groups", [&](const httplib::Request& req, httplib::Response& res) {
    json groups = json::array();
    for (const GroupRow& g : c.Db().Groups(QueryOf(req))) groups.push_back(GroupJson(g));
    sendJson(res, 200, {{"groups", groups}, {"total", c.Db().GroupCount()}});
  });
  svr.Get(R"(/api/groups/(\d{1,18}))", [&](const httplib::Request& req, httplib::Response& res) {
    std::optional<GroupDetail> d = c.Db().Group(ToInt(req.matches[1], 0));
    if (!d) return sendJson(res, 404, {{"error", "no such group"}});
    json j = GroupJson(d->group);
    auto pairs = [](const std::vector<std::pair<std::string, std::int64_t>>& rows) {
      json out = json::object();
      for (const auto& [k, v] : rows) out[DisplayText(k)] = v;
      return out;
    };
    j["versions"] = pairs(d->versions);
    j["systems"] = pairs(d->systems);
    j["days"] = pairs(d->days);
    j["reports"] = json::array();
    for (const ReportRow& r : d->reports) j["reports"].push_back(ReportJson(r, false));
    sendJson(res, 200, j);
  });
  svr.Get(R"(/api/reports/(\d{1,18}))", [&](const httplib::Request& req, httplib::Response& res) {
    std::optional<ReportRow> r = c.Db().Report(ToInt(req.matches[1], 0));
    if (!r) return sendJson(res, 404, {{"error", "no such report"}});
    sendJson(res, 200, ReportJson(*r, true));
  });
  svr.Post(R"(/api/groups/(\d{1,18})/status)", [&](const httplib::Request& req, httplib::Response& res) {
    std::string token = req.get_header_value("Authorization");
    if (token.starts_with("Bearer ")) token.erase(0, 7);
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object()) return sendJson(res, 400, {{"error", "the body must be a JSON object"}});
    const std::string status = body.value("status", ""), fixedIn = body.value("fixed_in", "");
    const Answer a = setStatus(ToInt(req.matches[1], 0), token, status, fixedIn);
    if (a.status != 200) return sendJson(res, a.status, {{"error", a.body.substr(0, a.body.size() - 1)}});
    sendJson(res, 200, GroupJson(c.Db().Group(ToInt(req.matches[1], 0), 0)->group));
  });
  svr.set_exception_handler([&](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "internal error";
    try {
      std::rethrow_exception(ep);
    } catch (const SqlError& e) {
      what = e.what();
      if (e.full) return send(res, Unavailable(what));
    } catch (const std::exception& e) {
      what = e.what();
    }
    send(res, {500, what + "\n", "text/plain; charset=utf-8"});
  });

  int bound = port;
  if (port == 0) {
    bound = svr.bind_to_any_port(host);
  } else if (port < 0 || !svr.bind_to_port(host, port)) {
    bound = -1;
  }
  if (bound <= 0) {
    std::fprintf(stderr, "cannot listen on %s\n", o.listen.c_str());
    return 1;
  }
  std::printf("listening on %s:%d\n", host.c_str(), bound);
  std::fflush(stdout);

  std::atomic<bool> finished{false};
  std::thread waiter([&] {
    const timespec tick{0, 100 * 1000 * 1000};
    while (!finished) {
      const int sig = sigtimedwait(&signals, nullptr, &tick);
      if (sig == SIGTERM || sig == SIGINT || (stop && *stop)) {
        svr.stop();
        return;
      }
    }
  });
  std::mutex pruneLock;
  std::condition_variable pruneWake;
  std::thread pruner([&] {
    std::unique_lock<std::mutex> hold(pruneLock);
    while (!finished) {
      pruneWake.wait_for(hold, std::chrono::seconds(std::max(1, o.pruneSeconds)));
      if (finished) break;
      try {
        c.Prune();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "pruning failed: %s\n", e.what());
      }
    }
  });
  // Returns once stop() was called and the requests in flight have been answered.
  svr.listen_after_bind();
  {
    std::lock_guard<std::mutex> hold(pruneLock);
    finished = true;
  }
  pruneWake.notify_all();
  waiter.join();
  pruner.join();
  return 0;
}

}  // namespace collector
