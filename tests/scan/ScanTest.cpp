// Whole scans through the exports, as the minidriver runs them: pages from the flatbed and the feeder,
// a jammed sheet, and a transfer cut short in the middle of a page. Every page is compared byte for byte
// with the page the scanner rendered.
#include <algorithm>
#include <string>
#include <vector>

#include "scan/ScanSession.h"

namespace scantest {
namespace {

using scansim::Fault;
using scansim::ImageType;
using scansim::Phase;

class WholeScan : public ScanOnRoute {};

TEST_P(WholeScan, FlatbedPageArrivesAsTheScannerRenderedIt) {
  struct Case {
    const char* what;
    SWP_PARAMETER window;
    bool hasFeeder;
  };
  const Case cases[] = {
      {"grey, 300 dpi", Window(64, 40, 5, ImageType::kGrey, scansim::kSourceFlatbed), true},
      {"colour, 150 dpi", Window(96, 30, 2, ImageType::kColour, scansim::kSourceFlatbed), true},
      // 100 pixels go out as 128: the scanner takes whole groups of 32 across.
      {"black and white, 600 dpi, width not a multiple of 32",
       Window(100, 700, 7, ImageType::kBlackWhite, scansim::kSourceFlatbed), true},
      // The device information says there is no feeder, so a feeder window is scanned from the glass.
      {"feeder window on a scanner without feeder", Window(64, 40, 5, ImageType::kGrey, scansim::kSourceFeederFront),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scansim::Config config = SmallBlocks();
    config.identity.has_feeder = c.hasFeeder;
    Start(config);
    SCAN_DEVICE_INFO info;
    ASSERT_EQ(GetDeviceInfo(&info), S_OK);

    const Page page = ScanOnePage(c.window);

    EXPECT_EQ(page.result, PAGE_END);
    EXPECT_GE(page.blocks, 2) << "the window spans several blocks";
    EXPECT_TRUE(page.image == ExpectedPage(0, c.window))
        << page.image.size() << " bytes against " << ExpectedPage(0, c.window).size();
    EXPECT_EQ(Sim().PagesCompleted(), 1u);
    EXPECT_FALSE(Sim().UnitReserved());
    EXPECT_FALSE(Contention().Held()) << "the release gives the port back";
    EXPECT_TRUE(Sim().ProtocolViolations().empty()) << Sim().ProtocolViolations().front();
  }
}

TEST_P(WholeScan, FeederJobEndsWithAnEmptyFeeder) {
  Start(SmallBlocks(3));
  SCAN_DEVICE_INFO info;
  ASSERT_EQ(GetDeviceInfo(&info), S_OK);
  const SWP_PARAMETER window = Window(64, 24, 2, ImageType::kColour, scansim::kSourceFeederFront);

  ASSERT_EQ(Reserve(), S_OK);
  ASSERT_EQ(SetWindow(window), S_OK);
  for (uint32_t sheet = 1; sheet <= 3; ++sheet) {
    SCOPED_TRACE(sheet);
    ASSERT_EQ(ObjectPosition(), S_OK);
    const Page page = ScanPage();
    EXPECT_EQ(page.result, PAGE_END);
    EXPECT_TRUE(page.image == ExpectedPage(sheet, window));
  }
  // An empty feeder is not a failure: the positive 7 tells the minidriver the job is done.
  EXPECT_EQ(ObjectPosition(), ADF_NO_DOCUMENT);
  EXPECT_TRUE(Contention().Held()) << "the scan still holds the port";
  EXPECT_EQ(Release(), S_OK);

  EXPECT_EQ(Sim().SheetsFed(), 3u);
  EXPECT_EQ(Sim().PagesCompleted(), 3u);
  EXPECT_FALSE(Contention().Held());
  EXPECT_EQ(Contention().CallCount(doubles::EntryPoint::PortAcquire), 2u) << "device information, then the scan";
}

TEST_P(WholeScan, JammedSecondSheetIsAbortedAndTheNextScanGoesOn) {
  struct Case {
    const char* what;
    scansim::JamMode mode;
  };
  const Case cases[] = {
      {"jam as the sheet is fed", scansim::JamMode::kOnFeed},
      {"jam after the first block", scansim::JamMode::kMidPage},
  };
  const SWP_PARAMETER window = Window(64, 40, 5, ImageType::kGrey, scansim::kSourceFeederFront);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scansim::Config config = SmallBlocks(3);
    config.script.jam_sheet = 2;
    config.script.jam_mode = c.mode;
    config.script.jam_after_blocks = 1;
    Start(config);
    SCAN_DEVICE_INFO info;
    ASSERT_EQ(GetDeviceInfo(&info), S_OK);

    ASSERT_EQ(Reserve(), S_OK);
    ASSERT_EQ(SetWindow(window), S_OK);
    ASSERT_EQ(ObjectPosition(), S_OK);
    EXPECT_TRUE(ScanPage().image == ExpectedPage(1, window));

    if (c.mode == scansim::JamMode::kOnFeed) {
      EXPECT_EQ(ObjectPosition(), WIA_ERROR_PAPER_JAM);
    } else {
      ASSERT_EQ(ObjectPosition(), S_OK);
      const Page jammed = ScanPage();
      EXPECT_EQ(jammed.result, WIA_ERROR_PAPER_JAM);
      EXPECT_EQ(jammed.blocks, 1);
    }
    EXPECT_TRUE(Sim().Jammed());
    EXPECT_TRUE(Contention().Held()) << "a jam does not end the port cycle";

    EXPECT_EQ(Abort(), S_OK);
    EXPECT_FALSE(Sim().Jammed());
    EXPECT_TRUE(Contention().Held()) << "abort keeps the port";
    EXPECT_EQ(Release(), S_OK);
    EXPECT_FALSE(Contention().Held());

    // A new scan takes the sheet after the jammed one.
    ASSERT_EQ(Reserve(), S_OK);
    ASSERT_EQ(SetWindow(window), S_OK);
    ASSERT_EQ(ObjectPosition(), S_OK);
    const Page page = ScanPage();
    EXPECT_EQ(page.result, PAGE_END);
    EXPECT_TRUE(page.image == ExpectedPage(3, window));
    EXPECT_EQ(ObjectPosition(), ADF_NO_DOCUMENT);
    EXPECT_EQ(Release(), S_OK);
    EXPECT_EQ(Sim().PagesCompleted(), 2u);
  }
}

TEST_P(WholeScan, ShortTransferEndsThePortCycleAndTheScanStartsAgain) {
  struct Case {
    const char* what;
    bool announceFirst;  // the block is announced before the spoiled transfer
    DWORD escape;
    Phase phase;
    Fault fault;
    const char* line;  // the debug line of the short transfer, if it has one
  };
  const Case cases[] = {
      {"read command cut short", false, ESC_READ, Phase::kWrite, Fault::ShortCount(2), "[STI]Writefile I/O Fail"},
      {"read answer cut short", false, ESC_READ, Phase::kRead, Fault::ShortCount(20), "[STI]Readfile I/O Fail"},
      {"image data cut short", true, ESC_READ_IMAGE, Phase::kRead, Fault::ShortCount(100), nullptr},
      {"image data lost", true, ESC_READ_IMAGE, Phase::kRead, Fault::FailZeroCount(), nullptr},
  };
  const SWP_PARAMETER window = Window(64, 60, 5, ImageType::kGrey, scansim::kSourceFlatbed);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start();
    ASSERT_EQ(Reserve(), S_OK);
    ASSERT_EQ(SetWindow(window), S_OK);
    ASSERT_EQ(ObjectPosition(), S_OK);
    READ_RESPONSE response;
    std::vector<uint8_t> block(2048);
    DWORD actual = 0;
    ASSERT_EQ(Read(&response), S_OK);
    ASSERT_EQ(Escape(ESC_READ_IMAGE, nullptr, 0, block.data(), static_cast<DWORD>(block.size()), &actual), S_OK);

    // The middle of the page.
    if (c.announceFirst) {
      ASSERT_EQ(Read(&response), S_OK);
    }
    harness::ClearDebugLines();
    const uint32_t faultsBefore = Faults().FaultsApplied();
    SpoilNext(c.phase, c.fault);
    const HRESULT spoiled = c.escape == ESC_READ ? Read(&response)
                                                 : Escape(ESC_READ_IMAGE, nullptr, 0, block.data(),
                                                          static_cast<DWORD>(block.size()), &actual);
    EXPECT_EQ(spoiled, E_FAIL);
    EXPECT_EQ(Faults().FaultsApplied(), faultsBefore + 1);
    EXPECT_FALSE(Contention().Held()) << "the command gave the port back";
    EXPECT_FALSE(harness::DeviceMonitor().Opened());
    if (c.line != nullptr) {
      const std::vector<std::string> lines = harness::DebugLines();
      EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << harness::Show(lines);
    }

    // The minidriver's recovery: release, then reserve again and scan the page anew. With the port
    // given back, the device monitor's release cannot reach the scanner (its module is gone), so it
    // fails as a port call that failed; a port opened directly stays open and carries it.
    Sim().ClearLog();
    const HRESULT release = Release();
    if (route() == Route::kDeviceMonitor) {
      EXPECT_EQ(release, E_NOTIMPL);
      EXPECT_TRUE(Sim().CommandOpcodes().empty()) << "nothing reaches the scanner";
    } else {
      EXPECT_EQ(release, S_OK);
      EXPECT_EQ(Sim().CommandOpcodes(), std::vector<uint8_t>{scansim::kOpReleaseUnit});
    }
    ASSERT_EQ(Reserve(), S_OK);
    EXPECT_TRUE(Contention().Held());
    ASSERT_EQ(SetWindow(window), S_OK);
    ASSERT_EQ(ObjectPosition(), S_OK);
    const Page page = ScanPage();
    EXPECT_EQ(page.result, PAGE_END);
    EXPECT_TRUE(page.image == ExpectedPage(0, window));
    EXPECT_EQ(Release(), S_OK);
    EXPECT_FALSE(Sim().UnitReserved());
    EXPECT_EQ(Contention().CallCount(doubles::EntryPoint::PortAcquire), 2u);
  }
}

INSTANTIATE_ON_BOTH_ROUTES(WholeScan);

}  // namespace
}  // namespace scantest
