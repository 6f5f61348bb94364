// A scanner that stops answering in the middle of an escape: the transfer is given up after the bound
// in force, the escape fails, and once the scanner answers again the next scan works. A silence shorter
// than the bound only delays the escape.
#include <chrono>

#include "doubles/linux/UsbscanDevice.h"
#include "safety/Minidriver.h"

namespace safety {
namespace {

struct Silence {
  const char* name;
  doubles::Route route;
  scansim::Phase phase;
  uint32_t ms;
  bool escapeWorks;
};

const Silence kSilences[] = {
    {"direct_read_for_ever", doubles::Route::kDirect, scansim::Phase::kRead, scansim::Port::kSilentForever, false},
    {"direct_write_for_ever", doubles::Route::kDirect, scansim::Phase::kWrite, scansim::Port::kSilentForever, false},
    {"direct_read_longer_than_the_bound", doubles::Route::kDirect, scansim::Phase::kRead, 2000, false},
    {"direct_read_shorter_than_the_bound", doubles::Route::kDirect, scansim::Phase::kRead, 30, true},
    {"monitor_read_for_ever", doubles::Route::kDeviceMonitor, scansim::Phase::kRead, scansim::Port::kSilentForever,
     false},
    {"monitor_read_shorter", doubles::Route::kDeviceMonitor, scansim::Phase::kRead, 30, true},
};

class SilentScanner : public Minidriver, public ::testing::WithParamInterface<Silence> {};

TEST_P(SilentScanner, TheEscapeEndsAndTheNextScanWorks) {
  const Silence& silence = GetParam();
  Start(silence.route, SmallBlocks(3));
  rig_.Direct()->SetMillisecondsPerSecond(1);  // a bound of 120 s lasts 120 ms
  SWP_PARAMETER window = SmallWindow();
  ASSERT_EQ(Escape(ESC_RESERVE_UNIT), S_OK);
  ASSERT_EQ(Escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window)), S_OK);

  rig_.Faults().AtExchange(rig_.Faults().Exchanges() + 1, silence.phase, scansim::Fault::Silent(silence.ms));
  const auto start = std::chrono::steady_clock::now();
  const HRESULT position = Escape(ESC_OBJECT_POSITION);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(2)) << "the bound in force lasts 120 ms";
  if (silence.escapeWorks) {
    EXPECT_EQ(position, S_OK);
    EXPECT_GE(took, std::chrono::milliseconds(silence.ms));
  } else {
    EXPECT_TRUE(FAILED(position)) << std::hex << position;
  }
  if (silence.route == doubles::Route::kDirect && !silence.escapeWorks) {
    const auto calls = rig_.Direct()->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_FALSE(calls.back().result) << "the transfer the scanner left unanswered failed";
  }

  // The scanner answers again: whatever state the failure left, a release and a new scan work.
  rig_.Faults().ClearFaults();
  Escape(ESC_RELEASE_UNIT);
  ASSERT_EQ(Escape(ESC_RESERVE_UNIT), S_OK);
  ASSERT_EQ(Escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window)), S_OK);
  ASSERT_EQ(Escape(ESC_OBJECT_POSITION), S_OK);
  std::vector<uint8_t> block;
  EXPECT_EQ(ReadPage(&block), PAGE_END);
  EXPECT_EQ(Escape(ESC_RELEASE_UNIT), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Silences, SilentScanner, ::testing::ValuesIn(kSilences),
                         [](const ::testing::TestParamInfo<Silence>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace safety
