// Debugger output, the thread's last-error code and OLE strings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/control.h"
#include "platform/win32.h"

namespace {

TEST(DebugOutput, RecordsEachStringInOrderAndPassesItToTheSink) {
  winplat::ResetAll();
  std::vector<std::string> seen;
  winplat::SetDebugStringSink([&seen](const char* text) { seen.emplace_back(text); });
  OutputDebugStringA("[STI]CSTIIOHandler::Initialize");
  OutputDebugStringA(nullptr);
  OutputDebugStringA("");
  OutputDebugStringA("[STI] Port Acquire Fail");
  const std::vector<std::string> expected = {"[STI]CSTIIOHandler::Initialize", "", "[STI] Port Acquire Fail"};
  EXPECT_EQ(expected, winplat::DebugStrings());
  EXPECT_EQ(expected, seen);

  winplat::ClearDebugStrings();
  winplat::SetDebugStringSink(nullptr);
  OutputDebugStringA("after");
  EXPECT_EQ(std::vector<std::string>{"after"}, winplat::DebugStrings());
  EXPECT_EQ(3u, seen.size());
  winplat::ClearDebugStrings();
}

TEST(LastError, BelongsToTheCallingThread) {
  SetLastError(ERROR_GEN_FAILURE);
  DWORD seenByOther = 1;
  std::thread other([&seenByOther] {
    seenByOther = GetLastError();
    SetLastError(ERROR_IO_DEVICE);
  });
  other.join();
  EXPECT_EQ(0u, seenByOther);
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
}

TEST(OleStrings, CarryTheirByteLengthAndAreCounted) {
  size_t live = winplat::LiveBStrings();
  BSTR text = SysAllocString(u"entering");
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(live + 1, winplat::LiveBStrings());
  EXPECT_EQ(8u, SysStringLen(text));
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(text) - 4, 4);
  EXPECT_EQ(16u, prefix);
  EXPECT_EQ(u'\0', text[8]);
  SysFreeString(text);
  SysFreeString(nullptr);
  EXPECT_EQ(live, winplat::LiveBStrings());
  EXPECT_EQ(nullptr, SysAllocString(nullptr));
  EXPECT_EQ(0u, SysStringLen(nullptr));
}

}  // namespace
