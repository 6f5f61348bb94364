// A scanner whose inquiry reports a bed or feeder no scanner has is refused when the client side opens
// it, with the side named, before any window or option range is worked out from it; a plausible one
// opens.
#include <gtest/gtest.h>

#include <string>

#include "client/ScanSession.h"
#include "simulator/ScannerModel.h"
#include "support/Harness.h"

namespace {

TEST(Geometry, ImpossibleBedOrFeederRefusedAtOpen) {
  struct Case {
    const char* name;
    void (*set)(scansim::Identity&);
    const char* refused;  // what the message names; null when the scanner opens
  };
  const Case cases[] = {
      {"as built", [](scansim::Identity&) {}, nullptr},
      {"largest bed", [](scansim::Identity& id) { id.bed_width = id.flatbed_max_length = 1548000; }, nullptr},
      {"bed past SANE's millimetres", [](scansim::Identity& id) { id.bed_width = 1548002; }, "bed width of "},
      // Lengths whose thousandths of an inch the library reports as negative.
      {"negative bed height", [](scansim::Identity& id) { id.flatbed_max_length = 2200000; }, "bed height of -"},
      {"negative feeder", [](scansim::Identity& id) { id.feeder_max_length = 2200000; }, "feeder height of -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scansim::Config config;
    c.set(config.identity);
    scansim::ScannerModel scanner(config);
    harness::ResetDoubles();
    harness::DeviceMonitor().SetPort(&scanner);
    harness::DeviceKey key;
    key.SetIds(0x1A2B, 0x3C4D, true);
    harness::DeviceControl control;
    client::ScanSession session(harness::TheLibrary());
    const client::Outcome outcome = session.Open(&control, key.Parameters(), false);
    session.Close();
    harness::ResetDoubles();
    if (c.refused == nullptr) {
      EXPECT_TRUE(outcome.Ok()) << outcome.message;
      continue;
    }
    EXPECT_EQ(outcome.status, client::Status::kIo);
    EXPECT_EQ(outcome.message.rfind(std::string("the scanner reports an impossible ") + c.refused, 0), 0u)
        << outcome.message;
  }
}

}  // namespace
