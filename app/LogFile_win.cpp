#include "app/LogFile_win.h"

#include "platform/Handles_win.h"

#include <algorithm>

namespace app {
namespace {

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return L".";
  if (slash == 0 || path[slash - 1] == L':') return path.substr(0, slash + 1);  // "\" or "C:\"
  return path.substr(0, slash);
}

DWORD WriteAll(HANDLE file, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    done += written;
  }
  return FlushFileBuffers(file) ? 0 : GetLastError();
}

}  // namespace

DWORD ReplaceFileContents(const std::wstring& path, const std::string& bytes) {
  // A read-only file is not replaced, whatever the file system would allow a rename to do.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
    return ERROR_ACCESS_DENIED;

  // Beside the target, so that the final move stays on one volume and cannot half-copy.
  wchar_t temp[MAX_PATH];
  if (!GetTempFileNameW(FolderOf(path).c_str(), L"klv", 0, temp)) return GetLastError();
  DWORD error = 0;
  {
    platform::ScopedFileHandle file(
        CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    error = file ? WriteAll(file.Get(), bytes) : GetLastError();
  }
  if (!error && !MoveFileExW(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = GetLastError();
  if (error) DeleteFileW(temp);
  return error;
}

std::wstring SystemErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring out = n && text ? std::wstring(text, n) : L"Error " + std::to_wstring(error);
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' ')) out.pop_back();
  return out;
}

}  // namespace app
