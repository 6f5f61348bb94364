// Device and event handles as the handler opens, uses and closes them.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/control.h"
#include "platform/win32.h"

namespace {

// A device object that answers from fixed bytes and remembers what was written to it.
class ScriptedDevice : public winplat::DeviceObject {
 public:
  BOOL Open() override {
    if (openError != 0) {
      SetLastError(openError);
      return FALSE;
    }
    return TRUE;
  }
  BOOL Write(const void* buffer, DWORD length, DWORD* written) override {
    auto bytes = static_cast<const BYTE*>(buffer);
    this->written.insert(this->written.end(), bytes, bytes + length);
    *written = length;
    return TRUE;
  }
  BOOL Read(void* buffer, DWORD length, DWORD* read) override {
    DWORD n = length < response.size() ? length : static_cast<DWORD>(response.size());
    std::memcpy(buffer, response.data(), n);
    *read = n;
    return TRUE;
  }
  BOOL IoControl(DWORD code, const void*, DWORD, void* out, DWORD outLength, DWORD* returned) override {
    if (code != IOCTL_GET_DEVICE_DESCRIPTOR || outLength < sizeof(DEVICE_DESCRIPTOR)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    DEVICE_DESCRIPTOR descriptor = {0x1234, 0x5679, 0x0100, 0x0409};
    std::memcpy(out, &descriptor, sizeof(descriptor));
    *returned = sizeof(descriptor);
    return TRUE;
  }
  BOOL Cancel() override {
    ++cancels;
    return TRUE;
  }

  DWORD openError = 0;
  std::vector<BYTE> response = {0xA8, 0x00, 0x80};
  std::vector<BYTE> written;
  int cancels = 0;
};

class Devices : public ::testing::Test {
 protected:
  void SetUp() override {
    winplat::ResetAll();
    winplat::PlugDevice("\\\\.\\Usbscan0", m_device);
  }
  void TearDown() override { winplat::ResetAll(); }

  HANDLE Open(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  std::shared_ptr<ScriptedDevice> m_device = std::make_shared<ScriptedDevice>();
};

TEST_F(Devices, OpenFindsPluggedNamesOnly) {
  auto refusing = std::make_shared<ScriptedDevice>();
  refusing->openError = ERROR_ACCESS_DENIED;
  winplat::PlugDevice("\\\\.\\Usbscan1", refusing);
  struct Case {
    const char* name;
    DWORD error;  // 0: opens
  };
  const Case cases[] = {{"\\\\.\\Usbscan0", 0},
                        {"\\\\.\\USBSCAN0", 0},
                        {"\\\\.\\Usbscan1", ERROR_ACCESS_DENIED},
                        {"\\\\.\\Usbscan2", ERROR_FILE_NOT_FOUND},
                        {"\\\\.\\Usbscan01", ERROR_FILE_NOT_FOUND}};
  std::vector<HANDLE> opened;
  for (const Case& c : cases) {
    SetLastError(0);
    HANDLE handle = Open(c.name);
    if (c.error == 0) {
      EXPECT_NE(INVALID_HANDLE_VALUE, handle) << c.name;
      EXPECT_NE(nullptr, handle) << c.name;
      opened.push_back(handle);
    } else {
      EXPECT_EQ(INVALID_HANDLE_VALUE, handle) << c.name;
    }
    EXPECT_EQ(c.error, GetLastError()) << c.name;
  }
  ASSERT_EQ(2u, opened.size());
  EXPECT_NE(opened[0], opened[1]);
  EXPECT_EQ(2u, winplat::OpenHandles().devices);
  EXPECT_EQ(5u, winplat::DeviceCalls().creates);
  for (HANDLE handle : opened) {
    EXPECT_TRUE(CloseHandle(handle));
  }
  EXPECT_EQ(0u, winplat::OpenHandles().devices);
}

TEST_F(Devices, TransfersReachTheObjectWhileTheHandleIsOpen) {
  HANDLE handle = Open("\\\\.\\Usbscan0");
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  // Unplugging does not take the object away from a handle that is already open.
  winplat::UnplugDevice("\\\\.\\Usbscan0");
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("\\\\.\\Usbscan0"));

  const BYTE command[4] = {0x1B, 0xA8, 0x28, 0x00};
  DWORD count = 99;
  EXPECT_TRUE(WriteFile(handle, command, sizeof(command), &count, nullptr));
  EXPECT_EQ(4u, count);
  EXPECT_EQ(std::vector<BYTE>(command, command + 4), m_device->written);
  BYTE response[32] = {};
  EXPECT_TRUE(ReadFile(handle, response, sizeof(response), &count, nullptr));
  EXPECT_EQ(3u, count);
  EXPECT_EQ(0xA8, response[0]);
  DEVICE_DESCRIPTOR descriptor = {};
  EXPECT_TRUE(DeviceIoControl(handle, IOCTL_GET_DEVICE_DESCRIPTOR, &descriptor, sizeof(descriptor), &descriptor,
                              sizeof(descriptor), &count, nullptr));
  EXPECT_EQ(0x5679, descriptor.usProductId);
  EXPECT_TRUE(CancelIo(handle));
  EXPECT_EQ(1, m_device->cancels);
  EXPECT_TRUE(CloseHandle(handle));

  winplat::DeviceCallCounts calls = winplat::DeviceCalls();
  EXPECT_EQ(1u, calls.writes);
  EXPECT_EQ(1u, calls.reads);
  EXPECT_EQ(1u, calls.ioctls);
  EXPECT_EQ(1u, calls.cancels);
  EXPECT_EQ(1u, calls.closes);
}

TEST_F(Devices, CallsOnHandlesThatAreNotOpenFail) {
  HANDLE closed = Open("\\\\.\\Usbscan0");
  ASSERT_TRUE(CloseHandle(closed));
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  BYTE buffer[8] = {};
  for (HANDLE handle : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, closed, event}) {
    DWORD count = 77;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    count = 77;
    SetLastError(0);
    EXPECT_FALSE(WriteFile(handle, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    count = 77;
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_GET_DEVICE_DESCRIPTOR, buffer, 8, buffer, 8, &count, nullptr));
    EXPECT_EQ(0u, count);
    SetLastError(0);
    EXPECT_FALSE(CancelIo(handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    if (handle != event) {
      SetLastError(0);
      EXPECT_FALSE(CloseHandle(handle));
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    }
  }
  EXPECT_TRUE(m_device->written.empty());
  EXPECT_EQ(1u, winplat::OpenHandles().events);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_EQ(0u, winplat::OpenHandles().events);
}

TEST(Events, SignalAsManualOrAutoReset) {
  HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(automatic, 10));

  std::thread setter([automatic] { EXPECT_TRUE(SetEvent(automatic)); });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, INFINITE));
  setter.join();

  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(automatic));
  EXPECT_FALSE(SetEvent(automatic));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(automatic, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

}  // namespace
