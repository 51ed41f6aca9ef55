#include "crash/KestrumRedact_win.h"

#include <windows.h>

#include <string>

namespace kestrum {

namespace {

std::string Environment(const char* name) {
  char value[MAX_PATH * 2];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

std::string RegistryText(const char* value) {
  char text[512];
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return "";
  const LONG result = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ) return "";
  text[size] = '\0';
  return text;
}

// The same folder may appear in its long and its 8.3 spelling (the temporary folder often has the
// short one); both go.
void AddFolder(PersonalFacts& f, const std::string& folder) {
  if (folder.empty()) return;
  f.profileFolders.push_back(folder);
  char other[MAX_PATH * 2];
  for (auto convert : {GetShortPathNameA, GetLongPathNameA}) {
    const DWORD n = convert(folder.c_str(), other, sizeof other);
    if (n > 0 && n < sizeof other && folder != other) f.profileFolders.emplace_back(other, n);
  }
}

PersonalFacts Gather() {
  PersonalFacts f;
  char name[MAX_COMPUTERNAME_LENGTH * 4 + 1];
  DWORD size = sizeof name;
  if (GetComputerNameA(name, &size)) f.computerName.assign(name, size);
  char user[257];
  DWORD userSize = sizeof user;
  if (GetUserNameA(user, &userSize) && userSize > 0) f.userName = user;
  f.registeredOwner = RegistryText("RegisteredOwner");
  f.registeredOrganization = RegistryText("RegisteredOrganization");
  // A terminal session names the machine it is shown on; the console session has none.
  f.clientName = Environment("CLIENTNAME");
  if (f.clientName == "Console") f.clientName.clear();
  AddFolder(f, Environment("USERPROFILE"));
  return f;
}

}  // namespace

const PersonalFacts& MachinePersonalFacts() {
  static const PersonalFacts facts = Gather();
  return facts;
}

}  // namespace kestrum
