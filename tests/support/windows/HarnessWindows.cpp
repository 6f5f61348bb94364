// The harness under Windows (Wine): the library and the double DLLs come from the real loader, the
// debugger strings from the library's own import of OutputDebugStringA, redirected into the test.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>

#include "simulator/Port.h"

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
      FARPROC proc = GetProcAddress(module, "ModuleControl");
      EXPECT_NE(proc, nullptr) << fileName << " ModuleControl";
      auto pfn = reinterpret_cast<scansim::PFN_MODULECONTROL>(reinterpret_cast<void (*)()>(proc));
      control = doubles::AsDouble(pfn());
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

// A double's entry point marked absent is not found by the library's GetProcAddress.
FARPROC WINAPI FindEntryPoint(HMODULE module, LPCSTR name) {
  for (DoubleModule* double_ : {&g_monitor, &g_arbitration}) {
    if (module == nullptr || module != GetModuleHandleA(double_->fileName) ||
        reinterpret_cast<uintptr_t>(name) >> 16 == 0) {
      continue;
    }
    if (!double_->Control().Exports(name)) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
  }
  return GetProcAddress(module, name);
}

// \\.\Usbscan0 as the class driver presents it, for the library's own imports of the file and device
// calls: reads and writes go to the scanner's port, IOCTL_GET_DEVICE_DESCRIPTOR answers with its ids,
// IOCTL_SET_TIMEOUT is taken; every other name of the class stays absent. Each open is a handle of its
// own (an event, so that no other handle shares its value).
struct Usbscan {
  std::mutex lock;
  scansim::Port* port = nullptr;
  BYTE descriptor[8] = {};
  std::set<HANDLE> handles;
  std::vector<std::string> controls;

  bool Owns(HANDLE handle) {
    std::lock_guard<std::mutex> guard(lock);
    return handles.count(handle) != 0;
  }
} g_usbscan;

constexpr char kUsbscanPrefix[] = "\\\\.\\Usbscan";

HANDLE WINAPI OpenFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                       DWORD flags, HANDLE templateFile) {
  if (name == nullptr || _strnicmp(name, kUsbscanPrefix, sizeof(kUsbscanPrefix) - 1) != 0) {
    return CreateFileA(name, access, share, security, disposition, flags, templateFile);
  }
  std::lock_guard<std::mutex> guard(g_usbscan.lock);
  if (g_usbscan.port == nullptr || std::strcmp(name + sizeof(kUsbscanPrefix) - 1, "0") != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_usbscan.handles.insert(handle);
  return handle;
}

// The count and the error of a transfer on the scanner's port, as ReadFile and WriteFile give them.
BOOL Moved(bool ok, uint32_t moved, LPDWORD count) {
  if (count != nullptr) {
    *count = moved;
  }
  SetLastError(ok ? ERROR_SUCCESS : g_usbscan.port->LastError());
  return ok ? TRUE : FALSE;
}

BOOL WINAPI ReadPort(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
  if (!g_usbscan.Owns(file)) {
    return ReadFile(file, buffer, length, read, overlapped);
  }
  uint32_t moved = 0;
  const bool ok = g_usbscan.port->Read(static_cast<uint8_t*>(buffer), length, &moved);
  return Moved(ok, moved, read);
}

BOOL WINAPI WritePort(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
  if (!g_usbscan.Owns(file)) {
    return WriteFile(file, buffer, length, written, overlapped);
  }
  uint32_t moved = 0;
  const bool ok = g_usbscan.port->Write(static_cast<const uint8_t*>(buffer), length, &moved);
  return Moved(ok, moved, written);
}

BOOL WINAPI ControlPort(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                        LPDWORD returned, LPOVERLAPPED overlapped) {
  if (!g_usbscan.Owns(device)) {
    return DeviceIoControl(device, code, in, inLength, out, outLength, returned, overlapped);
  }
  DWORD error = ERROR_SUCCESS;
  DWORD moved = 0;
  if (code == IOCTL_SET_TIMEOUT) {
    error = in == nullptr || inLength < 3 * sizeof(ULONG) ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  } else if (code != IOCTL_GET_DEVICE_DESCRIPTOR) {
    error = ERROR_INVALID_PARAMETER;
  } else if (out == nullptr || outLength < sizeof(g_usbscan.descriptor)) {
    error = ERROR_INSUFFICIENT_BUFFER;
  } else {
    std::memcpy(out, g_usbscan.descriptor, sizeof(g_usbscan.descriptor));
    moved = sizeof(g_usbscan.descriptor);
  }
  if (returned != nullptr) {
    *returned = moved;
  }
  const BOOL result = error == ERROR_SUCCESS ? TRUE : FALSE;
  {
    std::lock_guard<std::mutex> guard(g_usbscan.lock);
    g_usbscan.controls.push_back(DescribeDeviceControl(code, outLength, moved, result));
  }
  SetLastError(error);
  return result;
}

// Windows refuses to cancel I/O on a handle that is no file, the process's pseudo-handle
// (INVALID_HANDLE_VALUE) among them, with ERROR_INVALID_HANDLE; Wine lets it pass.
BOOL WINAPI CancelPort(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return g_usbscan.Owns(file) ? TRUE : CancelIo(file);
}

BOOL WINAPI ClosePort(HANDLE handle) {
  {
    std::lock_guard<std::mutex> guard(g_usbscan.lock);
    g_usbscan.handles.erase(handle);
  }
  return CloseHandle(handle);
}

}  // namespace

bool Library::Load() {
  std::string error;
  const bool loaded = client::Exports::Load("WIASTIIO.dll", &error);
  EXPECT_TRUE(loaded) << error << " (beside the test program)";
  if (!loaded) {
    return false;
  }
  const struct {
    const char* name;
    void* replacement;
  } kRedirects[] = {
      {"OutputDebugStringA", reinterpret_cast<void*>(&CaptureDebugString)},
      {"GetProcAddress", reinterpret_cast<void*>(&FindEntryPoint)},
      {"CreateFileA", reinterpret_cast<void*>(&OpenFile)},
      {"ReadFile", reinterpret_cast<void*>(&ReadPort)},
      {"WriteFile", reinterpret_cast<void*>(&WritePort)},
      {"DeviceIoControl", reinterpret_cast<void*>(&ControlPort)},
      {"CancelIo", reinterpret_cast<void*>(&CancelPort)},
      {"CloseHandle", reinterpret_cast<void*>(&ClosePort)},
  };
  for (const auto& redirect : kRedirects) {
    EXPECT_GE(winplat::RedirectImport(static_cast<HMODULE>(Module()), redirect.name, redirect.replacement), 1)
        << "WIASTIIO.dll imports " << redirect.name;
  }
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
  for (DoubleModule* double_ : {&g_monitor, &g_arbitration}) {
    if (_stricmp(fileName, double_->fileName) == 0) {
      return double_->ReleasedByLibrary();
    }
  }
  return GetModuleHandleA(fileName) == nullptr;
}

bool ApplyAbsentEntryPoints() {
  return true;  // the library's GetProcAddress consults the doubles' marks at each call
}

bool ModulesCanBeRemoved() {
  return false;  // the doubles are DLLs beside the library, loaded for the whole process
}

void RemoveContentionModule(const char*) {}

void ResetDoubles() {
  DeviceMonitor().Reset();
  PortArbitration().Reset();
}

bool PlugScanner(scansim::Port* port, WORD vid, WORD pid) {
  std::lock_guard<std::mutex> guard(g_usbscan.lock);
  g_usbscan.port = port;
  const WORD fields[4] = {vid, pid, 0, 0};
  std::memcpy(g_usbscan.descriptor, fields, sizeof(fields));
  return true;
}

void UnplugScanners() {
  std::lock_guard<std::mutex> guard(g_usbscan.lock);
  g_usbscan.port = nullptr;
  g_usbscan.controls.clear();
}

std::vector<std::string> DeviceControls() {
  std::lock_guard<std::mutex> guard(g_usbscan.lock);
  return g_usbscan.controls;
}

}  // namespace harness
