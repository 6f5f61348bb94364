// The contention doubles as the handler meets them: loaded by file name through the platform's module
// loader, entry points found with GetProcAddress and called through the handler's own function types.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "TestPort.h"
#include "doubles/linux/InstallDoubles.h"
#include "handler/STIIOHandler.h"
#include "platform/control.h"

using doubles::ContentionDouble;
using doubles::EntryPoint;

namespace {

const char* const kEntryPoints[] = {"PortAcquire", "PortRelease", "DeviceOpen",
                                    "DeviceRead",  "DeviceWrite", "DeviceClose"};

template <typename F>
F Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

class ContentionModules : public ::testing::Test {
 protected:
  void SetUp() override { winplat::ResetAll(); }
  // No installed module may outlive the doubles it forwards to.
  void TearDown() override { winplat::ResetAll(); }

  HMODULE LoadMonitor() {
    doubles::InstallDeviceMonitor(monitor_);
    HMODULE module = LoadLibraryA("prtmon64.dll");
    EXPECT_NE(module, nullptr);
    return module;
  }

  ContentionDouble monitor_;
  ContentionDouble arbitration_;
};

TEST_F(ContentionModules, ExportTheirEntryPointsLessTheAbsentOnes) {
  struct Case {
    const char* file;
    std::vector<EntryPoint> absent;
    std::vector<std::string> found;
  };
  const Case cases[] = {
      {"prtmon64.dll", {}, {"PortAcquire", "PortRelease", "DeviceOpen", "DeviceRead", "DeviceWrite", "DeviceClose"}},
      {"prtmon64.dll",
       {EntryPoint::DeviceClose},
       {"PortAcquire", "PortRelease", "DeviceOpen", "DeviceRead", "DeviceWrite"}},
      {"prtmon64.dll",
       {EntryPoint::PortAcquire, EntryPoint::DeviceWrite},
       {"PortRelease", "DeviceOpen", "DeviceRead", "DeviceClose"}},
      {"portarb.dll", {}, {"PortAcquire", "PortRelease"}},
      {"portarb.dll", {EntryPoint::PortRelease}, {"PortAcquire"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " lacking " + std::to_string(c.absent.size()));
    const bool isMonitor = std::string(c.file) == "prtmon64.dll";
    ContentionDouble& contention = isMonitor ? monitor_ : arbitration_;
    contention.Reset();
    for (EntryPoint entry : c.absent) {
      contention.SetAbsent(entry, true);
    }
    // The same double installed again each time: a new installation replaces the old entry points.
    isMonitor ? doubles::InstallDeviceMonitor(contention) : doubles::InstallPortArbitration(contention);

    HMODULE module = LoadLibraryA(c.file);
    ASSERT_NE(module, nullptr);
    std::vector<std::string> found;
    for (const char* name : kEntryPoints) {
      if (GetProcAddress(module, name) != nullptr) {
        found.push_back(name);
      }
    }
    EXPECT_EQ(found, c.found);
    EXPECT_TRUE(FreeLibrary(module));
  }
}

TEST_F(ContentionModules, AnswerAsConfigured) {
  struct Step {
    EntryPoint entry;
    BOOL result;
  };
  struct Case {
    const char* name;
    std::function<void(ContentionDouble&)> configure;
    std::vector<Step> steps;
    bool held;
    bool opened;
  };
  const Case cases[] = {
      {"everything granted by default",
       [](ContentionDouble&) {},
       {{EntryPoint::PortAcquire, TRUE},
        {EntryPoint::DeviceOpen, TRUE},
        {EntryPoint::DeviceClose, TRUE},
        {EntryPoint::PortRelease, TRUE}},
       false,
       false},
      {"port refused",
       [](ContentionDouble& d) { d.SetAcquireAnswer(false); },
       {{EntryPoint::PortAcquire, FALSE}, {EntryPoint::PortAcquire, FALSE}},
       false,
       false},
      {"scripted answers first, then the standing answer",
       [](ContentionDouble& d) {
         d.SetAcquireAnswer(false);
         d.ScriptAcquireAnswers({false, true});
       },
       {{EntryPoint::PortAcquire, FALSE}, {EntryPoint::PortAcquire, TRUE}, {EntryPoint::PortAcquire, FALSE}},
       true,
       false},
      {"release refused keeps the port held",
       [](ContentionDouble& d) { d.SetReleaseAnswer(false); },
       {{EntryPoint::PortAcquire, TRUE}, {EntryPoint::PortRelease, FALSE}},
       true,
       false},
      {"open refused",
       [](ContentionDouble& d) { d.SetOpenAnswer(false); },
       {{EntryPoint::DeviceOpen, FALSE}},
       false,
       false},
      {"close refused keeps the device open",
       [](ContentionDouble& d) { d.SetCloseAnswer(false); },
       {{EntryPoint::DeviceOpen, TRUE}, {EntryPoint::DeviceClose, FALSE}},
       false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    monitor_.Reset();
    c.configure(monitor_);
    HMODULE module = LoadMonitor();
    ASSERT_NE(module, nullptr);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      BOOL result = FALSE;
      switch (step.entry) {
        case EntryPoint::PortAcquire:
          result = Lookup<PFN_PORTACQUIRE>(module, "PortAcquire")(0x21);
          break;
        case EntryPoint::PortRelease:
          result = Lookup<PFN_PORTRELEASE>(module, "PortRelease")(0x21);
          break;
        case EntryPoint::DeviceOpen:
          result = Lookup<PFN_DEVICEOPEN>(module, "DeviceOpen")(3, 3, 0, 0, 0);
          break;
        case EntryPoint::DeviceClose:
          result = Lookup<PFN_DEVICECLOSE>(module, "DeviceClose")(1);
          break;
        default:
          FAIL() << "no transfers here";
      }
      EXPECT_EQ(result, step.result) << "step " << i << ": " << doubles::EntryPointName(step.entry);
    }
    EXPECT_EQ(monitor_.Held(), c.held);
    EXPECT_EQ(monitor_.Opened(), c.opened);
    FreeLibrary(module);
  }
}

TEST_F(ContentionModules, RecordEveryCallOfTheirOwnModule) {
  TestPort port;
  port.Serve(std::vector<uint8_t>(32, 0x5A));
  monitor_.SetPort(&port);
  doubles::InstallPortArbitration(arbitration_);
  HMODULE monitor = LoadMonitor();
  HMODULE arbitration = LoadLibraryA("portarb.dll");
  ASSERT_NE(monitor, nullptr);
  ASSERT_NE(arbitration, nullptr);

  const BYTE command[4] = {0x1B, 0xA8, 0x28, 0x00};
  BYTE response[32] = {};
  DWORD written = 0;
  EXPECT_TRUE(Lookup<PFN_PORTACQUIRE>(monitor, "PortAcquire")(0x21));
  EXPECT_TRUE(Lookup<PFN_PORTACQUIRE>(arbitration, "PortAcquire")(2));
  EXPECT_TRUE(Lookup<PFN_DEVICEOPEN>(monitor, "DeviceOpen")(3, 3, 0x1234, 0x5678, 0));
  EXPECT_TRUE(Lookup<PFN_DEVICEWRITE>(monitor, "DeviceWrite")(command, sizeof(command), &written));
  // The raw read passes no count pointer.
  EXPECT_TRUE(Lookup<PFN_DEVICEREAD>(monitor, "DeviceRead")(response, sizeof(response), nullptr));
  EXPECT_TRUE(Lookup<PFN_DEVICECLOSE>(monitor, "DeviceClose")(1));
  EXPECT_TRUE(Lookup<PFN_PORTRELEASE>(monitor, "PortRelease")(0x21));
  EXPECT_TRUE(Lookup<PFN_PORTRELEASE>(arbitration, "PortRelease")(2));

  EXPECT_EQ(monitor_.DescribeCalls(),
            (std::vector<std::string>{"PortAcquire(33)", "DeviceOpen(3,3,4660,22136,0)", "DeviceWrite(4)->4",
                                      "DeviceRead(32)->32", "DeviceClose(1)", "PortRelease(33)"}));
  EXPECT_EQ(arbitration_.DescribeCalls(), (std::vector<std::string>{"PortAcquire(2)", "PortRelease(2)"}));
  EXPECT_EQ(monitor_.CallCount(EntryPoint::DeviceRead), 1u);

  doubles::CallRecord write{};
  doubles::CallRecord read{};
  ASSERT_TRUE(monitor_.Call(2, &write));
  ASSERT_TRUE(monitor_.Call(3, &read));
  EXPECT_TRUE(write.countGiven);
  EXPECT_FALSE(read.countGiven);
  EXPECT_EQ(read.transferred, 32u);
  EXPECT_EQ(response[31], 0x5A);
  EXPECT_FALSE(monitor_.Call(6, &read));
}

TEST_F(ContentionModules, TransferOnlyWhileTheDeviceIsOpenAndAPortIsSet) {
  enum class Device { NeverOpened, Open, Closed };
  struct Case {
    const char* name;
    Device device;
    bool withPort;
    bool portFails;
    BOOL result;
    DWORD count;
    DWORD error;  // when the result is FALSE
  };
  const DWORD kPortError = 1117;
  const Case cases[] = {
      {"before DeviceOpen", Device::NeverOpened, true, false, FALSE, 0, ERROR_INVALID_HANDLE},
      {"after DeviceClose", Device::Closed, true, false, FALSE, 0, ERROR_INVALID_HANDLE},
      {"without a port", Device::Open, false, false, FALSE, 0, ERROR_GEN_FAILURE},
      {"through the port", Device::Open, true, false, TRUE, 8, ERROR_SUCCESS},
      {"port failing part-way", Device::Open, true, true, FALSE, 3, kPortError},
  };
  const std::vector<uint8_t> outgoing = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<uint8_t> incoming = {9, 10, 11, 12, 13, 14, 15, 16};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestPort port;
    port.Serve(incoming);
    if (c.portFails) {
      port.FailWith(kPortError, 3);
    }
    monitor_.Reset();
    monitor_.SetPort(c.withPort ? &port : nullptr);
    HMODULE module = LoadMonitor();
    ASSERT_NE(module, nullptr);
    if (c.device != Device::NeverOpened) {
      ASSERT_TRUE(Lookup<PFN_DEVICEOPEN>(module, "DeviceOpen")(3, 3, 0, 0, 0));
    }
    if (c.device == Device::Closed) {
      ASSERT_TRUE(Lookup<PFN_DEVICECLOSE>(module, "DeviceClose")(1));
    }

    DWORD written = 99;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(Lookup<PFN_DEVICEWRITE>(module, "DeviceWrite")(outgoing.data(), 8, &written), c.result);
    EXPECT_EQ(written, c.count);
    if (!c.result) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(port.Written(), std::vector<uint8_t>(outgoing.begin(), outgoing.begin() + c.count));

    std::vector<uint8_t> buffer(8, 0);
    DWORD read = 99;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(Lookup<PFN_DEVICEREAD>(module, "DeviceRead")(buffer.data(), 8, &read), c.result);
    EXPECT_EQ(read, c.count);
    if (!c.result) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + c.count, incoming.begin()));
    FreeLibrary(module);
  }
}

}  // namespace
