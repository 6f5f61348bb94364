// What the library holds once TerminateDll has returned, asked of the system itself: after a whole
// feeder job through the device monitor, no module the library loaded may still be loaded on its
// account and the process may hold no handle more than before InitializeDll.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/Harness.h"
#include "support/Transcript.h"

namespace {

// Wine answers GetProcessHandleCount with 0 whatever the process holds, so the handles are counted by
// walking the process's handle table instead: every handle value the system accepts is an open handle.
// Handle values are multiples of 4; a test process holds far fewer than the values walked.
constexpr uintptr_t kLastHandleValue = 0x10000;

std::vector<uintptr_t> OpenHandles() {
  std::vector<uintptr_t> handles;
  for (uintptr_t value = 4; value <= kLastHandleValue; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      handles.push_back(value);
    }
  }
  return handles;
}

TEST(ResourcesAfterTerminate, FeederJobLeavesNoModuleAndNoHandle) {
  ASSERT_NE(harness::TheLibrary().InitializeDll, nullptr) << "the library is loaded before the count";
  // The measure must see a handle of each kind the library could leave open come and go, or an
  // unchanged count would prove nothing: a kernel object and a registry key.
  const std::vector<uintptr_t> beforeProbes = OpenHandles();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HKEY registryKey = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &registryKey), ERROR_SUCCESS);
  EXPECT_EQ(OpenHandles().size(), beforeProbes.size() + 2) << "the handle walk does not see new handles";
  RegCloseKey(registryKey);
  CloseHandle(event);
  ASSERT_EQ(OpenHandles(), beforeProbes);

  // The transcript's job, from InitializeDll to TerminateDll; the transcript test checks what it does.
  transcript::Scenario scenario;
  ASSERT_TRUE(transcript::Load(transcript::PathOf("feeder-device-monitor.txt"), &scenario));
  transcript::Player player(scenario);
  std::string why;
  ASSERT_TRUE(player.Setup(&why)) << why;
  const std::vector<uintptr_t> before = OpenHandles();
  std::vector<std::vector<std::string>> perStep;
  const std::vector<std::string> lines = player.Play(&perStep);
  ASSERT_EQ(lines.back(), "@ end: port free, device closed, scanner free");
  const std::vector<uintptr_t> after = OpenHandles();

  EXPECT_EQ(after, before) << "a handle left open (or closed) by the library";
  EXPECT_TRUE(harness::ModuleReleasedByLibrary("prtmon64.dll"));
  EXPECT_TRUE(harness::ModuleReleasedByLibrary("portarb.dll"));
}

}  // namespace
