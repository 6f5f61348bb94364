// Linux: the user's USB scanner, reached by the library's direct route over the platform's USB route
// (libusb), or with --simulate the built-in simulated scanner behind the platform's module and device
// models. The library reaches either through the same libwinplat as the tool.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "Scanner.h"
#include "host/DeviceKey.h"
#include "platform/control.h"
#include "platform/usb.h"
#include "sane/Config.h"
#include "simulator/SimulatedScanner.h"

namespace stiscan {

namespace {

using scansim::kSimulatedProductId;
using scansim::kSimulatedVendorId;

class SimulatedLinuxScanner : public Scanner {
 public:
  explicit SimulatedLinuxScanner(const Options& options)
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

// The scanners a scan without --simulate can reach, in the order it takes them, and where their ids
// were read (for the message when there is none).
struct Reachable {
  std::vector<winplat::UsbScanner> scanners;
  std::string idsFrom;
};

std::string Hex(uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", id);
  return text;
}

// Where the ids were looked for, and which were found: the conf's usb lines as lsusb shows them (so that
// the one missing is seen at once), or the folders searched for a conf, then WIASTIIO_USB_IDS.
std::string IdsLookedFor(const wiastiio_sane::ConfigFile& conf) {
  std::string from;
  if (conf.path.empty()) {
    std::string folders;
    for (const std::string& folder : conf.folders) {
      folders += (folders.empty() ? "" : ":") + folder;
    }
    from = "wiastiio.conf (none in " + folders + ")";
  } else {
    std::string ids;
    for (const wiastiio_sane::UsbId& id : conf.config.usb) {
      char text[16];
      std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
      ids += (ids.empty() ? "" : ", ") + std::string(text);
    }
    from = conf.path + " (" + (ids.empty() ? "no usb line" : "usb " + ids) + ")";
  }
  const char* environment = std::getenv("WIASTIIO_USB_IDS");
  return from + (environment != nullptr && environment[0] != '\0'
                     ? " or WIASTIIO_USB_IDS (" + std::string(environment) + ")"
                     : " or WIASTIIO_USB_IDS (unset)");
}

// The ids of wiastiio.conf's usb lines (the backend's file, from the same folders) and of
// WIASTIIO_USB_IDS, and --vid with --pid, which reach a scanner neither lists. The scanners present
// with them, in the order the library numbers \\.\UsbscanN; --vid and --pid keep only theirs.
Reachable FindScanners(const Options& options, bool quiet) {
  const wiastiio_sane::ConfigFile conf =
      wiastiio_sane::ReadConfigFile(std::getenv("SANE_CONFIG_DIR"), wiastiio_sane::kDefaultConfigFolder);
  for (const std::string& problem : conf.problems) {
    if (!quiet) {
      std::fprintf(stderr, "stiscan: %s: %s (skipped)\n", conf.path.c_str(), problem.c_str());
    }
  }
  for (const wiastiio_sane::UsbId& id : conf.config.usb) {
    winplat::AddUsbScannerIds(id.vendor, id.product);
  }
  if (options.vidGiven && options.pidGiven) {
    winplat::AddUsbScannerIds(options.vid, options.pid);
  }
  Reachable reachable;
  for (const winplat::UsbScanner& scanner : winplat::UsbScanners()) {
    if ((!options.vidGiven || scanner.vendorId == options.vid) &&
        (!options.pidGiven || scanner.productId == options.pid)) {
      reachable.scanners.push_back(scanner);
    }
  }
  reachable.idsFrom = IdsLookedFor(conf);
  return reachable;
}

std::string NoScannerMessage(const Options& options, const Reachable& reachable) {
  if (!winplat::UsbRouteBuilt()) {
    return "no scanner found: this build has no USB route (built without libusb); --simulate scans the "
           "built-in simulator";
  }
  std::string asked;
  if (options.vidGiven || options.pidGiven) {
    asked = std::string(" with") + (options.vidGiven ? " vid " + Hex(options.vid) : "") +
            (options.pidGiven ? " pid " + Hex(options.pid) : "");
  }
  return "no scanner found: no scanner" + asked + " on the USB bus has the ids of " + reachable.idsFrom +
         "; to add one, put its ids (as lsusb shows them) in a line 'usb VID PID' of wiastiio.conf (see "
         "sane-wiastiio(5)) or give them with --vid and --pid; --simulate scans the built-in simulator";
}

// The node libusb opens; without read and write permission on it the library could only report an
// I/O error.
bool NodeAccessible(const winplat::UsbScanner& scanner, std::string* error) {
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", scanner.bus, scanner.address);
  if (access(node, R_OK | W_OK) != 0 && errno == EACCES) {
    *error = std::string("no permission to read and write ") + node +
             ", the scanner's node (a udev rule can grant it: see sane-wiastiio(5))";
    return false;
  }
  return true;
}

class UsbLinuxScanner : public Scanner {
 public:
  bool SetUp(const winplat::UsbScanner& scanner, std::string* error) {
    // The direct route: the arbitration module claims the scanner's interface for each port cycle.
    winplat::InstallUsbPortArbitration();
    return key_.Create(host::ProcessKeyPath(kToolKey), error) &&
           key_.SetIds(scanner.vendorId, scanner.productId, false, error);
  }

  HKEY ParametersKey() const override { return key_.Parameters(); }
  const scansim::Line* Simulated() const override { return nullptr; }
  bool NoScannerWithIds() const override { return false; }

 private:
  host::DeviceKey key_;
};

}  // namespace

std::unique_ptr<Scanner> SetUpScanner(const Options& options, ExitStatus* status, std::string* error) {
  if (options.simulate) {
    auto scanner = std::make_unique<SimulatedLinuxScanner>(options);
    if (!scanner->SetUp(options, error)) {
      *status = kExitLibrary;
      return nullptr;
    }
    return scanner;
  }
  *status = kExitUsage;
  if (!ConditionsFit(options, error)) {
    return nullptr;
  }
  if (options.route == Route::kDeviceMonitor && options.routeGiven) {
    *error = "--route monitor: the device monitor stands only in front of the simulated scanner (add --simulate)";
    return nullptr;
  }
  *status = kExitDevice;
  const Reachable reachable = FindScanners(options, options.quiet);
  if (reachable.scanners.empty()) {
    *error = NoScannerMessage(options, reachable);
    return nullptr;
  }
  if (!NodeAccessible(reachable.scanners.front(), error)) {
    return nullptr;
  }
  auto scanner = std::make_unique<UsbLinuxScanner>();
  if (!scanner->SetUp(reachable.scanners.front(), error)) {
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

bool ListScanners(const Options& options, std::FILE* out) {
  if (options.simulate) {
    std::fprintf(out, "simulator  built in  vid 0x%04X pid 0x%04X\n", kSimulatedVendorId, kSimulatedProductId);
    return true;
  }
  const Reachable reachable = FindScanners(options, options.quiet);
  for (const winplat::UsbScanner& scanner : reachable.scanners) {
    std::fprintf(out, "usb  %s  vid 0x%04X pid 0x%04X  bus %d address %d\n", scanner.name.c_str(), scanner.vendorId,
                 scanner.productId, scanner.bus, scanner.address);
  }
  if (reachable.scanners.empty()) {
    std::fprintf(out, "%s\n", NoScannerMessage(options, reachable).c_str());
  }
  return !reachable.scanners.empty();
}

namespace {
void (*g_stop)() = nullptr;
void StopSignal(int) {
  if (g_stop != nullptr) {
    g_stop();
  }
  // A transfer that waits for a silent scanner ends now; the abort and the release that follow have
  // the stop's grace to reach it.
  winplat::StopUsbTransfers();
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
