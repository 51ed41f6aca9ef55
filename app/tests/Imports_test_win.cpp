// Kelvane.exe is linked statically: it may import system DLLs only, none of the compiler's runtime.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "testing/Paths_win.h"

namespace {

using testsupport::BesideThisProgram;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::set<std::string> ImportedDlls(const std::string& path) {
  HMODULE m = LoadLibraryExA(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  if (!m) return {};
  auto* base = reinterpret_cast<const BYTE*>(m);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  std::set<std::string> names;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d)
    names.insert(Lower(reinterpret_cast<const char*>(base + d->Name)));
  FreeLibrary(m);
  return names;
}

TEST(KelvaneImports, OnlySystemDlls) {
  const std::set<std::string> imports = ImportedDlls(BesideThisProgram("Kelvane.exe"));
  ASSERT_FALSE(imports.empty()) << "Kelvane.exe could not be mapped";
  for (const std::string& dll : imports) {
    EXPECT_EQ(dll.find("libgcc"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libstdc++"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("winpthread"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("zlib"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("msvcp"), std::string::npos) << dll;
  }
  EXPECT_TRUE(imports.count("kernel32.dll"));
}

}  // namespace
