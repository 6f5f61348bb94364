// Creates and destroys the handler with debugging on, so that the debugger channel can be watched
// from outside (under Wine: WINEDEBUG=+debugstr).
//
// Given a library path, it loads that library instead and asks it for the device status once, which
// runs one port cycle on the device-monitor route: the exit status is 0 when a contention module was
// found and granted the port, 3 when none was.
#include <cstdio>

#include "WIASTIIO.h"

template <typename PFN>
PFN Export(HMODULE module, const char* name) {
  return reinterpret_cast<PFN>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

int main(int argc, char** argv) {
  HMODULE module = LoadLibraryA(argc > 1 ? argv[1] : "WIASTIIO.dll");
  if (module == nullptr) {
    std::printf("WIASTIIO.dll not found\n");
    return 1;
  }
  auto initialize = Export<PFN_InitializeDll>(module, "InitializeDll");
  auto terminate = Export<PFN_TerminateDll>(module, "TerminateDll");
  auto getStatus = Export<PFN_GetStatus>(module, "GetStatus");
  if (initialize == nullptr || terminate == nullptr || getStatus == nullptr) {
    std::printf("exports missing\n");
    return 1;
  }
  HRESULT created = initialize(argc > 1 ? 0 : 1);
  HRESULT status = S_OK;
  if (argc > 1) {
    STI_DEVICE_STATUS deviceStatus = {};
    deviceStatus.dwSize = sizeof(deviceStatus);
    deviceStatus.StatusMask = STI_DEVSTATUS_ONLINE_STATE;
    status = getStatus(&deviceStatus);
    std::printf("GetStatus 0x%08lX\n", static_cast<unsigned long>(status));
  }
  HRESULT destroyed = terminate();
  std::printf("InitializeDll 0x%08lX, TerminateDll 0x%08lX\n", static_cast<unsigned long>(created),
              static_cast<unsigned long>(destroyed));
  FreeLibrary(module);
  if (created != S_OK || destroyed != S_OK) {
    return 1;
  }
  return status == S_OK ? 0 : 3;
}
