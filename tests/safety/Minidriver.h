// The minidriver's side of a scan, through the exports of the library linked in, with the shared rig
// standing around it. Each test program of this folder uses one at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "STIEscape.h"
#include "WIASTIIO.h"
#include "client/ScanSession.h"
#include "doubles/Rig.h"

namespace safety {

// A small grey window: 64 x 30 pixels at 300 dpi, in blocks of 12 rows, from the feeder or the bed.
inline SWP_PARAMETER SmallWindow(bool feeder = true) {
  return client::WindowRecord(64, 30, 5, client::Mode::kGrey, feeder);
}

inline scansim::Config SmallBlocks(uint32_t sheets) {
  scansim::Config config;
  config.feeder_sheets = sheets;
  config.block_bytes = 64 * 12;
  return config;
}

inline HRESULT Escape(DWORD code, void* in = nullptr, DWORD inSize = 0, void* out = nullptr, DWORD outSize = 0) {
  DWORD actual = 0;
  return STIEscape(code, in, inSize, out, outSize, &actual);
}

// Reads announced blocks until the page ends; the first result that is neither S_OK nor PAGE_END.
inline HRESULT ReadPage(std::vector<uint8_t>* block) {
  for (int guard = 0; guard < 1000; ++guard) {
    READ_RESPONSE response = {};
    const HRESULT read = Escape(ESC_READ, nullptr, 0, &response, sizeof(response));
    if (read != S_OK && read != PAGE_END) {
      return read;
    }
    block->resize(response.dwDataSize > IMAGE_TRAILER_SIZE ? response.dwDataSize - IMAGE_TRAILER_SIZE : 1);
    const HRESULT image = Escape(ESC_READ_IMAGE, nullptr, 0, block->data(), static_cast<DWORD>(block->size()));
    if (image != S_OK || read == PAGE_END) {
      return image == S_OK ? PAGE_END : image;
    }
  }
  return E_FAIL;
}

// The rig, the library initialised on a route, and at the end the invariants every run keeps.
class Minidriver : public ::testing::Test {
 protected:
  void Start(doubles::Route route, const scansim::Config& config, DWORD debug = 0) {
    rig_.NewSimulator(config);
    rig_.SetDeviceData(route);
    ASSERT_EQ(InitializeDll(debug), S_OK);
    ASSERT_EQ(Initialize(rig_.Control(), 0, rig_.Parameters()), S_OK);
  }
  void TearDown() override {
    TerminateDll();
    EXPECT_EQ(rig_.Violations(), std::vector<std::string>{});
    EXPECT_FALSE(rig_.Monitor().Held() || rig_.Arbitration().Held()) << "the port is still granted";
  }

  doubles::Rig rig_;
};

}  // namespace safety
