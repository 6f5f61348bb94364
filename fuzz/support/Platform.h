// What every fuzz target puts around the handler: a fresh platform per input, the two contention
// modules (the doubles, behind entry points that refuse to run while their module is unloaded), the
// device's registry key, the still-image service's device control and log, and the checks that
// nothing the handler took is still held once it is gone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "doubles/ContentionDouble.h"
#include "doubles/DeviceControl.h"
#include "platform/win32.h"

namespace fuzzing {

// A broken invariant is a finding: say which, then stop the way libFuzzer recognises as a crash.
[[noreturn]] void Fail(const char* what);
#define FUZZ_CHECK(condition, what) \
  do {                              \
    if (!(condition)) {             \
      ::fuzzing::Fail(what);        \
    }                               \
  } while (0)

// How the contention modules answer, and which entry points they lack. The absent bits follow
// doubles::EntryPoint (bit 0 PortAcquire ... bit 5 DeviceClose).
struct ContentionAnswers {
  bool acquire = true;
  bool release = true;
  bool open = true;
  bool close = true;
  uint8_t absent = 0;

  bool Lacks(doubles::EntryPoint entry) const { return (absent >> static_cast<unsigned>(entry)) & 1u; }
  // A release that does not go through leaves the grant with the module, by design.
  bool ReleaseRefused() const { return !release || Lacks(doubles::EntryPoint::PortRelease); }
  bool CloseRefused() const { return !close || Lacks(doubles::EntryPoint::DeviceClose); }
};

// The two modules, as LoadLibraryA finds them. Every entry point first checks that its module is
// loaded: a call into a freed module would run unmapped code on Windows.
doubles::ContentionDouble& DeviceMonitor();
doubles::ContentionDouble& PortArbitration();
void InstallContention(const ContentionAnswers& answers);

// The device-control interface the still-image service hands to Initialize.
using DeviceControl = doubles::DeviceControl;

// The imaging service's log. It counts the trace scopes opened and closed, so that a method that
// leaves without closing its scope shows.
class ServiceLog : public IWiaLog {
 public:
  size_t entering = 0;
  size_t leaving = 0;
  size_t entries = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE InitializeLog(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE hResult(HRESULT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Log(LONG lFlags, LONG lResID, LONG lDetail, BSTR bstrText) override;

  ULONG references = 0;
};

// Installs the service module whose wiasFormatArgs the handler binds when it first writes a log entry.
void InstallServiceModule();

// The device's parameters key under the current user, with its "DeviceData" subkey.
class DeviceKey {
 public:
  explicit DeviceKey(bool withDeviceData = true);
  ~DeviceKey();
  DeviceKey(const DeviceKey&) = delete;
  DeviceKey& operator=(const DeviceKey&) = delete;

  HKEY Parameters() const { return parameters_; }
  // A value under "DeviceData"; does nothing when the key was made without that subkey.
  void Set(const std::string& name, DWORD type, const std::vector<uint8_t>& data);
  void SetDword(const std::string& name, DWORD value);

 private:
  HKEY parameters_ = nullptr;
  HKEY deviceData_ = nullptr;
};

// A process with nothing in it: empty registry, no devices, both contention modules installed with
// the given answers, the service module installed, no debugger output.
void FreshPlatform(const ContentionAnswers& answers = ContentionAnswers());

// Once the handler is gone: no contention or service module loaded by it, no device or registry
// handle open, no string of the log left alive.
void CheckNothingHeld();

// Empties the models at the end of a run, so that a run frees what it allocated and the leak
// detector sees only the handler's own leaks.
void ClearPlatform();

}  // namespace fuzzing
