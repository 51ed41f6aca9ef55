#include "delivery/KestrumMailText.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "platform/Text.h"
#include "report/KestrumBlowfish.h"

namespace delivery {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<std::string> SplitAddressList(std::string_view list) {
  std::vector<std::string> out;
  bool quoted = false, angled = false;
  std::size_t start = 0;
  auto take = [&](std::size_t end) {
    const std::string_view entry = Trim(list.substr(start, end - start));
    if (!entry.empty()) out.emplace_back(entry);
    start = end + 1;
  };
  for (std::size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
    } else if (angled) {
      angled = c != '>';
    } else if (c == '"') {
      quoted = true;
    } else if (c == '<') {
      angled = true;
    } else if (c == ',' || c == ';') {
      take(i);
    }
  }
  take(list.size());
  return out;
}

int NormalizeAddressList(std::string& list) {
  const std::vector<std::string> entries = SplitAddressList(list);
  list.clear();
  for (const std::string& entry : entries) {
    if (!list.empty()) list += ',';
    list += entry;
  }
  return static_cast<int>(entries.size());
}

MailAddress ParseMailAddress(std::string_view entry) {
  entry = Trim(entry);
  bool quoted = false;
  std::size_t lt = std::string_view::npos;
  for (std::size_t i = 0; i < entry.size() && lt == std::string_view::npos; ++i) {
    if (quoted && entry[i] == '\\') ++i;
    else if (entry[i] == '"') quoted = !quoted;
    else if (!quoted && entry[i] == '<') lt = i;
  }
  MailAddress out;
  if (lt == std::string_view::npos) {
    out.address = entry;
    return out;
  }
  const std::size_t gt = entry.find('>', lt);
  out.address = Trim(entry.substr(lt + 1, gt == std::string_view::npos ? std::string_view::npos : gt - lt - 1));
  const std::string_view name = Trim(entry.substr(0, lt));
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
      if (name[i] == '\\' && i + 2 < name.size()) ++i;
      out.name += name[i];
    }
  } else {
    out.name = name;
  }
  return out;
}

std::vector<MailAddress> ParseAddressList(std::string_view list) {
  std::vector<MailAddress> out;
  for (const std::string& entry : SplitAddressList(list)) out.push_back(ParseMailAddress(entry));
  return out;
}

namespace {

// The characters of an atom (RFC 5322 atext).
bool IsAtomChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-/=?^_`{|}~").find(static_cast<char>(c)) != std::string_view::npos;
}

// A display name as a header phrase. Names in the settings are code page 1252 text, so 8-bit
// names go as encoded words of that charset; each word stays within 75 characters.
std::string DisplayNamePhrase(std::string_view name) {
  bool atoms = true, eightBit = false;
  for (unsigned char c : name) {
    if (c >= 0x80 || c < ' ' || c == 0x7F) eightBit = true;
    else if (c != ' ' && !IsAtomChar(c)) atoms = false;
  }
  if (!eightBit && atoms && name.find("  ") == std::string_view::npos) return std::string(name);
  if (!eightBit) {
    std::string out = "\"";
    for (char c : name) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + '"';
  }
  // Words short enough that one with the address after it still fits a line; whitespace between
  // encoded words is not part of the name, so they fold freely.
  static constexpr std::string_view kOpen = "=?windows-1252?Q?";
  constexpr std::size_t kMaxText = 66 - kOpen.size() - 2;
  std::string out, word;
  auto flush = [&] {
    if (!out.empty()) out += "\r\n ";
    out += kOpen;
    out += word;
    out += "?=";
    word.clear();
  };
  for (unsigned char c : name) {
    std::string piece;
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) piece = static_cast<char>(c);
    else if (c == ' ') piece = "_";
    else platform::AppendEscapedByte(piece, '=', c);
    if (word.size() + piece.size() > kMaxText) flush();
    word += piece;
  }
  flush();
  return out;
}

}  // namespace

std::string AddressListHeader(const std::vector<MailAddress>& list, std::size_t fieldNameLength) {
  std::string out;
  std::size_t line = fieldNameLength;
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::string mailbox = "<" + list[i].address + ">";
    if (!list[i].name.empty()) mailbox = DisplayNamePhrase(list[i].name) + " " + mailbox;
    const std::size_t firstLine = std::min(mailbox.find("\r\n"), mailbox.size());
    if (i > 0) {
      out += ',';
      if (line + 2 + firstLine > 78) {
        out += "\r\n";
        line = 0;
      }
      out += ' ';
      line += 2;
    }
    out += mailbox;
    const std::size_t lastBreak = mailbox.rfind("\r\n");
    line = lastBreak == std::string::npos ? line + mailbox.size() : mailbox.size() - lastBreak - 2;
  }
  return out;
}

std::string AngleAddress(std::string_view address, bool keepName) {
  const std::size_t lt = address.find('<');
  if (lt == std::string_view::npos) return "<" + std::string(address) + ">";
  if (keepName) return std::string(address);
  return std::string(address.substr(lt));
}

std::string ReportHeaderField(std::string_view bugReport, std::string_view name) {
  const std::string key = "\r\n" + std::string(name) + " ";
  const std::size_t at = bugReport.find(key);
  if (at == std::string_view::npos) return {};
  std::string_view line = bugReport.substr(at + key.size());
  line = line.substr(0, line.find("\r\n"));
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return {};
  return std::string(Trim(line.substr(colon + 1)));
}

std::string EncodeBase64(std::string_view data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const std::uint32_t v =
        static_cast<std::uint8_t>(data[i]) << 16 | static_cast<std::uint8_t>(data[i + 1]) << 8 | static_cast<std::uint8_t>(data[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = data.size() - i;
  if (rest) {
    std::uint32_t v = static_cast<std::uint8_t>(data[i]) << 16;
    if (rest == 2) v |= static_cast<std::uint8_t>(data[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string EncodeSubjectHeader(std::string_view subject) {
  static constexpr std::string_view kOpen = "=?ISO-8859-1?Q?";
  static constexpr std::string_view kClose = "?=";
  // RFC 2047 allows 75 characters an encoded word and 76 on a line that holds one; the first
  // line shares its 78 characters with the field name.
  constexpr std::size_t kMaxEncoded = 75 - kOpen.size() - kClose.size();
  constexpr std::size_t kMaxFirst = 78 - std::string_view("Subject: ").size() - kOpen.size() - kClose.size();
  std::vector<std::string> words;
  std::string word;
  for (char ch : subject) {
    const unsigned char c = static_cast<unsigned char>(ch);
    std::string piece;
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      piece = static_cast<char>(c);
    } else {
      platform::AppendEscapedByte(piece, '=', c);
    }
    if (word.size() + piece.size() > (words.empty() ? kMaxFirst : kMaxEncoded)) {
      words.push_back(std::move(word));
      word.clear();
    }
    word += piece;
  }
  words.push_back(std::move(word));
  std::string out = "Subject: ";
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i) out += "\r\n ";
    out += kOpen;
    out += words[i];
    out += kClose;
  }
  return out + "\r\n";
}

std::string BodyAsSmtpData(std::string_view body) {
  std::string out;
  out.reserve(body.size() + body.size() / 32 + 2);
  bool lineStart = true;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      out += "\r\n";
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = false;
  }
  if (!lineStart) out += "\r\n";
  return out;
}

std::string MailDate(const UtcTime& t) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* month = t.month >= 1 && t.month <= 12 ? kMonths[t.month - 1] : "Jan";
  char text[64];
  std::snprintf(text, sizeof text, "%d %s %d %02d:%02d:%02d UT", t.day, month, t.year, t.hour, t.minute, t.second);
  return text;
}

std::string MessageId(std::uint64_t fileTime) {
  char text[40];
  std::snprintf(text, sizeof text, "<%016llx@Kestrum>", static_cast<unsigned long long>(fileTime));
  return text;
}

std::string EscapeMailto(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\n':
      case '\r':
      case ' ':
      case '"':
      case '#':
      case '%':
      case '&':
      case '+':
      case '<':
      case '>':
      case '?': platform::AppendEscapedByte(out, '%', static_cast<unsigned char>(c)); break;
      default: out += c;
    }
  }
  return out;
}

std::string MailtoUrl(std::string recipients, std::string_view subject, std::string_view text) {
  // A mailto URL lists bare addresses only; a display name would be read as part of one.
  std::string to;
  for (const MailAddress& a : ParseAddressList(recipients)) {
    if (!to.empty()) to += ',';
    to += EscapeMailto(a.address);
  }
  return "mailto:" + to + "?subject=" + EscapeMailto(subject) + "&body=" + EscapeMailto(text);
}

std::string MailtoCommand(std::string_view command, std::string_view url, std::size_t maxLength) {
  std::string out;
  bool placed = false;
  for (std::size_t i = 0; i < command.size(); ++i) {
    if (command[i] == '%' && i + 1 < command.size() && command[i + 1] == '1') {
      out += url;
      placed = true;
      ++i;
    } else {
      out += command[i];
    }
  }
  if (!placed) {
    if (!out.empty() && out.back() != ' ') out += ' ';
    out += url;
  }
  if (out.size() > maxLength) {
    std::size_t cut = maxLength;
    // A "%XX" escape whose start lies in the last two kept characters would be cut apart.
    for (std::size_t back = 1; back <= 2 && back <= cut; ++back) {
      if (out[cut - back] == '%') {
        cut -= back;
        break;
      }
    }
    out.resize(cut);
  }
  return out;
}

namespace {

void CounterPass(std::string& text, std::string_view key, std::uint32_t initial) {
  const report::Blowfish cipher(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()));
  std::uint8_t counter[8] = {static_cast<std::uint8_t>(initial),
                             static_cast<std::uint8_t>(initial >> 8),
                             static_cast<std::uint8_t>(initial >> 16),
                             static_cast<std::uint8_t>(initial >> 24),
                             0,
                             0,
                             0,
                             0};
  for (std::size_t block = 0; block + 8 <= text.size(); block += 8) {
    for (int i = 7; i >= 0 && ++counter[i] == 0; --i) {}
    std::uint32_t left = static_cast<std::uint32_t>(counter[0]) << 24 | counter[1] << 16 | counter[2] << 8 | counter[3];
    std::uint32_t right = static_cast<std::uint32_t>(counter[4]) << 24 | counter[5] << 16 | counter[6] << 8 | counter[7];
    cipher.EncipherBlock(left, right);
    for (int i = 0; i < 4; ++i) {
      text[block + i] = static_cast<char>(text[block + i] ^ static_cast<char>(left >> (24 - 8 * i)));
      text[block + 4 + i] = static_cast<char>(text[block + 4 + i] ^ static_cast<char>(right >> (24 - 8 * i)));
    }
  }
}

void Unpad(std::string& text) {
  if (text.empty()) return;
  const unsigned v = static_cast<unsigned char>(text.back());
  if (v < 1 || v > 8 || v > text.size()) return;
  for (std::size_t i = text.size() - v; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) != v) return;
  }
  text.resize(text.size() - v);
}

void Pad(std::string& text) { text.append(8 - text.size() % 8, static_cast<char>(8 - text.size() % 8)); }

constexpr std::uint32_t kServerCounter = 0x5A3C9E21;
constexpr std::uint32_t kAccountCounter = 0x2B7D4F18;

}  // namespace

std::string DecodePassword(std::string stored, std::string_view account, std::string_view server) {
  if (!server.empty()) {
    CounterPass(stored, server, kServerCounter);
    Unpad(stored);
  }
  if (!account.empty()) {
    CounterPass(stored, account, kAccountCounter);
    Unpad(stored);
  }
  return stored;
}

std::string EncodePassword(std::string plain, std::string_view account, std::string_view server) {
  if (!account.empty()) {
    Pad(plain);
    CounterPass(plain, account, kAccountCounter);
  }
  if (!server.empty()) {
    Pad(plain);
    CounterPass(plain, server, kServerCounter);
  }
  return plain;
}

}  // namespace delivery
