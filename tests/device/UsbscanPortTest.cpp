// The direct route's search for the scanner among "\\.\Usbscan0" to "\\.\Usbscan254", as the platform's
// device model sees it: which names are opened, which are asked for their descriptor, which handles
// stay open, and which port the handler ends up talking to.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceFixture.h"

namespace devicetest {
namespace {

using Operation = doubles::UsbscanDevice::Operation;

class UsbscanPortTest : public DeviceFixture {};

TEST_F(UsbscanPortTest, TheSearchKeepsTheFirstMatchingPort) {
  struct Port {
    int n;
    WORD vid;
    WORD pid;
    bool failOpen;
    bool failDescriptor;
  };
  struct Case {
    const char* what;
    WORD vid;
    WORD pid;
    std::vector<Port> ports;
    int expectedPort;  // -1: none
    size_t expectedCreates;
    size_t expectedQueries;
  };
  const Case cases[] = {
      {"ids 0, 0 take the first port that opens, unasked",
       0,
       0,
       {{0, 0x1111, 0x2222, true, false}, {1, 0x1111, 0x2222, false, false}, {2, kVid, kPid, false, false}},
       1,
       2,
       0},
      {"only the third matches",
       kVid,
       kPid,
       {{0, kVid, 0, false, false}, {1, 0, kPid, false, false}, {2, kVid, kPid, false, false}},
       2,
       3,
       3},
      {"a port that cannot tell its ids is skipped",
       kVid,
       kPid,
       {{0, kVid, kPid, false, true}, {1, kVid, kPid, false, false}},
       1,
       2,
       2},
      {"a vendor id with product id 0 needs a device reporting 0",
       kVid,
       0,
       {{0, kVid, kPid, false, false}, {5, kVid, 0, false, false}},
       5,
       6,
       2},
      {"a product id alone still asks each port",
       0,
       kPid,
       {{0, kVid, kPid, false, false}, {1, 0, kPid, false, false}},
       1,
       2,
       2},
      {"gaps between the numbers are searched over", kVid, kPid, {{254, kVid, kPid, false, false}}, 254, 255, 1},
      {"no port at all", kVid, kPid, {}, -1, 255, 0},
      {"\\\\.\\Usbscan255 is never tried", 0, 0, {{255, kVid, kPid, false, false}}, -1, 255, 0},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Settle(Route::kDirect, c.vid, c.pid);
    std::map<int, std::shared_ptr<doubles::UsbscanDevice>> devices;
    for (const Port& p : c.ports) {
      auto device = Plug(p.n, p.vid, p.pid);
      device->FailOpen(p.failOpen);
      device->FailDescriptor(p.failDescriptor);
      devices[p.n] = device;
    }

    EXPECT_EQ(handler_->OpenPort_usbscan(), c.expectedPort >= 0 ? S_OK : E_FAIL);

    const winplat::DeviceCallCounts calls = winplat::DeviceCalls();
    EXPECT_EQ(calls.creates, c.expectedCreates);
    EXPECT_EQ(calls.ioctls, c.expectedQueries);
    // Only the port kept is still open.
    EXPECT_EQ(winplat::OpenHandles().devices, c.expectedPort >= 0 ? 1u : 0u);
    EXPECT_EQ(handler_->m_bPortOpened != FALSE, c.expectedPort >= 0);
    if (c.expectedPort < 0) {
      EXPECT_EQ(handler_->m_hDevice, INVALID_HANDLE_VALUE);
      continue;
    }
    // The handle kept leads to the matching device.
    BYTE command[4] = {0x1B, 0xA8, 0x16, 0x00};
    ASSERT_EQ(handler_->RawWriteData(command, sizeof(command), nullptr), S_OK);
    for (const auto& entry : devices) {
      EXPECT_EQ(entry.second->CallCount(Operation::Write), entry.first == c.expectedPort ? 1u : 0u)
          << "Usbscan" << entry.first;
    }
  }
}

TEST_F(UsbscanPortTest, DescriptorRequestAndOpenAsTheClassDriverExpects) {
  Settle(Route::kDirect);
  auto device = Plug(0);
  ASSERT_EQ(handler_->OpenPort_usbscan(), S_OK);
  const std::vector<doubles::UsbscanDevice::Call> calls = device->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].operation, Operation::Open);
  EXPECT_EQ(calls[1].operation, Operation::IoControl);
  EXPECT_EQ(calls[1].code, 0x80002018u);
  EXPECT_EQ(calls[1].length, 8u);
  EXPECT_TRUE(calls[1].result);
}

TEST_F(UsbscanPortTest, LinesOfTheSearch) {
  Settle(Route::kDirect);
  Plug(0)->FailOpen(true, ERROR_ACCESS_DENIED);
  Plug(1, kVid, kPid + 1);
  Plug(2);
  // Names 3 to 254 do not exist; only the first lines matter here.
  ASSERT_EQ(handler_->OpenPort_usbscan(), S_OK);
  EXPECT_EQ(harness::DebugLines(),
            (std::vector<std::string>{"[STI]Invalid handle value => \\\\.\\Usbscan0", "[STI]Error code =>5",
                                      "[STI]success => \\\\.\\Usbscan1", "[STI]success => \\\\.\\Usbscan2"}));

  Fresh();
  Settle(Route::kDirect);
  ASSERT_EQ(handler_->OpenPort_usbscan(), E_FAIL);
  const std::vector<std::string> lines = harness::DebugLines();
  ASSERT_EQ(lines.size(), 510u);
  EXPECT_EQ(lines[508], "[STI]Invalid handle value => \\\\.\\Usbscan254");
  EXPECT_EQ(lines[509], "[STI]Error code =>2");  // ERROR_FILE_NOT_FOUND
}

// Every acquire on the direct route searches again; the port found by the last search is the one in
// use, and none found earlier is left open.
TEST_F(UsbscanPortTest, RepeatedCyclesLeaveOneHandleOpen) {
  key_->SetIds(kVid, kPid, false);
  auto first = Plug(0);
  harness::DeviceControl control;
  ASSERT_EQ(handler_->Initialize(&control, 0, key_->Parameters()), S_OK);
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_EQ(handler_->LoadPortContentionDll(), S_OK);
    EXPECT_EQ(handler_->CloseDevice(), S_OK);
    EXPECT_EQ(winplat::OpenHandles().devices, 1u);
  }

  // The scanner moves to another port number between cycles.
  winplat::UnplugDevice("\\\\.\\Usbscan0");
  auto moved = Plug(7);
  ASSERT_EQ(handler_->LoadPortContentionDll(), S_OK);
  EXPECT_EQ(winplat::OpenHandles().devices, 1u);
  BYTE command[4] = {0x1B, 0xA8, 0x16, 0x00};
  EXPECT_EQ(handler_->RawWriteData(command, sizeof(command), nullptr), S_OK);
  EXPECT_EQ(moved->CallCount(Operation::Write), 1u);
  EXPECT_EQ(first->CallCount(Operation::Write), 0u);
  handler_->CloseDevice();

  // The handler's end closes the port it kept.
  handler_.reset();
  EXPECT_EQ(winplat::OpenHandles().devices, 0u);
}

}  // namespace
}  // namespace devicetest
