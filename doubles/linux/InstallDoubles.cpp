#include "doubles/linux/InstallDoubles.h"

#include <string>
#include <type_traits>
#include <utility>

#include "PortContention.h"
#include "platform/control.h"

namespace doubles {
namespace {

ContentionDouble* g_deviceMonitor = nullptr;
ContentionDouble* g_portArbitration = nullptr;

const char kMonitorFile[] = "prtmon64.dll";
const char kArbitrationFile[] = "portarb.dll";

// The plain functions one module hands out, each forwarding to the double installed in *Slot. A call
// made while the module is not loaded would run unmapped code on Windows: the double notes it.
template <ContentionDouble** Slot, const char* File>
struct Exports {
  static ContentionDouble& Checked(const char* entry) {
    if (winplat::ModuleStatistics(File).references == 0) {
      (*Slot)->NoteViolation((std::string(entry) + " called while " + File + " is not loaded").c_str());
    }
    return **Slot;
  }
  static BOOL WINAPI PortAcquire(DWORD mode) { return Checked("PortAcquire").PortAcquire(mode); }
  static BOOL WINAPI PortRelease(DWORD mode) { return Checked("PortRelease").PortRelease(mode); }
  static BOOL WINAPI DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved) {
    return Checked("DeviceOpen").DeviceOpen(access, share, vid, pid, reserved);
  }
  static BOOL WINAPI DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) {
    return Checked("DeviceRead").DeviceRead(buffer, length, read);
  }
  static BOOL WINAPI DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) {
    return Checked("DeviceWrite").DeviceWrite(buffer, length, written);
  }
  static BOOL WINAPI DeviceClose(DWORD flags) { return Checked("DeviceClose").DeviceClose(flags); }
};

// The handler calls through these types; the modules must match them exactly.
using MonitorExports = Exports<&g_deviceMonitor, kMonitorFile>;
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

void Install(const char* fileName, const ContentionDouble& contention,
             std::initializer_list<std::pair<EntryPoint, FARPROC>> entries) {
  winplat::ModuleDefinition definition;
  for (const auto& entry : entries) {
    if (!contention.IsAbsent(entry.first)) {
      definition.entries[EntryPointName(entry.first)] = entry.second;
    }
  }
  winplat::InstallModule(fileName, std::move(definition));
}

}  // namespace

void InstallDeviceMonitor(ContentionDouble& monitor) {
  g_deviceMonitor = &monitor;
  Install(kMonitorFile, monitor,
          {{EntryPoint::PortAcquire, AsEntry(&MonitorExports::PortAcquire)},
           {EntryPoint::PortRelease, AsEntry(&MonitorExports::PortRelease)},
           {EntryPoint::DeviceOpen, AsEntry(&MonitorExports::DeviceOpen)},
           {EntryPoint::DeviceRead, AsEntry(&MonitorExports::DeviceRead)},
           {EntryPoint::DeviceWrite, AsEntry(&MonitorExports::DeviceWrite)},
           {EntryPoint::DeviceClose, AsEntry(&MonitorExports::DeviceClose)}});
}

void InstallPortArbitration(ContentionDouble& arbitration) {
  using ArbitrationExports = Exports<&g_portArbitration, kArbitrationFile>;
  g_portArbitration = &arbitration;
  Install(kArbitrationFile, arbitration,
          {{EntryPoint::PortAcquire, AsEntry(&ArbitrationExports::PortAcquire)},
           {EntryPoint::PortRelease, AsEntry(&ArbitrationExports::PortRelease)}});
}

}  // namespace doubles
