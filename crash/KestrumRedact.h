// Personal data kept out of a report on request: the names that identify the machine and its user,
// and paths under the user's profile folder, replaced by fixed tokens. The facts come from the
// system (KestrumRedact_win.cpp); the replacement is pure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "report/KestrumMiniDumpRedact.h"

namespace kestrum {

struct PersonalFacts {
  std::string computerName, userName, registeredOwner, registeredOrganization, clientName;
  std::vector<std::string> profileFolders;  // without a trailing backslash
};

// Every occurrence, without regard to ASCII case, that stands as a word of its own (not inside a
// longer name) becomes its token: a profile folder "<profile>" (the rest of the path stays), the
// names "<computer>", "<user>", "<owner>", "<organization>", "<client>". Longer values go first,
// so the user name inside a profile path goes with the path; a value given for two kinds takes the
// first kind's token. Tokens are the same in every report, so equal crashes still fold.
std::string RedactPersonal(std::string_view text, const PersonalFacts& facts);

// The values with their tokens, each once (trimmed, blanks left out), longest first: what the
// report's text and the minidump lose.
std::vector<report::DumpRedaction> PersonalValues(const PersonalFacts& facts);

}  // namespace kestrum
