// The DNS MX lookup of direct mail delivery: the UDP query and the parser of its untrusted answer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "delivery/KestrumNet.h"

namespace delivery {

inline constexpr std::uint16_t kDnsTypeMx = 15;
inline constexpr std::uint16_t kDnsTypeNs = 2;
inline constexpr int kDnsAnswerWaitMs = 5000;
inline constexpr int kDnsMaxPointers = 16;

// A query with recursion desired and one question of class IN; empty when the name does not
// make valid labels (an empty label or one longer than 63, a name longer than 255).
std::vector<std::uint8_t> BuildDnsQuery(std::uint16_t id, const std::string& name, std::uint16_t type);

// The mail host names of an answer to that query, in the answer's order. An answer that is not
// a response to exactly that query (ID, question), reports an error, or does not fit its packet
// gives none; only MX records count.
std::vector<std::string> ParseMxAnswer(std::span<const std::uint8_t> packet, std::uint16_t id, const std::string& name);

// What an answer to an NS query for name tells: the name's own name servers (answer section),
// else the servers it is referred to (authority section), and the addresses given for either
// (additional A records). None under the same conditions as ParseMxAnswer.
struct NsAnswer {
  std::vector<std::string> servers;
  std::vector<std::string> referral;
  std::vector<std::pair<std::string, std::string>> addresses;  // name, dotted address
};
std::optional<NsAnswer> ParseNsAnswer(std::span<const std::uint8_t> packet, std::uint16_t id, const std::string& name);

// Referrals followed after the first question to the root servers.
inline constexpr int kDnsMaxReferrals = 10;
// The name servers of domain found from the network's root servers by following referrals; none
// when there are no roots, an answer stays away or the referrals go on too long.
std::vector<Network::DnsServer> FindNameServers(Network& network, const std::string& domain, int waitMs = kDnsAnswerWaitMs);

// The domain after the first "@" without a trailing ">", and that domain cut to its last three
// labels.
std::string MailDomain(const std::string& address);
std::string BaseDomain(const std::string& domain);

// The first MX host of the recipient's domain (or of its last three labels), "" when none. Without
// DNS servers the name servers of the last three labels are looked for from the root servers.
std::string LookupMailServer(Network& network, const std::string& address, int waitMs = kDnsAnswerWaitMs);

}  // namespace delivery
