#include "simulator/linux/InstallModules.h"

#include <initializer_list>
#include <type_traits>
#include <utility>

#include "PortContention.h"
#include "platform/control.h"

namespace scansim {
namespace {

ContentionModule* g_deviceMonitor = nullptr;
ContentionModule* g_portArbitration = nullptr;

// The plain functions one module hands out, each forwarding to the module installed in *Slot.
template <ContentionModule** Slot>
struct Exports {
  static BOOL WINAPI PortAcquire(DWORD mode) { return (*Slot)->PortAcquire(mode); }
  static BOOL WINAPI PortRelease(DWORD mode) { return (*Slot)->PortRelease(mode); }
  static BOOL WINAPI DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved) {
    return (*Slot)->DeviceOpen(access, share, vid, pid, reserved);
  }
  static BOOL WINAPI DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) {
    return (*Slot)->DeviceRead(buffer, length, read);
  }
  static BOOL WINAPI DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) {
    return (*Slot)->DeviceWrite(buffer, length, written);
  }
  static BOOL WINAPI DeviceClose(DWORD flags) { return (*Slot)->DeviceClose(flags); }
};

// The handler calls through these types; the modules must match them exactly.
using MonitorExports = Exports<&g_deviceMonitor>;
using ArbitrationExports = Exports<&g_portArbitration>;
static_assert(std::is_same<decltype(&MonitorExports::PortAcquire), PFN_PORTACQUIRE>::value, "PortAcquire");
static_assert(std::is_same<decltype(&MonitorExports::PortRelease), PFN_PORTRELEASE>::value, "PortRelease");
static_assert(std::is_same<decltype(&MonitorExports::DeviceOpen), PFN_DEVICEOPEN>::value, "DeviceOpen");
static_assert(std::is_same<decltype(&MonitorExports::DeviceRead), PFN_DEVICEREAD>::value, "DeviceRead");
static_assert(std::is_same<decltype(&MonitorExports::DeviceWrite), PFN_DEVICEWRITE>::value, "DeviceWrite");
static_assert(std::is_same<decltype(&MonitorExports::DeviceClose), PFN_DEVICECLOSE>::value, "DeviceClose");

// A direct cast between unrelated function types draws -Wcast-function-type; the detour through the
// untyped void (*)() says that the entry point will be cast back to its own type before it is called.
template <typename F>
FARPROC AsEntry(F* function) {
  return winplat::Entry(reinterpret_cast<void (*)()>(function));
}

void Install(const char* fileName, const ExportsEntry& exports,
             std::initializer_list<std::pair<const char*, FARPROC>> entries) {
  winplat::ModuleDefinition definition;
  for (const auto& entry : entries) {
    if (!exports || exports(entry.first)) {
      definition.entries[entry.first] = entry.second;
    }
  }
  winplat::InstallModule(fileName, std::move(definition));
}

}  // namespace

void InstallDeviceMonitor(ContentionModule& monitor, const ExportsEntry& exports) {
  g_deviceMonitor = &monitor;
  Install("prtmon64.dll", exports,
          {{"PortAcquire", AsEntry(&MonitorExports::PortAcquire)},
           {"PortRelease", AsEntry(&MonitorExports::PortRelease)},
           {"DeviceOpen", AsEntry(&MonitorExports::DeviceOpen)},
           {"DeviceRead", AsEntry(&MonitorExports::DeviceRead)},
           {"DeviceWrite", AsEntry(&MonitorExports::DeviceWrite)},
           {"DeviceClose", AsEntry(&MonitorExports::DeviceClose)}});
}

void InstallPortArbitration(ContentionModule& arbitration, const ExportsEntry& exports) {
  g_portArbitration = &arbitration;
  Install("portarb.dll", exports,
          {{"PortAcquire", AsEntry(&ArbitrationExports::PortAcquire)},
           {"PortRelease", AsEntry(&ArbitrationExports::PortRelease)}});
}

}  // namespace scansim
