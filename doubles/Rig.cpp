#include "doubles/Rig.h"

#include <atomic>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>

#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#endif

namespace doubles {

namespace {

// A key of its own per rig and process: test programs under Wine share one registry.
std::string KeyPath() {
  static std::atomic<unsigned> counter{0};
#if defined(_WIN32)
  const unsigned process = static_cast<unsigned>(_getpid());
#else
  const unsigned process = static_cast<unsigned>(getpid());
#endif
  return "Software\\WIASTIIO rig\\" + std::to_string(process) + "-" + std::to_string(counter++);
}

void Note(std::vector<std::string>* out, const char* module, const ContentionDouble& contention) {
  const size_t count = contention.ViolationCount();
  if (count == 0) {
    return;
  }
  std::string text = std::string(module) + ": " + contention.FirstViolation();
  if (count > 1) {
    text += " (and " + std::to_string(count - 1) + " more)";
  }
  out->push_back(text);
}

// The tests' doubles in place of the product's modules and device. On Windows the modules are the
// DLLs'; these stand in for a DLL that is not there, so that nothing is null.
scansim::SimulatedScanner::Parts Doubles() {
  return {
    std::make_unique<ContentionDouble>(), std::make_unique<ContentionDouble>(),
#if defined(_WIN32)
        nullptr
#else
        std::make_shared<UsbscanDevice>(nullptr, kRigVendorId, kRigProductId)
#endif
  };
}

}  // namespace

Rig::Rig(const scansim::Config& config)
    : SimulatedScanner(config, scansim::ScannerConditions(), Routes::kBoth, Doubles()), faults_(Wire()) {
#if !defined(_WIN32)
  Monitor().WatchModule("prtmon64.dll");
  Arbitration().WatchModule("portarb.dll");
  Direct()->SetGrant(&Arbitration());
  badClosesAtStart_ = winplat::DeviceCalls().bad_closes;
#endif
  ResetDoubles();
  // A registry that refuses shows in every test as a key the library cannot read.
  std::string error;
  Key().Create(KeyPath(), &error);
}

Rig::~Rig() = default;

void Rig::NewSimulator(const scansim::Config& config) {
  SimulatedScanner::NewSimulator(config);
  faults_.ClearFaults();
}

UsbscanDevice* Rig::Direct() {
#if defined(_WIN32)
  return nullptr;
#else
  return static_cast<UsbscanDevice*>(DirectDevice());
#endif
}

bool Rig::Reinstall() {
  return Install([](const scansim::ContentionModule& module, const char* entry) {
    return static_cast<const ContentionDouble&>(module).Exports(entry);
  });
}

void Rig::ResetDoubles() {
  Monitor().Reset();
  Arbitration().Reset();
  SetFront(&faults_);
  Reinstall();
}

void Rig::SetDeviceData(Route route, WORD vid, WORD pid) {
  std::string error;
  Key().SetIds(vid, pid, route == Route::kDeviceMonitor, &error);
}

std::vector<std::string> Rig::Violations() {
  std::vector<std::string> found;
  Note(&found, "prtmon64.dll", Monitor());
  Note(&found, "portarb.dll", Arbitration());
#if !defined(_WIN32)
  for (const std::string& text : Direct()->Violations()) {
    found.push_back("\\\\.\\Usbscan0: " + text);
  }
  // A handle closed that is not open: on Windows it raises an invalid-handle exception under a
  // debugger, and a stale value may by then be someone else's handle.
  // The platform's counts may have been reset since the rig was made.
  const size_t now = winplat::DeviceCalls().bad_closes;
  const size_t badCloses = now >= badClosesAtStart_ ? now - badClosesAtStart_ : now;
  if (badCloses != 0) {
    found.push_back("CloseHandle of a handle that is not open: " + std::to_string(badCloses));
  }
#endif
  return found;
}

}  // namespace doubles
