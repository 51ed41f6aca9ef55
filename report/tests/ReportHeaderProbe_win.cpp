// Prints the machine and process fields of a report header, one "field" line each, for the
// oracle script that checks them against what the host and binutils say.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "report/KestrumReportHeader_win.h"

namespace {

void PrintHeader(const report::SystemHeaderInput& input) {
  report::FieldList header;
  header.AcceptData();
  const int gathered = report::AddSystemHeaderFields(header, input);
  std::printf("gathered %d\n", gathered);
  for (const auto& [name, value] : header.Items()) std::printf("field\t%s\t%s\n", name.c_str(), value.c_str());
  std::printf("end\n");
  std::fflush(stdout);
}

bool SetOwnerValues(const char* owner, const char* organization) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = RegSetValueExA(key, "RegisteredOwner", 0, REG_SZ, reinterpret_cast<const BYTE*>(owner), std::strlen(owner) + 1) == 0 &&
            RegSetValueExA(key, "RegisteredOrganization", 0, REG_SZ, reinterpret_cast<const BYTE*>(organization),
                           std::strlen(organization) + 1) == 0;
  RegCloseKey(key);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  report::SystemHeaderInput input;
  GetLocalTime(&input.time);
  input.componentStartMs = report::CounterMilliseconds() - 250;
  input.componentModule = GetModuleHandleW(nullptr);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "alloc") {
    PrintHeader(input);
    void* block = VirtualAlloc(nullptr, 64 << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!block) return 3;
    PrintHeader(input);
    VirtualFree(block, 0, MEM_RELEASE);
  } else if (mode == "owner") {
    // Both forms, then the prefix's values as the tests found them (other tests never read them).
    if (!SetOwnerValues("Test Owner", "Test Organization")) return 3;
    PrintHeader(input);
    SetOwnerValues("Test Owner", "");
    PrintHeader(input);
    SetOwnerValues("", "");
  } else if (mode == "versionvar") {
    input.versionVar = "7.6.5 beta";
    PrintHeader(input);
  } else if (mode == "started") {
    input.componentStartMs = report::CounterMilliseconds() - (3600 + 120 + 5) * 1000LL;
    PrintHeader(input);
  } else {
    PrintHeader(input);
  }
  return 0;
}
