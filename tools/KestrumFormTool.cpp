// kestrum_form SOURCE OUTPUT [NAME]: turns a readable assistant form description into the binary
// form stream that the assistant reads from the resource "TZQ" + the form's name. With NAME, the
// description's top object must carry that name (the resource is named after the file).
// Runs on the build machine, also in the cross build, so it uses nothing but the C++ library.
#include "delivery/KestrumAssistantForm.h"
#include "platform/Text.h"
#include "tools/KestrumToolFiles.h"

#include <cctype>
#include <iostream>
#include <stdexcept>

namespace {}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: kestrum_form SOURCE OUTPUT [NAME]\n";
    return 2;
  }
  std::string text;
  if (!kestrum::ReadToolSource(argv[1], text)) return 1;
  std::vector<std::uint8_t> bytes;
  try {
    const delivery::FormObject root = delivery::ParseFormText(text);
    if (argc == 4 && !platform::EqualNoCase(root.name, argv[3])) {
      std::cerr << argv[1] << ": the form object is named " << root.name << ", expected " << argv[3] << "\n";
      return 1;
    }
    bytes = delivery::WriteFormStream(root);
    // What the program will read must be exactly what was written: the reader's limits hold and
    // nothing is lost on the way.
    const delivery::FormStream back = delivery::ParseFormStream(bytes.data(), bytes.size());
    if (!back.signatureOk || back.damaged || back.invalidType != -1 || !(back.root == root)) {
      std::cerr << argv[1] << ": the written form does not read back as written\n";
      return 1;
    }
  } catch (const std::invalid_argument& e) {
    std::cerr << argv[1] << ": " << e.what() << "\n";
    return 1;
  }
  return kestrum::WriteToolOutput(argv[2], bytes) ? 0 : 1;
}
