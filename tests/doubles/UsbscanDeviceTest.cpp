// The Usbscan device object as the handler meets it: opened by name with CreateFileA, asked for its
// descriptor with DeviceIoControl, and read and written with ReadFile and WriteFile.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "TestPort.h"
#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"

using doubles::UsbscanDevice;

namespace {

HANDLE OpenPort(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class UsbscanDevices : public ::testing::Test {
 protected:
  void SetUp() override { winplat::ResetAll(); }
  void TearDown() override { winplat::ResetAll(); }
};

TEST_F(UsbscanDevices, AnswerTheDescriptorRequest) {
  struct Case {
    const char* name;
    std::function<void(UsbscanDevice&)> configure;
    DWORD code;
    DWORD outLength;
    BOOL result;
    DWORD error;  // when the result is FALSE
    std::vector<BYTE> out;
    DWORD returned;
  };
  const std::vector<BYTE> untouched(8, 0xAA);
  const Case cases[] = {
      {"ids from the constructor",
       [](UsbscanDevice&) {},
       IOCTL_GET_DEVICE_DESCRIPTOR,
       8,
       TRUE,
       0,
       {0x34, 0x12, 0x78, 0x56, 0x00, 0x00, 0x00, 0x00},
       8},
      {"every field little-endian",
       [](UsbscanDevice& d) { d.SetDescriptor(0x2345, 0x6789, 0x0100, 0x0409); },
       IOCTL_GET_DEVICE_DESCRIPTOR,
       8,
       TRUE,
       0,
       {0x45, 0x23, 0x89, 0x67, 0x00, 0x01, 0x09, 0x04},
       8},
      {"request failing", [](UsbscanDevice& d) { d.FailDescriptor(true); }, IOCTL_GET_DEVICE_DESCRIPTOR, 8, FALSE,
       ERROR_GEN_FAILURE, untouched, 0},
      {"output buffer too small", [](UsbscanDevice&) {}, IOCTL_GET_DEVICE_DESCRIPTOR, 4, FALSE,
       ERROR_INSUFFICIENT_BUFFER, untouched, 0},
      {"another control code", [](UsbscanDevice&) {}, IOCTL_GET_DEVICE_DESCRIPTOR + 4, 8, FALSE,
       ERROR_INVALID_PARAMETER, untouched, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = std::make_shared<UsbscanDevice>(nullptr, 0x1234, 0x5678);
    c.configure(*device);
    doubles::PlugUsbscan(0, device);
    HANDLE port = OpenPort("\\\\.\\Usbscan0");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    BYTE in[8] = {};
    std::vector<BYTE> out = untouched;
    DWORD returned = 99;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(DeviceIoControl(port, c.code, in, sizeof(in), out.data(), c.outLength, &returned, nullptr), c.result);
    if (!c.result) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(returned, c.returned);
    EXPECT_TRUE(CloseHandle(port));
  }
}

TEST_F(UsbscanDevices, OpenOnlyUnderTheirOwnNumberAndAsConfigured) {
  auto device = std::make_shared<UsbscanDevice>();
  doubles::PlugUsbscan(3, device);

  HANDLE port = OpenPort("\\\\.\\Usbscan3");
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(port));
  EXPECT_EQ(OpenPort("\\\\.\\Usbscan0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenPort("\\\\.\\Usbscan30"), INVALID_HANDLE_VALUE);

  device->FailOpen(true);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(OpenPort("\\\\.\\Usbscan3"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  device->FailOpen(true, ERROR_GEN_FAILURE);
  EXPECT_EQ(OpenPort("\\\\.\\Usbscan3"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));

  EXPECT_EQ(device->CallCount(UsbscanDevice::Operation::Open), 3u);
  EXPECT_EQ(winplat::OpenHandles().devices, 0u);
}

TEST_F(UsbscanDevices, CarryTransfersToTheirPort) {
  TestPort scanner;
  scanner.Serve({0xA8, 0x00, 0x01, 0x02});
  auto device = std::make_shared<UsbscanDevice>(&scanner);
  doubles::PlugUsbscan(1, device);
  HANDLE port = OpenPort("\\\\.\\Usbscan1");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);

  const BYTE command[4] = {0x1B, 0xA8, 0x28, 0x00};
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port, command, sizeof(command), &written, nullptr));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(scanner.Written(), std::vector<uint8_t>(command, command + 4));

  BYTE response[4] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(port, response, sizeof(response), &read, nullptr));
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(std::vector<BYTE>(response, response + 4), (std::vector<BYTE>{0xA8, 0x00, 0x01, 0x02}));

  // A failing port reports its own error code and the bytes it moved before failing.
  scanner.Serve({0x11, 0x22});
  scanner.FailWith(1117, 1);
  EXPECT_FALSE(ReadFile(port, response, sizeof(response), &read, nullptr));
  EXPECT_EQ(GetLastError(), 1117u);
  EXPECT_EQ(read, 1u);
  EXPECT_EQ(response[0], 0x11);

  // Without a port the device answers like a detached one.
  device->SetPort(nullptr);
  EXPECT_FALSE(WriteFile(port, command, sizeof(command), &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CancelIo(port));
  EXPECT_TRUE(CloseHandle(port));

  using Op = UsbscanDevice::Operation;
  std::vector<Op> operations;
  std::vector<DWORD> lengths;
  for (const UsbscanDevice::Call& call : device->Calls()) {
    operations.push_back(call.operation);
    lengths.push_back(call.length);
  }
  EXPECT_EQ(operations, (std::vector<Op>{Op::Open, Op::Write, Op::Read, Op::Read, Op::Write, Op::Cancel}));
  EXPECT_EQ(lengths, (std::vector<DWORD>{0, 4, 4, 4, 4, 0}));
}

}  // namespace
