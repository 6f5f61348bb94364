// Golden transcripts: each file in tests/transcripts holds one scenario, its steps and what they did
// (see support/Transcript.cpp for the format). Each is played again through the exports, on Linux and
// under Wine, and must come out line for line as recorded. WIASTIIO_RERECORD=1 writes them anew.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/Transcript.h"

namespace {

// The scenarios, each a file tests/transcripts/<name>.txt.
const char* const kScenarios[] = {
    "flatbed-device-monitor",
    "flatbed-direct",
    "feeder-device-monitor",
    "feeder-direct",
    "busy-retry",
    "busy-resource",
    "warming-up",
    "jam-on-feed",
    "jam-mid-page",
    "paper-empty",
    "short-transfer",
    "refused-reads",
    "device-info",
    "device-info-flatbed-only",
    "status-and-diagnostic",
    "raw-io-device-monitor",
    "raw-io-direct",
    "notification",
    "exports-without-handler",
    "port-refused",
    "transfer-failures",
    "read-response-out-size-0",
    "mid-scan-status",
    "mid-scan-diagnostic",
    "mid-scan-device-info-cached",
    "mid-scan-terminate",
    "mid-scan-initialize-again",
    "set-window-empty-answer",
    "registry-ids-missing",
    "registry-ids-empty",
    "registry-device-monitor-0x100",
    "registry-vid-text",
    "registry-no-device-data",
    "registry-too-long",
    "port-module-refusals",
    "release-and-abort-answers",
    "module-lacks-release",
    "module-lacks-transfers",
    "module-lacks-acquire",
    "direct-other-device",
    "direct-other-vendor",
    "object-position-answers",
};

class Transcript : public ::testing::TestWithParam<const char*> {};

TEST_P(Transcript, PlaysAsRecorded) {
  const std::string path = transcript::PathOf(std::string(GetParam()) + ".txt");
  transcript::Scenario scenario;
  ASSERT_TRUE(transcript::Load(path, &scenario)) << "cannot open " << path;
  ASSERT_FALSE(scenario.steps.empty()) << path << " has no step";

  transcript::Player player(scenario);
  std::string why;
  if (!player.Setup(&why)) {
    GTEST_SKIP() << why;
  }
  std::vector<std::vector<std::string>> perStep;
  const std::vector<std::string> actual = player.Play(&perStep);

  if (actual == scenario.expected) {
    return;
  }
  if (transcript::Rerecording()) {
    transcript::Write(path, scenario, perStep);
  } else {
    ADD_FAILURE() << path << " differs (- the file, + now; WIASTIIO_RERECORD=1 writes it anew):\n"
                  << transcript::Difference(scenario.expected, scenario.expectedLineNumbers, actual);
  }
}

// The device record for scanners that report other identities, one line each, against a data file:
// the paper sizes the library snaps to (at both ends of each window), the feeder states, resolution
// sets, texts and firmware numbers.
TEST(DeviceRecord, FollowsWhatTheScannerReports) {
  const char* const identities[] = {
      "bed_width=9864",
      "bed_width=9865",
      "bed_width=10055",
      "bed_width=10056",
      "bed_width=10104",
      "bed_width=10295",
      "bed_width=10296",
      "bed_width=14135",
      "bed_width=14136",
      "bed_width=4294967",
      "bed_width=4294968",
      "flatbed_max_length=13944 feeder_max_length=16704",
      "flatbed_max_length=13945 feeder_max_length=16705",
      "flatbed_max_length=14135 feeder_max_length=16895",
      "flatbed_max_length=14136 feeder_max_length=16896",
      "flatbed_max_length=19704 feeder_max_length=19705",
      "flatbed_max_length=19895 feeder_max_length=19896",
      "doc_status=0",
      "doc_status=2",
      "doc_status=3",
      "has_feeder=0",
      "resolutions=0x0000",
      "resolutions=0x0001",
      "resolutions=0x8000",
      "resolutions=0xFFFF",
      "composition=0xFF rgb_order=0x0102",
      "vendor=ABCDEFGH product=ABCDEFGHIJKLMNOPQ",
      "vendor=AB product=",
      "firmware_minor=0",
      "firmware_minor=10",
      "firmware_minor=255",
  };
  std::vector<std::string> lines;
  for (const char* identity : identities) {
    transcript::Scenario scenario;
    scenario.setup = {"route monitor", std::string("scanner ") + identity};
    scenario.steps = {{{}, "InitializeDll 1"}, {{}, "Initialize"}, {{}, "GET_DEVICE_INFO"}, {{}, "TerminateDll"}};
    transcript::Player player(scenario);
    std::string why;
    ASSERT_TRUE(player.Setup(&why)) << why;
    std::vector<std::vector<std::string>> perStep;
    player.Play(&perStep);
    lines.push_back(std::string(identity) + " " + perStep[2].back());
  }
  transcript::ExpectLines("sweeps/device-record", {"GET_DEVICE_INFO for each identity the scanner reports."}, lines);
}

std::string ScenarioName(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Transcript, ::testing::ValuesIn(kScenarios), ScenarioName);

}  // namespace
