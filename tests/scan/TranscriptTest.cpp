// Golden transcripts: each file in tests/transcripts holds one scenario, its steps and what they did
// (see support/Transcript.cpp for the format). Each is played again through the exports, on Linux and
// under Wine, and must come out line for line as recorded. WIASTIIO_RERECORD=1 writes them anew.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
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
    "busy-retry-status-poll",
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
    "window-bounds",
    "read-refused-record",
    "small-block",
    "registry-id-forms",
    "direct-zero-ids",
    "uninitialized-device-info",
    "teardown-port-refused",
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
    "flatbed-only-windows",
    "inquiry-unused-bytes",
    "direct-initialize-fails-after-open",
    "teardown-after-refused-release",
    "judged-answer-lengths",
    "direct-vid-not-stated",
    "texts-end-at-their-terminator",
    "mid-scan-device-info-first",
    "route-switch-keeps-the-open-flag",
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

// The device record for scanners that report other identities: each line of the data file names the
// scanner's settings (the paper sizes at both ends of each window the library snaps to, feeder states,
// resolution sets, texts, firmware numbers) and then holds the record GET_DEVICE_INFO hands out.
TEST(DeviceRecord, FollowsWhatTheScannerReports) {
  std::ifstream file(transcript::PathOf("sweeps/device-record"), std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) {
    const size_t end = line.find(" = ");
    if (line.empty() || line[0] == '#' || end == std::string::npos) {
      continue;
    }
    const std::string identity = line.substr(0, end);
    transcript::Scenario scenario;
    scenario.setup = {"route monitor", "scanner " + identity};
    scenario.steps = {{{}, "InitializeDll 1"}, {{}, "Initialize"}, {{}, "GET_DEVICE_INFO"}, {{}, "TerminateDll"}};
    transcript::Player player(scenario);
    std::string why;
    ASSERT_TRUE(player.Setup(&why)) << why;
    std::vector<std::vector<std::string>> perStep;
    const std::vector<std::string> record = player.Play(&perStep);
    // The debug lines count too, as a hash of the whole record.
    lines.push_back(identity + " " + perStep[2].back() + "; " + transcript::RecordHash(record));
  }
  ASSERT_FALSE(lines.empty());
  transcript::ExpectLines("sweeps/device-record",
                          {"GET_DEVICE_INFO for each identity the scanner reports: its settings, \" = \", the record."},
                          lines);
}

std::string ScenarioName(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Transcript, ::testing::ValuesIn(kScenarios), ScenarioName);

}  // namespace
