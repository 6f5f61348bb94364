// A scanner that stops answering in the middle of an escape: the transfer is given up after the bound
// in force, the escape fails, and once the scanner answers again the next scan works. A silence shorter
// than the bound only delays the escape.
#include <chrono>
#include <thread>

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

// The bound itself, as a caller of the device names sees it: IOCTL_SET_TIMEOUT, then a transfer to a
// scanner that keeps quiet.
struct Bound {
  const char* name;
  DWORD seconds;  // read and write
  uint32_t msPerSecond;
  scansim::Phase phase;
  uint32_t silenceMs;
  uint32_t cancelAfterMs;  // 0: no CancelIo
  DWORD error;             // ERROR_SUCCESS: the transfer goes through
  uint32_t atLeastMs;
};

const Bound kBounds[] = {
    {"read_past_the_bound", 1, 40, scansim::Phase::kRead, scansim::Port::kSilentForever, 0, 121, 40},
    {"write_past_the_bound", 1, 40, scansim::Phase::kWrite, scansim::Port::kSilentForever, 0, 121, 40},
    {"silence_within_the_bound", 1, 200, scansim::Phase::kRead, 30, 0, ERROR_SUCCESS, 30},
    {"above_214_seconds_times_out_at_once", 215, 1000, scansim::Phase::kRead, 30, 0, 121, 0},
    {"zero_waits_until_cancelled", 0, 1000, scansim::Phase::kRead, scansim::Port::kSilentForever, 50,
     ERROR_OPERATION_ABORTED, 50},
};

class TransferBound : public ::testing::TestWithParam<Bound> {};

TEST_P(TransferBound, EndsTheTransferAsTheClassDriverDoes) {
  const Bound& bound = GetParam();
  doubles::Rig rig;
  rig.Direct()->SetMillisecondsPerSecond(bound.msPerSecond);
  rig.Arbitration().WatchModule(nullptr);  // the grant is the test's own, not through the module
  rig.Arbitration().PortAcquire(0);
  HANDLE device = CreateFileA("\\\\.\\Usbscan0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  const DWORD timeouts[3] = {bound.seconds, bound.seconds, 0};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(device, IOCTL_SET_TIMEOUT, const_cast<DWORD*>(timeouts), sizeof(timeouts), nullptr, 0,
                              &returned, nullptr));
  BYTE inquiry[4] = {0x1B, 0xA8, 0x12, 0x00};
  BYTE answer[70] = {};
  DWORD moved = 0;
  if (bound.phase == scansim::Phase::kRead) {
    ASSERT_TRUE(WriteFile(device, inquiry, sizeof(inquiry), &moved, nullptr));
  }
  rig.Faults().AtExchange(rig.Faults().Exchanges() + (bound.phase == scansim::Phase::kWrite ? 1 : 0), bound.phase,
                          scansim::Fault::Silent(bound.silenceMs));
  std::thread canceller;
  if (bound.cancelAfterMs != 0) {
    canceller = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(bound.cancelAfterMs));
      CancelIo(device);
    });
  }
  const auto start = std::chrono::steady_clock::now();
  const BOOL ok = bound.phase == scansim::Phase::kRead ? ReadFile(device, answer, sizeof(answer), &moved, nullptr)
                                                       : WriteFile(device, inquiry, sizeof(inquiry), &moved, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  const auto took = std::chrono::steady_clock::now() - start;
  if (canceller.joinable()) {
    canceller.join();
  }
  EXPECT_EQ(error, bound.error);
  EXPECT_EQ(moved, ok ? (bound.phase == scansim::Phase::kRead ? sizeof(answer) : sizeof(inquiry)) : 0u);
  EXPECT_GE(took, std::chrono::milliseconds(bound.atLeastMs));
  EXPECT_LT(took, std::chrono::milliseconds(bound.atLeastMs + 900));
  CloseHandle(device);
  rig.Arbitration().PortRelease(0);
  EXPECT_EQ(rig.Violations(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Bounds, TransferBound, ::testing::ValuesIn(kBounds),
                         [](const ::testing::TestParamInfo<Bound>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace safety
