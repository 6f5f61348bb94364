// Windows: the real device through the system's contention module, or with --simulate the simulator
// behind the test device monitor prtmon64.dll beside stiscan.exe.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "DeviceKey.h"
#include "Scanner.h"
#include "Simulation.h"
#include "doubles/ContentionDouble.h"
#include "platform/windows/ImportRedirect.h"

namespace stiscan {

namespace {

class WindowsScanner : public Scanner {
 public:
  ~WindowsScanner() override {
    if (control_ != nullptr) {
      control_->SetPort(nullptr);
    }
    if (monitor_ != nullptr) {
      FreeLibrary(monitor_);
    }
  }

  bool SetUp(const Options& options, ExitStatus* status, std::string* error) {
    if (options.simulate) {
      // The library loads "prtmon64.dll" by name each port cycle and finds this module already loaded.
      // Holding it for the whole run keeps the double, and the simulator it points to, alive between
      // the library's loads and frees.
      const std::string path = client::ProgramDirectory() + "prtmon64.dll";
      monitor_ = LoadLibraryA(path.c_str());
      FARPROC proc = monitor_ != nullptr ? GetProcAddress(monitor_, "DoubleControl") : nullptr;
      if (proc == nullptr) {
        *status = kExitLibrary;
        *error = "--simulate needs the test device monitor " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
      }
      simulated_ = std::make_unique<SimulatedScanner>(options);
      control_ = reinterpret_cast<doubles::PFN_DOUBLECONTROL>(reinterpret_cast<void (*)()>(proc))();
      control_->Reset();
      control_->SetPort(&simulated_->Port());
      if (options.conditions.portHeld) {
        control_->SetAcquireAnswer(false);
      }
    }
    const WORD vid = options.vidGiven ? options.vid : options.simulate ? kSimulatedVendorId : 0;
    const WORD pid = options.pidGiven ? options.pid : options.simulate ? kSimulatedProductId : 0;
    if (!key_.Create(vid, pid, options.route, error)) {
      *status = kExitLibrary;
      return false;
    }
    return true;
  }

  HKEY ParametersKey() const override { return key_.Parameters(); }

 private:
  // The destructor takes the port from the double before the simulator goes.
  std::unique_ptr<SimulatedScanner> simulated_;
  HMODULE monitor_ = nullptr;
  doubles::ContentionDouble* control_ = nullptr;
  DeviceKey key_;
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
  if (!options.simulate && options.conditions.any) {
    *error =
        "the simulated scanner's options (--feeder-sheets, --busy, --warming-up, --jam, --jam-block, "
        "--short-transfer, --port-held, --block-bytes) need --simulate";
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

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

}  // namespace stiscan
