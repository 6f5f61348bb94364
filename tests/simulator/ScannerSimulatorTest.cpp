// The simulated scanner on the wire: the inquiry, whole pages block by block, the feeder, scripted
// conditions, commands in odd orders, and the record of the wire.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "HostSide.h"
#include "simulator/ScannerSimulator.h"

namespace {

using scansim::BusyAnswer;
using scansim::Config;
using scansim::ImageType;
using scansim::JamMode;
using scansim::PageRequest;
using scansim::RenderPage;
using scansim::ScannerSimulator;
using scansim::WireRecord;
using simtest::Be16;
using simtest::Be32;
using simtest::Bytes;
using simtest::Command;
using simtest::Exchange;
using simtest::Le16;
using simtest::WindowCommand;

const Bytes kReserve = Command(0x16);
const Bytes kRelease = Command(0x17);
const Bytes kAbort = Command(0x06);
const Bytes kInquiry = Command(0x12);
const Bytes kObjectPosition = Command(0x31);
const Bytes kRead = Command(0x28);
const Bytes kReadImage = Command(0x29);

// 64 pixels by 40 lines of grey at 75 dpi (16 units a pixel).
const Bytes kFeederWindow = WindowCommand(64 * 16, 40 * 16, 0, 1, 8, 0x10);
const Bytes kFlatbedWindow = WindowCommand(64 * 16, 40 * 16, 0, 1, 8, 0x40);

struct Block {
  uint8_t status;
  uint8_t msg_code;
  uint32_t data_size;
  uint16_t height;
  uint16_t width;
  uint16_t state;
};

struct PageRun {
  std::vector<Block> blocks;
  Bytes image;  // the blocks joined, less their trailers
  bool ended = false;
};

// Reads blocks as the host does (read, then read image of the announced size) until the page's last
// block or a refused read.
PageRun ReadPage(scansim::Port& port) {
  PageRun run;
  for (int guard = 0; guard < 100000; ++guard) {
    const simtest::Answer read = Exchange(port, kRead, 32);
    if (!read.read_ok || read.bytes.size() != 32) {
      ADD_FAILURE() << "read response of " << read.bytes.size() << " bytes";
      break;
    }
    const Block block{read.bytes[1],       read.bytes[3],        Be32(read.bytes, 4),
                      Be16(read.bytes, 8), Be16(read.bytes, 10), Le16(read.bytes, 12)};
    run.blocks.push_back(block);
    if (block.status != 0) {
      break;
    }
    const simtest::Answer data = Exchange(port, kReadImage, block.data_size);
    EXPECT_TRUE(data.read_ok);
    if (data.bytes.size() != block.data_size || block.data_size < 16) {
      ADD_FAILURE() << "block of " << data.bytes.size() << " bytes, announced " << block.data_size;
      break;
    }
    run.image.insert(run.image.end(), data.bytes.begin(), data.bytes.end() - 16);
    if (block.msg_code == 0x81) {
      run.ended = true;
      break;
    }
  }
  return run;
}

uint8_t StatusOf(ScannerSimulator& sim, const Bytes& command) {
  const simtest::Answer a = Exchange(sim, command, 32);
  return a.bytes.size() == 32 ? a.bytes[1] : 0xFF;
}

// ---- Inquiry -------------------------------------------------------------------------------------------

TEST(ScannerSimulatorTest, InquiryReportsTheIdentity) {
  struct Case {
    const char* name;
    scansim::Identity identity;
  };
  scansim::Identity flatbed_only;
  flatbed_only.vendor = "ABCDEFGH";
  flatbed_only.product = "0123456789ABCDEFG";  // 17 bytes: the last one lands in byte 28
  flatbed_only.has_feeder = false;
  flatbed_only.bed_width = 10000;
  flatbed_only.bed_height = 14100;
  flatbed_only.flatbed_max_length = 14100;
  flatbed_only.feeder_max_length = 0;
  flatbed_only.supported_resolutions = 0x2119;
  flatbed_only.image_composition = 0x29;
  flatbed_only.rgb_order = 0x0102;
  flatbed_only.doc_status = 2;
  flatbed_only.firmware_major = 1;
  flatbed_only.firmware_minor = 7;
  const Case cases[] = {{"default", scansim::Identity()}, {"flatbed only", flatbed_only}};

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Config config;
    config.identity = c.identity;
    ScannerSimulator sim(config);
    const simtest::Answer a = Exchange(sim, kInquiry, 70);
    ASSERT_TRUE(a.read_ok);
    ASSERT_EQ(a.bytes.size(), 70u);
    const scansim::Identity& id = c.identity;
    EXPECT_EQ(a.bytes[0], 0xA8);
    EXPECT_EQ(a.bytes[1], 0x00);
    Bytes vendor(id.vendor.begin(), id.vendor.end());
    vendor.resize(8, 0);
    EXPECT_EQ(Bytes(a.bytes.begin() + 4, a.bytes.begin() + 12), vendor);
    Bytes product(id.product.begin(), id.product.end());
    product.resize(17, 0);
    EXPECT_EQ(Bytes(a.bytes.begin() + 12, a.bytes.begin() + 29), product);
    EXPECT_EQ(Le16(a.bytes, 36), id.supported_resolutions);
    EXPECT_EQ(a.bytes[38], id.has_feeder ? 0x0C : 0x04);
    EXPECT_EQ(a.bytes[39], id.image_composition);
    EXPECT_EQ(Be32(a.bytes, 40), id.bed_width);
    EXPECT_EQ(Be32(a.bytes, 44), id.bed_height);
    EXPECT_EQ(Be16(a.bytes, 48), id.rgb_order);
    EXPECT_EQ(a.bytes[53], id.doc_status);
    EXPECT_EQ(Be32(a.bytes, 56), id.feeder_max_length);
    EXPECT_EQ(Be32(a.bytes, 60), id.flatbed_max_length);
    EXPECT_EQ(a.bytes[64], id.firmware_major);
    EXPECT_EQ(a.bytes[65], id.firmware_minor);
  }
}

// ---- Pages ----------------------------------------------------------------------------------------------

// A page read block by block is the rendered page: whole rows per block, the sizes announced right,
// the link code on every block but the last.
TEST(ScannerSimulatorTest, PageBlocksJoinToTheRenderedPage) {
  struct Case {
    const char* name;
    uint8_t code;
    uint32_t factor;  // 1200 / dpi
    uint32_t dpi;
    ImageType type;
    uint8_t bits;
    uint32_t width;
    uint32_t height;
    uint32_t block_bytes;
    uint8_t source;
    uint32_t page;  // 0 flatbed, 1 the first sheet
  };
  const Case cases[] = {
      {"colour 300 dpi flatbed", 5, 4, 300, ImageType::kColour, 24, 64, 50, 4096, 0x40, 0},
      {"grey 75 dpi feeder, blocks end on the page end", 0, 16, 75, ImageType::kGrey, 8, 96, 40, 960, 0x10, 1},
      {"black-and-white 150 dpi duplex", 2, 8, 150, ImageType::kBlackWhite, 1, 200, 33, 100, 0x20, 1},
      {"block smaller than a row", 10, 12, 100, ImageType::kColour, 24, 32, 5, 50, 0x40, 0},
      {"one block at 1200 dpi, depth left to the type", 8, 1, 1200, ImageType::kBlackWhite, 0, 64, 3, 65536, 0x40, 0},
      {"grey 200 dpi", 9, 6, 200, ImageType::kGrey, 8, 128, 20, 1000, 0x10, 1},
      {"colour 600 dpi", 7, 2, 600, ImageType::kColour, 0, 160, 30, 8000, 0x10, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Config config;
    config.feeder_sheets = 1;
    config.block_bytes = c.block_bytes;
    ScannerSimulator sim(config);

    EXPECT_EQ(StatusOf(sim, kReserve), 0x00);
    const simtest::Answer window = Exchange(
        sim,
        WindowCommand(c.width * c.factor, c.height * c.factor, c.code, static_cast<uint8_t>(c.type), c.bits, c.source),
        32);
    ASSERT_EQ(window.bytes.size(), 32u);
    ASSERT_EQ(window.bytes[1], 0x00);
    // The window as taken, in 1200-dpi units: vertical at 8, horizontal at 12.
    EXPECT_EQ(Le16(window.bytes, 8) | (Le16(window.bytes, 10) << 16), c.height * c.factor);
    EXPECT_EQ(Le16(window.bytes, 12) | (Le16(window.bytes, 14) << 16), c.width * c.factor);
    EXPECT_EQ(StatusOf(sim, kObjectPosition), 0x00);

    const PageRun run = ReadPage(sim);
    EXPECT_TRUE(run.ended);
    const uint32_t row_bytes = scansim::BytesPerRow(c.type, c.width);
    uint32_t rows = 0;
    for (size_t i = 0; i < run.blocks.size(); ++i) {
      const Block& b = run.blocks[i];
      const bool last = i + 1 == run.blocks.size();
      EXPECT_EQ(b.status, 0x00) << "block " << i;
      EXPECT_EQ(b.msg_code, last ? 0x81 : 0x80) << "block " << i;
      EXPECT_EQ(b.state, 0x0100) << "block " << i;
      EXPECT_EQ(b.data_size, b.height * row_bytes + 16) << "block " << i;
      EXPECT_EQ(b.width, c.type == ImageType::kBlackWhite ? row_bytes : c.width) << "block " << i;
      EXPECT_GE(b.height, 1u) << "block " << i;
      // Whole rows, as many as the block size holds (one at least), only the last block shorter.
      EXPECT_LE(b.height * row_bytes, std::max(c.block_bytes, row_bytes)) << "block " << i;
      if (!last) {
        EXPECT_GT((b.height + 1) * row_bytes, c.block_bytes) << "block " << i;
      }
      rows += b.height;
    }
    EXPECT_EQ(rows, c.height);
    const PageRequest expected{c.page, c.width, c.height, c.dpi, c.type};
    EXPECT_TRUE(run.image == RenderPage(expected));
    EXPECT_TRUE(sim.LastPage() == expected);
    EXPECT_EQ(sim.PagesCompleted(), 1u);
    EXPECT_FALSE(sim.CurrentPage().has_value());
    EXPECT_TRUE(sim.ProtocolViolations().empty()) << sim.ProtocolViolations().front();
  }
}

// A host that asks twice before it fetches gets the same block announced twice, and the page is
// still whole.
TEST(ScannerSimulatorTest, RepeatedReadAnnouncesTheSameBlock) {
  Config config;
  config.feeder_sheets = 1;
  config.block_bytes = 640;  // ten rows of 64 grey pixels
  ScannerSimulator sim(config);
  Exchange(sim, kFeederWindow, 32);
  ASSERT_EQ(StatusOf(sim, kObjectPosition), 0x00);
  const simtest::Answer first = Exchange(sim, kRead, 32);
  const simtest::Answer again = Exchange(sim, kRead, 32);
  EXPECT_EQ(first.bytes, again.bytes);
  EXPECT_EQ(Be32(first.bytes, 4), 10u * 64 + 16);
  Bytes image;
  const simtest::Answer data = Exchange(sim, kReadImage, Be32(first.bytes, 4));
  image.insert(image.end(), data.bytes.begin(), data.bytes.end() - 16);
  const PageRun rest = ReadPage(sim);
  image.insert(image.end(), rest.image.begin(), rest.image.end());
  EXPECT_TRUE(image == RenderPage({1, 64, 40, 75, ImageType::kGrey}));
}

// ---- Sources ---------------------------------------------------------------------------------------------

TEST(ScannerSimulatorTest, FeederSheetsAreSuccessivePagesUntilEmpty) {
  Config config;
  config.feeder_sheets = 3;
  ScannerSimulator sim(config);
  ASSERT_EQ(StatusOf(sim, kFeederWindow), 0x00);
  Bytes previous;
  for (uint32_t sheet = 1; sheet <= 3; ++sheet) {
    SCOPED_TRACE("sheet " + std::to_string(sheet));
    ASSERT_EQ(StatusOf(sim, kObjectPosition), 0x00);
    EXPECT_EQ(sim.SheetsLeft(), 3 - sheet);
    const PageRun run = ReadPage(sim);
    EXPECT_TRUE(run.ended);
    EXPECT_TRUE(run.image == RenderPage({sheet, 64, 40, 75, ImageType::kGrey}));
    EXPECT_NE(run.image, previous);
    previous = run.image;
  }
  const simtest::Answer empty = Exchange(sim, kObjectPosition, 32);
  EXPECT_EQ(empty.bytes[1], 0x02);
  EXPECT_EQ(Le16(empty.bytes, 4), 0x1000);
  EXPECT_EQ(sim.SheetsFed(), 3u);

  // Sheets put in later go on counting.
  sim.LoadFeeder(1);
  ASSERT_EQ(StatusOf(sim, kObjectPosition), 0x00);
  EXPECT_TRUE(ReadPage(sim).image == RenderPage({4, 64, 40, 75, ImageType::kGrey}));
}

TEST(ScannerSimulatorTest, FlatbedScansTheSameDocumentEveryTime) {
  Config config;
  config.feeder_sheets = 2;
  ScannerSimulator sim(config);
  ASSERT_EQ(StatusOf(sim, kFlatbedWindow), 0x00);
  for (int scan = 0; scan < 2; ++scan) {
    ASSERT_EQ(StatusOf(sim, kObjectPosition), 0x00);
    EXPECT_TRUE(ReadPage(sim).image == RenderPage({0, 64, 40, 75, ImageType::kGrey})) << "scan " << scan;
  }
  EXPECT_EQ(sim.SheetsLeft(), 2u);
}

// ---- Steps on the wire ---------------------------------------------------------------------------------

struct Step {
  std::optional<Bytes> write;    // nothing: no write
  std::optional<uint32_t> read;  // bytes asked; nothing: no read
  bool read_ok = true;
  int moved = -1;                                  // bytes the read moves; -1: as many as asked
  int status = -1;                                 // byte 1 of the answer; -1: not looked at
  std::vector<std::pair<size_t, uint16_t>> words;  // little-endian words expected at these offsets
};

Step Ask(Bytes command, int status, std::vector<std::pair<size_t, uint16_t>> words = {}, uint32_t size = 32) {
  Step s;
  s.write = std::move(command);
  s.read = size;
  s.status = status;
  s.words = std::move(words);
  return s;
}
Step AskRead(int status, uint16_t state) {
  return Ask(kRead, status, {{12, state}});
}
Step Fetch(Bytes command, uint32_t size, int moved = -1) {
  Step s;
  s.write = std::move(command);
  s.read = size;
  s.moved = moved;
  return s;
}
Step Send(Bytes command) {
  Step s;
  s.write = std::move(command);
  return s;
}
Step Take(uint32_t size, bool ok, int moved, int status = -1) {
  Step s;
  s.read = size;
  s.read_ok = ok;
  s.moved = moved;
  s.status = status;
  return s;
}

void RunSteps(ScannerSimulator& sim, const std::vector<Step>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const Step& s = steps[i];
    if (s.write) {
      uint32_t written = 0xFFFF;
      EXPECT_TRUE(sim.Write(s.write->data(), static_cast<uint32_t>(s.write->size()), &written));
      EXPECT_EQ(written, s.write->size());
    }
    if (!s.read) {
      continue;
    }
    Bytes buffer(*s.read + 1);
    uint32_t moved = 0xFFFF;
    EXPECT_EQ(sim.Read(buffer.data(), *s.read, &moved), s.read_ok);
    EXPECT_EQ(moved, s.moved < 0 ? *s.read : static_cast<uint32_t>(s.moved));
    if (!s.read_ok) {
      EXPECT_EQ(sim.LastError(), 121u);
    }
    if (s.status >= 0) {
      ASSERT_GE(moved, 2u);
      EXPECT_EQ(buffer[0], 0xA8);
      EXPECT_EQ(buffer[1], s.status);
    }
    for (const auto& word : s.words) {
      ASSERT_GE(moved, word.first + 2);
      EXPECT_EQ(Le16(buffer, word.first), word.second) << "word at " << word.first;
    }
  }
}

struct Scenario {
  const char* name;
  Config config;
  std::vector<Step> steps;
  bool reserved_after;
  size_t violations;
};

Config WithSheets(uint32_t sheets) {
  Config c;
  c.feeder_sheets = sheets;
  c.block_bytes = 640;  // ten rows of the 64-pixel grey window: four blocks a page
  return c;
}

// Each scripted condition answers as a scanner in that condition does, and is used up as it happens.
TEST(ScannerSimulatorTest, ScriptedConditions) {
  std::vector<Scenario> scenarios;
  {
    Config c;
    c.script.busy_reserves = 2;
    c.script.busy_answer = BusyAnswer::kStatusBusy;
    scenarios.push_back({"busy, status 0x08", c, {Ask(kReserve, 8), Ask(kReserve, 8), Ask(kReserve, 0)}, true, 0});
  }
  {
    Config c;
    c.script.busy_reserves = 1;
    c.script.busy_answer = BusyAnswer::kResourceBusy;
    scenarios.push_back(
        {"busy, resource busy", c, {Ask(kReserve, 2, {{4, 0x0004}}), Ask(kReserve, 0, {{4, 0}})}, true, 0});
  }
  {
    Config c;
    c.script.warming_up_reserves = 2;
    c.script.warmup_time = 45;
    scenarios.push_back({"warming up",
                         c,
                         {Ask(kReserve, 2, {{4, 0x8000}, {6, 45}}), Ask(kReserve, 2, {{4, 0x8000}, {6, 45}}),
                          Ask(kReserve, 0, {{4, 0}, {6, 0}})},
                         true,
                         0});
  }
  {
    Config c;
    c.script.busy_reserves = 1;
    c.script.warming_up_reserves = 1;
    scenarios.push_back(
        {"busy, then warming up", c, {Ask(kReserve, 8), Ask(kReserve, 2, {{4, 0x8000}}), Ask(kReserve, 0)}, true, 0});
  }
  scenarios.push_back(
      {"empty feeder",
       WithSheets(0),
       {Ask(kReserve, 0), Ask(kFeederWindow, 0), Ask(kObjectPosition, 2, {{4, 0x1000}}), AskRead(2, 0x0000)},
       true,
       0});
  {
    Config c = WithSheets(3);
    c.script.jam_sheet = 2;
    c.script.jam_mode = JamMode::kOnFeed;
    scenarios.push_back(
        {"jam as sheet 2 is fed; it stays until an abort",
         c,
         {Ask(kFeederWindow, 0), Ask(kObjectPosition, 0), Ask(kObjectPosition, 2, {{4, 0x2000}}), AskRead(2, 0x2000),
          Ask(kObjectPosition, 2, {{4, 0x2000}}), Ask(kAbort, 0), Ask(kObjectPosition, 0), AskRead(0, 0x0100)},
         false,
         0});
  }
  {
    Config c = WithSheets(1);
    c.script.jam_sheet = 1;
    c.script.jam_mode = JamMode::kMidPage;
    c.script.jam_after_blocks = 2;
    scenarios.push_back({"jam in the third block; a release clears it",
                         c,
                         {Ask(kReserve, 0), Ask(kFeederWindow, 0), Ask(kObjectPosition, 0), AskRead(0, 0x0100),
                          Fetch(kReadImage, 656), AskRead(0, 0x0100), Fetch(kReadImage, 656), AskRead(2, 0x2000),
                          AskRead(2, 0x2000), Ask(kObjectPosition, 2, {{4, 0x2000}}), Ask(kRelease, 0),
                          AskRead(2, 0x0000), Ask(kObjectPosition, 2, {{4, 0x1000}})},
                         false,
                         0});
  }
  {
    Config c = WithSheets(1);
    c.script.jam_sheet = 1;
    c.script.jam_mode = JamMode::kMidPage;
    c.script.jam_after_blocks = 9;
    scenarios.push_back(
        {"jam after more blocks than the page has shows on its last block",
         c,
         {Ask(kFeederWindow, 0), Ask(kObjectPosition, 0), AskRead(0, 0x0100), Fetch(kReadImage, 656),
          AskRead(0, 0x0100), Fetch(kReadImage, 656), AskRead(0, 0x0100), Fetch(kReadImage, 656), AskRead(2, 0x2000)},
         false,
         0});
  }
  {
    Config c;
    c.script.release_status = 0x08;
    scenarios.push_back({"release refused", c, {Ask(kReserve, 0), Ask(kRelease, 8)}, true, 0});
  }
  {
    Config c;
    c.script.release_status = 0x02;
    c.script.release_msg_data = 0x0004;
    scenarios.push_back({"release refused with a condition",
                         c,
                         {Ask(kReserve, 0), Ask(kRelease, 2, {{4, 0x0004}}), Ask(kRelease, 2, {{4, 0x0004}})},
                         true,
                         0});
  }
  {
    Config c;
    c.script.abort_status = 0x02;
    c.script.abort_msg_data = 0x2000;
    scenarios.push_back({"abort answer", c, {Ask(kReserve, 0), Ask(kAbort, 2, {{4, 0x2000}})}, true, 0});
  }
  {
    Config c;
    c.script.failed_inquiries = 1;
    scenarios.push_back(
        {"failed inquiry, then a good one", c, {Ask(kInquiry, 2, {}, 70), Ask(kInquiry, 0, {}, 70)}, false, 0});
  }

  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    ScannerSimulator sim(s.config);
    RunSteps(sim, s.steps);
    EXPECT_EQ(sim.UnitReserved(), s.reserved_after);
    EXPECT_EQ(sim.ProtocolViolations().size(), s.violations);
  }
}

// Commands in orders no careful host sends, and reads that do not fit: a sensible answer every time
// and a note of what the host did wrong.
TEST(ScannerSimulatorTest, OddOrdersAndMisfits) {
  Bytes wrong_header = kFeederWindow;
  wrong_header[4] = 0x31;
  std::vector<Scenario> scenarios = {
      {"read before any window", WithSheets(1), {Ask(kRead, 2, {{4, 0}, {6, 0}, {8, 0}, {10, 0}, {12, 0}})}, false, 0},
      {"read image before a read",
       WithSheets(1),
       {Ask(kFeederWindow, 0), Ask(kObjectPosition, 0), Ask(kReadImage, 2, {{4, 0}})},
       false,
       0},
      {"read image twice",
       WithSheets(1),
       {Ask(kFeederWindow, 0), Ask(kObjectPosition, 0), AskRead(0, 0x0100), Fetch(kReadImage, 656), Ask(kReadImage, 2)},
       false,
       0},
      {"read after the page's end",
       [] {
         Config c = WithSheets(1);
         c.block_bytes = 1 << 20;
         return c;
       }(),
       {Ask(kFeederWindow, 0), Ask(kObjectPosition, 0), AskRead(0, 0x0100), Fetch(kReadImage, 40 * 64 + 16),
        AskRead(2, 0), Ask(kReadImage, 2)},
       false,
       0},
      {"object position before any window", WithSheets(1), {Ask(kObjectPosition, 2, {{4, 0}})}, false, 0},
      {"unknown operation", WithSheets(1), {Ask(Command(0x55), 2, {{4, 0}})}, false, 0},
      {"three-byte command", WithSheets(1), {Ask({0x1B, 0xA8, 0x16}, 2)}, false, 0},
      {"fourth byte set", WithSheets(1), {Ask({0x1B, 0xA8, 0x16, 0x01}, 2)}, false, 0},
      {"wrong escape byte", WithSheets(1), {Ask({0x1C, 0xA8, 0x16, 0x00}, 2)}, false, 0},
      {"window op in four bytes", WithSheets(1), {Ask(Command(0x24), 2)}, false, 0},
      {"window with a wrong header",
       WithSheets(1),
       {Ask(wrong_header, 2), Ask(kObjectPosition, 2, {{4, 0}})},
       false,
       0},
      {"empty write", WithSheets(1), {Send({}), Take(32, false, 0)}, false, 1},
      {"second read of one answer", WithSheets(1), {Ask(kReserve, 0), Take(32, false, 0)}, true, 1},
      {"short read drops the rest", WithSheets(1), {Fetch(kReserve, 31), Take(32, false, 0)}, true, 2},
      {"long read moves the answer", WithSheets(1), {Fetch(kReserve, 64, 32)}, true, 1},
      {"command over an unread answer", WithSheets(1), {Send(kReserve), Ask(kInquiry, 0, {}, 70)}, true, 1},
  };

  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    ScannerSimulator sim(s.config);
    RunSteps(sim, s.steps);
    EXPECT_EQ(sim.UnitReserved(), s.reserved_after);
    EXPECT_EQ(sim.ProtocolViolations().size(), s.violations);
  }
}

// Random bytes and reads of random sizes, as a fuzzer drives the scanner: every answer is one the
// scanner could give.
TEST(ScannerSimulatorTest, AnyBytesGetWellFormedAnswers) {
  std::mt19937 rng(20240607);
  Config config = WithSheets(5);
  config.script.jam_sheet = 4;
  ScannerSimulator sim(config);
  const uint8_t opcodes[] = {0x06, 0x12, 0x16, 0x17, 0x24, 0x28, 0x29, 0x31, 0x00, 0xFF};
  const uint8_t depths[] = {0, 1, 8, 24, 7};
  const uint8_t sources[] = {0x10, 0x20, 0x40, 0x00};
  size_t answers = 0;
  size_t blocks = 0;
  for (int i = 0; i < 20000; ++i) {
    Bytes command;
    switch (rng() % 4) {
      case 0:  // a valid command
        command = Command(opcodes[rng() % 8]);
        break;
      case 1:  // a window with random fields
        command = WindowCommand(static_cast<uint32_t>(rng() % 12000), static_cast<uint32_t>(rng() % 18000),
                                static_cast<uint8_t>(rng() % 12), static_cast<uint8_t>(rng() % 4), depths[rng() % 5],
                                sources[rng() % 4]);
        break;
      case 2:  // a near miss
        command = Command(opcodes[rng() % 10]);
        command[rng() % 4] ^= static_cast<uint8_t>(1 << (rng() % 8));
        break;
      default:  // noise
        command.resize(rng() % 30);
        for (uint8_t& b : command) {
          b = static_cast<uint8_t>(rng());
        }
        break;
    }
    uint32_t written = 0;
    ASSERT_TRUE(sim.Write(command.data(), static_cast<uint32_t>(command.size()), &written));
    const size_t pending = sim.PendingResponseSize();
    const auto ask = static_cast<uint32_t>(rng() % 8 == 0 ? rng() % 80 : pending);
    Bytes buffer(ask + 1);
    uint32_t moved = 0;
    const bool ok = sim.Read(buffer.data(), ask, &moved);
    ASSERT_EQ(ok, pending > 0);
    ASSERT_EQ(moved, std::min<size_t>(ask, pending));
    if (pending == 0 || moved != pending) {
      continue;
    }
    const bool image = command == Command(0x29) && !(pending == 32 && buffer[0] == 0xA8);
    if (image) {
      // Rows and the trailer, which starts "TR".
      ASSERT_GT(pending, 16u);
      ASSERT_EQ(buffer[pending - 16], 'T');
      ASSERT_EQ(buffer[pending - 15], 'R');
      ++blocks;
    } else {
      ASSERT_TRUE(pending == 32 || pending == 70) << pending;
      ASSERT_EQ(buffer[0], 0xA8);
      ASSERT_TRUE(buffer[1] == 0x00 || buffer[1] == 0x02 || buffer[1] == 0x08) << int{buffer[1]};
      ++answers;
    }
    if (rng() % 500 == 0) {
      sim.LoadFeeder(rng() % 4);
    }
  }
  EXPECT_GT(answers, 10000u);
  EXPECT_GT(blocks, 0u);
  EXPECT_GT(sim.SheetsFed(), 0u);
}

// ---- The record of the wire -----------------------------------------------------------------------------

TEST(ScannerSimulatorTest, LogKeepsEveryTransfer) {
  for (bool keep_image : {false, true}) {
    SCOPED_TRACE(keep_image ? "image data kept" : "image data counted");
    Config config = WithSheets(1);
    config.block_bytes = 1 << 20;
    config.log_image_data = keep_image;
    ScannerSimulator sim(config);
    const simtest::Answer reserve = Exchange(sim, kReserve, 32);
    Exchange(sim, kFeederWindow, 32);
    Exchange(sim, kObjectPosition, 32);
    Exchange(sim, kRead, 32);
    const simtest::Answer data = Exchange(sim, kReadImage, 40 * 64 + 16);

    EXPECT_EQ(sim.CommandOpcodes(), (Bytes{0x16, 0x24, 0x31, 0x28, 0x29}));
    const std::vector<WireRecord>& log = sim.Log();
    ASSERT_EQ(log.size(), 10u);
    EXPECT_EQ(log[0].direction, WireRecord::Direction::kCommand);
    EXPECT_EQ(log[0].bytes, kReserve);
    EXPECT_EQ(log[1].direction, WireRecord::Direction::kResponse);
    EXPECT_EQ(log[1].opcode, 0x16);
    EXPECT_EQ(log[1].bytes, reserve.bytes);
    EXPECT_EQ(log[2].bytes, kFeederWindow);
    EXPECT_EQ(log[2].length, 25u);
    EXPECT_EQ(log[9].opcode, 0x29);
    EXPECT_EQ(log[9].length, 40u * 64 + 16);
    EXPECT_EQ(log[9].bytes, keep_image ? data.bytes : Bytes());

    sim.ClearLog();
    EXPECT_TRUE(sim.Log().empty());
    EXPECT_TRUE(sim.CommandOpcodes().empty());
  }
}

}  // namespace
