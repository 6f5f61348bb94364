#include "scan/ScanSession.h"

#include <algorithm>

namespace scantest {

std::string RouteName(const ::testing::TestParamInfo<Route>& info) {
  return info.param == Route::kDeviceMonitor ? "DeviceMonitor" : "Direct";
}

bool Cable::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  if (scanner_ == nullptr) {
    *written = 0;
    return false;
  }
  return scanner_->Write(data, length, written);
}

bool Cable::Read(uint8_t* data, uint32_t length, uint32_t* read) {
  if (scanner_ == nullptr) {
    *read = 0;
    return false;
  }
  return scanner_->Read(data, length, read);
}

uint32_t Cable::LastError() const {
  return scanner_ != nullptr ? scanner_->LastError() : scansim::kErrorGenFailure;
}

SWP_PARAMETER Window(uint32_t width, uint32_t height, BYTE resolutionCode, scansim::ImageType type, BYTE source) {
  SWP_PARAMETER window;
  std::memset(&window, 0, sizeof(window));
  window.dwWindowWidth = width;
  window.dwWindowHeight = height;
  window.byResolutionCode = resolutionCode;
  window.byParameters[0] = static_cast<BYTE>(type);  // image type
  window.byParameters[1] = 0;                        // the type's own depth
  window.byScanSource = source;
  return window;
}

uint32_t DpiOf(BYTE resolutionCode) {
  // 2400 dpi is refused by the library, so no scan of these tests asks for it.
  const uint32_t dpi = resolutionCode == 11 ? 0 : scansim::ResolutionOfCode(resolutionCode);
  if (dpi == 0) {
    ADD_FAILURE() << "no test window uses resolution code " << int{resolutionCode};
  }
  return dpi;
}

std::vector<uint8_t> ExpectedPage(uint32_t page, const SWP_PARAMETER& window) {
  scansim::PageRequest request;
  request.page = page;
  // The scanner is sent whole groups of 32 pixels across.
  request.width = (window.dwWindowWidth + 31) / 32 * 32;
  request.height = window.dwWindowHeight;
  request.dpi = DpiOf(window.byResolutionCode);
  request.type = static_cast<scansim::ImageType>(window.byParameters[0]);
  return scansim::RenderPage(request);
}

scansim::Config ScanSession::SmallBlocks(uint32_t feederSheets) {
  scansim::Config config;
  config.block_bytes = 1280;
  config.feeder_sheets = feederSheets;
  return config;
}

bool ScanSession::Wire(Route route) {
  route_ = route;
  wired_ = route == Route::kDeviceMonitor || harness::PlugScanner(&faults_, kVid, kPid);
  return wired_;
}

void ScanSession::Start(const scansim::Config& config, DWORD debug, bool forget) {
  ASSERT_TRUE(wired_) << "Wire() the route first";
  if (started_) {
    Stop();
  }
  harness::ResetDoubles();
  faults_.ClearFaults();
  sim_ = std::make_unique<scansim::ScannerSimulator>(config);
  cable_.Connect(sim_.get());
  harness::DeviceMonitor().SetPort(route_ == Route::kDeviceMonitor ? &faults_ : nullptr);

  key_ = std::make_unique<harness::DeviceKey>();
  key_->SetIds(kVid, kPid, route_ == Route::kDeviceMonitor);

  harness::ClearDebugLines();
  ASSERT_EQ(Lib().InitializeDll(debug), S_OK);
  started_ = true;
  ASSERT_EQ(Lib().Initialize(&control_, 2, key_->Parameters()), S_OK);
  ASSERT_FALSE(Contention().Held()) << "Initialize gives the port back";
  if (forget) {
    ForgetCalls();
  }
}

void ScanSession::Stop() {
  if (started_) {
    EXPECT_EQ(Lib().TerminateDll(), S_OK);
    started_ = false;
  }
  harness::ResetDoubles();
  key_.reset();
}

void ScanSession::TearDown() {
  Stop();
  harness::UnplugScanners();
  cable_.Connect(nullptr);
}

HRESULT ScanSession::Escape(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* actual) {
  return Lib().STIEscape(code, in, inSize, out, outSize, actual);
}

HRESULT ScanSession::GetDeviceInfo(SCAN_DEVICE_INFO* info) {
  return Escape(GET_DEVICE_INFO, nullptr, 0, info, sizeof(*info));
}

Page ScanSession::ScanPage() {
  Page page;
  // No page of these tests has nearly as many blocks; the bound only stops a runaway loop.
  for (int guard = 0; guard < 10000; ++guard) {
    READ_RESPONSE response;
    std::memset(&response, 0, sizeof(response));
    const HRESULT read = Read(&response);
    if (read != S_OK && read != PAGE_END) {
      page.result = read;
      return page;
    }
    // The announced size includes the block's 16-byte trailer, which the caller does not get.
    const DWORD size = response.dwDataSize;
    std::vector<uint8_t> block(size > IMAGE_TRAILER_SIZE ? size - IMAGE_TRAILER_SIZE : 1);
    DWORD actual = 0xFFFFFFFF;
    const HRESULT image = Escape(ESC_READ_IMAGE, nullptr, 0, block.data(), static_cast<DWORD>(block.size()), &actual);
    if (image != S_OK) {
      page.result = image;
      return page;
    }
    EXPECT_EQ(actual, size - IMAGE_TRAILER_SIZE) << "block " << page.blocks;
    block.resize(std::min<size_t>(actual, block.size()));
    page.image.insert(page.image.end(), block.begin(), block.end());
    ++page.blocks;
    if (read == PAGE_END) {
      page.result = PAGE_END;
      return page;
    }
  }
  ADD_FAILURE() << "the page never ended";
  return page;
}

Page ScanSession::ScanOnePage(const SWP_PARAMETER& window) {
  EXPECT_EQ(Reserve(), S_OK);
  EXPECT_EQ(SetWindow(window), S_OK);
  EXPECT_EQ(ObjectPosition(), S_OK);
  Page page = ScanPage();
  EXPECT_EQ(Release(), S_OK);
  return page;
}

doubles::ContentionDouble& ScanSession::Contention() {
  return route_ == Route::kDeviceMonitor ? harness::DeviceMonitor() : harness::PortArbitration();
}

void ScanSession::SpoilNext(scansim::Phase phase, const scansim::Fault& fault) {
  faults_.AtExchange(faults_.Exchanges() + 1, phase, fault);
}

void ScanSession::ForgetCalls() {
  harness::DeviceMonitor().ClearCalls();
  harness::PortArbitration().ClearCalls();
  if (sim_ != nullptr) {
    sim_->ClearLog();
  }
  harness::ClearDebugLines();
}

void ScanOnRoute::SetUp() {
  if (!Wire(GetParam())) {
    GTEST_SKIP() << "no device object can be plugged in here for the direct route";
  }
}

}  // namespace scantest
