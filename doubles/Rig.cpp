#include "doubles/Rig.h"

#include <atomic>
#include <cstring>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>

#include "doubles/linux/InstallDoubles.h"
#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#endif

namespace doubles {

namespace {

const char* const kModuleFiles[2] = {"prtmon64.dll", "portarb.dll"};

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

}  // namespace

Rig::Rig(const scansim::Config& config) : simulator_(std::make_unique<scansim::ScannerSimulator>(config)) {
  cable_.scanner = simulator_.get();
#if defined(_WIN32)
  // The doubles beside the program, held for the rig's life: the library loads and frees them by name
  // every port cycle, and a double keeps its state only while its DLL stays loaded.
  char program[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  std::string folder(program);
  folder.resize(folder.find_last_of("\\/") + 1);
  ContentionDouble** slots[2] = {&monitor_, &arbitration_};
  for (int i = 0; i < 2; ++i) {
    modules_[i] = LoadLibraryA((folder + kModuleFiles[i]).c_str());
    FARPROC control = modules_[i] != nullptr ? GetProcAddress(modules_[i], "DoubleControl") : nullptr;
    if (control != nullptr) {
      *slots[i] = reinterpret_cast<PFN_DOUBLECONTROL>(reinterpret_cast<void (*)()>(control))();
    }
  }
  static ContentionDouble missing;  // stands in for a double DLL that is not there, so nothing is null
  monitor_ = monitor_ != nullptr ? monitor_ : &missing;
  arbitration_ = arbitration_ != nullptr ? arbitration_ : &missing;
#else
  ownMonitor_ = std::make_unique<ContentionDouble>();
  ownArbitration_ = std::make_unique<ContentionDouble>();
  monitor_ = ownMonitor_.get();
  arbitration_ = ownArbitration_.get();
  direct_ = std::make_shared<UsbscanDevice>(&faults_, kRigVendorId, kRigProductId);
  direct_->SetGrant(arbitration_);
  PlugUsbscan(0, direct_);
#endif
  ResetDoubles();

  // A registry that refuses shows in every test as a key the library cannot read.
  std::string error;
  key_.Create(KeyPath(), &error);
}

Rig::~Rig() {
  monitor_->SetPort(nullptr);
  arbitration_->SetPort(nullptr);
#if defined(_WIN32)
  for (HMODULE module : modules_) {
    if (module != nullptr) {
      FreeLibrary(module);
    }
  }
#else
  // The modules forward to this rig's doubles: take them away before the doubles go.
  for (const char* file : kModuleFiles) {
    winplat::RemoveModule(file);
  }
  winplat::UnplugDevice("\\\\.\\Usbscan0");
#endif
}

void Rig::NewSimulator(const scansim::Config& config) {
  const bool connected = cable_.scanner == simulator_.get();
  simulator_ = std::make_unique<scansim::ScannerSimulator>(config);
  faults_.ClearFaults();
  if (connected) {
    cable_.scanner = simulator_.get();
  }
}

void Rig::Connect(scansim::Port* scanner) {
  cable_.scanner = scanner != nullptr ? scanner : simulator_.get();
}

bool Rig::Reinstall() {
#if defined(_WIN32)
  return false;
#else
  InstallDeviceMonitor(*monitor_);
  InstallPortArbitration(*arbitration_);
  return true;
#endif
}

void Rig::ResetDoubles() {
  monitor_->Reset();
  arbitration_->Reset();
  monitor_->SetPort(&faults_);
  arbitration_->SetPort(&faults_);
  Reinstall();
}

void Rig::SetDeviceData(Route route, WORD vid, WORD pid) {
  std::string error;
  key_.SetIds(vid, pid, route == Route::kDeviceMonitor, &error);
}

std::vector<std::string> Rig::Violations() const {
  std::vector<std::string> found;
  Note(&found, kModuleFiles[0], *monitor_);
  Note(&found, kModuleFiles[1], *arbitration_);
#if !defined(_WIN32)
  for (const std::string& text : direct_->Violations()) {
    found.push_back("\\\\.\\Usbscan0: " + text);
  }
#endif
  return found;
}

}  // namespace doubles
