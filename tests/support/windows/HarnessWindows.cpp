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
DebugLineObserver g_observer = nullptr;

void WINAPI CaptureDebugString(LPCSTR text) {
  if (text == nullptr) {
    return;
  }
  DebugLineObserver observer = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.emplace_back(text);
    observer = g_observer;
  }
  if (observer != nullptr) {
    observer(text);
  }
}

template <typename T>
bool Bind(HMODULE module, const char* name, T* slot) {
  FARPROC proc = GetProcAddress(module, name);
  EXPECT_NE(proc, nullptr) << "export " << name;
  *slot = reinterpret_cast<T>(reinterpret_cast<void (*)()>(proc));
  return proc != nullptr;
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
  HMODULE module = LoadLibraryA("WIASTIIO.dll");
  EXPECT_NE(module, nullptr) << "WIASTIIO.dll beside the test program, error " << ::GetLastError();
  module_ = module;
  if (module == nullptr) {
    return false;
  }
  EXPECT_GE(winplat::RedirectImport(module, "OutputDebugStringA", reinterpret_cast<void*>(&CaptureDebugString)), 1)
      << "WIASTIIO.dll imports OutputDebugStringA";
  bool ok = true;
  ok &= Bind(module, "InitializeDll", &InitializeDll);
  ok &= Bind(module, "TerminateDll", &TerminateDll);
  ok &= Bind(module, "DeleteMemory", &DeleteMemory);
  ok &= Bind(module, "Initialize", &Initialize);
  ok &= Bind(module, "GetCapabilities", &GetCapabilities);
  ok &= Bind(module, "GetStatus", &GetStatus);
  ok &= Bind(module, "DeviceReset", &DeviceReset);
  ok &= Bind(module, "Diagnostic", &Diagnostic);
  ok &= Bind(module, "STIEscape", &STIEscape);
  ok &= Bind(module, "STIGetLastError", &STIGetLastError);
  ok &= Bind(module, "LockDevice", &LockDevice);
  ok &= Bind(module, "UnLockDevice", &UnLockDevice);
  ok &= Bind(module, "RawReadData", &RawReadData);
  ok &= Bind(module, "RawWriteData", &RawWriteData);
  ok &= Bind(module, "RawReadCommand", &RawReadCommand);
  ok &= Bind(module, "RawWriteCommand", &RawWriteCommand);
  ok &= Bind(module, "SetNotificationHandle", &SetNotificationHandle);
  ok &= Bind(module, "GetNotificationData", &GetNotificationData);
  ok &= Bind(module, "GetLastErrorInfo", &GetLastErrorInfo);
  return ok;
}

std::vector<std::string> DebugLines() {
  std::lock_guard<std::mutex> lock(g_linesLock);
  return g_lines;
}

void ClearDebugLines() {
  std::lock_guard<std::mutex> lock(g_linesLock);
  g_lines.clear();
}

void ObserveDebugLines(DebugLineObserver observer) {
  std::lock_guard<std::mutex> lock(g_linesLock);
  g_observer = observer;
}

doubles::ContentionDouble& DeviceMonitor() {
  return g_monitor.Control();
}

doubles::ContentionDouble& PortArbitration() {
  return g_arbitration.Control();
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

bool ApplyAbsentEntryPoints() {
  return false;
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
