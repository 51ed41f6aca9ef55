#include "delivery/KestrumDns.h"

#include <cctype>
#include <optional>

#include "platform/Text.h"

namespace delivery {
namespace {

std::uint16_t Load16(std::span<const std::uint8_t> p, std::size_t at) { return static_cast<std::uint16_t>(p[at] << 8 | p[at + 1]); }

// Reads the name at offset; next receives the offset after the name as stored there (before the
// first pointer). False when anything lies outside the packet or the pointers go on too long.
bool ReadName(std::span<const std::uint8_t> p, std::size_t offset, std::string& name, std::size_t& next) {
  name.clear();
  bool jumped = false;
  int pointers = 0;
  std::size_t at = offset;
  while (true) {
    if (at >= p.size()) return false;
    const std::uint8_t len = p[at];
    if ((len & 0xC0) == 0xC0) {
      if (at + 1 >= p.size() || ++pointers > kDnsMaxPointers) return false;
      if (!jumped) next = at + 2;
      jumped = true;
      at = static_cast<std::size_t>(len & 0x3F) << 8 | p[at + 1];
      continue;
    }
    if (len & 0xC0) return false;
    if (len == 0) {
      if (!jumped) next = at + 1;
      return true;
    }
    if (at + 1 + len > p.size() || name.size() + len + 1 > 255) return false;
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(p.data() + at + 1), len);
    at += 1 + len;
  }
}

}  // namespace

std::vector<std::uint8_t> BuildDnsQuery(std::uint16_t id, const std::string& name, std::uint16_t type) {
  std::vector<std::uint8_t> q = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  if (name.empty() || name.size() > 253) return {};
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    const std::size_t len = dot - start;
    // A trailing dot names the root: nothing more to write.
    if (len == 0 && dot == name.size() && start > 0) break;
    if (len == 0 || len > 63) return {};
    q.push_back(static_cast<std::uint8_t>(len));
    q.insert(q.end(), name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  q.insert(q.end(), {0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
  return q;
}

namespace {

// Checks that p answers the query (id, name, type) without error; at receives where the records
// begin.
bool AnswersQuery(std::span<const std::uint8_t> p, std::uint16_t id, const std::string& name, std::uint16_t type, std::size_t& at) {
  if (p.size() < 12 || Load16(p, 0) != id) return false;
  // A response (QR), a standard query's answer, result code 0.
  if (!(p[2] & 0x80) || (p[2] & 0x78) != 0 || (p[3] & 0x0F) != 0) return false;
  if (Load16(p, 4) != 1) return false;
  std::string asked = name;
  if (!asked.empty() && asked.back() == '.') asked.pop_back();
  std::string question;
  at = 12;
  if (!ReadName(p, at, question, at) || !platform::EqualNoCase(question, asked)) return false;
  if (at + 4 > p.size() || Load16(p, at) != type || Load16(p, at + 2) != 1) return false;
  at += 4;
  return true;
}

}  // namespace

std::vector<std::string> ParseMxAnswer(std::span<const std::uint8_t> p, std::uint16_t id, const std::string& name) {
  std::vector<std::string> hosts;
  std::size_t at = 0;
  if (!AnswersQuery(p, id, name, kDnsTypeMx, at)) return hosts;
  const std::size_t answers = Load16(p, 6);
  std::vector<std::string> found;
  for (std::size_t i = 0; i < answers; ++i) {
    std::string owner;
    if (!ReadName(p, at, owner, at) || at + 10 > p.size()) return hosts;
    const std::uint16_t type = Load16(p, at);
    const std::uint16_t cls = Load16(p, at + 2);
    const std::size_t length = Load16(p, at + 8);
    at += 10;
    if (at + length > p.size()) return hosts;
    if (type == kDnsTypeMx && cls == 1) {
      std::string host;
      std::size_t after = 0;
      // The exchange must lie inside its own record data.
      if (length < 3 || !ReadName(p.first(at + length), at + 2, host, after) || host.empty()) return hosts;
      found.push_back(std::move(host));
    }
    at += length;
  }
  return found;
}

std::optional<NsAnswer> ParseNsAnswer(std::span<const std::uint8_t> p, std::uint16_t id, const std::string& name) {
  std::size_t at = 0;
  if (!AnswersQuery(p, id, name, kDnsTypeNs, at)) return std::nullopt;
  const std::size_t counts[3] = {Load16(p, 6), Load16(p, 8), Load16(p, 10)};
  NsAnswer out;
  for (int section = 0; section < 3; ++section) {
    for (std::size_t i = 0; i < counts[section]; ++i) {
      std::string owner;
      if (!ReadName(p, at, owner, at) || at + 10 > p.size()) return std::nullopt;
      const std::uint16_t type = Load16(p, at);
      const std::uint16_t cls = Load16(p, at + 2);
      const std::size_t length = Load16(p, at + 8);
      at += 10;
      if (at + length > p.size()) return std::nullopt;
      if (cls == 1 && type == kDnsTypeNs && section < 2) {
        std::string server;
        std::size_t after = 0;
        if (!ReadName(p.first(at + length), at, server, after) || server.empty()) return std::nullopt;
        (section == 0 ? out.servers : out.referral).push_back(std::move(server));
      } else if (cls == 1 && type == 1 && length == 4) {
        out.addresses.emplace_back(owner, std::to_string(p[at]) + "." + std::to_string(p[at + 1]) + "." + std::to_string(p[at + 2]) +
                                              "." + std::to_string(p[at + 3]));
      }
      at += length;
    }
  }
  return out;
}

std::string MailDomain(const std::string& address) {
  const std::size_t at = address.find('@');
  if (at == std::string::npos) return {};
  std::string domain = address.substr(at + 1);
  if (!domain.empty() && domain.back() == '>') domain.pop_back();
  return domain;
}

std::string BaseDomain(const std::string& domain) {
  std::size_t cut = domain.size();
  for (int dots = 0; dots < 3; ++dots) {
    cut = domain.rfind('.', cut == 0 ? 0 : cut - 1);
    if (cut == std::string::npos || cut == 0) return domain;
  }
  return domain.substr(cut + 1);
}

namespace {

struct Expect {
  std::uint16_t id;
  std::string name;
};

bool AcceptMx(const std::vector<std::uint8_t>& packet, void* context) {
  const Expect& e = *static_cast<const Expect*>(context);
  return !ParseMxAnswer(packet, e.id, e.name).empty();
}

std::string QueryMx(Network& network, const std::vector<Network::DnsServer>& servers, const std::string& name, int waitMs) {
  Expect e{network.RandomId(), name};
  const std::vector<std::uint8_t> query = BuildDnsQuery(e.id, name, kDnsTypeMx);
  if (query.empty()) return {};
  const auto answer = network.ExchangeDatagram(servers, query, waitMs, AcceptMx, &e);
  if (!answer) return {};
  const std::vector<std::string> hosts = ParseMxAnswer(*answer, e.id, name);
  return hosts.empty() ? std::string() : hosts.front();
}

bool AcceptNs(const std::vector<std::uint8_t>& packet, void* context) {
  const Expect& e = *static_cast<const Expect*>(context);
  const std::optional<NsAnswer> a = ParseNsAnswer(packet, e.id, e.name);
  return a && (!a->servers.empty() || !a->referral.empty());
}

// The servers of names, at the addresses the answer gave for them; a name without one is asked
// by its name.
std::vector<Network::DnsServer> ServersOf(const std::vector<std::string>& names, const NsAnswer& answer) {
  std::vector<Network::DnsServer> out;
  for (const std::string& n : names) {
    bool found = false;
    for (const auto& [owner, address] : answer.addresses) {
      if (platform::EqualNoCase(owner, n)) {
        out.push_back({address, 53});
        found = true;
      }
    }
    if (!found) out.push_back({n, 53});
  }
  return out;
}

}  // namespace

std::vector<Network::DnsServer> FindNameServers(Network& network, const std::string& domain, int waitMs) {
  std::vector<Network::DnsServer> servers = network.RootServers();
  for (int step = 0; step <= kDnsMaxReferrals && !servers.empty(); ++step) {
    Expect e{network.RandomId(), domain};
    const std::vector<std::uint8_t> query = BuildDnsQuery(e.id, domain, kDnsTypeNs);
    if (query.empty()) return {};
    const auto packet = network.ExchangeDatagram(servers, query, waitMs, AcceptNs, &e);
    if (!packet) return {};
    const std::optional<NsAnswer> answer = ParseNsAnswer(*packet, e.id, domain);
    if (!answer) return {};
    if (!answer->servers.empty()) return ServersOf(answer->servers, *answer);
    servers = ServersOf(answer->referral, *answer);
  }
  return {};
}

std::string LookupMailServer(Network& network, const std::string& address, int waitMs) {
  const std::string domain = MailDomain(address);
  if (domain.empty()) return {};
  const std::string base = BaseDomain(domain);
  std::vector<Network::DnsServer> servers = network.DnsServers();
  if (servers.empty()) servers = FindNameServers(network, base, waitMs);
  if (servers.empty()) return {};
  std::string host = QueryMx(network, servers, domain, waitMs);
  if (host.empty() && base != domain) host = QueryMx(network, servers, base, waitMs);
  return host;
}

}  // namespace delivery
