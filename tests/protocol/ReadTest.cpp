// Image transfer: the read command's record as the minidriver receives it, and the blocks that the
// read-image command hands over.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/ProtocolFixture.h"
#include "simulator/Render.h"

namespace protocoltest {
namespace {

using scansim::Fault;
using scansim::Phase;

constexpr uint32_t kBytesPerRow = 300;  // a grey row one inch wide at 300 dpi
constexpr uint32_t kRowsPerBlock = 64;

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}
uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

class ReadTest : public ProtocolFixture {
 protected:
  // A grey page one inch wide and `heightUnits` long on the flatbed, read in blocks of 64 rows.
  void PlacePage(uint32_t heightUnits, Route route = Route::kDeviceMonitor) {
    scansim::Config config;
    config.block_bytes = kBytesPerRow * kRowsPerBlock;
    config.log_image_data = true;
    UseSimulator(config);
    TakePort(route);
    PlaceFlatbedPage(1200, heightUnits);
  }

  std::array<uint8_t, 32> record_{};
};

// The sizes come big-endian off the wire and go to the minidriver in host order; every other byte of
// the record is passed as received. Each announced block is then fetched less its trailer.
TEST_F(ReadTest, AWholePageBlockByBlock) {
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    SCOPED_TRACE(RouteName(route));
    SetUp();
    PlacePage(600, route);  // half an inch: 150 rows, so blocks of 64, 64 and 22 rows
    ASSERT_TRUE(Sim().CurrentPage().has_value());
    const scansim::PageRequest page = *Sim().CurrentPage();
    const uint32_t blockRows[] = {64, 64, 22};

    uint32_t firstRow = 0;
    for (size_t block = 0; block < std::size(blockRows); ++block) {
      SCOPED_TRACE(::testing::Message() << "block " << block);
      const uint32_t rows = blockRows[block];
      const uint32_t dataSize = rows * kBytesPerRow + scansim::kTrailerSize;
      const bool last = block + 1 == std::size(blockRows);
      record_.fill(0xEE);

      EXPECT_EQ(handler_->CallRead(record_.data()), last ? PAGE_END : S_OK);

      const Bytes wire = LastResponse();
      ASSERT_EQ(wire.size(), 32u);
      EXPECT_EQ(Le32(&record_[4]), dataSize);
      EXPECT_EQ(Le16(&record_[8]), rows);
      EXPECT_EQ(Le16(&record_[10]), kBytesPerRow);
      EXPECT_EQ(scansim::GetBe32(&wire[4]), dataSize) << "the scanner's own order";
      EXPECT_EQ(0, std::memcmp(record_.data(), wire.data(), 4));
      EXPECT_EQ(0, std::memcmp(&record_[12], &wire[12], 20));
      EXPECT_EQ(handler_->m_dwImageBufferSize, dataSize);

      std::vector<uint8_t> image(dataSize + 8, 0xEE);
      DWORD count = 0xFFFF;
      EXPECT_EQ(handler_->CallReadImage(image.data(), &count), S_OK);
      EXPECT_EQ(count, rows * kBytesPerRow);
      std::vector<uint8_t> expected(rows * kBytesPerRow);
      scansim::RenderRows(page, firstRow, rows, expected.data());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.begin())) << "image rows differ";
      EXPECT_EQ(image[rows * kBytesPerRow], 0xEE) << "the trailer is not handed over";
      EXPECT_EQ(handler_->m_dwImageBufferSize, 0u);
      EXPECT_EQ(handler_->m_pRawDataBuffer, nullptr);
      firstRow += rows;
    }
    EXPECT_EQ(Sim().PagesCompleted(), 1u);
    EXPECT_TRUE(Sim().ProtocolViolations().empty());
    TearDown();
  }
}

TEST_F(ReadTest, OneBlockWritesItsWholeDialogue) {
  PlacePage(120);  // 30 rows: one block, the page's last
  handler_->CallRead(record_.data());
  std::vector<uint8_t> image(30 * kBytesPerRow);
  DWORD count = 0;
  handler_->CallReadImage(image.data(), &count);

  const std::vector<std::string> expected = {
      "[STI]CSTIIOHandler::CallRead = > Read / Write[Success]",
      "[STI]  =============Response of Read command=============",
      "[STI]  || Start Code => \t\t\t\t\t\t\t\t0xA8",
      "[STI]  || Status Code => \t\t\t\t\t\t\t\t0x00",
      "[STI]  || Msg Code(0x80 : link , 0x81 : EOB) => \t\t\t\t\t\t\t\t0x81",
      "[STI]  || Data Size(this size of buffer will be ready) => \t\t\t\t\t\t\t\t9016",
      "[STI]  || Width(pixel,bytes[B/W]) => \t\t\t\t\t\t\t\t300",
      "[STI]  || Height(pixel,bytes[B/W]) => \t\t\t\t\t\t\t\t30",
      "[STI]  || Scanner State Code(0x0100 is no error) => \t\t\t\t\t\t\t\t0x0100",
      "[STI]  ========End of Response of Read command=====",
      "[STI]CallRead returns PAGE_END",
      "[STI]CSTIIOHandler::CallReadImage",
      "[STI] Memory m_pRawDataBuffer new",
      "[STI][ReadImage]Allocated Image Buffer Size => \t\t\t\t\t\t9016",
      "[STI]CSTIIOHandler::CallReadImage = > CoWriteFile Success",
      "[STI]CSTIIOHandler::CallReadImage = > CoReadFile Success",
      "[STI][m_dwImageBufferSize]Received Image Data Size => 9016",
      "[STI] Memory m_pRawDataBuffer delete",
  };
  EXPECT_EQ(harness::DebugLines(), expected) << harness::Show(harness::DebugLines());
  EXPECT_EQ(count, 9000u);
}

// Conditions travel in the scanner-state word at offset 12, not in the message data; the record is
// handed over and the block size kept whatever the status, except when the start code is wrong.
TEST_F(ReadTest, ReadResponsesAreJudgedByStatusAndScannerState) {
  struct Case {
    Fault answer;
    HRESULT result;
    const char* line;
  };
  const Case cases[] = {
      {Fault::ReplaceStatus(0x02, 0x1000), ADF_NO_DOCUMENT, "[STI] No document in ADF"},
      {Fault::ReplaceStatus(0x02, 0x1004), WIA_ERROR_BUSY, "[STI] MSG_DATA_RESOURCEBUSY Error"},
      {Fault::ReplaceStatus(0x02, 0x6000), WIA_ERROR_PAPER_JAM, "[STI] PaperJAM"},
      {Fault::ReplaceStatus(0x02, 0xC000), WIA_ERROR_WARMING_UP, "[STI] WIA_ERROR_WARMING_UP Error"},
      {Fault::ReplaceStatus(0x02, 0x4000), WIA_ERROR_GENERAL_ERROR, "[STI] WIA_ERROR_WARMING_UP Error"},
      {Fault::ReplaceStatus(0x02, 0x0100), E_FAIL, nullptr},
      {Fault::ReplaceStatus(0x08, 0x0100), WIA_ERROR_BUSY, "[STI] STATUS_CODE_BUSY Error"},
      {Fault::ReplaceStatus(0x05, 0x0100), E_NOTIMPL, nullptr},
      {Fault::ReplaceStatus(0x00, 0x1004), S_OK, "[STI]CallRead returns S_OK"},  // bits count only with status 2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "status " << int{c.answer.status} << " state 0x" << std::hex
                                      << c.answer.msg_data);
    SetUp();
    PlacePage(600);
    handler_->m_dwImageBufferSize = 7;
    record_.fill(0xEE);
    SpoilNext(Phase::kRead, c.answer);

    EXPECT_EQ(handler_->CallRead(record_.data()), c.result);

    if (c.line != nullptr) {
      EXPECT_TRUE(Contains(harness::DebugLines(), c.line)) << harness::Show(harness::DebugLines());
    }
    EXPECT_EQ(record_[0], 0xA8);
    EXPECT_EQ(record_[1], c.answer.status);
    EXPECT_EQ(Le16(&record_[12]), c.answer.msg_data);
    const uint32_t announced = kRowsPerBlock * kBytesPerRow + scansim::kTrailerSize;
    EXPECT_EQ(Le32(&record_[4]), announced);
    EXPECT_EQ(handler_->m_dwImageBufferSize, announced);
    EXPECT_TRUE(PortHeld(Route::kDeviceMonitor));
    TearDown();
  }
}

TEST_F(ReadTest, ARefusedRecordAnnouncesNothing) {
  PlacePage(600);
  handler_->m_dwImageBufferSize = 7;  // left from an earlier block
  record_.fill(0xEE);
  SpoilNext(Phase::kRead, Fault::CorruptStartCode(0x00));

  EXPECT_EQ(handler_->CallRead(record_.data()), WIA_ERROR_GENERAL_ERROR);
  EXPECT_TRUE(Contains(harness::DebugLines(), "[STI]CallRead returns E_FAIL"));
  std::array<uint8_t, 32> untouched;
  untouched.fill(0xEE);
  EXPECT_EQ(record_, untouched);
  EXPECT_EQ(handler_->m_dwImageBufferSize, 0u);

  // Without an announced block the read-image command sends nothing and reports no data.
  ForgetCalls();
  std::vector<uint8_t> image(64, 0xEE);
  DWORD count = 77;
  EXPECT_EQ(handler_->CallReadImage(image.data(), &count), E_FAIL);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(Sim().Log().empty());
  EXPECT_EQ(harness::DebugLines(), (std::vector<std::string>{"[STI]CSTIIOHandler::CallReadImage",
                                                             "[STI]m_dwImageBufferSize is 0, No memory is allocated"}));
}

// A block that did not arrive whole ends the port cycle; a call that failed after moving it all keeps
// the port. Either way the announced size stays for another try and the buffer is given back.
TEST_F(ReadTest, ReadImageTransferFailures) {
  constexpr uint32_t kAnnounced = kRowsPerBlock * kBytesPerRow + scansim::kTrailerSize;
  constexpr DWORD kEarlier = 0xABCD;
  struct Case {
    Phase phase;
    Fault fault;
    HRESULT result;
    bool portKept;
    DWORD lastError;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {Phase::kWrite, Fault::FailZeroCount(31), E_FAIL, false, kEarlier, {"[STI] Memory m_pRawDataBuffer delete"}},
      {Phase::kWrite, Fault::ShortCount(2), E_FAIL, false, kEarlier, {"[STI] Memory m_pRawDataBuffer delete"}},
      {Phase::kWrite,
       Fault::FailFullCount(31),
       E_NOTIMPL,
       true,
       31,
       {"[STI]CSTIIOHandler::CallReadImage = > CoWriteFile Fail", "[STI] Memory m_pRawDataBuffer delete"}},
      {Phase::kRead,
       Fault::ShortCount(kAnnounced - 1),
       E_FAIL,
       false,
       kEarlier,
       {"[STI]CSTIIOHandler::CallReadImage = > CoWriteFile Success", "[STI] Memory m_pRawDataBuffer delete"}},
      {Phase::kRead,
       Fault::FailFullCount(1117),
       E_NOTIMPL,
       true,
       1117,
       {"[STI]CSTIIOHandler::CallReadImage = > CoReadFile Fail", "[STI]Error code => 1117",
        "[STI] Memory m_pRawDataBuffer delete"}},
  };
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << RouteName(route) << ", " << (c.phase == Phase::kWrite ? "write" : "read")
                                        << " fault " << static_cast<int>(c.fault.kind));
      SetUp();
      PlacePage(600, route);
      ASSERT_EQ(handler_->CallRead(record_.data()), S_OK);
      handler_->m_dwLastError = kEarlier;
      harness::ClearDebugLines();
      SpoilNext(c.phase, c.fault);

      std::vector<uint8_t> image(kAnnounced, 0xEE);
      DWORD count = 77;
      EXPECT_EQ(handler_->CallReadImage(image.data(), &count), c.result);

      EXPECT_EQ(PortHeld(route), c.portKept);
      EXPECT_EQ(handler_->m_dwLastError, c.lastError);
      EXPECT_EQ(handler_->m_dwImageBufferSize, kAnnounced);
      EXPECT_EQ(handler_->m_pRawDataBuffer, nullptr);
      EXPECT_EQ(image[0], 0xEE) << "nothing is handed over";
      const auto lines = harness::DebugLines();
      EXPECT_TRUE(InOrder(lines, c.lines)) << harness::Show(lines);
      EXPECT_EQ(lines.back(), "[STI] Memory m_pRawDataBuffer delete");
      TearDown();
    }
  }
}

// Blocks whose exact bytes the scanner model does not produce: the sizes of the scanner's own example
// and blocks no longer than the trailer.
TEST_F(ReadTest, BlockSizesAtTheEdges) {
  struct Case {
    Bytes sizeOnWire;  // bytes 4 to 7 of the read response
    uint32_t size;
    uint32_t handedOver;
    bool countPointer;
  };
  const Case cases[] = {
      {{0x00, 0x01, 0x00, 0x10}, 65552, 65536, true},
      {{0x00, 0x00, 0x03, 0xE8}, 1000, 984, true},
      {{0x00, 0x00, 0x00, 0x11}, 17, 1, true},
      {{0x00, 0x00, 0x00, 0x10}, 16, 0, true},
      {{0x00, 0x00, 0x00, 0x01}, 1, 0, true},
      {{0x00, 0x00, 0x03, 0xE8}, 1000, 984, false},  // the count pointer is optional
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "size " << c.size << (c.countPointer ? "" : ", no count pointer"));
    SetUp();
    UseScript();
    TakePort(Route::kDeviceMonitor);
    Bytes response(32, 0);
    response[0] = 0xA8;
    response[3] = 0x80;
    std::copy(c.sizeOnWire.begin(), c.sizeOnWire.end(), response.begin() + 4);
    response[8] = 0x12;  // height 0x1234
    response[9] = 0x34;
    response[10] = 0x05;  // width 0x0506
    response[11] = 0x06;
    response[12] = 0x00;  // scanner state 0x0100
    response[13] = 0x01;
    Bytes block(c.size);
    for (size_t i = 0; i < block.size(); ++i) {
      block[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    script_.Answer(response);
    script_.Answer(block);

    EXPECT_EQ(handler_->CallRead(record_.data()), S_OK);
    EXPECT_EQ(0, std::memcmp(&record_[4], &c.size, 4)) << "size in host order";
    EXPECT_EQ(record_[8], 0x34);
    EXPECT_EQ(record_[9], 0x12);
    EXPECT_EQ(record_[10], 0x06);
    EXPECT_EQ(record_[11], 0x05);
    EXPECT_EQ(record_[12], 0x00);
    EXPECT_EQ(record_[13], 0x01);

    std::vector<uint8_t> image(c.size + 1, 0xEE);
    DWORD count = 77;
    EXPECT_EQ(handler_->CallReadImage(image.data(), c.countPointer ? &count : nullptr), S_OK);
    if (c.countPointer) {
      EXPECT_EQ(count, c.handedOver);
    }
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + c.handedOver, image.begin()));
    EXPECT_EQ(image[c.handedOver], 0xEE);
    ASSERT_EQ(script_.Written().size(), 2u);
    EXPECT_EQ(script_.Written()[1], (Bytes{0x1B, 0xA8, 0x29, 0x00}));
    EXPECT_EQ(handler_->m_dwImageBufferSize, 0u);
    TearDown();
  }
}

// An announced block larger than the window can produce (6 bytes a pixel and the trailer), or with no
// window taken larger than 256 MiB, is refused as a failed read before anything is allocated; the caller's
// record is left alone and the next read-image call has nothing to fetch.
TEST_F(ReadTest, AnnouncementsBeyondTheWindowAreRefused) {
  struct Case {
    bool window;  // a 64 by 40 pixel window at 300 dpi was taken first
    uint32_t size;
    HRESULT expected;
  };
  const Case cases[] = {
      {true, 64 * 40 * 6 + 16, S_OK},    {true, 64 * 40 * 6 + 17, E_FAIL}, {false, 256u << 20, S_OK},
      {false, (256u << 20) + 1, E_FAIL}, {false, 0xFFFFFFFF, E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.size << (c.window ? " after a window" : ""));
    SetUp();
    UseScript();
    TakePort(Route::kDeviceMonitor);
    if (c.window) {
      SWP_PARAMETER window = {};
      window.dwWindowWidth = 64;
      window.dwWindowHeight = 40;
      window.byResolutionCode = 5;
      script_.Answer(Bytes{0xA8, 0x00, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
      ASSERT_EQ(handler_->Escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window), nullptr, 0, nullptr), S_OK);
    }
    Bytes response(32, 0);
    response[0] = 0xA8;
    response[3] = 0x80;
    scansim::PutBe32(&response[4], c.size);
    script_.Answer(response);
    record_.fill(0xEE);
    harness::ClearDebugLines();

    EXPECT_EQ(handler_->CallRead(record_.data()), c.expected);
    const std::string refusal = "[STI]Announced block of " + std::to_string(c.size) + " bytes is more than the " +
                                std::to_string(c.window ? 64 * 40 * 6 + 16 : 256u << 20) +
                                " the window can produce; refused";
    EXPECT_EQ(Contains(harness::DebugLines(), refusal), c.expected == E_FAIL) << harness::Show(harness::DebugLines());
    if (c.expected == E_FAIL) {
      EXPECT_EQ(record_[0], 0xEE) << "the caller's record is left alone";
      const size_t written = script_.Written().size();
      DWORD count = 77;
      EXPECT_EQ(handler_->CallReadImage(record_.data(), &count), E_FAIL);
      EXPECT_EQ(count, 0u);
      EXPECT_EQ(script_.Written().size(), written) << "nothing fetched";
    }
    TearDown();
  }
}

}  // namespace
}  // namespace protocoltest
