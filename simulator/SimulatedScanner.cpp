#include "simulator/SimulatedScanner.h"

#include <thread>
#include <utility>

#include "host/ProgramDirectory.h"
#include "simulator/Wire.h"

#if !defined(_WIN32)
#include "platform/control.h"
#include "simulator/linux/InstallModules.h"
#include "simulator/linux/UsbscanDevice.h"
#endif

namespace scansim {

namespace {

const char* const kModuleFiles[2] = {"prtmon64.dll", "portarb.dll"};

// Image blocks are the only answers longer than the 70-byte inquiry.
constexpr uint32_t kLongestCommandAnswer = 70;

}  // namespace

// ---- Line ----------------------------------------------------------------------------------------------

Line::Line(const ScannerConditions& conditions)
    : shortAnswer_(conditions.shortAnswer),
      rate_(conditions.wireRate * 1e6),
      blockPauseMs_(conditions.blockPauseMs),
      feedPauseMs_(conditions.feedPauseMs) {}

void Line::Pace(uint32_t bytes) {
  if (bytes_ == 0) {
    start_ = std::chrono::steady_clock::now();
  }
  bytes_ += bytes;
  if (rate_ > 0) {
    const auto due = start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(bytes_) / rate_));
    std::this_thread::sleep_until(due);
  }
}

bool Line::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  ++commands_;
  const bool command = length >= kCommandSize && data[0] == kCommandEscape && data[1] == kCommandPrefix;
  if (command && onCommand_) {
    onCommand_(data[2]);
  }
  positioning_ = command && data[2] == kOpObjectPosition;
  const bool ok = scanner_->Write(data, length, written);
  Pace(*written);
  return ok;
}

bool Line::Read(uint8_t* data, uint32_t length, uint32_t* read) {
  if (blockPauseMs_ != 0 && length > kLongestCommandAnswer) {
    std::this_thread::sleep_for(std::chrono::milliseconds(blockPauseMs_));
  }
  if (positioning_ && feedPauseMs_ != 0) {
    positioning_ = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(feedPauseMs_));
  }
  const bool ok = scanner_->Read(data, length, read);
  if (ok && commands_ == shortAnswer_ && !cut_ && *read > 1) {
    *read /= 2;
    cut_ = true;
  }
  Pace(*read);
  return ok;
}

// ---- SimulatedScanner ------------------------------------------------------------------------------------

SimulatedScanner::SimulatedScanner(const ScannerConditions& conditions, Routes routes)
    : SimulatedScanner(SimulatorConfig(conditions), conditions, routes, Parts()) {}

SimulatedScanner::SimulatedScanner(const Config& config, const ScannerConditions& line, Routes routes, Parts parts)
    : simulator_(std::make_unique<ScannerModel>(config)),
      line_(line),
      routes_(routes),
      ownMonitor_(parts.monitor ? std::move(parts.monitor) : std::make_unique<ContentionModule>()),
      ownArbitration_(parts.arbitration ? std::move(parts.arbitration) : std::make_unique<ContentionModule>()),
      direct_(std::move(parts.direct)) {
  line_.Connect(simulator_.get());
  monitor_ = ownMonitor_.get();
  arbitration_ = ownArbitration_.get();
#if defined(_WIN32)
  // The modules beside the program, held for this object's life: the library loads and frees them by
  // name every port cycle, and a module keeps its state only while its DLL stays loaded.
  ContentionModule** slots[2] = {&monitor_, &arbitration_};
  for (int i = 0; i < (routes == Routes::kBoth ? 2 : 1); ++i) {
    std::string path = host::ProgramDirectory() + kModuleFiles[i];
    HMODULE module = LoadLibraryA(path.c_str());
    FARPROC control = module != nullptr ? GetProcAddress(module, "ModuleControl") : nullptr;
    if (module != nullptr && control == nullptr) {
      // Beside the program is another module of that name (the capturing device monitor): the
      // simulated one is then the installed one, in the system folder, which that module forwards to.
      char system[MAX_PATH];
      const UINT length = GetSystemDirectoryA(system, MAX_PATH);
      path = std::string(system, length < MAX_PATH ? length : 0) + "\\" + kModuleFiles[i];
      FreeLibrary(module);
      module = LoadLibraryA(path.c_str());
      control = module != nullptr ? GetProcAddress(module, "ModuleControl") : nullptr;
    }
    modules_[i] = module;
    if (control == nullptr) {
      missing_ = "the simulated scanner needs the module " + path + " (error " + std::to_string(GetLastError()) + ")";
      continue;
    }
    *slots[i] = reinterpret_cast<PFN_MODULECONTROL>(reinterpret_cast<void (*)()>(control))();
    (*slots[i])->Reset();
  }
#else
  if (routes == Routes::kBoth && !direct_) {
    direct_ = std::make_shared<UsbscanDevice>(nullptr, kSimulatedVendorId, kSimulatedProductId);
  }
#endif
  SetFront(&line_);
  if (line.portHeld) {
    monitor_->SetAcquireAnswer(false);
    arbitration_->SetAcquireAnswer(false);
  }
  Install();
#if !defined(_WIN32)
  if (routes == Routes::kBoth) {
    PlugUsbscan(0, direct_);
  }
#endif
}

SimulatedScanner::~SimulatedScanner() {
  monitor_->SetPort(nullptr);
  arbitration_->SetPort(nullptr);
#if defined(_WIN32)
  for (void* module : modules_) {
    if (module != nullptr) {
      FreeLibrary(static_cast<HMODULE>(module));
    }
  }
#else
  // The modules forward to this object's: take them away before they go.
  winplat::RemoveModule(kModuleFiles[0]);
  if (routes_ == Routes::kBoth) {
    winplat::RemoveModule(kModuleFiles[1]);
    winplat::UnplugDevice("\\\\.\\Usbscan0");
  }
#endif
}

bool SimulatedScanner::Ready(std::string* error) const {
#if defined(_WIN32)
  if (!missing_.empty()) {
    *error = missing_;
    return false;
  }
#endif
  (void)error;
  return true;
}

void SimulatedScanner::NewSimulator(const Config& config) {
  const bool connected = line_.Connected() == simulator_.get();
  simulator_ = std::make_unique<ScannerModel>(config);
  if (connected) {
    line_.Connect(simulator_.get());
  }
}

void SimulatedScanner::Connect(Port* scanner) {
  line_.Connect(scanner != nullptr ? scanner : simulator_.get());
}

void SimulatedScanner::SetFront(Port* front) {
  front_ = front;
  monitor_->SetPort(front_);
  arbitration_->SetPort(front_);
#if !defined(_WIN32)
  if (direct_) {
    direct_->SetPort(front_);
  }
#endif
}

bool SimulatedScanner::Install(const Exported& exports) {
#if defined(_WIN32)
  (void)exports;
  return false;
#else
  const auto of = [&](const ContentionModule& module) -> ExportsEntry {
    if (!exports) {
      return nullptr;
    }
    return [&exports, &module](const char* entry) { return exports(module, entry); };
  };
  InstallDeviceMonitor(*monitor_, of(*monitor_));
  if (routes_ == Routes::kBoth) {
    InstallPortArbitration(*arbitration_, of(*arbitration_));
  }
  return true;
#endif
}

}  // namespace scansim
