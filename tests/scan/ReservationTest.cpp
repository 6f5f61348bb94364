// The reservation of the scanning unit through the exports: a scanner that answers busy or warming up
// before it grants the unit, and reads that come before any reservation.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "scan/ScanSession.h"

namespace scantest {
namespace {

using doubles::EntryPoint;
using scansim::ImageType;

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class Reservation : public ScanOnRoute {};

TEST_P(Reservation, UnitGrantedAfterBusyOrWarmingUpAnswers) {
  struct Case {
    const char* what;
    uint32_t busyReserves;
    scansim::BusyAnswer busyAnswer;
    uint32_t warmingUpReserves;
    HRESULT refusal;  // what each reserve before the grant returns
    uint32_t refusals;
    const char* line;    // written with each refusal
    size_t acquireRuns;  // the acquire steps the reserves run in all
  };
  const Case cases[] = {
      // Busy: the port is kept, and the next reserve goes straight to the command.
      {"busy status twice", 2, scansim::BusyAnswer::kStatusBusy, 0, WIA_ERROR_BUSY, 2, "[STI] Gereral Error", 1},
      {"resource busy twice", 2, scansim::BusyAnswer::kResourceBusy, 0, WIA_ERROR_BUSY, 2, "[STI] Gereral Error", 1},
      // Warming up: the port is kept too, but the next reserve runs the acquire steps again, finding the
      // port already held.
      {"warming up", 0, scansim::BusyAnswer::kStatusBusy, 1, WIA_ERROR_WARMING_UP, 1,
       "[STI] WIA_ERROR_WARMING_UP Error", 2},
  };
  const SWP_PARAMETER window = Window(64, 40, 5, ImageType::kGrey, scansim::kSourceFlatbed);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scansim::Config config = SmallBlocks();
    config.script.busy_reserves = c.busyReserves;
    config.script.busy_answer = c.busyAnswer;
    config.script.warming_up_reserves = c.warmingUpReserves;
    config.script.warmup_time = 30;
    Start(config);

    for (uint32_t i = 0; i < c.refusals; ++i) {
      EXPECT_EQ(Reserve(), c.refusal) << "reserve " << i + 1;
      EXPECT_TRUE(Contention().Held()) << "the port is kept for the next try";
      EXPECT_FALSE(Sim().UnitReserved());
    }
    READ_RESPONSE response;
    EXPECT_EQ(Read(&response), DEVICE_UNLOCKED) << "no unit reserved yet";

    EXPECT_EQ(Reserve(), S_OK);
    EXPECT_TRUE(Sim().UnitReserved());
    EXPECT_EQ(Contention().CallCount(EntryPoint::PortAcquire), 1u) << "the port was asked for once";
    const std::vector<std::string> lines = harness::DebugLines();
    EXPECT_EQ(Count(lines, c.line), c.refusals) << harness::Show(lines);
    EXPECT_EQ(Count(lines, "[STI]CSTIIOHandler::AcquirePort"), c.acquireRuns) << harness::Show(lines);
    EXPECT_EQ(Count(lines, "[STI]response wWarmupTime => 1E"), c.warmingUpReserves)
        << "the warm-up time (30) shows in the debug output only";

    ASSERT_EQ(SetWindow(window), S_OK);
    ASSERT_EQ(ObjectPosition(), S_OK);
    const Page page = ScanPage();
    EXPECT_EQ(page.result, PAGE_END);
    EXPECT_TRUE(page.image == ExpectedPage(0, window));
    EXPECT_EQ(Release(), S_OK);
    EXPECT_FALSE(Contention().Held());
  }
}

TEST_P(Reservation, ReadsBeforeAReservationAreRefused) {
  const std::string kUnlocked = "[STI] Device Unlocked... Break READ";
  struct Case {
    const char* what;
    DWORD debug;
    DWORD escape;
    bool afterAScan;  // the scan before was released
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      // The one line the dispatcher writes whatever the debug setting.
      {"read, debugging off", 0, ESC_READ, false, {kUnlocked}},
      {"read, debugging on", 1, ESC_READ, false, {"[STI]CSTIIOHandler::Escape", kUnlocked}},
      {"read image, debugging off", 0, ESC_READ_IMAGE, false, {}},
      {"read image, debugging on", 1, ESC_READ_IMAGE, false, {"[STI]CSTIIOHandler::Escape"}},
      {"read after a released scan", 0, ESC_READ, true, {kUnlocked}},
      {"read image after a released scan", 0, ESC_READ_IMAGE, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start(SmallBlocks(), c.debug);
    if (c.afterAScan) {
      ScanOnePage(Window(64, 40, 5, ImageType::kGrey, scansim::kSourceFlatbed));
      ForgetCalls();
    }

    BYTE out[2048];
    std::memset(out, 0xCD, sizeof(out));
    DWORD actual = 0x55;
    EXPECT_EQ(Escape(c.escape, nullptr, 0, out, sizeof(out), &actual), DEVICE_UNLOCKED);

    EXPECT_EQ(harness::DebugLines(), c.lines) << harness::Show(harness::DebugLines());
    EXPECT_TRUE(Sim().Log().empty()) << "nothing is sent";
    EXPECT_EQ(Contention().CallCount(), 0u) << "the port is not touched";
    EXPECT_EQ(std::count(out, out + sizeof(out), 0xCD), static_cast<std::ptrdiff_t>(sizeof(out)));
    EXPECT_EQ(actual, 0x55u);
  }
}

INSTANTIATE_ON_BOTH_ROUTES(Reservation);

}  // namespace
}  // namespace scantest
