// GET_DEVICE_INFO through the exports: the scanner is asked until an inquiry succeeds, and from then on
// the record comes from the handler's copy without a command on the wire.
#include <cstring>
#include <string>
#include <vector>

#include "scan/ScanSession.h"

namespace scantest {
namespace {

using doubles::EntryPoint;

std::string Narrow(const WCHAR* text, size_t size) {
  std::string narrow;
  for (size_t i = 0; i < size && text[i] != 0; ++i) {
    narrow += static_cast<char>(text[i]);
  }
  return narrow;
}

// The record of the simulator's default identity: 8.5 in bed width, 11.7 in flatbed and 14 in feeder
// length, seven resolutions from 0x3319, a feeder, all three image types, firmware byte 3.
void ExpectDefaultScannerRecord(const SCAN_DEVICE_INFO& info) {
  EXPECT_EQ(std::string(info.szVendorID, sizeof(info.szVendorID)), std::string("SCANSIM\0", 8));
  EXPECT_EQ(std::string(info.szProductID, sizeof(info.szProductID)), std::string("Sheetfed Flatbed\0\0\0\0", 20));
  const std::vector<LONG> resolutions = {75, 100, 150, 200, 300, 600, 1200};
  ASSERT_EQ(info.nX_Resolutions, 7);
  ASSERT_EQ(info.nY_Resolutions, 7);
  ASSERT_NE(info.pX_Resolutions, nullptr);
  ASSERT_NE(info.pY_Resolutions, nullptr);
  EXPECT_NE(info.pX_Resolutions, info.pY_Resolutions) << "two arrays";
  EXPECT_EQ(std::vector<LONG>(info.pX_Resolutions, info.pX_Resolutions + 7), resolutions);
  EXPECT_EQ(std::vector<LONG>(info.pY_Resolutions, info.pY_Resolutions + 7), resolutions);
  EXPECT_EQ(info.dwScannerType, 0x0Cu);
  EXPECT_EQ(info.dwCompressionType, 0u);
  EXPECT_EQ(info.dwImageComposition, 0x29u);
  EXPECT_EQ(info.dwDocFeederStatus, 2u);
  EXPECT_EQ(info.dwScanBedWidth, 8500);
  EXPECT_EQ(info.dwScanBedHeight, 11700);
  EXPECT_EQ(info.dwDocFeederWidth, 8500);
  EXPECT_EQ(info.dwDocFeederHeight, 14000);
  EXPECT_EQ(info.dwRGBOrder, 0u);
  EXPECT_EQ(info.dwMaxScanTime, 600000u);
  EXPECT_EQ(Narrow(info.wszFirmwareVersion, 28), "0.3");
}

class DeviceInformation : public ScanOnRoute {};

TEST_P(DeviceInformation, AskedUntilAnInquirySucceedsThenServedFromTheCopy) {
  struct Attempt {
    HRESULT result;
    bool inquirySent;
  };
  struct Case {
    const char* what;
    uint32_t failedInquiries;
    Attempt attempts[3];
  };
  const Case cases[] = {
      {"first inquiry answers", 0, {{S_OK, true}, {S_OK, false}, {S_OK, false}}},
      {"first inquiry refused", 1, {{E_FAIL, true}, {S_OK, true}, {S_OK, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scansim::Config config = SmallBlocks();
    config.script.failed_inquiries = c.failedInquiries;
    Start(config);

    std::vector<BYTE> first;
    for (const Attempt& attempt : c.attempts) {
      SCOPED_TRACE(&attempt - c.attempts);
      ForgetCalls();
      SCAN_DEVICE_INFO info;
      std::memset(&info, 0xAB, sizeof(info));
      EXPECT_EQ(GetDeviceInfo(&info), attempt.result);

      const std::vector<uint8_t> inquiry = {scansim::kOpInquiry};
      EXPECT_EQ(Sim().CommandOpcodes(), attempt.inquirySent ? inquiry : std::vector<uint8_t>{});
      EXPECT_EQ(Contention().CallCount(EntryPoint::PortAcquire), attempt.inquirySent ? 1u : 0u);
      EXPECT_FALSE(Contention().Held()) << "the port is given back either way";

      const BYTE* bytes = reinterpret_cast<const BYTE*>(&info);
      if (attempt.result != S_OK) {
        EXPECT_EQ(std::vector<BYTE>(bytes, bytes + sizeof(info)), std::vector<BYTE>(sizeof(info), 0xAB))
            << "nothing is copied";
        continue;
      }
      ExpectDefaultScannerRecord(info);
      if (first.empty()) {
        first.assign(bytes, bytes + sizeof(info));
      } else {
        EXPECT_EQ(std::vector<BYTE>(bytes, bytes + sizeof(info)), first) << "the same 152 bytes";
      }
    }
  }
}

INSTANTIATE_ON_BOTH_ROUTES(DeviceInformation);

}  // namespace
}  // namespace scantest
