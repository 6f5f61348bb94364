// The PE library as Windows loads it: its exports by name and by ordinal, its version resource, and
// the debugger strings of creating and destroying the handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "ExportNames.h"
#include "support/Harness.h"

namespace {

// The export names in ascending byte order: ordinal k names the k-th.
std::vector<std::string> ExportsByOrdinal() {
#define WIASTIIO_EXPORT_NAME(name) #name,
  std::vector<std::string> names = {WIASTIIO_EXPORT_NAMES(WIASTIIO_EXPORT_NAME)};
#undef WIASTIIO_EXPORT_NAME
  std::sort(names.begin(), names.end());
  return names;
}

TEST(LibraryImage, ExportsNineteenNamesWithOrdinalsInByteOrder) {
  HMODULE module = static_cast<HMODULE>(harness::TheLibrary().Module());
  ASSERT_NE(module, nullptr);
  const std::vector<std::string> byOrdinal = ExportsByOrdinal();
  ASSERT_EQ(byOrdinal.size(), 19u);
  for (size_t ordinal = 1; ordinal <= std::size(byOrdinal); ++ordinal) {
    const char* name = byOrdinal[ordinal - 1].c_str();
    FARPROC byName = GetProcAddress(module, name);
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    EXPECT_NE(byName, nullptr) << name;
    EXPECT_EQ(byName, byOrdinal) << "ordinal " << ordinal << " should be " << name;
  }
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(20)), nullptr) << "no twentieth export";

  // The export directory holds exactly these names.
  BYTE* base = reinterpret_cast<BYTE*>(module);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC) << "PE32+";
  EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  auto* exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  ASSERT_EQ(exports->NumberOfNames, std::size(byOrdinal));
  EXPECT_EQ(exports->Base, 1u);
  auto* names = reinterpret_cast<DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    EXPECT_STREQ(reinterpret_cast<const char*>(base + names[i]), byOrdinal[i].c_str());
  }
}

std::string VersionString(const std::vector<BYTE>& block, const char* name) {
  std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
  LPVOID value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), path.c_str(), &value, &length)) {
    return "<missing>";
  }
  return length == 0 ? std::string() : std::string(static_cast<const char*>(value));
}

TEST(LibraryImage, VersionResourceDescribesTheLibrary) {
  char path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(static_cast<HMODULE>(harness::TheLibrary().Module()), path, MAX_PATH), 0u);
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedLength = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<LPVOID*>(&fixed), &fixedLength));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(3, 1));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 7));
  EXPECT_EQ(fixed->dwProductVersionMS, 0u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  const std::pair<const char*, const char*> strings[] = {{"FileDescription", "WIA STI IO Handler"},
                                                         {"FileVersion", "1, 3, 7, 0"},
                                                         {"InternalName", "WIASTIIO.dll"},
                                                         {"OriginalFilename", "WIASTIIO.dll"},
                                                         {"ProductVersion", "0, 0, 0, 0"},
                                                         {"CompanyName", ""},
                                                         {"ProductName", ""},
                                                         {"LegalCopyright", ""}};
  for (const auto& [name, value] : strings) {
    EXPECT_EQ(VersionString(block, name), value) << name;
  }
}

}  // namespace
