// Windows: the real device through the system's contention module, or with --simulate the simulated
// scanner behind the device monitor prtmon64.dll of the build folder beside stiscan.exe.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "Scanner.h"
#include "host/DeviceKey.h"
#include "platform/windows/ImportRedirect.h"
#include "simulator/SimulatedScanner.h"

namespace stiscan {

namespace {

// Calls `each` with the name and USB ids of every \\.\UsbscanN (ids 0 when it does not tell them).
template <typename Each>
void ForEachUsbscan(Each each) {
  // The still-image class driver numbers its device objects from 0.
  for (int n = 0; n < 255; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\Usbscan%d", n);
    HANDLE device =
        CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
      continue;
    }
    DEVICE_DESCRIPTOR descriptor = {};
    DWORD returned = 0;
    const bool known = DeviceIoControl(device, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, &descriptor, sizeof descriptor,
                                       &returned, nullptr) != 0;
    CloseHandle(device);
    each(name, known ? descriptor.usVendorId : 0, known ? descriptor.usProductId : 0);
  }
}

class WindowsScanner : public Scanner {
 public:
  bool SetUp(const Options& options, ExitStatus* status, std::string* error) {
    if (options.simulate) {
      simulated_ = std::make_unique<scansim::SimulatedScanner>(SimulatedConditions(options),
                                                               scansim::SimulatedScanner::Routes::kDeviceMonitor);
      if (!simulated_->Ready(error)) {
        // The kit's stiscan.exe has no simulated scanner: its test device monitor stays in the build
        // folder, since beside an installed handler it would take every scan.
        *error =
            "--simulate works only in a build folder, whose test device monitor stands beside "
            "stiscan.exe: " +
            *error;
        *status = kExitLibrary;
        return false;
      }
    }
    const WORD vid = options.vidGiven ? options.vid : options.simulate ? scansim::kSimulatedVendorId : 0;
    const WORD pid = options.pidGiven ? options.pid : options.simulate ? scansim::kSimulatedProductId : 0;
    // The direct route opens the \\.\UsbscanN with the ids; when none has them there is no scanner.
    // Without any \\.\UsbscanN there is none on either route, as --list says.
    bool anyUsbscan = false;
    noScannerWithIds_ = !options.simulate && options.route == Route::kDirect;
    ForEachUsbscan([&](const char*, WORD deviceVid, WORD devicePid) {
      anyUsbscan = true;
      noScannerWithIds_ = noScannerWithIds_ && !((vid == 0 || vid == deviceVid) && (pid == 0 || pid == devicePid));
    });
    noScannerWithIds_ = noScannerWithIds_ || (!options.simulate && !anyUsbscan);
    if (!key_.Create(host::ProcessKeyPath(kToolKey), error) ||
        !key_.SetIds(vid, pid, options.route == Route::kDeviceMonitor, error)) {
      *status = kExitLibrary;
      return false;
    }
    return true;
  }

  HKEY ParametersKey() const override { return key_.Parameters(); }
  const scansim::Line* Simulated() const override { return simulated_ ? &simulated_->Wire() : nullptr; }
  bool NoScannerWithIds() const override { return noScannerWithIds_; }

 private:
  std::unique_ptr<scansim::SimulatedScanner> simulated_;
  host::DeviceKey key_;
  bool noScannerWithIds_ = false;
};

std::function<void(const char*)>& Sink() {
  static std::function<void(const char*)> sink;
  return sink;
}

void WINAPI EchoDebugString(LPCSTR text) {
  if (text != nullptr && Sink()) {
    Sink()(text);
  }
}

}  // namespace

std::unique_ptr<Scanner> SetUpScanner(const Options& options, ExitStatus* status, std::string* error) {
  *status = kExitUsage;
  if (!ConditionsFit(options, error)) {
    return nullptr;
  }
  if (options.simulate && options.route == Route::kDirect) {
    *error =
        "--route direct: the simulator is reached only through the device monitor (no \\\\.\\Usbscan "
        "device stands behind it)";
    return nullptr;
  }
  auto scanner = std::make_unique<WindowsScanner>();
  if (!scanner->SetUp(options, status, error)) {
    return nullptr;
  }
  return scanner;
}

bool EchoDebugStrings(client::Exports& library, std::function<void(const char*)> sink) {
  static bool redirected = false;
  Sink() = std::move(sink);
  if (!redirected) {
    // The library calls OutputDebugStringA through its import table; point that entry at the tool.
    redirected = winplat::RedirectImport(static_cast<HMODULE>(library.Module()), "OutputDebugStringA",
                                         reinterpret_cast<void*>(&EchoDebugString)) > 0;
  }
  return redirected;
}

bool ListScanners(const Options&, std::FILE* out) {
  bool any = false;
  ForEachUsbscan([&](const char* name, WORD vid, WORD pid) {
    std::fprintf(out, "%s  vid 0x%04X pid 0x%04X\n", name, vid, pid);
    any = true;
  });
  // The imaging service's device keys: the class of still-image devices.
  HKEY imaging = nullptr;
  const char* kClass = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClass, 0, KEY_READ, &imaging) == ERROR_SUCCESS) {
    char sub[256];
    for (DWORD i = 0;; ++i) {
      DWORD length = sizeof sub;
      if (RegEnumKeyExA(imaging, i, sub, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        break;
      }
      char vendor[256] = "";
      DWORD size = sizeof vendor;
      RegGetValueA(imaging, sub, "FriendlyName", RRF_RT_REG_SZ, nullptr, vendor, &size);
      std::fprintf(out, "WIA device key HKLM\\%s\\%s  %s\n", kClass, sub, vendor);
      any = true;
    }
    RegCloseKey(imaging);
  }
  if (!any) {
    std::fprintf(out, "no scanner found: none the route reaches (no \\\\.\\UsbscanN device, no WIA device key)\n");
  }
  return any;
}

namespace {
void (*g_stop)() = nullptr;
HANDLE g_done = nullptr;
LONG g_requests = 0;

BOOL WINAPI StopControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (InterlockedIncrement(&g_requests) > 1 && event != CTRL_CLOSE_EVENT) {
    return FALSE;  // a second Ctrl-C ends the program at once
  }
  if (g_stop != nullptr) {
    g_stop();
  }
  if (event == CTRL_CLOSE_EVENT && g_done != nullptr) {
    // The system ends the process when this returns: give the scan its time to abort and release.
    WaitForSingleObject(g_done, 4500);
  }
  return TRUE;
}
}  // namespace

void OnStopRequest(void (*stop)()) {
  g_stop = stop;
  g_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(StopControl, TRUE);
}

void StopHandled() {
  if (g_done != nullptr) {
    SetEvent(g_done);
  }
}

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

}  // namespace stiscan
