// The registry model's sizes and refusals, as Windows reports them; the transcripts read only values
// that fit.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/control.h"
#include "platform/testing.h"
#include "platform/win32.h"

namespace {

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    winplat::ResetAll();
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Params\\DeviceData", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &hData_, &disposition));
    ASSERT_EQ(1u, disposition);
    const DWORD vid = 0x00011234;
    const BYTE twelve[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hData_, "Vid", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&vid), 4));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hData_, "Long", 0, REG_BINARY, twelve, sizeof(twelve)));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hData_, "Empty", 0, REG_BINARY, nullptr, 0));
  }
  void TearDown() override { winplat::ResetRegistry(); }

  HKEY hData_ = nullptr;
};

TEST_F(Registry, QueryReportsSizesAndRefusesShortBuffers) {
  struct Case {
    const char* value;
    DWORD bufferSize;  // 0xFFFFFFFF: no data buffer at all
    LSTATUS status;
    DWORD sizeAfter;
    DWORD type;
    bool written;
  };
  const Case cases[] = {
      {"VID", 10, ERROR_SUCCESS, 4, REG_DWORD, true},       {"vid", 4, ERROR_SUCCESS, 4, REG_DWORD, true},
      {"Vid", 3, ERROR_MORE_DATA, 4, REG_DWORD, false},     {"Vid", 0xFFFFFFFF, ERROR_SUCCESS, 4, REG_DWORD, false},
      {"Long", 10, ERROR_MORE_DATA, 12, REG_BINARY, false}, {"Empty", 10, ERROR_SUCCESS, 0, REG_BINARY, false},
      {"Pid", 10, ERROR_FILE_NOT_FOUND, 10, 0xEEEE, false},
  };
  for (const Case& c : cases) {
    BYTE buffer[16];
    std::memset(buffer, 0xAA, sizeof(buffer));
    DWORD type = 0xEEEE;
    DWORD size = c.bufferSize;
    LPBYTE data = c.bufferSize == 0xFFFFFFFF ? nullptr : buffer;
    EXPECT_EQ(c.status, RegQueryValueExA(hData_, c.value, nullptr, &type, data, &size)) << c.value;
    EXPECT_EQ(c.sizeAfter, size) << c.value;
    EXPECT_EQ(c.type, type) << c.value;
    EXPECT_EQ(c.written ? 0x34 : 0xAA, buffer[0]) << c.value;
    EXPECT_EQ(c.written ? 0x12 : 0xAA, buffer[1]) << c.value;
    EXPECT_EQ(0xAA, buffer[c.written ? 4 : 2]) << "bytes past the value: " << c.value;
  }
}

}  // namespace
