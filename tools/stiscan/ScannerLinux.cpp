// Linux: the simulator behind the platform's module and device models, which the library reaches
// through the same libwinplat as the tool.
#include <signal.h>
#include <unistd.h>
#include <utility>

#include "Scanner.h"
#include "Simulation.h"
#include "client/DeviceKey.h"
#include "doubles/ContentionDouble.h"
#include "doubles/linux/InstallDoubles.h"
#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#include "platform/usb.h"

namespace stiscan {

namespace {

class LinuxScanner : public Scanner {
 public:
  explicit LinuxScanner(const Options& options) : simulated_(options) {}

  ~LinuxScanner() override {
    // The modules forward to the doubles of this object: take them away first.
    winplat::RemoveModule("prtmon64.dll");
    winplat::RemoveModule("portarb.dll");
    winplat::UnplugAllDevices();
  }

  bool SetUp(const Options& options, std::string* error) {
    monitor_.SetPort(&simulated_.Port());
    if (options.conditions.portHeld) {
      monitor_.SetAcquireAnswer(false);
      arbitration_.SetAcquireAnswer(false);
    }
    doubles::InstallDeviceMonitor(monitor_);
    doubles::InstallPortArbitration(arbitration_);
    doubles::PlugUsbscan(
        0, std::make_shared<doubles::UsbscanDevice>(&simulated_.Port(), kSimulatedVendorId, kSimulatedProductId));
    const WORD vid = options.vidGiven ? options.vid : kSimulatedVendorId;
    const WORD pid = options.pidGiven ? options.pid : kSimulatedProductId;
    // The simulator is the one scanner: the device monitor reaches it whatever the ids, the direct
    // route only by its own.
    noScannerWithIds_ = options.route == Route::kDirect && (vid != kSimulatedVendorId || pid != kSimulatedProductId);
    return key_.Create(client::ProcessKeyPath(kToolKey), error) &&
           key_.SetIds(vid, pid, options.route == Route::kDeviceMonitor, error);
  }

  HKEY ParametersKey() const override { return key_.Parameters(); }
  const SimulatedScanner* Simulated() const override { return &simulated_; }
  bool NoScannerWithIds() const override { return noScannerWithIds_; }

 private:
  SimulatedScanner simulated_;
  doubles::ContentionDouble monitor_;
  doubles::ContentionDouble arbitration_;
  client::DeviceKey key_;
  bool noScannerWithIds_ = false;
};

}  // namespace

std::unique_ptr<Scanner> SetUpScanner(const Options& options, ExitStatus* status, std::string* error) {
  auto scanner = std::make_unique<LinuxScanner>(options);
  if (!scanner->SetUp(options, error)) {
    *status = kExitLibrary;
    return nullptr;
  }
  return scanner;
}

bool EchoDebugStrings(client::Exports&, std::function<void(const char*)> sink) {
  if (!sink) {
    winplat::SetDebugStringSink(nullptr);
    return true;
  }
  winplat::SetDebugStringSink([sink = std::move(sink)](const char* text) {
    sink(text);
    // The platform also keeps every string for tests; a long scan need not.
    winplat::ClearDebugStrings();
  });
  return true;
}

bool ListScanners(std::FILE* out) {
  std::fprintf(out, "simulator  built in  vid 0x%04X pid 0x%04X\n", kSimulatedVendorId, kSimulatedProductId);
  // The scanners on the USB bus the platform's route offers (WIASTIIO_USB_IDS adds ids).
  for (const winplat::UsbScanner& scanner : winplat::UsbScanners()) {
    std::fprintf(out, "usb  %s  vid 0x%04X pid 0x%04X  bus %d address %d\n", scanner.name.c_str(), scanner.vendorId,
                 scanner.productId, scanner.bus, scanner.address);
  }
  return true;
}

namespace {
void (*g_stop)() = nullptr;
void StopSignal(int) {
  if (g_stop != nullptr) {
    g_stop();
  }
}
}  // namespace

void OnStopRequest(void (*stop)()) {
  g_stop = stop;
  struct sigaction action = {};
  action.sa_handler = StopSignal;
  sigemptyset(&action.sa_mask);
  // The second signal finds the default action again and ends the program.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // Taken from now on, even from a parent that started the tool with them blocked: a stop sent before
  // the tool could take it is taken here.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  // A closed pipe, or a file past the size limit, shows as a write error of the output instead of
  // ending the program unseen.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void StopHandled() {}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

}  // namespace stiscan
