// Import address table slots of every loaded module redirected to replacements: the thread and
// library-load wrappers of the interception and the message-retrieval checks of the pausing.
// Not for use outside crash/.
#pragma once

#include <cstddef>

namespace kestrum {

struct ImportRedirect {
  const char* name;
  void* original[2];  // the export as its library gives it, and kernelbase's own when it forwards there
  void* replacement;
};

// Makes the state once (at install time; a second install starts with no redirects).
void BeginImportPatching();
// A redirect for the next PatchLoadedModules; false when the table is full or nothing is begun.
bool AddImportRedirect(const ImportRedirect& redirect);
// Every loaded module's slots that hold an original get its replacement (the system's core
// libraries are left alone); slots written are logged.
void PatchLoadedModules();
// Puts back every logged slot whose module is still the one patched.
void RestoreImports();
// Redirects the import slots of library's export name to replacement in every loaded module and in
// those loaded later, until the interception is removed. Returns the export (what replacement
// calls), null when it is missing or the interception is not installed.
void* RedirectImport(const wchar_t* library, const char* name, void* replacement);
// Import slots redirected so far and not yet put back (for tests and traces).
std::size_t PatchedSlotCount();

}  // namespace kestrum
