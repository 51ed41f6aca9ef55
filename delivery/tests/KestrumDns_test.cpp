#include "delivery/KestrumDns.h"

#include <gtest/gtest.h>

#include "delivery/tests/ScriptNetwork.h"

namespace delivery {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

void PutName(Bytes& b, const std::string& name) {
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    b.push_back(static_cast<std::uint8_t>(dot - start));
    b.insert(b.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  b.push_back(0);
}

// A response to BuildDnsQuery(id, question, MX) with the given records appended as they are.
Bytes Response(std::uint16_t id, const std::string& question, int answers, const Bytes& records, std::uint16_t qtype = kDnsTypeMx) {
  Bytes b;
  Put16(b, id);
  Put16(b, 0x8180);
  Put16(b, 1);
  Put16(b, static_cast<unsigned>(answers));
  Put16(b, 0);
  Put16(b, 0);
  PutName(b, question);
  Put16(b, qtype);
  Put16(b, 1);
  b.insert(b.end(), records.begin(), records.end());
  return b;
}

// One record owned by the question's name (pointer to offset 12), with preference and host.
Bytes MxRecord(const Bytes& host, std::uint16_t type = kDnsTypeMx, unsigned preference = 10) {
  Bytes r = {0xC0, 12};
  Put16(r, type);
  Put16(r, 1);
  r.insert(r.end(), {0, 0, 0x0E, 0x10});
  Put16(r, static_cast<unsigned>(host.size() + 2));
  Put16(r, preference);
  r.insert(r.end(), host.begin(), host.end());
  return r;
}

Bytes Name(const std::string& name) {
  Bytes b;
  PutName(b, name);
  return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(DnsQuery, EncodesTheQuestion) {
  EXPECT_EQ(BuildDnsQuery(0xBEEF, "mx.example.org", kDnsTypeMx),
            (Bytes{0xBE, 0xEF, 1,   0,   0,   1,   0,   0, 0,   0,   0,   0, 2, 'm', 'x', 7,
                   'e',  'x',  'a', 'm', 'p', 'l', 'e', 3, 'o', 'r', 'g', 0, 0, 15,  0,   1}));
  EXPECT_EQ(BuildDnsQuery(1, "org.", kDnsTypeNs), (Bytes{0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'o', 'r', 'g', 0, 0, 2, 0, 1}));
  for (const std::string& bad : std::vector<std::string>{"", "a..b", ".a", std::string(64, 'x') + ".org", std::string(254, 'x')}) {
    EXPECT_TRUE(BuildDnsQuery(1, bad, kDnsTypeMx).empty()) << bad;
  }
}

TEST(DnsAnswer, OnlyMxRecordsOfAnswersToTheQuestionAsked) {
  const std::uint16_t id = 0x1234;
  const std::string q = "example.org";
  // "mail" followed by a pointer to the question's "example.org".
  const Bytes compressed = {4, 'm', 'a', 'i', 'l', 0xC0, 12};
  const Bytes good = Response(id, q, 2, MxRecord(compressed) + MxRecord(Name("backup.example.net"), kDnsTypeMx, 5));
  EXPECT_EQ(ParseMxAnswer(good, id, q), (std::vector<std::string>{"mail.example.org", "backup.example.net"}));
  EXPECT_EQ(ParseMxAnswer(good, id, "EXAMPLE.org."), (std::vector<std::string>{"mail.example.org", "backup.example.net"}));

  Bytes notResponse = good;
  notResponse[2] &= 0x7F;
  Bytes failed = good;
  failed[3] |= 3;
  Bytes loop = Response(id, q, 1, MxRecord({0xC0, static_cast<std::uint8_t>(good.size() - 0)}));
  // The exchange's pointer aims at itself: offset of the name inside the record data.
  loop[loop.size() - 2] = 0xC0;
  loop[loop.size() - 1] = static_cast<std::uint8_t>(loop.size() - 2);
  Bytes twoStepLoop = Response(id, q, 1, MxRecord({4, 'm', 'a', 'i', 'l', 0xC0, 0}));
  twoStepLoop[twoStepLoop.size() - 1] = static_cast<std::uint8_t>(twoStepLoop.size() - 7);
  const struct {
    const char* name;
    Bytes packet;
    std::uint16_t id;
    std::string question;
  } refused[] = {
      {"forged ID", good, 0x1235, q},
      {"not a response", notResponse, id, q},
      {"error result", failed, id, q},
      {"other question", good, id, "example.com"},
      {"other question type", Response(id, q, 1, MxRecord(Name("mail.example.org")), 1), id, q},
      {"A record only", Response(id, q, 1, MxRecord(Name("mail.example.org"), 1)), id, q},
      {"count beyond the records", Response(id, q, 3, MxRecord(Name("mail.example.org"))), id, q},
      {"pointer loop", loop, id, q},
      {"loop of two pointers", twoStepLoop, id, q},
      {"pointer outside", Response(id, q, 1, MxRecord({0xC3, 0xFF})), id, q},
      {"no answer", Response(id, q, 0, {}), id, q},
      {"empty", {}, id, q},
  };
  for (const auto& c : refused) EXPECT_TRUE(ParseMxAnswer(c.packet, c.id, c.question).empty()) << c.name;

  // The exchange's data length claims less than the name takes.
  Bytes shortData = Response(id, q, 1, MxRecord(Name("mail.example.org")));
  shortData[12 + 13 + 4 + 2 + 8 + 1] = 5;
  EXPECT_TRUE(ParseMxAnswer(shortData, id, q).empty());

  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_TRUE(ParseMxAnswer(std::span(good).first(n), id, q).empty()) << "truncated to " << n;
  }
  // The exchange is a pointer into a chain of pointers inside its own data that ends at the
  // question's name: 16 pointers in all are followed, 17 are not.
  for (int hops : {16, 17}) {
    const Bytes head = Response(id, q, 1, {});
    const std::size_t chainStart = head.size() + 2 + 10 + 2 + 2;
    Bytes host = {0xC0, static_cast<std::uint8_t>(chainStart)};
    for (int i = 1; i < hops - 1; ++i) host.insert(host.end(), {0xC0, static_cast<std::uint8_t>(chainStart + 2 * i)});
    host.insert(host.end(), {0xC0, 12});
    EXPECT_EQ(ParseMxAnswer(head + MxRecord(host), id, q).empty(), hops > 16) << hops;
  }
}

TEST(DnsLookup, DomainThenItsLastThreeLabels) {
  EXPECT_EQ(MailDomain("Ann <ann@a.b.example.org>"), "a.b.example.org");
  EXPECT_EQ(MailDomain("nobody"), "");
  EXPECT_EQ(BaseDomain("a.b.example.org"), "b.example.org");
  EXPECT_EQ(BaseDomain("b.example.org"), "b.example.org");
  EXPECT_EQ(BaseDomain("localhost"), "localhost");

  testing::ScriptNetwork n;
  n.dnsServers = {{"127.0.0.1", 53}};
  n.nextId = 0x5151;
  // The four-label domain has no MX; its base has one. A forged answer for the base comes first.
  n.datagrams = {{Response(0x5151, "a.b.example.org", 0, {})},
                 {Response(0x5152, "b.example.org", 1, MxRecord(Name("evil.example"))),
                  Response(0x5151, "b.example.org", 1, MxRecord(Name("mx.example.org")))}};
  EXPECT_EQ(LookupMailServer(n, "ann@a.b.example.org>", 10), "mx.example.org");
  ASSERT_EQ(n.queries.size(), 2u);
  EXPECT_EQ(n.queries[0], BuildDnsQuery(0x5151, "a.b.example.org", kDnsTypeMx));
  EXPECT_EQ(n.queries[1], BuildDnsQuery(0x5151, "b.example.org", kDnsTypeMx));

  testing::ScriptNetwork none;
  EXPECT_EQ(LookupMailServer(none, "ann@example.org", 10), "");
  EXPECT_TRUE(none.queries.empty());
}

// A response to an NS query with the records of its three sections appended as they are.
Bytes NsResponse(std::uint16_t id, const std::string& question, int answers, int authority, int additional, const Bytes& records) {
  Bytes b;
  Put16(b, id);
  Put16(b, 0x8100);
  Put16(b, 1);
  Put16(b, static_cast<unsigned>(answers));
  Put16(b, static_cast<unsigned>(authority));
  Put16(b, static_cast<unsigned>(additional));
  PutName(b, question);
  Put16(b, kDnsTypeNs);
  Put16(b, 1);
  return b + records;
}

Bytes Record(const std::string& owner, std::uint16_t type, const Bytes& data) {
  Bytes r = Name(owner);
  Put16(r, type);
  Put16(r, 1);
  r.insert(r.end(), {0, 0, 0x0E, 0x10});
  Put16(r, static_cast<unsigned>(data.size()));
  return r + data;
}

Bytes Ns(const std::string& owner, const std::string& server) { return Record(owner, kDnsTypeNs, Name(server)); }
Bytes A(const std::string& owner, std::uint8_t last) { return Record(owner, 1, Bytes{10, 0, 0, last}); }

std::vector<std::string> Hosts(const std::vector<Network::DnsServer>& servers) {
  std::vector<std::string> out;
  for (const auto& s : servers) out.push_back(s.host + ":" + std::to_string(s.port));
  return out;
}

TEST(DnsLookup, WithoutServersFollowsReferralsFromTheRoots) {
  testing::ScriptNetwork n;
  n.rootServers = {{"198.41.0.4", 53}};
  const std::uint16_t id = n.nextId;
  const std::string base = "b.example.org";
  n.datagrams = {
      {NsResponse(id, base, 0, 1, 1, Ns("org", "a0.org-servers.example") + A("a0.org-servers.example", 1))},
      // A forged answer first; then glue for one server only: the other is asked by its name.
      {NsResponse(id + 1, base, 1, 0, 0, Ns(base, "evil.example")),
       NsResponse(id, base, 0, 2, 1, Ns("example.org", "ns1.example.org") + Ns("example.org", "ns2.example.org") + A("NS1.example.org", 2))},
      {NsResponse(id, base, 1, 0, 1, Ns(base, "ns.b.example.org") + A("ns.b.example.org", 3))},
      {Response(id, "a.b.example.org", 0, {})},
      {Response(id, base, 1, MxRecord(Name("mx.example.org")))},
  };
  EXPECT_EQ(LookupMailServer(n, "ann@a.b.example.org", 10), "mx.example.org");
  ASSERT_EQ(n.askedServers.size(), 5u);
  EXPECT_EQ(Hosts(n.askedServers[0]), std::vector<std::string>{"198.41.0.4:53"});
  EXPECT_EQ(Hosts(n.askedServers[1]), std::vector<std::string>{"10.0.0.1:53"});
  EXPECT_EQ(Hosts(n.askedServers[2]), (std::vector<std::string>{"10.0.0.2:53", "ns2.example.org:53"}));
  EXPECT_EQ(Hosts(n.askedServers[3]), std::vector<std::string>{"10.0.0.3:53"});
  EXPECT_EQ(n.queries[0], BuildDnsQuery(id, base, kDnsTypeNs));
  EXPECT_EQ(n.queries[3], BuildDnsQuery(id, "a.b.example.org", kDnsTypeMx));
}

TEST(DnsLookup, IterativeLookupGivesUp) {
  const std::uint16_t id = 0x4711;
  const std::string base = "example.org";
  const Bytes loop = NsResponse(id, base, 0, 1, 1, Ns("org", "self.example") + A("self.example", 9));
  struct Case {
    const char* what;
    std::vector<Bytes> answers;  // one per exchange, the last one repeated
    std::size_t exchanges;
  } cases[] = {
      {"referrals without end", {loop}, 1 + kDnsMaxReferrals},
      {"no answer", {}, 1},
      {"neither servers nor referral", {NsResponse(id, base, 0, 0, 0, {})}, 1},
      {"server name outside its record", {NsResponse(id, base, 1, 0, 0, Record(base, kDnsTypeNs, Bytes{3, 'a', 'b'}) + Bytes{'c', 0})}, 1},
      {"truncated", {NsResponse(id, base, 1, 1, 0, Ns(base, "ns.example.org"))}, 1},
      {"error code", {[&] {
         Bytes b = NsResponse(id, base, 1, 0, 0, Ns(base, "ns.example.org"));
         b[3] |= 3;
         return b;
       }()},
       1},
  };
  for (const Case& c : cases) {
    testing::ScriptNetwork n;
    n.rootServers = {{"198.41.0.4", 53}};
    for (std::size_t i = 0; i < 20 && !c.answers.empty(); ++i) n.datagrams.push_back({c.answers[std::min(i, c.answers.size() - 1)]});
    EXPECT_EQ(LookupMailServer(n, "ann@example.org", 10), "") << c.what;
    EXPECT_EQ(n.queries.size(), c.exchanges) << c.what;
  }
  // Parsed as far as it is sound: addresses only from A records of four bytes.
  const auto a = ParseNsAnswer(NsResponse(id, base, 1, 0, 2, Ns(base, "ns.example.org") + Record("ns.example.org", 1, Bytes{1, 2, 3}) +
                                                                A("ns.example.org", 7)),
                               id, base);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->servers, std::vector<std::string>{"ns.example.org"});
  EXPECT_EQ(a->addresses, (std::vector<std::pair<std::string, std::string>>{{"ns.example.org", "10.0.0.7"}}));
}

}  // namespace
}  // namespace delivery
