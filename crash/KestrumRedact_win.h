// The personal facts of this machine and its user that a report with RedactPersonal leaves out.
#pragma once

#include "crash/KestrumRedact.h"

namespace kestrum {

// Read once per process: the names do not change while it runs, and reading them again at every
// composition of a report would cost registry and system calls each time.
const PersonalFacts& MachinePersonalFacts();

}  // namespace kestrum
