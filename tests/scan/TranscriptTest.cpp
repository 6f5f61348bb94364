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

std::string ScenarioName(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Transcript, ::testing::ValuesIn(kScenarios), ScenarioName);

}  // namespace
