// The harness under Windows (Wine): the library and the double DLLs come from the real loader, the
// debugger strings from the library's own import of OutputDebugStringA, redirected into the test.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "platform/windows/ImportRedirect.h"
#include "support/Harness.h"

namespace harness {

namespace {

std::mutex g_linesLock;
std::vector<std::string> g_lines;

void WINAPI CaptureDebugString(LPCSTR text) {
  if (text == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(g_linesLock);
  g_lines.emplace_back(text);
}

struct DoubleModule {
  const char* fileName;
  HMODULE module = nullptr;
  doubles::ContentionDouble* control = nullptr;

  doubles::ContentionDouble& Control() {
    if (control == nullptr) {
      // The test keeps its own reference for the whole run, so the library's per-cycle FreeLibrary
      // never unloads the double and its state.
      module = LoadLibraryA(fileName);
      EXPECT_NE(module, nullptr) << fileName << " beside the test program";
      FARPROC proc = GetProcAddress(module, "DoubleControl");
      EXPECT_NE(proc, nullptr) << fileName << " DoubleControl";
      auto pfn = reinterpret_cast<doubles::PFN_DOUBLECONTROL>(reinterpret_cast<void (*)()>(proc));
      control = pfn();
    }
    return *control;
  }

  bool ReleasedByLibrary() {
    Control();
    FreeLibrary(module);
    const bool released = GetModuleHandleA(fileName) == nullptr;
    module = nullptr;
    control = nullptr;
    return released;
  }
};

DoubleModule g_monitor{"prtmon64.dll"};
DoubleModule g_arbitration{"portarb.dll"};

}  // namespace

bool Library::Load() {
  std::string error;
  const bool loaded = client::Exports::Load("WIASTIIO.dll", &error);
  EXPECT_TRUE(loaded) << error << " (beside the test program)";
  if (!loaded) {
    return false;
  }
  EXPECT_GE(winplat::RedirectImport(static_cast<HMODULE>(Module()), "OutputDebugStringA",
                                    reinterpret_cast<void*>(&CaptureDebugString)),
            1)
      << "WIASTIIO.dll imports OutputDebugStringA";
  return true;
}

std::vector<std::string> DebugLines() {
  std::lock_guard<std::mutex> lock(g_linesLock);
  return g_lines;
}

void ClearDebugLines() {
  std::lock_guard<std::mutex> lock(g_linesLock);
  g_lines.clear();
}

doubles::ContentionDouble& DeviceMonitor() {
  return g_monitor.Control();
}

doubles::ContentionDouble& PortArbitration() {
  return g_arbitration.Control();
}

bool ApplyAbsentEntryPoints() {
  return false;
}

bool ModuleReleasedByLibrary(const char* fileName) {
  if (_stricmp(fileName, g_monitor.fileName) == 0) {
    return g_monitor.ReleasedByLibrary();
  }
  if (_stricmp(fileName, g_arbitration.fileName) == 0) {
    return g_arbitration.ReleasedByLibrary();
  }
  return GetModuleHandleA(fileName) == nullptr;
}

void ResetDoubles() {
  DeviceMonitor().Reset();
  PortArbitration().Reset();
}

// A test program cannot put a device object of its own behind \\.\Usbscan0 here.
bool PlugScanner(scansim::Port*, WORD, WORD) {
  return false;
}

void UnplugScanners() {}

}  // namespace harness
