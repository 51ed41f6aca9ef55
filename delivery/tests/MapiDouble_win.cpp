// A mail client's Simple MAPI as a recording double: MAPISendMail writes what it was given to
// the file named by KELVANE_MAPI_LOG (attachments copied beside it as LOG.1, LOG.2, ...: the
// delivery removes its own copies when it ends) and answers the number in KELVANE_MAPI_ANSWER.
#include <windows.h>
#include <mapi.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string Text(const char* s) { return s ? s : "(null)"; }

// From the process's environment block: the C library's copy is taken when the process starts,
// before the test sets the variables.
std::string Variable(const char* name) {
  char value[1024];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

}  // namespace

extern "C" ULONG WINAPI MAPISendMail(LHANDLE, ULONG_PTR uiParam, lpMapiMessage message, FLAGS flags, ULONG) {
  const std::string log = Variable("KELVANE_MAPI_LOG");
  const std::string answer = Variable("KELVANE_MAPI_ANSWER");
  if (!log.empty()) {
    std::ofstream out(log, std::ios::binary | std::ios::app);
    out << "call flags=" << flags << " window=" << (uiParam ? "set" : "none") << "\n";
    out << "subject=" << Text(message->lpszSubject) << "\n";
    out << "body=" << Text(message->lpszNoteText) << "\n";
    for (ULONG i = 0; i < message->nRecipCount; ++i) {
      const MapiRecipDesc& r = message->lpRecips[i];
      out << "to class=" << r.ulRecipClass << " name=" << Text(r.lpszName) << " address=" << Text(r.lpszAddress) << "\n";
    }
    for (ULONG i = 0; i < message->nFileCount; ++i) {
      const MapiFileDesc& f = message->lpFiles[i];
      out << "file position=" << static_cast<long>(f.nPosition) << " name=" << Text(f.lpszFileName) << "\n";
      CopyFileA(f.lpszPathName, (log + "." + std::to_string(i + 1)).c_str(), FALSE);
    }
    out << "end\n";
  }
  return answer.empty() ? SUCCESS_SUCCESS : static_cast<ULONG>(std::atoi(answer.c_str()));
}
