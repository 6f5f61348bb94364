// The device-monitor double as a real DLL: the six entry points of "prtmon64.dll" over one
// ContentionDouble, and ModuleControl, through which a test program configures that double and hands it
// the scanner port (which the DLL never deletes). The state lives as long as the DLL stays loaded, so a
// test program holds its own reference across the handler's per-cycle loads and frees.
#include <memory>
#include <type_traits>

#include "PortContention.h"
#include "doubles/ContentionDouble.h"
#include "simulator/ScannerModel.h"

namespace {
doubles::ContentionDouble g_monitor;
std::unique_ptr<scansim::ScannerModel> g_scanner;
}  // namespace

extern "C" {

BOOL WINAPI PortAcquire(DWORD mode) {
  return g_monitor.PortAcquire(mode);
}

BOOL WINAPI PortRelease(DWORD mode) {
  return g_monitor.PortRelease(mode);
}

BOOL WINAPI DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved) {
  return g_monitor.DeviceOpen(access, share, vid, pid, reserved);
}

BOOL WINAPI DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) {
  return g_monitor.DeviceRead(buffer, length, read);
}

BOOL WINAPI DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) {
  return g_monitor.DeviceWrite(buffer, length, written);
}

BOOL WINAPI DeviceClose(DWORD flags) {
  return g_monitor.DeviceClose(flags);
}

scansim::ContentionModule* WINAPI ModuleControl() {
  return &g_monitor;
}

// For a program that knows nothing of this double (a C program built from the kit alone): the
// simulator behind the port, a new one each call, sending its image in blocks of `blockBytes`.
BOOL WINAPI ConnectSimulator(DWORD blockBytes) {
  scansim::Config config;
  config.block_bytes = blockBytes;
  g_scanner = std::make_unique<scansim::ScannerModel>(config);
  g_monitor.SetPort(g_scanner.get());
  return TRUE;
}

}  // extern "C"

// The handler calls through these types; the exports must match them exactly.
static_assert(std::is_same<decltype(&PortAcquire), PFN_PORTACQUIRE>::value, "PortAcquire");
static_assert(std::is_same<decltype(&PortRelease), PFN_PORTRELEASE>::value, "PortRelease");
static_assert(std::is_same<decltype(&DeviceOpen), PFN_DEVICEOPEN>::value, "DeviceOpen");
static_assert(std::is_same<decltype(&DeviceRead), PFN_DEVICEREAD>::value, "DeviceRead");
static_assert(std::is_same<decltype(&DeviceWrite), PFN_DEVICEWRITE>::value, "DeviceWrite");
static_assert(std::is_same<decltype(&DeviceClose), PFN_DEVICECLOSE>::value, "DeviceClose");
static_assert(std::is_same<decltype(&ModuleControl), scansim::PFN_MODULECONTROL>::value, "ModuleControl");
