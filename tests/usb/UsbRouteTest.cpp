// The direct route over USB: the library's exports, the platform's libusb port and arbitration
// module, the real libusb, and the scanner simulator answering the usbdevfs ioctls of a umockdev
// test bed. Run under umockdev-wrapper; without it every test skips.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "hardening/FeederJob.h"
#include "platform/control.h"
#include "platform/usb.h"
#include "simulator/usb/UsbTestBed.h"
#include "support/Harness.h"

namespace {

using feederjob::kPid;
using feederjob::kVid;
using Clock = std::chrono::steady_clock;

constexpr char kUsbscan0[] = "\\\\.\\Usbscan0";
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorSemTimeout = 121;
constexpr DWORD kErrorDeviceNotConnected = 1167;
constexpr DWORD kIoctlSetTimeout = 0x80002030;

// One bed for the whole program: libusb keeps watching the folder it first found.
scansim::usb::TestBed& Bed() {
  static scansim::usb::TestBed bed;
  return bed;
}

std::vector<std::string> Golden(const char* name) {
  std::ifstream file(std::string(WIASTIIO_SOURCE_DIR) + "/tests/usb/transcripts/" + name);
  EXPECT_TRUE(file.good()) << name;
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line[0] != '#') {
      lines.push_back(line);
    }
  }
  return lines;
}

[[maybe_unused]] bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class UsbRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Bed().Emulating()) {
      GTEST_SKIP() << "no umockdev test bed: run under umockdev-wrapper";
    }
    winplat::ResetAll();
    winplat::ClearUsbScannerIds();
    winplat::AddUsbScannerIds(kVid, kPid);
    winplat::SetUsbTimeout(2000);
    winplat::InstallUsbPortArbitration();
    key_ = std::make_unique<harness::DeviceKey>();
    key_->SetIds(kVid, kPid, false);
  }

  void TearDown() override {
    if (Lib().TerminateDll != nullptr) {
      Lib().TerminateDll();
    }
    for (int device : plugged_) {
      Bed().Unplug(device);
    }
    WaitForScanners(0);
    EXPECT_EQ(winplat::OpenHandles().devices, 0u);
    key_.reset();
    winplat::ResetAll();
  }

  static const harness::Library& Lib() { return harness::TheLibrary(); }

  // libusb learns of arrivals and removals from its hotplug thread, a moment later.
  static void WaitForScanners(size_t count) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (winplat::UsbScanners().size() != count && Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(winplat::UsbScanners().size(), count);
  }

  int Plug(WORD vid = kVid, WORD pid = kPid, size_t listed = 1) {
    const int device = Bed().Plug(&sim_, vid, pid);
    plugged_.push_back(device);
    WaitForScanners(listed);
    return device;
  }

  HRESULT Initialize() {
    EXPECT_EQ(Lib().InitializeDll(1), S_OK);
    return Lib().Initialize(&control_, 0, key_->Parameters());
  }

  scansim::ScannerSimulator sim_{feederjob::ScannerConfig()};
  std::unique_ptr<harness::DeviceKey> key_;
  harness::DeviceControl control_;
  std::vector<int> plugged_;
};

TEST_F(UsbRoute, FeederJobThroughTheExports) {
  const int device = Plug();
  ASSERT_EQ(Initialize(), S_OK);
  const feederjob::JobRecord job = feederjob::RunJob(Lib(), sim_);
  EXPECT_TRUE(job.completed);
  EXPECT_EQ(job.pagesRight, feederjob::kSheets);
  EXPECT_EQ(job.pagesWrong, 0u);
  EXPECT_EQ(Bed().Transfers(device), Golden("feeder-job.txt"));
  EXPECT_TRUE(sim_.ProtocolViolations().empty()) << sim_.ProtocolViolations().front();
}

}  // namespace
