// Linux: the built-in simulated scanner behind the platform's module and device models, which the
// library reaches through the same libwinplat as the tool.
#include <signal.h>
#include <unistd.h>
#include <utility>

#include "Scanner.h"
#include "host/DeviceKey.h"
#include "platform/control.h"
#include "platform/usb.h"
#include "simulator/SimulatedScanner.h"

namespace stiscan {

namespace {

using scansim::kSimulatedProductId;
using scansim::kSimulatedVendorId;

class LinuxScanner : public Scanner {
 public:
  explicit LinuxScanner(const Options& options)
      : simulated_(SimulatedConditions(options), scansim::SimulatedScanner::Routes::kBoth) {}

  bool SetUp(const Options& options, std::string* error) {
    const WORD vid = options.vidGiven ? options.vid : kSimulatedVendorId;
    const WORD pid = options.pidGiven ? options.pid : kSimulatedProductId;
    // The simulator is the one scanner: the device monitor reaches it whatever the ids, the direct
    // route only by its own.
    noScannerWithIds_ = options.route == Route::kDirect && (vid != kSimulatedVendorId || pid != kSimulatedProductId);
    return simulated_.Key().Create(host::ProcessKeyPath(kToolKey), error) &&
           simulated_.Key().SetIds(vid, pid, options.route == Route::kDeviceMonitor, error);
  }

  HKEY ParametersKey() const override { return simulated_.Parameters(); }
  const scansim::Line* Simulated() const override { return &simulated_.Wire(); }
  bool NoScannerWithIds() const override { return noScannerWithIds_; }

 private:
  scansim::SimulatedScanner simulated_;
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
  std::fprintf(out, "simulator  built in  vid 0x%04X pid 0x%04X\n", scansim::kSimulatedVendorId,
               scansim::kSimulatedProductId);
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
