#include "collector/KestrumCollectorFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "platform/Text.h"

namespace collector {
namespace {

constexpr std::array<std::uint32_t, 64> kK = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be,
    0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa,
    0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85,
    0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3,
    0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f,
    0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Block(std::uint32_t (&h)[8], const unsigned char* p) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = static_cast<std::uint32_t>(p[i * 4]) << 24 | static_cast<std::uint32_t>(p[i * 4 + 1]) << 16 |
           static_cast<std::uint32_t>(p[i * 4 + 2]) << 8 | p[i * 4 + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 = k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[static_cast<std::size_t>(i)] + w[i];
    const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Writes a whole file under a temporary name and renames it into place.
bool WriteWhole(const std::string& folder, const std::string& name, std::string_view data) {
  static std::atomic<unsigned> serial{0};
  const std::string temp = folder + "/.tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
  const int saved = errno;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), (folder + "/" + name).c_str()) == 0;
  if (!ok) {
    const int why = errno ? errno : saved;
    ::unlink(temp.c_str());
    errno = why;
    return false;
  }
  return SyncFolder(folder);
}

std::string RandomHex(std::size_t bytes) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  std::vector<std::uint8_t> out(bytes);
  for (std::uint8_t& b : out) b = static_cast<std::uint8_t>(random() & 0xFF);
  return platform::HexBytes(out);
}

}  // namespace

std::string Sha256Hex(std::string_view data) {
  std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::size_t at = 0;
  for (; at + 64 <= data.size(); at += 64) Block(h, reinterpret_cast<const unsigned char*>(data.data() + at));
  unsigned char tail[128] = {};
  const std::size_t rest = data.size() - at;
  std::memcpy(tail, data.data() + at, rest);
  tail[rest] = 0x80;
  const std::size_t tailSize = rest < 56 ? 64 : 128;
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tailSize - 1 - static_cast<std::size_t>(i)] = static_cast<unsigned char>(bits >> (8 * i));
  Block(h, tail);
  if (tailSize == 128) Block(h, tail + 64);
  std::string out;
  for (std::uint32_t v : h) out += platform::Hex8(v);
  return out;
}

bool ValidHash(std::string_view hash) {
  if (hash.size() != 64) return false;
  for (char c : hash) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

FileStore::FileStore(std::string dataFolder) : folder_(std::move(dataFolder)) {}

bool FileStore::Prepare() {
  std::error_code ec;
  std::filesystem::create_directories(FilesFolder(), ec);
  if (ec) return false;
  std::filesystem::create_directories(QuarantineFolder(), ec);
  return !ec;
}

std::string FileStore::PathOf(std::string_view hash) const { return FilesFolder() + "/" + std::string(hash.substr(0, 2)) + "/" + std::string(hash); }

std::string FileStore::Put(std::string_view data) {
  const std::string hash = Sha256Hex(data);
  const std::string path = PathOf(hash);
  // Present already: its time is renewed so that the clean-up of unreferenced files leaves it to
  // the report about to refer to it.
  if (::utimensat(AT_FDCWD, path.c_str(), nullptr, 0) == 0) return hash;
  const std::string sub = FilesFolder() + "/" + hash.substr(0, 2);
  if (::mkdir(sub.c_str(), 0755) != 0 && errno != EEXIST) return {};
  if (!WriteWhole(sub, hash, data)) return {};
  return hash;
}

bool FileStore::Get(std::string_view hash, std::string& data) const {
  if (!ValidHash(hash)) return false;
  const int fd = ::open(PathOf(hash).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  data.clear();
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return n == 0;
}

bool FileStore::Quarantine(std::string_view body, std::string_view why, std::string_view client) {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::string base = std::to_string(now) + "-" + RandomHex(6);
  const std::string note = "client: " + std::string(client) + "\nreason: " + std::string(why) + "\n";
  return WriteWhole(QuarantineFolder(), base + ".upload", body) && WriteWhole(QuarantineFolder(), base + ".txt", note);
}

std::size_t FileStore::RemoveUnreferenced(const std::set<std::string>& keep) {
  namespace fs = std::filesystem;
  std::size_t removed = 0;
  std::error_code ec;
  const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (fs::recursive_directory_iterator it(FilesFolder(), ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string name = it->path().filename().string();
    // Young files may belong to an upload whose report is being committed right now.
    if (it->last_write_time(ec) > cutoff) continue;
    if ((name.starts_with(".tmp-") || (ValidHash(name) && !keep.count(name))) && fs::remove(it->path(), ec)) ++removed;
  }
  return removed;
}

}  // namespace collector
