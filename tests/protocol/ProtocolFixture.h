// The command methods between a real port cycle and a scanner: the handler takes the port through the
// installed contention modules (and, on the direct route, a USB still-image device object), and the
// scanner behind both routes is the simulator, a scripted answerer where exact response bytes matter,
// with a fault injector in between.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "doubles/ContentionDouble.h"
#include "doubles/linux/UsbscanDevice.h"
#include "handler/STIIOHandler.h"
#include "platform/control.h"
#include "simulator/FaultyPort.h"
#include "simulator/ScannerSimulator.h"
#include "support/Harness.h"

namespace protocoltest {

using Bytes = std::vector<uint8_t>;

enum class Route { kDeviceMonitor, kDirect };

inline const char* RouteName(Route route) {
  return route == Route::kDeviceMonitor ? "device monitor" : "direct";
}

// A scanner that answers each read with the next of its answers, byte for byte, and keeps every write.
class ScriptedScanner : public scansim::Port {
 public:
  void Answer(const Bytes& bytes) { answers_.push_back(bytes); }
  void Reset() {
    answers_.clear();
    written_.clear();
  }
  const std::vector<Bytes>& Written() const { return written_; }

  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override {
    written_.emplace_back(data, data + length);
    *written = length;
    return true;
  }
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override {
    *read = 0;
    if (answers_.empty()) {
      return false;
    }
    const Bytes answer = answers_.front();
    answers_.pop_front();
    const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(answer.size()));
    std::copy_n(answer.begin(), n, data);
    *read = n;
    return true;
  }
  uint32_t LastError() const override { return 0; }

 private:
  std::deque<Bytes> answers_;
  std::vector<Bytes> written_;
};

// Lets a test put another scanner at the end of the cable without rewiring the routes.
class Cable : public scansim::Port {
 public:
  explicit Cable(scansim::Port* scanner) : scanner_(scanner) {}
  void Connect(scansim::Port* scanner) { scanner_ = scanner; }
  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override {
    return scanner_->Write(data, length, written);
  }
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override { return scanner_->Read(data, length, read); }
  uint32_t LastError() const override { return scanner_->LastError(); }

 private:
  scansim::Port* scanner_;
};

// True when `expected` occur in `lines` in this order (other lines may come between).
inline bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  auto at = lines.begin();
  for (const std::string& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) {
      return false;
    }
    ++at;
  }
  return true;
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class ProtocolFixture : public ::testing::Test {
 protected:
  static constexpr WORD kVid = 0x1A2B;
  static constexpr WORD kPid = 0x3C4D;

  void SetUp() override {
    winplat::ResetAll();
    harness::ResetDoubles();
    faults_.ClearFaults();
    script_.Reset();
    UseSimulator(scansim::Config());
    harness::DeviceMonitor().SetPort(&faults_);
    usbscan_ = std::make_shared<doubles::UsbscanDevice>(&faults_, kVid, kPid);
    doubles::PlugUsbscan(0, usbscan_);
    handler_ = std::make_unique<CSTIIOHandler>(TRUE);
  }

  void TearDown() override { handler_.reset(); }

  void UseSimulator(const scansim::Config& config) {
    sim_ = std::make_unique<scansim::ScannerSimulator>(config);
    cable_.Connect(sim_.get());
  }
  void UseScript() { cable_.Connect(&script_); }

  // Takes the port on `route` as a scan does at its reserve, then forgets what that took to do.
  void TakePort(Route route) {
    handler_->m_bDeviceMonitor = route == Route::kDeviceMonitor ? TRUE : FALSE;
    handler_->m_wVid = kVid;
    handler_->m_wPid = kPid;
    ASSERT_EQ(handler_->LoadPortContentionDll(), S_OK) << RouteName(route);
    ForgetCalls();
  }

  void ForgetCalls() {
    harness::ClearDebugLines();
    harness::DeviceMonitor().ClearCalls();
    harness::PortArbitration().ClearCalls();
    usbscan_->ClearCalls();
    sim_->ClearLog();
  }

  bool PortHeld(Route route) const {
    return (route == Route::kDeviceMonitor ? harness::DeviceMonitor() : harness::PortArbitration()).Held();
  }

  // Transfers that reached the scanner by either route.
  size_t MonitorTransfers() const {
    return harness::DeviceMonitor().CallCount(doubles::EntryPoint::DeviceRead) +
           harness::DeviceMonitor().CallCount(doubles::EntryPoint::DeviceWrite);
  }
  size_t DirectTransfers() const {
    return usbscan_->CallCount(doubles::UsbscanDevice::Operation::Read) +
           usbscan_->CallCount(doubles::UsbscanDevice::Operation::Write);
  }

  // Spoils the write or read of the next exchange.
  void SpoilNext(scansim::Phase phase, const scansim::Fault& fault) {
    faults_.AtExchange(faults_.Exchanges() + 1, phase, fault);
  }

  // Sets a window on the scanner and brings a flatbed page into position, from the scanner's side of
  // the cable, so that read commands find a page to report on.
  void PlaceFlatbedPage(uint32_t widthUnits, uint32_t heightUnits) {
    const Bytes window = {0x1B,
                          0xA8,
                          0x24,
                          0x13,
                          0x30,
                          static_cast<uint8_t>(widthUnits >> 24),
                          static_cast<uint8_t>(widthUnits >> 16),
                          static_cast<uint8_t>(widthUnits >> 8),
                          static_cast<uint8_t>(widthUnits),
                          static_cast<uint8_t>(heightUnits >> 24),
                          static_cast<uint8_t>(heightUnits >> 16),
                          static_cast<uint8_t>(heightUnits >> 8),
                          static_cast<uint8_t>(heightUnits),
                          5,  // 300 dpi
                          static_cast<uint8_t>(scansim::ImageType::kGrey),
                          8,
                          0,
                          0,
                          0,
                          0,
                          0,
                          0,
                          0,
                          scansim::kSourceFlatbed,
                          0};
    Exchange(window);
    Exchange({0x1B, 0xA8, scansim::kOpObjectPosition, 0x00});
    sim_->ClearLog();
  }

  // The bytes of the last response the simulator sent.
  Bytes LastResponse() const {
    const auto& log = sim_->Log();
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
      if (it->direction == scansim::WireRecord::Direction::kResponse) {
        return it->bytes;
      }
    }
    return {};
  }

  scansim::ScannerSimulator& Sim() { return *sim_; }

  std::unique_ptr<scansim::ScannerSimulator> sim_;
  ScriptedScanner script_;
  Cable cable_{nullptr};
  scansim::FaultyPort faults_{cable_};
  std::shared_ptr<doubles::UsbscanDevice> usbscan_;
  std::unique_ptr<CSTIIOHandler> handler_;

 private:
  void Exchange(const Bytes& command) {
    uint32_t moved = 0;
    ASSERT_TRUE(sim_->Write(command.data(), static_cast<uint32_t>(command.size()), &moved));
    uint8_t answer[scansim::kResponseSize];
    ASSERT_TRUE(sim_->Read(answer, sizeof(answer), &moved));
    ASSERT_EQ(answer[scansim::kOffStatus], scansim::kStatusGood) << "scanner refused command " << int{command[2]};
  }
};

}  // namespace protocoltest
