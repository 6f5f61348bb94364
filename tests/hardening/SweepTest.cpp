// The sweeps: a feeder job from the transcripts, played once cleanly and then once for every way one
// thing can go wrong under it: each port call failing, cut short or answered wrongly, and each
// allocation of the library refused. Every variant is summed up in one line (the results from the
// first one that differs from the clean job, the state the job ends in, what is left after
// TerminateDll) and the lines are compared with a data file beside the transcripts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "WIASTIIO.h"
#include "hardening/AllocationHook.h"
#include "platform/control.h"
#include "platform/testing.h"
#include "support/Harness.h"
#include "support/Transcript.h"

namespace {

struct Result {
  std::string step;
  std::string result;
};

// The result of every call in a record, with the step that made it.
std::vector<Result> Results(const std::vector<std::string>& lines) {
  std::vector<Result> results;
  std::string step;
  for (const std::string& line : lines) {
    if (line.rfind("> ", 0) == 0 || line.rfind(">> ", 0) == 0) {
      step = line.substr(line.find(' ') + 1);
      step = step.substr(0, step.find(' '));
    } else if (line.rfind("= ", 0) == 0) {
      results.push_back({step, line.substr(2, line.find(' ', 2) - 2)});
    }
  }
  return results;
}

// Where a variant's record first parts from the clean job's (its line number and the line), and how many
// debug lines, wire writes and reads and module calls it holds: a changed debug line or wire byte
// shows here in words, so that a diff of the data file says which variants it touched and how.
std::string RecordDifference(const std::vector<std::string>& clean, const std::vector<std::string>& lines) {
  constexpr size_t kLineShown = 80;
  size_t first = 0;
  while (first < clean.size() && first < lines.size() && clean[first] == lines[first]) {
    ++first;
  }
  std::string text = "record as clean";
  if (first < lines.size()) {
    const std::string& line = lines[first];
    text = "record from line " + std::to_string(first + 1) + " \"" +
           (line.size() > kLineShown ? line.substr(0, kLineShown) + "..." : line) + "\"";
  } else if (first < clean.size()) {
    text = "record ends at line " + std::to_string(first + 1);
  }
  auto count = [&lines](char kind) {
    return std::to_string(
        std::count_if(lines.begin(), lines.end(), [kind](const auto& line) { return line[0] == kind; }));
  };
  return text + ", " + count('|') + " debug lines, " + count('W') + " writes, " + count('R') + " reads, " + count('M') +
         " module calls";
}

// What a variant did differently from the clean job, and what it left behind.
std::string Summary(const std::vector<std::string>& clean, const std::vector<std::string>& lines) {
  constexpr size_t kShown = 8;
  const std::vector<Result> want = Results(clean);
  const std::vector<Result> got = Results(lines);
  size_t first = 0;
  while (first < want.size() && first < got.size() && want[first].step == got[first].step &&
         want[first].result == got[first].result) {
    ++first;
  }
  std::string text;
  if (first == want.size() && first == got.size()) {
    text = "as clean";
  } else {
    text = "from call " + std::to_string(first + 1) + ":";
    for (size_t i = first; i < got.size() && i < first + kShown; ++i) {
      text += " " + got[i].step + " " + got[i].result + ";";
    }
    if (got.size() > first + kShown) {
      text += " ... " + std::to_string(got.size()) + " calls";
    }
  }
  // Every debug line and wire byte counts too (play the variant as a transcript to see them all).
  return text + " " + lines.back().substr(2) + "; " + RecordDifference(clean, lines);
}

// Handles, registry keys and module references the library still holds once TerminateDll has returned;
// the test's own device key (open for the whole program) is not the library's.
std::string Leftovers(size_t testKeys) {
  const size_t modules =
      winplat::ModuleStatistics("prtmon64.dll").references + winplat::ModuleStatistics("portarb.dll").references;
  const winplat::HandleCounts handles = winplat::OpenHandles();
  const size_t keys = winplat::OpenKeyHandles() - testKeys;
  if (modules == 0 && handles.devices == 0 && handles.events == 0 && keys == 0) {
    return "";
  }
  return "; left: " + std::to_string(modules) + " modules, " + std::to_string(handles.devices) + " devices, " +
         std::to_string(handles.events) + " events, " + std::to_string(keys) + " registry keys";
}

struct Fault {
  const char* name;
  bool readsOnly;
  scansim::Fault (*make)(uint32_t asked);
};

const Fault kFaults[] = {
    {"fail", false, [](uint32_t) { return scansim::Fault::FailFullCount(); }},
    {"fail-empty", false, [](uint32_t) { return scansim::Fault::FailZeroCount(); }},
    {"half", false, [](uint32_t asked) { return scansim::Fault::ShortCount(asked / 2); }},
    {"empty", false, [](uint32_t) { return scansim::Fault::ShortCount(0); }},
    {"start-code", true, [](uint32_t) { return scansim::Fault::CorruptStartCode(0x00); }},
    {"busy", true, [](uint32_t) { return scansim::Fault::ReplaceStatus(scansim::kStatusBusy); }},
    {"jam", true,
     [](uint32_t) { return scansim::Fault::ReplaceStatus(scansim::kStatusCheckCondition, scansim::kMsgPaperJam); }},
};

class Sweep : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(transcript::Load(transcript::PathOf(std::string(GetParam()) + ".txt"), &scenario_));
  }

  // Plays the scenario once; `before` runs once it is set up.
  template <typename Before>
  std::vector<std::string> Play(Before before) {
    transcript::Player player(scenario_);
    std::string why;
    EXPECT_TRUE(player.Setup(&why)) << why;
    before(player);
    std::vector<std::vector<std::string>> perStep;
    std::vector<std::string> lines = player.Play(&perStep);
    player.Finish();
    return lines;
  }

  transcript::Scenario scenario_;
};

TEST_P(Sweep, EveryPortCallSpoiledInTurn) {
  const std::vector<std::string> clean = Play([](transcript::Player&) {});
  const size_t testKeys = winplat::OpenKeyHandles();
  std::vector<std::string> summary;
  uint32_t call = 0;
  for (const std::string& line : clean) {
    if (line[0] != 'W' && line[0] != 'R') {
      continue;
    }
    ++call;
    const uint32_t asked = static_cast<uint32_t>(std::stoul(line.substr(2)));
    for (const Fault& fault : kFaults) {
      if (fault.readsOnly && line[0] == 'W') {
        continue;
      }
      const std::vector<std::string> lines =
          Play([&](transcript::Player& player) { player.Faults().AtCall(call, fault.make(asked)); });
      summary.push_back(std::string(1, line[0]) + std::to_string(call) + " " + fault.name + ": " +
                        Summary(clean, lines) + Leftovers(testKeys));
    }
  }
  transcript::ExpectLines(std::string("sweeps/") + GetParam() + ".faults",
                          {"Each port call of the job spoiled in turn: what the job did from the first",
                           "call that came out otherwise, how it ended, what was left."},
                          summary);
}

TEST_P(Sweep, EveryAllocationRefusedInTurn) {
  ASSERT_TRUE(allocationhook::WatchModuleOf(reinterpret_cast<const void*>(harness::TheLibrary().InitializeDll)));
  allocationhook::Arm(0);
  const std::vector<std::string> clean = Play([](transcript::Player&) {});
  allocationhook::Disarm();
  const size_t testKeys = winplat::OpenKeyHandles();
  const uint64_t made = allocationhook::Made();
  ASSERT_GT(made, 0u);

  std::vector<std::string> summary;
  for (uint64_t n = 1; n <= made; ++n) {
    const int64_t live = allocationhook::Live();
    std::vector<std::string> lines = Play([n](transcript::Player&) { allocationhook::Arm(n); });
    allocationhook::Disarm();
    std::string line = "allocation " + std::to_string(n) + ": " + Summary(clean, lines) + Leftovers(testKeys);
    if (allocationhook::Live() != live) {
      line += "; " + std::to_string(allocationhook::Live() - live) + " blocks not freed";
    }
    summary.push_back(line);
  }
  transcript::ExpectLines(std::string("sweeps/") + GetParam() + ".allocations",
                          {"Each allocation of the library in the job refused in turn: what the job did",
                           "from the first call that came out otherwise, how it ended, what was left."},
                          summary);
}

INSTANTIATE_TEST_SUITE_P(Jobs, Sweep, ::testing::Values("feeder-device-monitor", "feeder-direct"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "feeder-direct" ? "Direct" : "DeviceMonitor";
                         });

}  // namespace
