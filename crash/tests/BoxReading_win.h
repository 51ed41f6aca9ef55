// Reading the component's exception box of another process, for the tests that work it: the box
// itself, the rows of its details, the clipboard it fills.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

inline BOOL CALLBACK FindExceptionBoxOf(HWND w, LPARAM lp) {
  auto* search = reinterpret_cast<std::pair<DWORD, HWND>*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  char cls[32] = {};
  GetClassNameA(w, cls, sizeof cls);
  if (pid != search->first || !IsWindowVisible(w) || std::string(cls) != "KestrumWndClass") return TRUE;
  search->second = w;
  return FALSE;
}

// The visible exception box of the process, null when none is shown.
inline HWND ExceptionBoxOf(DWORD pid) {
  std::pair<DWORD, HWND> search{pid, nullptr};
  EnumWindows(FindExceptionBoxOf, reinterpret_cast<LPARAM>(&search));
  return search.second;
}

inline std::string ClipboardText() {
  std::string text;
  if (!OpenClipboard(nullptr)) return text;
  if (HANDLE data = GetClipboardData(CF_TEXT)) {
    if (const char* p = static_cast<const char*>(GlobalLock(data))) text = p;
    GlobalUnlock(data);
  }
  CloseClipboard();
  return text;
}

// The rows of a report-style list view, each row's cells joined by tabs. The item buffer lives in
// the list's process, where the list view writes the texts.
inline std::vector<std::string> ListViewRows(HWND list) {
  std::vector<std::string> rows;
  DWORD pid = 0;
  GetWindowThreadProcessId(list, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return rows;
  constexpr SIZE_T kTextBytes = 1024;
  char* remote = static_cast<char*>(VirtualAllocEx(process, nullptr, sizeof(LVITEMA) + kTextBytes, MEM_COMMIT, PAGE_READWRITE));
  if (remote) {
    HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    const int columns = header ? static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
    const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int r = 0; r < count; ++r) {
      std::string row;
      for (int c = 0; c < columns; ++c) {
        LVITEMA item{};
        item.iSubItem = c;
        item.pszText = remote + sizeof(LVITEMA);
        item.cchTextMax = kTextBytes;
        char text[kTextBytes] = {};
        SIZE_T done = 0;
        if (WriteProcessMemory(process, remote, &item, sizeof item, &done) &&
            SendMessageA(list, LVM_GETITEMTEXTA, r, reinterpret_cast<LPARAM>(remote)) >= 0) {
          ReadProcessMemory(process, remote + sizeof(LVITEMA), text, kTextBytes - 1, &done);
        }
        if (c > 0) row += '\t';
        row += text;
      }
      rows.push_back(row);
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return rows;
}

}  // namespace testsupport
