// Stands in for the mail program registered for mailto: writes its command line to the file
// named by KELVANE_MAILTO_LOG (written under another name first, so a reader never sees half).
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

int main() {
  const char* log = std::getenv("KELVANE_MAILTO_LOG");
  if (!log) return 1;
  const std::string part = std::string(log) + ".part";
  {
    std::ofstream out(part, std::ios::binary);
    out << GetCommandLineA();
  }
  return MoveFileA(part.c_str(), log) ? 0 : 1;
}
