// The set-window command as the scanner reads it, and the windows it turns down.
#include <gtest/gtest.h>

#include <functional>

#include "HostSide.h"
#include "simulator/ScannerSimulator.h"
#include "simulator/Window.h"

namespace {

using scansim::Config;
using scansim::DecodeWindowCommand;
using scansim::ScannerSimulator;
using scansim::Window;
using scansim::WindowRefusal;
using simtest::Bytes;
using simtest::Exchange;
using simtest::Le16;
using simtest::WindowCommand;

TEST(WindowTest, DecodesTheCommandBytes) {
  struct Case {
    const char* name;
    Bytes command;
    bool decoded;
    uint32_t width_units;
    uint32_t height_units;
    uint32_t dpi;
    uint32_t width;
    uint32_t height;
    uint8_t image_type;
    uint8_t bits;
    uint8_t source;
  };
  Bytes short_command = WindowCommand(1024, 1024, 5, 2, 24, 0x40);
  short_command.pop_back();
  const Case cases[] = {
      {"2560 x 3300 at 300 dpi, colour from the flatbed",
       {0x1B, 0xA8, 0x24, 0x13, 0x30, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x33, 0x90,
        0x05, 0x02, 0x18, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x00, 0x77, 0x40, 0x00},
       true,
       10240,
       13200,
       300,
       2560,
       3300,
       2,
       24,
       0x40},
      {"1200 dpi: units are pixels",
       {0x1B, 0xA8, 0x24, 0x13, 0x30, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x07,
        0x08, 0x00, 0x01, 0,    0,    0,    0,    0,    0,    0,    0x10, 0},
       true,
       1024,
       7,
       1200,
       1024,
       7,
       0,
       1,
       0x10},
      {"200 dpi: six units a pixel",
       {0x1B, 0xA8, 0x24, 0x13, 0x30, 0x00, 0x00, 0x07, 0x80, 0x00, 0x01, 0x00, 0x02,
        0x09, 0x01, 0x08, 0,    0,    0,    0,    0,    0,    0,    0x20, 0},
       true,
       1920,
       65538,
       200,
       320,
       10923,
       1,
       8,
       0x20},
      {"2400 dpi: two pixels a unit",
       {0x1B, 0xA8, 0x24, 0x13, 0x30, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00, 0x0A,
        0x0B, 0x02, 0x00, 0,    0,    0,    0,    0,    0,    0,    0x40, 0},
       true,
       100,
       10,
       2400,
       200,
       20,
       2,
       0,
       0x40},
      {"code 3 has no resolution",
       {0x1B, 0xA8, 0x24, 0x13, 0x30, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00,
        0x03, 0x02, 0x18, 0,    0,    0,    0,    0,    0,    0,    0x40, 0},
       true,
       1024,
       1024,
       0,
       0,
       0,
       2,
       24,
       0x40},
      {"24 bytes", short_command, false, 0, 0, 0, 0, 0, 0, 0, 0},
      {"fifth byte not 0x30",
       {0x1B, 0xA8, 0x24, 0x13, 0x31, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x00,
        0x05, 0x02, 0x18, 0,    0,    0,    0,    0,    0,    0,    0x40, 0},
       false,
       0,
       0,
       0,
       0,
       0,
       0,
       0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Window w;
    ASSERT_EQ(DecodeWindowCommand(c.command.data(), c.command.size(), &w), c.decoded);
    if (!c.decoded) {
      continue;
    }
    EXPECT_EQ(w.width_units, c.width_units);
    EXPECT_EQ(w.height_units, c.height_units);
    EXPECT_EQ(w.dpi, c.dpi);
    EXPECT_EQ(w.width, c.width);
    EXPECT_EQ(w.height, c.height);
    EXPECT_EQ(w.image_type, c.image_type);
    EXPECT_EQ(w.bits_per_pixel, c.bits);
    EXPECT_EQ(w.source, c.source);
    EXPECT_TRUE(std::equal(w.bytes.begin(), w.bytes.end(), c.command.begin()));
  }
}

// What the scanner accepts, on the wire: a good status and the window in 1200-dpi units, or a check
// condition with no condition bits (which the host takes as a general error).
TEST(WindowTest, AcceptsOnlyWindowsTheScannerCanScan) {
  struct Case {
    const char* name;
    std::function<void(scansim::Identity&)> identity;
    Bytes command;
    WindowRefusal refusal;
  };
  const auto same = [](scansim::Identity&) {};
  const auto all_resolutions = [](scansim::Identity& id) { id.supported_resolutions = 0xFFFF; };
  const Case cases[] = {
      {"letter at 300 dpi", same, WindowCommand(2560 * 4, 3300 * 4, 5, 2, 24, 0x40), WindowRefusal::kNone},
      {"code 1", same, WindowCommand(1024, 1024, 1, 2, 24, 0x40), WindowRefusal::kResolutionCode},
      {"code 12", same, WindowCommand(1024, 1024, 12, 2, 24, 0x40), WindowRefusal::kResolutionCode},
      {"2400 dpi not in the mask", same, WindowCommand(100, 100, 11, 2, 24, 0x40),
       WindowRefusal::kResolutionUnsupported},
      {"200 dpi taken out of the mask", [](scansim::Identity& id) { id.supported_resolutions = 0x2309; },
       WindowCommand(1920, 1920, 9, 1, 8, 0x40), WindowRefusal::kResolutionUnsupported},
      {"2400 dpi as the host sends it: no size", all_resolutions, WindowCommand(0, 0, 11, 2, 24, 0x40),
       WindowRefusal::kEmptySize},
      {"2400 dpi with a size", all_resolutions, WindowCommand(100, 100, 11, 2, 24, 0x40), WindowRefusal::kNone},
      {"no width", same, WindowCommand(0, 1024, 5, 2, 24, 0x40), WindowRefusal::kEmptySize},
      {"no height", same, WindowCommand(1024, 0, 5, 2, 24, 0x40), WindowRefusal::kEmptySize},
      {"less than a pixel", same, WindowCommand(3, 1024, 5, 2, 24, 0x40), WindowRefusal::kEmptySize},
      {"image type 3", same, WindowCommand(1024, 1024, 5, 3, 24, 0x40), WindowRefusal::kImageType},
      {"colour at 8 bits", same, WindowCommand(1024, 1024, 5, 2, 8, 0x40), WindowRefusal::kImageType},
      {"black-and-white at 8 bits", same, WindowCommand(1024, 1024, 5, 0, 8, 0x40), WindowRefusal::kImageType},
      {"grey at the type's own depth", same, WindowCommand(1024, 1024, 5, 1, 0, 0x40), WindowRefusal::kNone},
      {"grey on a scanner without grey", [](scansim::Identity& id) { id.image_composition = 0x21; },
       WindowCommand(1024, 1024, 5, 1, 8, 0x40), WindowRefusal::kImageTypeUnsupported},
      {"source 0x80", same, WindowCommand(1024, 1024, 5, 2, 24, 0x80), WindowRefusal::kSource},
      {"source 0", same, WindowCommand(1024, 1024, 5, 2, 24, 0x00), WindowRefusal::kSource},
      {"feeder on a flatbed-only scanner", [](scansim::Identity& id) { id.has_feeder = false; },
       WindowCommand(1024, 1024, 5, 2, 24, 0x10), WindowRefusal::kNoFeeder},
      {"duplex on a flatbed-only scanner", [](scansim::Identity& id) { id.has_feeder = false; },
       WindowCommand(1024, 1024, 5, 2, 24, 0x20), WindowRefusal::kNoFeeder},
      {"flatbed on a flatbed-only scanner", [](scansim::Identity& id) { id.has_feeder = false; },
       WindowCommand(1024, 1024, 5, 2, 24, 0x40), WindowRefusal::kNone},
      // The bed is 10200 units: 2550 pixels at 300 dpi, which the host rounds up to 2560.
      {"bed width rounded up to 32 pixels", same, WindowCommand(2560 * 4, 1024, 5, 2, 24, 0x40), WindowRefusal::kNone},
      {"32 pixels more", same, WindowCommand(2592 * 4, 1024, 5, 2, 24, 0x40), WindowRefusal::kTooWide},
      {"bed width at 75 dpi", same, WindowCommand(640 * 16, 1024, 0, 0, 1, 0x40), WindowRefusal::kNone},
      {"wider at 75 dpi", same, WindowCommand(672 * 16, 1024, 0, 0, 1, 0x40), WindowRefusal::kTooWide},
      {"flatbed length", same, WindowCommand(1024, 3510 * 4, 5, 2, 24, 0x40), WindowRefusal::kNone},
      {"a line past the flatbed", same, WindowCommand(1024, 3511 * 4, 5, 2, 24, 0x40), WindowRefusal::kTooLong},
      {"feeder length", same, WindowCommand(1024, 4200 * 4, 5, 2, 24, 0x10), WindowRefusal::kNone},
      {"a line past the feeder", same, WindowCommand(1024, 4201 * 4, 5, 2, 24, 0x10), WindowRefusal::kTooLong},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Config config;
    c.identity(config.identity);
    ScannerSimulator sim(config);
    const simtest::Answer a = Exchange(sim, c.command, 32);
    ASSERT_EQ(a.bytes.size(), 32u);
    EXPECT_EQ(a.bytes[0], 0xA8);
    EXPECT_EQ(sim.LastWindowRefusal(), c.refusal) << scansim::WindowRefusalName(sim.LastWindowRefusal());
    if (c.refusal == WindowRefusal::kNone) {
      EXPECT_EQ(a.bytes[1], 0x00);
      EXPECT_EQ(Le16(a.bytes, 8) | (Le16(a.bytes, 10) << 16), simtest::Be32(c.command, 9));
      EXPECT_EQ(Le16(a.bytes, 12) | (Le16(a.bytes, 14) << 16), simtest::Be32(c.command, 5));
      EXPECT_TRUE(sim.CurrentWindow().has_value());
    } else {
      EXPECT_EQ(a.bytes[1], 0x02);
      EXPECT_EQ(Le16(a.bytes, 4), 0);
      EXPECT_FALSE(sim.CurrentWindow().has_value());
    }
  }
}

// A refused window replaces the one in force: the scanner does not scan with the old parameters.
TEST(WindowTest, RefusedWindowLeavesNoneInForce) {
  Config config;
  config.feeder_sheets = 1;
  ScannerSimulator sim(config);
  ASSERT_EQ(Exchange(sim, WindowCommand(1024, 1024, 5, 2, 24, 0x10), 32).bytes.at(1), 0x00);
  ASSERT_EQ(Exchange(sim, WindowCommand(1024, 1024, 3, 2, 24, 0x10), 32).bytes.at(1), 0x02);
  const simtest::Answer position = Exchange(sim, simtest::Command(0x31), 32);
  EXPECT_EQ(position.bytes.at(1), 0x02);
  EXPECT_EQ(Le16(position.bytes, 4), 0);
  EXPECT_EQ(sim.SheetsLeft(), 1u);
}

}  // namespace
