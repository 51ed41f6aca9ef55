// Answers the cipher questions of cipher_against_pycryptodome.py, one line each from standard input:
//   encipher KEYHEX DATAHEX  -> the data enciphered as the container's payload is
//   key LENGTH               -> the payload key for a payload of LENGTH bytes (decimal)
#include <iostream>
#include <sstream>
#include <string>

#include "report/KestrumBlowfish.h"
#include "report/tests/DebugInfoFixtures.h"

int main() {
  using report::testing::FromHex;
  using report::testing::ToHex;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream fields(line);
    std::string verb;
    fields >> verb;
    if (verb == "encipher") {
      std::string keyHex, dataHex;
      fields >> keyHex >> dataHex;
      const std::string key = FromHex(keyHex);
      std::string data = dataHex == "-" ? std::string() : FromHex(dataHex);
      report::Blowfish(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()))
          .Encipher(std::span(reinterpret_cast<std::uint8_t*>(data.data()), data.size()));
      std::cout << (data.empty() ? "-" : ToHex(data)) << "\n";
    } else if (verb == "key") {
      std::uint32_t length = 0;
      fields >> length;
      std::cout << ToHex(report::MakeDebugInfoKey(length)) << "\n";
    } else {
      std::cout << "?\n";
    }
  }
  return 0;
}
