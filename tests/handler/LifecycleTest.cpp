// The handler object from inside: what its constructor leaves in every field, what its destructor and
// DeleteMemory let go of and the debug lines they write on the way.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "handler/WiaLogDouble.h"
#include "platform/control.h"
#include "support/Harness.h"

namespace handlertest {
namespace {

using Lines = std::vector<std::string>;

bool AllBytesAre(const void* p, size_t size, BYTE value) {
  const BYTE* bytes = static_cast<const BYTE*>(p);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != value) {
      return false;
    }
  }
  return true;
}

std::vector<BYTE> BytesOf(const void* p, size_t size) {
  const BYTE* bytes = static_cast<const BYTE*>(p);
  return std::vector<BYTE>(bytes, bytes + size);
}

// Builds the handler over memory full of 0xA5, so that a field the constructor forgets shows up.
class DirtyHandler {
 public:
  explicit DirtyHandler(DWORD debugFlag) {
    std::memset(storage_, 0xA5, sizeof(storage_));
    handler_ = new (storage_) CSTIIOHandler(debugFlag);
  }
  ~DirtyHandler() { handler_->~CSTIIOHandler(); }
  CSTIIOHandler& operator*() { return *handler_; }

 private:
  alignas(CSTIIOHandler) unsigned char storage_[sizeof(CSTIIOHandler)];
  CSTIIOHandler* handler_;
};

TEST(HandlerConstruction, FieldsStartAsTheHandlerExpectsThem) {
  for (DWORD flag : {0u, 1u, 7u}) {
    SCOPED_TRACE("debug flag " + std::to_string(flag));
    winplat::ClearDebugStrings();
    auto h = std::make_unique<DirtyHandler>(flag);
    CSTIIOHandler& handler = **h;

    // Only the constructor's own line, and only when debugging is on.
    EXPECT_EQ(harness::DebugLines(), flag ? Lines{"[STI]CSTIIOHandler::CSTIIOHandler"} : Lines{});

    struct Block {
      const char* name;
      const COMMAND_BLOCK* block;
      BYTE opCode;
    } const blocks[] = {
        {"m_cmdInquiry", &handler.m_cmdInquiry, 0x12},
        {"m_cmdReserveUnit", &handler.m_cmdReserveUnit, 0x16},
        {"m_cmdRead", &handler.m_cmdRead, 0x28},
        {"m_cmdReadImage", &handler.m_cmdReadImage, 0x29},
        {"m_cmdAbort", &handler.m_cmdAbort, 0x06},
        {"m_cmdReleaseUnit", &handler.m_cmdReleaseUnit, 0x17},
        {"m_cmdObjectPosition", &handler.m_cmdObjectPosition, 0x31},
    };
    for (const Block& b : blocks) {
      EXPECT_EQ(BytesOf(b.block, 4), (std::vector<BYTE>{0x1B, 0xA8, b.opCode, 0x00})) << b.name;
    }

    EXPECT_EQ(handler.m_hDevice, nullptr);
    EXPECT_EQ(handler.m_hDll, nullptr);
    EXPECT_EQ(handler.m_bPortAcquired, 0);
    EXPECT_EQ(handler.m_dwLastError, 0u);
    EXPECT_EQ(handler.m_bUnitReserved, 0);
    EXPECT_EQ(handler.m_bDeviceInfoValid, 0);
    EXPECT_EQ(handler.m_pRawDataBuffer, nullptr);
    EXPECT_EQ(handler.m_wVid, 0);
    EXPECT_EQ(handler.m_wPid, 0);
    EXPECT_TRUE(AllBytesAre(&handler.m_Overlapped, sizeof(handler.m_Overlapped), 0));
    EXPECT_TRUE(AllBytesAre(handler.m_abNotifyBuffer, sizeof(handler.m_abNotifyBuffer), 0));
    EXPECT_TRUE(AllBytesAre(&handler.m_guidEvent, sizeof(handler.m_guidEvent), 0));
    EXPECT_EQ(handler.m_pIWiaLog, nullptr);
    EXPECT_EQ(handler.m_bPortOpened, 0);
    EXPECT_TRUE(AllBytesAre(&handler.m_WiaDeviceInfo, 28, 0)) << "identification texts";
    EXPECT_EQ(handler.m_WiaDeviceInfo.pX_Resolutions, nullptr);
    EXPECT_EQ(handler.m_WiaDeviceInfo.pY_Resolutions, nullptr);
    EXPECT_EQ(handler.m_dwVendorError, 0u);
    EXPECT_EQ(handler.m_bDebugOutput, static_cast<BOOL>(flag));
    EXPECT_EQ(handler.m_pDebugArgs, nullptr);
    EXPECT_EQ(handler.m_bReserveRetry, 0);
    EXPECT_EQ(handler.m_dwImageBufferSize, 0u);
    EXPECT_TRUE(AllBytesAre(&handler.m_SWPParam, sizeof(handler.m_SWPParam), 0));
    EXPECT_EQ(handler.m_bDeviceMonitor, 1);
    EXPECT_EQ(handler.m_pfnDeviceRead, nullptr);
    EXPECT_EQ(handler.m_pfnDeviceWrite, nullptr);
  }
}

// Records and command blocks are copied in and out of these fields whole, so each keeps its width, and
// the fields keep their order.
TEST(HandlerConstruction, FieldsKeepTheirOrderAndWidths) {
  auto h = std::make_unique<DirtyHandler>(0);
  CSTIIOHandler& x = **h;
  struct Field {
    const char* name;
    const void* address;
    size_t size;
    size_t expectedSize;
  };
#define FIELD(f, width) \
  { #f, &x.f, sizeof(x.f), width }
  const Field fields[] = {
      FIELD(m_hDevice, sizeof(void*)),
      FIELD(m_hDll, sizeof(void*)),
      FIELD(m_bPortAcquired, 4),
      FIELD(m_dwLastError, 4),
      FIELD(m_bUnitReserved, 4),
      FIELD(m_bDeviceInfoValid, 4),
      FIELD(m_pRawDataBuffer, 8),
      FIELD(m_wVid, 2),
      FIELD(m_wPid, 2),
      FIELD(m_Overlapped, 32),
      FIELD(m_abNotifyBuffer, 256),
      FIELD(m_guidEvent, 16),
      FIELD(m_pIWiaLog, 8),
      FIELD(m_bPortOpened, 4),
      FIELD(m_cmdInquiry, 4),
      FIELD(m_cmdReserveUnit, 4),
      FIELD(m_cmdRead, 4),
      FIELD(m_cmdReadImage, 4),
      FIELD(m_cmdAbort, 4),
      FIELD(m_cmdReleaseUnit, 4),
      FIELD(m_cmdObjectPosition, 4),
      FIELD(m_WiaDeviceInfo, 152),
      FIELD(m_dwVendorError, 4),
      FIELD(m_szExtendedErrorText[0], 510),
      FIELD(m_dwResolutions, 32),
      FIELD(m_bDebugOutput, 4),
      FIELD(m_szDebugLine, 200),
      FIELD(m_szDebugFormat, 200),
      FIELD(m_pDebugArgs, sizeof(void*)),
      FIELD(m_bReserveRetry, 4),
      FIELD(m_dwImageBufferSize, 4),
      FIELD(m_SWPParam, 28),
      FIELD(m_SWPResponse, 32),
      FIELD(m_bDeviceMonitor, 4),
      FIELD(m_pfnDeviceRead, 8),
      FIELD(m_pfnDeviceWrite, 8),
  };
#undef FIELD
  for (size_t i = 0; i < std::size(fields); ++i) {
    EXPECT_EQ(fields[i].size, fields[i].expectedSize) << fields[i].name;
    if (i > 0) {
      auto previousEnd = static_cast<const BYTE*>(fields[i - 1].address) + fields[i - 1].size;
      EXPECT_LE(previousEnd, static_cast<const BYTE*>(fields[i].address))
          << fields[i].name << " follows " << fields[i - 1].name;
    }
  }
}

// The debug lines of the destructor that every handler writes, with `middle` after the notification
// lines, `close` after "[STI] CloseDevice()" and `release` after "[STI]CSTIIOHandler::ReleasePort".
Lines DestructorLines(const Lines& middle, const Lines& close = {},
                      const Lines& release = {"[STI] Port is Already Rreleased"}) {
  Lines lines = {"[STI]CSTIIOHandler::~CSTIIOHandler", "[STI]CSTIIOHandler::SetNotificationHandle",
                 "[STI SetNotificationHandle]Null Event Handle Pointer is received"};
  lines.insert(lines.end(), middle.begin(), middle.end());
  lines.insert(lines.end(), {"[STI]CSTIIOHandler::DeleteMemory", "[STI] CloseDevice()"});
  lines.insert(lines.end(), close.begin(), close.end());
  lines.push_back("[STI]CSTIIOHandler::ReleasePort");
  lines.insert(lines.end(), release.begin(), release.end());
  return lines;
}

class HandlerLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    UnbindWiasFormatArgs();
    winplat::ResetAll();
    harness::ResetDoubles();
  }
  void TearDown() override {
    UnbindWiasFormatArgs();
    winplat::ResetAll();
    harness::ResetDoubles();
  }
};

// What the destructor lets go of (the port handle has its own cases through the exports).
TEST_F(HandlerLifecycle, DestructorLetsGoOfEverythingItHolds) {
  RecordingLog log;
  struct Case {
    const char* name;
    std::function<void(CSTIIOHandler&)> hold;
    Lines expected;
  } const cases[] = {
      {"nothing held", [](CSTIIOHandler&) {}, DestructorLines({})},
      {"resolution lists",
       [](CSTIIOHandler& h) {
         h.m_WiaDeviceInfo.pX_Resolutions = new LONG[MAX_RESOLUTIONS];
         h.m_WiaDeviceInfo.pY_Resolutions = new LONG[MAX_RESOLUTIONS];
       },
       DestructorLines({"[STI] Memory m_WiaDeviceInfo.pX_Resolutions delete",
                        "[STI] Memory m_WiaDeviceInfo.pY_Resolutions delete"})},
      {"only the vertical list", [](CSTIIOHandler& h) { h.m_WiaDeviceInfo.pY_Resolutions = new LONG[MAX_RESOLUTIONS]; },
       DestructorLines({"[STI] Memory m_WiaDeviceInfo.pY_Resolutions delete"})},
      // The image buffer goes without a line of its own.
      {"image buffer", [](CSTIIOHandler& h) { h.m_pRawDataBuffer = new BYTE[4096]; }, DestructorLines({})},
      {"a log interface", [&](CSTIIOHandler& h) { h.SetWiaLog(&log); }, DestructorLines({})},
      {"an open device-monitor cycle", [](CSTIIOHandler& h) { ASSERT_EQ(h.LoadPortContentionDll(), S_OK); },
       DestructorLines({},
                       {"[STI] Close Handle in case Device Monitor",
                        "[STI] Success Closing Handle of USBSCAN in case of Device Monitor"},
                       {"[STI]Port Release Success", "[STI]Port Contention DLL file Freed"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    harness::ResetDoubles();
    log = RecordingLog();
    auto handler = std::make_unique<CSTIIOHandler>(TRUE);
    c.hold(*handler);
    harness::ClearDebugLines();
    handler.reset();

    EXPECT_EQ(harness::DebugLines(), c.expected) << harness::Show(harness::DebugLines());
    EXPECT_FALSE(harness::DeviceMonitor().Held());
    EXPECT_FALSE(harness::DeviceMonitor().Opened());
    EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").references, 0u);
    EXPECT_EQ(log.references, 0u) << "the handler's reference on the log is given back";
  }
}

TEST_F(HandlerLifecycle, DeleteMemoryEndsThePortCycleAndAlwaysSucceeds) {
  const Lines opening = {"[STI]CSTIIOHandler::DeleteMemory", "[STI] CloseDevice()"};
  const Lines monitorClose = {"[STI] Close Handle in case Device Monitor",
                              "[STI] Success Closing Handle of USBSCAN in case of Device Monitor"};
  auto concat = [](std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) {
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  };
  struct Case {
    const char* name;
    bool deviceMonitor;
    bool openCycle;
    bool releaseGranted;
    bool imageBuffer;
    Lines expected;
    BOOL acquiredAfter;
  } const cases[] = {
      {"nothing held", true, false, true, false,
       concat({opening, {"[STI]CSTIIOHandler::ReleasePort", "[STI] Port is Already Rreleased"}}), 0},
      {"an image buffer", true, false, true, true,
       concat({opening, {"[STI]CSTIIOHandler::ReleasePort", "[STI] Port is Already Rreleased"}}), 0},
      {"device-monitor cycle", true, true, true, false,
       concat(
           {opening,
            monitorClose,
            {"[STI]CSTIIOHandler::ReleasePort", "[STI]Port Release Success", "[STI]Port Contention DLL file Freed"}}),
       0},
      {"port-arbitration cycle", false, true, true, false,
       concat(
           {opening,
            {"[STI]CSTIIOHandler::ReleasePort", "[STI]Port Release Success", "[STI]Port Contention DLL file Freed"}}),
       0},
      {"release refused", true, true, false, true,
       concat({opening, monitorClose, {"[STI]CSTIIOHandler::ReleasePort", "[STI]Port Contention DLL file Freed"}}), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    harness::ResetDoubles();
    winplat::ResetModuleStatistics();
    CSTIIOHandler handler(TRUE);
    handler.m_bDeviceMonitor = c.deviceMonitor;
    if (c.openCycle) {
      ASSERT_EQ(handler.LoadPortContentionDll(), S_OK);
    }
    if (c.imageBuffer) {
      handler.m_pRawDataBuffer = new BYTE[1024];
    }
    const char* module = c.deviceMonitor ? "prtmon64.dll" : "portarb.dll";
    doubles::ContentionDouble& double_ = c.deviceMonitor ? harness::DeviceMonitor() : harness::PortArbitration();
    double_.SetReleaseAnswer(c.releaseGranted);
    double_.ClearCalls();
    harness::ClearDebugLines();

    EXPECT_EQ(handler.DeleteMemory(), S_OK);
    EXPECT_EQ(harness::DebugLines(), c.expected) << harness::Show(harness::DebugLines());
    EXPECT_EQ(handler.m_pRawDataBuffer, nullptr);
    EXPECT_EQ(handler.m_hDll, nullptr);
    EXPECT_EQ(handler.m_bPortAcquired, c.acquiredAfter);
    winplat::ModuleCounts counts = winplat::ModuleStatistics(module);
    EXPECT_EQ(counts.loads, counts.frees) << module;
    EXPECT_EQ(counts.references, 0u) << module;
    if (c.openCycle) {
      const std::string mode = c.deviceMonitor ? "33" : "2";
      Lines calls = double_.DescribeCalls();
      Lines expectedCalls =
          c.deviceMonitor ? Lines{"DeviceClose(1)", "PortRelease(" + mode + ")"} : Lines{"PortRelease(" + mode + ")"};
      EXPECT_EQ(calls, expectedCalls);
    }
  }
}

}  // namespace
}  // namespace handlertest
