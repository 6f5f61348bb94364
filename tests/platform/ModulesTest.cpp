// The module loader as the handler binds its port-contention modules through it.
#include <gtest/gtest.h>

#include "platform/control.h"
#include "platform/win32.h"

namespace {

int WINAPI PortAcquire(DWORD mode) {
  return static_cast<int>(mode) + 1;
}
int WINAPI PortRelease() {
  return 1;
}

class Modules : public ::testing::Test {
 protected:
  void SetUp() override {
    winplat::ResetAll();
    winplat::InstallModule("prtmon64.dll", {{{"PortAcquire", winplat::Entry(&PortAcquire)},
                                             {"PortRelease", winplat::Entry(&PortRelease)}}});
  }
  void TearDown() override { winplat::ResetAll(); }
};

TEST_F(Modules, LoadsCountReferencesOnOneHandle) {
  enum Op { kLoad, kFree };
  struct Step {
    Op op;
    const char* name;  // for loads
    bool succeeds;
    DWORD error;  // last error after a failure
    size_t references;
  };
  const Step steps[] = {
      {kLoad, "prtmon64.dll", true, 0, 1},
      {kLoad, "PRTMON64.DLL", true, 0, 2},
      {kLoad, "C:\\Windows\\System32\\prtmon64.dll", true, 0, 3},
      {kLoad, "prtmon64", true, 0, 4},  // the loader supplies the missing ".dll"
      {kFree, nullptr, true, 0, 3},
      {kFree, nullptr, true, 0, 2},
      {kFree, nullptr, true, 0, 1},
      {kFree, nullptr, true, 0, 0},
      {kFree, nullptr, false, ERROR_INVALID_HANDLE, 0},
      {kLoad, "prtmon.dll", false, ERROR_MOD_NOT_FOUND, 0},
  };
  HMODULE hFirst = nullptr;
  for (const Step& step : steps) {
    SetLastError(0);
    if (step.op == kLoad) {
      HMODULE hModule = LoadLibraryA(step.name);
      EXPECT_EQ(step.succeeds, hModule != nullptr) << step.name;
      if (hFirst == nullptr) {
        hFirst = hModule;
      }
      if (step.succeeds) {
        EXPECT_EQ(hFirst, hModule) << step.name;
      }
    } else {
      EXPECT_EQ(step.succeeds ? TRUE : FALSE, FreeLibrary(hFirst));
    }
    EXPECT_EQ(step.error, GetLastError());
    EXPECT_EQ(step.references, winplat::ModuleStatistics("prtmon64.dll").references);
  }
  winplat::ModuleCounts counts = winplat::ModuleStatistics("PrtMon64.dll");
  EXPECT_EQ(4u, counts.loads);
  EXPECT_EQ(4u, counts.frees);
  EXPECT_EQ(0u, counts.failed);
  EXPECT_EQ(1u, winplat::ModuleStatistics("prtmon.dll").failed);
}

TEST_F(Modules, EntryPointsAreLookedUpAtEachCall) {
  HMODULE hModule = LoadLibraryA("prtmon64.dll");
  ASSERT_NE(nullptr, hModule);
  EXPECT_EQ(hModule, GetModuleHandleA("PRTMON64.dll"));
  auto pfnAcquire =
      reinterpret_cast<int(WINAPI*)(DWORD)>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, "PortAcquire")));
  ASSERT_NE(nullptr, pfnAcquire);
  EXPECT_EQ(0x22, pfnAcquire(0x21));

  struct Lookup {
    const char* name;
    DWORD error;  // 0: found
  };
  const Lookup before[] = {{"PortAcquire", 0},
                           {"PortRelease", 0},
                           {"portrelease", ERROR_PROC_NOT_FOUND},
                           {"DeviceOpen", ERROR_PROC_NOT_FOUND}};
  const Lookup after[] = {{"PortAcquire", 0}, {"PortRelease", ERROR_PROC_NOT_FOUND}};
  auto check = [hModule](const Lookup& lookup) {
    SetLastError(0);
    FARPROC proc = GetProcAddress(hModule, lookup.name);
    EXPECT_EQ(lookup.error == 0, proc != nullptr) << lookup.name;
    EXPECT_EQ(lookup.error, GetLastError()) << lookup.name;
  };
  for (const Lookup& lookup : before) {
    check(lookup);
  }
  // Reinstalled without PortRelease: same handle, same references, one entry point fewer.
  winplat::InstallModule("prtmon64.dll", {{{"PortAcquire", winplat::Entry(&PortAcquire)}}});
  EXPECT_EQ(hModule, GetModuleHandleA("prtmon64.dll"));
  EXPECT_EQ(1u, winplat::ModuleStatistics("prtmon64.dll").references);
  for (const Lookup& lookup : after) {
    check(lookup);
  }

  ASSERT_TRUE(FreeLibrary(hModule));
  EXPECT_EQ(nullptr, GetProcAddress(hModule, "PortAcquire"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, GetModuleHandleA("prtmon64.dll"));
  EXPECT_NE(nullptr, GetModuleHandleA(nullptr));
}

}  // namespace
