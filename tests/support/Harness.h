// What the tests need to stand where the minidriver and the imaging service stand: the library bound
// at run time by its export names, the debugger strings it wrote, the contention modules it loads, the
// device's registry key, and a device-control interface. The same calls work on Linux (over the
// platform's models) and on Windows under Wine (the real loader, registry and double DLLs).
#pragma once

#include <string>
#include <vector>

#include "WIASTIIO.h"
#include "client/DeviceControl.h"
#include "client/Exports.h"
#include "doubles/ContentionDouble.h"
#include "host/DeviceKey.h"
#include "platform/win32.h"

namespace harness {

// The nineteen exports of the real library, bound by the clients' binder.
struct Library : client::Exports {
  // Loads the library once per process and binds every export; false (with a gtest failure) when the
  // library or an export is missing.
  bool Load();

  // Escape with the minidriver's habits: sizes from the buffers given.
  HRESULT Escape(DWORD code, void* in = nullptr, DWORD inSize = 0, void* out = nullptr, DWORD outSize = 0,
                 DWORD* actual = nullptr) const {
    return STIEscape(code, in, inSize, out, outSize, actual);
  }
};

// The library of the process, loaded on first use.
Library& TheLibrary();

// Every debugger string the library wrote since the last ClearDebugLines(), oldest first.
std::vector<std::string> DebugLines();
void ClearDebugLines();
// Called with each debugger string as the library writes it; null stops the calls.
using DebugLineObserver = void (*)(const char* line);
void ObserveDebugLines(DebugLineObserver observer);

// The two contention modules the library loads by file name. Both are installed for the whole process
// and return to all-granting with no port and no calls by Reset().
doubles::ContentionDouble& DeviceMonitor();
doubles::ContentionDouble& PortArbitration();
// The module named is loaded by nobody but the test itself (the library holds no reference).
bool ModuleReleasedByLibrary(const char* fileName);
// Makes the modules lack the entry points marked absent (Linux only; false where a module cannot
// lose an export).
bool ApplyAbsentEntryPoints();
// Whether a module can be taken away until the next ResetDoubles, as an installation that lacks it
// (Linux only), and the taking away.
bool ModulesCanBeRemoved();
void RemoveContentionModule(const char* fileName);
// Puts both doubles back to their first state.
void ResetDoubles();

// Puts a scanner on the direct route: `port` answers behind "\\.\Usbscan0", whose descriptor reports
// `vid` and `pid` (a scanner already there is replaced). On Linux the device object is one of the
// platform's model; under Wine the library's own imports of the file and device calls are redirected
// to the same kind of device object, since no class driver runs there.
bool PlugScanner(scansim::Port* port, WORD vid, WORD pid);
// Takes away every scanner PlugScanner put in.
void UnplugScanners();
// Every DeviceIoControl made on those scanners since they were put in, oldest first, as
// "DeviceIoControl(CODE,OUT-LENGTH)->RETURNED = RESULT".
std::vector<std::string> DeviceControls();
std::string DescribeDeviceControl(DWORD code, DWORD outLength, DWORD returned, BOOL result);

// The device's parameters key: a fresh key of its own under the current user, deleted afterwards;
// a value the registry refuses is a test failure.
class DeviceKey : public host::DeviceKey {
 public:
  DeviceKey();
  // Values under "DeviceData" (the subkey is created on first use).
  void SetDword(const char* name, DWORD value);
  void SetBinary(const char* name, const std::vector<BYTE>& data) { SetValue(name, REG_BINARY, data); }
  void SetIds(WORD vid, WORD pid, bool deviceMonitor);
  void SetValue(const char* name, DWORD type, const std::vector<BYTE>& data);
};

// The device-control interface the still-image service hands to Initialize, counting the open-mode
// requests.
struct DeviceControl : client::DeviceControl {
  using client::DeviceControl::DeviceControl;
  HRESULT STDMETHODCALLTYPE GetMyDeviceOpenMode(LPDWORD mode) override {
    ++openModeCalls;
    return client::DeviceControl::GetMyDeviceOpenMode(mode);
  }
  int openModeCalls = 0;
};

// Lines as text for gtest messages: one per line, tabs shown as "\t".
std::string Show(const std::vector<std::string>& lines);

}  // namespace harness
