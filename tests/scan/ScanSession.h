// The minidriver's side of a scan: the real library bound by its export names, a registry key for the
// device, the contention doubles, and the scanner simulator at the end of the cable, reached through the
// device monitor's DeviceRead/DeviceWrite or directly through "\\.\Usbscan0". A fault injector sits on
// the cable so that a test can spoil one transfer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Protocol.h"
#include "simulator/FaultyPort.h"
#include "simulator/ScannerSimulator.h"
#include "support/Harness.h"

namespace scantest {

enum class Route { kDeviceMonitor, kDirect };

std::string RouteName(const ::testing::TestParamInfo<Route>& info);

constexpr WORD kVid = 0x1A2B;
constexpr WORD kPid = 0x3C4D;

// Forwards every transfer to whichever scanner is connected at the time, so that each session of a
// test can start with a fresh scanner while the routes stay wired to the same cable.
class Cable : public scansim::Port {
 public:
  void Connect(scansim::Port* scanner) { scanner_ = scanner; }
  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override;
  uint32_t LastError() const override;

 private:
  scansim::Port* scanner_ = nullptr;
};

// The scan window record as the minidriver fills it in.
SWP_PARAMETER Window(uint32_t width, uint32_t height, BYTE resolutionCode, scansim::ImageType type, BYTE source);

// The pixels per inch of a resolution code the tests use.
uint32_t DpiOf(BYTE resolutionCode);

// What a whole page came to: the result that ended it (PAGE_END when it was read to its end) and the
// image data of every block fetched, joined.
struct Page {
  HRESULT result = E_NOTIMPL;
  std::vector<uint8_t> image;
  int blocks = 0;
};

// The page the scanner should have delivered for `window` as page `page` (0 the flatbed, 1, 2, ...
// the sheets drawn from the feeder).
std::vector<uint8_t> ExpectedPage(uint32_t page, const SWP_PARAMETER& window);

class ScanSession : public ::testing::Test {
 protected:
  // A scanner with a feeder whose blocks hold 1280 bytes of image data, so that small windows still
  // span a few blocks.
  static scansim::Config SmallBlocks(uint32_t feederSheets = 0);

  // Wires the cable to the route: the device monitor's transfers, or a device object at "\\.\Usbscan0"
  // (false where no device object can be plugged in).
  bool Wire(Route route);

  // Opens the session as the imaging service does: a fresh scanner with `config` on the cable, the
  // device's registry settings for the route, InitializeDll(debug) and Initialize. Then forgets what
  // that took (calls, wire log, debug lines) unless `forget` is false. An earlier session is closed
  // first.
  void Start(const scansim::Config& config = SmallBlocks(), DWORD debug = 1, bool forget = true);
  // TerminateDll, and the doubles back to their first state.
  void Stop();

  void TearDown() override;

  // ---- The escapes, as the minidriver calls them ----
  HRESULT Escape(DWORD code, void* in = nullptr, DWORD inSize = 0, void* out = nullptr, DWORD outSize = 0,
                 DWORD* actual = nullptr);
  HRESULT GetDeviceInfo(SCAN_DEVICE_INFO* info);
  HRESULT Reserve() { return Escape(ESC_RESERVE_UNIT); }
  HRESULT SetWindow(SWP_PARAMETER window) { return Escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window)); }
  HRESULT ObjectPosition() { return Escape(ESC_OBJECT_POSITION); }
  HRESULT Read(READ_RESPONSE* response) { return Escape(ESC_READ, nullptr, 0, response, sizeof(*response)); }
  HRESULT Abort() { return Escape(ESC_ABORT); }
  HRESULT Release() { return Escape(ESC_RELEASE_UNIT); }
  // Reads blocks, each announced by ESC_READ and fetched by ESC_READ_IMAGE, until the page ends or an
  // escape fails.
  Page ScanPage();
  // Reserve, window, object position and the page, each expected to succeed; then release.
  Page ScanOnePage(const SWP_PARAMETER& window);

  // ---- What the test looks at ----
  const harness::Library& Lib() const { return harness::TheLibrary(); }
  Route route() const { return route_; }
  scansim::ScannerSimulator& Sim() { return *sim_; }
  scansim::FaultyPort& Faults() { return faults_; }
  // The contention module of the route.
  doubles::ContentionDouble& Contention();
  // Spoils the write or the read of the next exchange on the cable.
  void SpoilNext(scansim::Phase phase, const scansim::Fault& fault);
  // Forgets the calls of both doubles, the wire log and the debug lines.
  void ForgetCalls();

 private:
  Route route_ = Route::kDeviceMonitor;
  bool wired_ = false;
  bool started_ = false;
  Cable cable_;
  scansim::FaultyPort faults_{cable_};
  std::unique_ptr<scansim::ScannerSimulator> sim_;
  std::unique_ptr<harness::DeviceKey> key_;
  harness::DeviceControl control_;
};

// The session on each route in turn; the direct route is skipped where it cannot be wired.
class ScanOnRoute : public ScanSession, public ::testing::WithParamInterface<Route> {
 protected:
  void SetUp() override;
};

#define INSTANTIATE_ON_BOTH_ROUTES(suite) \
  INSTANTIATE_TEST_SUITE_P(Routes, suite, ::testing::Values(Route::kDeviceMonitor, Route::kDirect), RouteName)

}  // namespace scantest
