// The allocation-failure sweep: a whole feeder job through the real shared library, first counting
// every allocation the library's own code makes, then once per allocation with that one refused. Each
// refusal must come back as E_OUTOFMEMORY from the call that needed the memory, leave the library able
// to take the call again (the minidriver retries once), and the scan must then finish with the right
// pages. Nothing the library allocated may outlive TerminateDll.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "WIASTIIO.h"
#include "hardening/AllocationHook.h"
#include "hardening/FeederJob.h"
#include "platform/control.h"
#include "protocol/Protocol.h"
#include "support/Harness.h"

namespace {

using feederjob::JobRecord;

constexpr HRESULT kNoHandler = static_cast<HRESULT>(0x8000FFFFL);  // E_UNEXPECTED

// The calls that may allocate, and what each gives when its allocation is refused: the handler in
// InitializeDll (no handler is made), the two resolution lists of the first GET_DEVICE_INFO (nothing
// is cached), the image buffer of every block in ESC_READ_IMAGE (the announced block is kept).
constexpr DWORD kInitializeDll = 0;
struct Allocator {
  DWORD call;
  const char* name;
  HRESULT refused;
};
const Allocator kAllocators[] = {
    {kInitializeDll, "InitializeDll", E_OUTOFMEMORY},
    {GET_DEVICE_INFO, "GET_DEVICE_INFO", E_OUTOFMEMORY},
    {ESC_READ_IMAGE, "ESC_READ_IMAGE", E_OUTOFMEMORY},
};

const Allocator* AllocatorOf(DWORD call) {
  for (const Allocator& allocator : kAllocators) {
    if (allocator.call == call) {
      return &allocator;
    }
  }
  return nullptr;
}

size_t CountOf(const std::vector<uint8_t>& opcodes, uint8_t opcode) {
  return static_cast<size_t>(std::count(opcodes.begin(), opcodes.end(), opcode));
}

class AllocationSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(library_.InitializeDll, nullptr);
    uintptr_t begin = 0;
    uintptr_t end = 0;
    ASSERT_TRUE(allocationhook::CodeRangeOf(reinterpret_cast<const void*>(library_.InitializeDll), &begin, &end));
    allocationhook::WatchCallersIn(begin, end);
  }

  void TearDown() override {
    allocationhook::Disarm();
    library_.TerminateDll();
    key_.reset();
    winplat::ResetAll();
    harness::ResetDoubles();
  }

  void Fresh() {
    key_.reset();
    winplat::ResetAll();
    harness::ResetDoubles();
    sim_ = std::make_unique<scansim::ScannerSimulator>(feederjob::ScannerConfig());
    harness::DeviceMonitor().SetPort(sim_.get());
    key_ = std::make_unique<harness::DeviceKey>();
    key_->SetIds(feederjob::kVid, feederjob::kPid, true);
    harness::ClearDebugLines();
  }

  JobRecord Job() {
    feederjob::JobOptions options;
    options.probe = [] { return allocationhook::Made(); };
    options.retryOutOfMemory = true;
    return feederjob::RunJob(library_, *sim_, options);
  }

  const harness::Library& library_ = harness::TheLibrary();
  harness::DeviceControl control_;
  std::unique_ptr<harness::DeviceKey> key_;
  std::unique_ptr<scansim::ScannerSimulator> sim_;
};

TEST_F(AllocationSweep, EveryAllocationOfAFeederJobFailsInTurn) {
  // The count: which call makes each of the library's allocations.
  Fresh();
  const int64_t live = allocationhook::Live();
  allocationhook::Arm(0);
  ASSERT_EQ(library_.InitializeDll(TRUE), S_OK);
  const uint64_t madeByInitializeDll = allocationhook::Made();
  ASSERT_EQ(library_.Initialize(&control_, 0, key_->Parameters()), S_OK);
  const uint64_t beforeJob = allocationhook::Made();
  const JobRecord clean = Job();
  ASSERT_TRUE(clean.completed);
  ASSERT_EQ(clean.pagesRight, feederjob::kSheets);
  const uint64_t afterJob = allocationhook::Made();
  EXPECT_EQ(library_.DeleteMemory(), S_OK);
  EXPECT_EQ(library_.TerminateDll(), S_OK);
  allocationhook::Disarm();
  const uint64_t total = allocationhook::Made();
  EXPECT_EQ(allocationhook::Live(), live) << "the library's blocks outlive TerminateDll";
  // Initialize, DeleteMemory and TerminateDll allocate nothing; the handler is made in InitializeDll
  // (counted only because the call came from the library's own code).
  ASSERT_EQ(madeByInitializeDll, 1u);
  ASSERT_EQ(beforeJob, madeByInitializeDll);
  ASSERT_EQ(total, afterJob);

  std::vector<DWORD> callOf(total + 1, kInitializeDll);
  for (uint64_t n = beforeJob + 1; n <= total; ++n) {
    const size_t step = feederjob::StepOf(clean, n);
    ASSERT_LT(step, clean.steps.size());
    callOf[n] = clean.steps[step].code;
  }
  // Two resolution lists once, one image buffer per block.
  EXPECT_EQ(std::count(callOf.begin() + 1, callOf.end(), static_cast<DWORD>(GET_DEVICE_INFO)), 2);
  const auto blocks = std::count_if(clean.steps.begin(), clean.steps.end(),
                                    [](const feederjob::Step& s) { return s.code == ESC_READ_IMAGE; });
  EXPECT_EQ(std::count(callOf.begin() + 1, callOf.end(), static_cast<DWORD>(ESC_READ_IMAGE)), blocks);

  uint64_t refused = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    const Allocator* allocator = AllocatorOf(callOf[n]);
    ASSERT_NE(allocator, nullptr) << "allocation " << n << " in escape " << std::hex << callOf[n];
    SCOPED_TRACE(::testing::Message() << "allocation " << n << " of " << total << ", in " << allocator->name);

    Fresh();
    const int64_t liveBefore = allocationhook::Live();
    allocationhook::Arm(n);
    HRESULT hr = library_.InitializeDll(TRUE);
    if (allocator->call == kInitializeDll) {
      EXPECT_EQ(hr, allocator->refused);
      SCAN_DEVICE_INFO info = {};
      EXPECT_EQ(library_.STIEscape(GET_DEVICE_INFO, nullptr, 0, &info, sizeof(info), nullptr), kNoHandler)
          << "a handler exists after InitializeDll failed";
      EXPECT_EQ(library_.TerminateDll(), S_OK);
      hr = library_.InitializeDll(TRUE);
    }
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(library_.Initialize(&control_, 0, key_->Parameters()), S_OK);
    const JobRecord job = Job();
    EXPECT_EQ(library_.DeleteMemory(), S_OK);
    EXPECT_EQ(library_.TerminateDll(), S_OK);
    allocationhook::Disarm();
    refused += allocationhook::Failed();

    EXPECT_EQ(allocationhook::Failed(), 1u);
    EXPECT_EQ(allocationhook::Live(), liveBefore) << "leak";
    EXPECT_TRUE(job.completed);
    EXPECT_EQ(job.pagesRight, feederjob::kSheets);
    EXPECT_EQ(job.pagesWrong, 0u);
    EXPECT_FALSE(harness::DeviceMonitor().Held());
    EXPECT_EQ(winplat::ModuleStatistics("prtmon64.dll").references, 0u);

    const auto refusedStep = std::find_if(job.steps.begin(), job.steps.end(),
                                          [](const feederjob::Step& s) { return s.hr == E_OUTOFMEMORY; });
    const std::vector<uint8_t> commands = sim_->CommandOpcodes();
    if (allocator->call == kInitializeDll) {
      EXPECT_EQ(refusedStep, job.steps.end());
      continue;
    }
    ASSERT_NE(refusedStep, job.steps.end());
    EXPECT_EQ(refusedStep->code, allocator->call);
    EXPECT_EQ(refusedStep->hr, allocator->refused);
    ASSERT_NE(refusedStep + 1, job.steps.end());
    EXPECT_EQ((refusedStep + 1)->code, allocator->call) << "the retry";
    EXPECT_EQ((refusedStep + 1)->hr, S_OK) << "the retry";
    if (allocator->call == GET_DEVICE_INFO) {
      // The failed answer was not cached: the retry asked the scanner again.
      EXPECT_EQ(CountOf(commands, scansim::kOpInquiry), 2u);
    } else {
      // The refused block was not asked for: every block crossed the wire once, and the pages came out
      // whole, so the retry fetched the block the read had announced.
      EXPECT_EQ(CountOf(commands, scansim::kOpReadImage), static_cast<size_t>(blocks));
    }
  }
  RecordProperty("allocations_failed", static_cast<int>(refused));
  std::cout << "[ allocation sweep ] " << refused << " of " << total << " library allocations failed in turn\n";
}

}  // namespace
