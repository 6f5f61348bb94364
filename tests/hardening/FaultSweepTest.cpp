// The fault sweep: a whole feeder job on each route, run once cleanly and then once for every port call
// it makes and every way that call can go wrong. The escape that meets the fault must return what the
// command's exchange rules give for that fault, the minidriver then stops and cleans up as it does
// (release, DeleteMemory, TerminateDll), and afterwards nothing may be left: no port grant, no loaded
// contention module, no image buffer, no open device handle. A fresh handler must then scan again.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "WIASTIIO.h"
#include "doubles/linux/UsbscanDevice.h"
#include "handler/STIIOHandler.h"
#include "hardening/FeederJob.h"
#include "platform/control.h"
#include "simulator/FaultyPort.h"
#include "support/Harness.h"

namespace {

using feederjob::JobRecord;
using feederjob::Step;
using scansim::Fault;

enum class Route { kDeviceMonitor, kDirect };

const char* RouteName(Route route) {
  return route == Route::kDeviceMonitor ? "device monitor" : "direct";
}

// ---- What each fault must give ------------------------------------------------------------------------

enum Kind { kFailFullCount, kFailZeroCount, kShortCount, kEmptyCount, kBadStartCode, kBusyAnswer, kJamAnswer, kKinds };
constexpr int kWriteKinds = 4;  // the last three spoil the bytes of an answer, so only reads have them

const char* const kKindNames[kKinds] = {
    "error with full count", "error with zero count", "short count", "success with nothing moved",
    "wrong start code",      "busy answer",           "jam answer"};

enum class PortAfter { kKept, kReleased };
constexpr PortAfter K = PortAfter::kKept;
constexpr PortAfter R = PortAfter::kReleased;

// A result that stands for "what the clean job got": the bytes the command judges arrived unspoiled.
constexpr HRESULT kAsClean = 0x7FFFFFFF;
// The fault does not apply to this read: image data carries no start code or status to spoil.
constexpr HRESULT kNotApplied = 0x7FFFFFFE;

struct Outcome {
  HRESULT hr;
  PortAfter port;
};

// Each command's result, and whether the port is still granted after the escape, for a fault on its
// write and on the read of its answer. Read off the exchange rules of each command:
//  - a call that fails with the full count moved: the command's result for a failed call;
//  - a call that fails having moved nothing, or succeeds moving half or nothing: a short transfer
//    where the command checks counts (E_FAIL, and reserve, read and read image give the port back
//    themselves). Otherwise a failing call gives the failed-call result; a half write reaches the
//    scanner as a cut-off command, which it answers with a check condition without condition bits;
//    an empty write reaches it as no command at all, so the read that follows finds no answer and
//    fails; an answer shorter than its fixed size is not judged but fails the command (E_FAIL);
//  - a wrong start code, a busy status, a check condition with the jam bit: the command's response
//    table (set window parameter does not test the start code; release does not refine by bits);
//  - E_FAIL from reserve, set window parameter or object position makes the dispatcher give the port
//    back; the inquiry always ends its own port cycle and the release escape always ends the scan's.
struct CommandOutcomes {
  uint8_t opcode;
  const char* name;
  Outcome write[kWriteKinds];
  Outcome read[kKinds];
};

const CommandOutcomes kOutcomes[] = {
    {OP_INQUIRY,
     "inquiry",
     {{E_NOTIMPL, R}, {E_FAIL, R}, {E_FAIL, R}, {E_FAIL, R}},
     {{E_NOTIMPL, R}, {E_FAIL, R}, {E_FAIL, R}, {E_FAIL, R}, {E_FAIL, R}, {E_FAIL, R}, {E_FAIL, R}}},
    {OP_RESERVE_UNIT,
     "reserve unit",
     {{E_NOTIMPL, K}, {E_FAIL, R}, {E_FAIL, R}, {E_FAIL, R}},
     {{E_NOTIMPL, K},
      {E_FAIL, R},
      {E_FAIL, R},
      {E_FAIL, R},
      {E_FAIL, R},
      {WIA_ERROR_BUSY, K},
      {WIA_ERROR_PAPER_JAM, K}}},
    {OP_SET_WINDOW,
     "set window parameter",
     {{E_FAIL, R}, {E_FAIL, R}, {WIA_ERROR_GENERAL_ERROR, K}, {E_FAIL, R}},
     {{E_FAIL, R},
      {E_FAIL, R},
      {E_FAIL, R},
      {E_FAIL, R},
      {kAsClean, K},
      {WIA_ERROR_BUSY, K},
      {WIA_ERROR_PAPER_JAM, K}}},
    {OP_OBJECT_POSITION,
     "object position",
     {{E_NOTIMPL, K}, {E_NOTIMPL, K}, {E_FAIL, R}, {E_NOTIMPL, K}},
     {{E_NOTIMPL, K},
      {E_NOTIMPL, K},
      {E_FAIL, R},
      {E_FAIL, R},
      {E_FAIL, R},
      {WIA_ERROR_BUSY, K},
      {WIA_ERROR_PAPER_JAM, K}}},
    {OP_READ,
     "read",
     {{E_FAIL, K}, {E_FAIL, R}, {E_FAIL, R}, {E_FAIL, R}},
     {{E_FAIL, K},
      {E_FAIL, R},
      {E_FAIL, R},
      {E_FAIL, R},
      {WIA_ERROR_GENERAL_ERROR, K},
      {WIA_ERROR_BUSY, K},
      {WIA_ERROR_PAPER_JAM, K}}},
    {OP_READ_IMAGE,
     "read image",
     {{E_NOTIMPL, K}, {E_FAIL, R}, {E_FAIL, R}, {E_FAIL, R}},
     {{E_NOTIMPL, K}, {E_FAIL, R}, {E_FAIL, R}, {E_FAIL, R}, {kNotApplied, K}, {kNotApplied, K}, {kNotApplied, K}}},
    {OP_RELEASE_UNIT,
     "release unit",
     {{E_NOTIMPL, R}, {E_NOTIMPL, R}, {E_FAIL, R}, {E_NOTIMPL, R}},
     {{E_NOTIMPL, R}, {E_NOTIMPL, R}, {E_FAIL, R}, {E_FAIL, R}, {E_NOTIMPL, R}, {WIA_ERROR_BUSY, R}, {E_FAIL, R}}},
};

const CommandOutcomes* OutcomesOf(uint8_t opcode) {
  for (const CommandOutcomes& command : kOutcomes) {
    if (command.opcode == opcode) {
      return &command;
    }
  }
  return nullptr;
}

Fault MakeFault(Kind kind, uint32_t length) {
  switch (kind) {
    case kFailFullCount:
      return Fault::FailFullCount();
    case kFailZeroCount:
      return Fault::FailZeroCount();
    case kShortCount:
      return Fault::ShortCount(length / 2);
    case kEmptyCount:
      return Fault::ShortCount(0);
    case kBadStartCode:
      return Fault::CorruptStartCode(0x00);
    case kBusyAnswer:
      return Fault::ReplaceStatus(scansim::kStatusBusy, 0);
    case kJamAnswer:
    default:
      return Fault::ReplaceStatus(scansim::kStatusCheckCondition, scansim::kMsgPaperJam);
  }
}

// ---- The job through the handler's own exports ------------------------------------------------------

harness::Library StaticExports() {
  harness::Library library;
  library.InitializeDll = &::InitializeDll;
  library.TerminateDll = &::TerminateDll;
  library.DeleteMemory = &::DeleteMemory;
  library.Initialize = &::Initialize;
  library.STIEscape = &::STIEscape;
  return library;
}

// One port call of the clean job, as the scanner saw it.
struct Call {
  bool write;
  uint8_t opcode;
  uint32_t length;
};

class FaultSweep : public ::testing::Test {
 protected:
  void TearDown() override {
    ::TerminateDll();
    key_.reset();
    winplat::ResetAll();
    harness::ResetDoubles();
  }

  // A process that has just started, with a scanner holding two sheets behind both routes.
  void Fresh(Route route) {
    ::TerminateDll();
    key_.reset();
    winplat::ResetAll();
    harness::ResetDoubles();
    sim_ = std::make_unique<scansim::ScannerSimulator>(feederjob::ScannerConfig());
    faults_ = std::make_unique<scansim::FaultyPort>(*sim_);
    harness::DeviceMonitor().SetPort(faults_.get());
    doubles::PlugUsbscan(0, std::make_shared<doubles::UsbscanDevice>(faults_.get(), feederjob::kVid, feederjob::kPid));
    key_ = std::make_unique<harness::DeviceKey>();
    key_->SetIds(feederjob::kVid, feederjob::kPid, route == Route::kDeviceMonitor);
    route_ = route;
  }

  doubles::ContentionDouble& Module() const {
    return route_ == Route::kDeviceMonitor ? harness::DeviceMonitor() : harness::PortArbitration();
  }

  // InitializeDll and Initialize as the minidriver calls them when the service starts the device.
  ::testing::AssertionResult Start() {
    harness::ClearDebugLines();
    if (library_.InitializeDll(TRUE) != S_OK) {
      return ::testing::AssertionFailure() << "InitializeDll";
    }
    const HRESULT hr = library_.Initialize(&control_, 0, key_->Parameters());
    if (hr != S_OK) {
      return ::testing::AssertionFailure() << "Initialize returned " << std::hex << hr;
    }
    return ::testing::AssertionSuccess();
  }

  JobRecord Job() {
    feederjob::JobOptions options;
    options.probe = [this] { return faults_->Calls(); };
    options.portHeld = [this] { return Module().Held(); };
    return feederjob::RunJob(library_, *sim_, options);
  }

  // The minidriver's way out after a job, and everything the library must have let go of by then.
  void CleanUpAndCheck(const JobRecord& job) {
    if (!job.completed) {
      library_.STIEscape(ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, nullptr);
    }
    ASSERT_NE(g_pSTIIOHandler, nullptr);
    EXPECT_EQ(g_pSTIIOHandler->m_pRawDataBuffer, nullptr) << "image buffer held between escapes";
    EXPECT_EQ(library_.DeleteMemory(), S_OK);
    EXPECT_EQ(g_pSTIIOHandler->m_pRawDataBuffer, nullptr);
    EXPECT_FALSE(harness::DeviceMonitor().Held()) << "device monitor still grants the port";
    EXPECT_FALSE(harness::DeviceMonitor().Opened()) << "device monitor still has the device open";
    EXPECT_FALSE(harness::PortArbitration().Held()) << "port arbitration still grants the port";
    EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").references, 0u);
    EXPECT_EQ(winplat::ModuleStatistics("portarb.dll").references, 0u);
    EXPECT_EQ(library_.TerminateDll(), S_OK);
    EXPECT_EQ(g_pSTIIOHandler, nullptr);
    EXPECT_EQ(winplat::OpenHandles().devices, 0u) << "device handle left open";
    EXPECT_TRUE(NoTransferOutsideAnOpenDevice()) << ::testing::PrintToString(harness::DeviceMonitor().DescribeCalls());
  }

  // The device monitor's read and write entry points are only valid between its DeviceOpen and the
  // end of that port cycle, after which the library frees the module: no transfer may fall outside.
  static bool NoTransferOutsideAnOpenDevice() {
    bool open = false;
    for (const doubles::CallRecord& call : harness::DeviceMonitor().Calls()) {
      switch (call.entry) {
        case doubles::EntryPoint::DeviceOpen:
          open = open || call.result;
          break;
        case doubles::EntryPoint::DeviceClose:
        case doubles::EntryPoint::PortRelease:
          open = open && !call.result;
          break;
        case doubles::EntryPoint::DeviceRead:
        case doubles::EntryPoint::DeviceWrite:
          if (!open) {
            return false;
          }
          break;
        default:
          break;
      }
    }
    return true;
  }

  harness::Library library_ = StaticExports();
  harness::DeviceControl control_;
  std::unique_ptr<harness::DeviceKey> key_;
  std::unique_ptr<scansim::ScannerSimulator> sim_;
  std::unique_ptr<scansim::FaultyPort> faults_;
  Route route_ = Route::kDeviceMonitor;
};

bool SameResults(const JobRecord& a, const JobRecord& b, size_t count) {
  if (a.steps.size() < count || b.steps.size() < count) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    if (a.steps[i].code != b.steps[i].code || a.steps[i].hr != b.steps[i].hr) {
      return false;
    }
  }
  return true;
}

std::string Describe(const JobRecord& job) {
  std::string text;
  char item[40];
  for (const Step& step : job.steps) {
    std::snprintf(item, sizeof(item), "%04X->%08X ", static_cast<unsigned>(step.code), static_cast<unsigned>(step.hr));
    text += item;
  }
  return text;
}

TEST_F(FaultSweep, EveryPortCallOfAFeederJobFailsInEveryWay) {
  uint64_t injected = 0;
  for (Route route : {Route::kDeviceMonitor, Route::kDirect}) {
    SCOPED_TRACE(RouteName(route));

    // The clean job: its escapes, their results and which port calls each made.
    Fresh(route);
    ASSERT_TRUE(Start());
    const JobRecord clean = Job();
    ASSERT_TRUE(clean.completed) << Describe(clean);
    ASSERT_EQ(clean.pagesRight, feederjob::kSheets);
    ASSERT_EQ(clean.pagesWrong, 0u);
    ASSERT_EQ(clean.steps.back().code, static_cast<DWORD>(ESC_RELEASE_UNIT));
    ASSERT_EQ(clean.steps[clean.steps.size() - 2].hr, ADF_NO_DOCUMENT) << "the job ends on an empty feeder";
    const uint32_t total = faults_->Calls();
    ASSERT_EQ(sim_->Log().size(), total) << "every port call reached the scanner";
    std::vector<Call> calls;
    for (const scansim::WireRecord& record : sim_->Log()) {
      calls.push_back({record.direction == scansim::WireRecord::Direction::kCommand, record.opcode, record.length});
    }
    CleanUpAndCheck(clean);

    for (uint32_t k = 1; k <= total; ++k) {
      const Call& call = calls[k - 1];
      const CommandOutcomes* command = OutcomesOf(call.opcode);
      ASSERT_NE(command, nullptr) << "call " << k << " opcode " << int{call.opcode};
      const size_t faulted = feederjob::StepOf(clean, k);
      ASSERT_LT(faulted, clean.steps.size());
      const HRESULT cleanResult = clean.steps[faulted].hr;

      for (int kind = 0; kind < (call.write ? kWriteKinds : kKinds); ++kind) {
        const Outcome expected = call.write ? command->write[kind] : command->read[kind];
        if (expected.hr == kNotApplied) {
          continue;
        }
        const HRESULT expectedResult = expected.hr == kAsClean ? cleanResult : expected.hr;
        SCOPED_TRACE(::testing::Message() << "call " << k << ": " << (call.write ? "write of " : "read of answer to ")
                                          << command->name << ", " << kKindNames[kind]);

        Fresh(route);
        ASSERT_TRUE(Start());
        faults_->AtCall(k, MakeFault(static_cast<Kind>(kind), call.length));
        const JobRecord job = Job();
        injected += faults_->FaultsApplied();
        EXPECT_EQ(faults_->FaultsApplied(), 1u);

        ASSERT_GT(job.steps.size(), faulted) << Describe(job);
        EXPECT_TRUE(SameResults(job, clean, faulted)) << Describe(job);
        EXPECT_EQ(job.steps[faulted].code, clean.steps[faulted].code);
        EXPECT_EQ(job.steps[faulted].hr, expectedResult)
            << std::hex << "got 0x" << job.steps[faulted].hr << ", expected 0x" << expectedResult;
        EXPECT_EQ(job.steps[faulted].portHeld, expected.port == PortAfter::kKept);
        if (expectedResult == cleanResult) {
          // The fault touched nothing the command looks at: the job goes on to the same end.
          EXPECT_TRUE(job.completed) << Describe(job);
          EXPECT_TRUE(SameResults(job, clean, clean.steps.size())) << Describe(job);
          EXPECT_EQ(job.pagesRight, feederjob::kSheets);
        } else {
          EXPECT_FALSE(job.completed);
          EXPECT_EQ(job.steps.size(), faulted + 1) << "the minidriver stops at the first failure";
        }
        CleanUpAndCheck(job);

        // A new handler scans the same scanner from the start, with the feeder filled again.
        faults_->ClearFaults();
        sim_->LoadFeeder(feederjob::kSheets);
        ASSERT_TRUE(Start());
        const JobRecord again = Job();
        EXPECT_TRUE(again.completed) << Describe(again);
        EXPECT_TRUE(SameResults(again, clean, clean.steps.size())) << Describe(again);
        EXPECT_EQ(again.pagesRight, feederjob::kSheets);
        EXPECT_EQ(again.pagesWrong, 0u);
        CleanUpAndCheck(again);
        if (HasFailure()) {
          return;
        }
      }
    }
  }
  RecordProperty("faults_injected", static_cast<int>(injected));
  std::cout << "[ fault sweep ] " << injected << " faults injected over both routes\n";
}

}  // namespace
