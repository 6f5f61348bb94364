// Golden transcripts: each file in tests/transcripts holds one scenario, its steps and what they did
// (see support/Transcript.cpp for the format), or the variants of a scenario that differ in a few
// lines, each a test of its own. Each is played again through the exports, on Linux and under Wine,
// and must come out line for line as written.
//
// Two kinds of scenario, each a folder:
// - tests/transcripts/*.txt, recorded from the library and reviewed; WIASTIIO_RERECORD=1 writes them anew.
// - tests/transcripts/described/*.txt, written by hand from what the handler is meant to do, never
//   recorded: a difference there is a defect of the library, and WIASTIIO_RERECORD=1 leaves them as they
//   are. A described scenario named in described/pending.list is known to differ until the library is
//   fixed: its difference is expected, and it fails once it plays as written (then take it off the list).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/Transcript.h"

namespace {

constexpr char kDescribed[] = "described/";

// Every scenario of both folders, by its file's name without ".txt" ("described/" for the second),
// then ":" and the variant for each variant of a file that holds several.
std::vector<std::string> ScenarioNames() {
  std::vector<std::string> names;
  for (const std::string folder : {"", kDescribed}) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(transcript::PathOf(folder), error)) {
      if (!entry.is_regular_file() || entry.path().extension() != ".txt") {
        continue;
      }
      const std::string name = folder + entry.path().stem().string();
      std::vector<std::string> variants = transcript::Variants(entry.path().string());
      for (const std::string& variant : variants.empty() ? std::vector<std::string>{""} : variants) {
        names.push_back(variant.empty() ? name : name + ":" + variant);
      }
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// described/pending.list: "NAME WHY..." lines, '#' lines are comments.
std::map<std::string, std::string> PendingScenarios() {
  std::map<std::string, std::string> pending;
  std::ifstream file(transcript::PathOf(std::string(kDescribed) + "pending.list"), std::ios::binary);
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    const size_t blank = line.find(' ');
    if (!line.empty() && line[0] != '#') {
      pending[std::string(kDescribed) + line.substr(0, blank)] =
          blank == std::string::npos ? "" : line.substr(blank + 1);
    }
  }
  return pending;
}

class Transcript : public ::testing::TestWithParam<std::string> {};

TEST_P(Transcript, PlaysAsWritten) {
  const std::string& name = GetParam();
  const size_t colon = name.find(':');
  const std::string variant = colon == std::string::npos ? "" : name.substr(colon + 1);
  const std::string path = transcript::PathOf(name.substr(0, colon) + ".txt");
  const bool described = name.rfind(kDescribed, 0) == 0;
  SCOPED_TRACE("scenario " + name);
  transcript::Scenario scenario;
  ASSERT_TRUE(transcript::Load(path, &scenario, variant))
      << "cannot read " << path << (variant.empty() ? "" : " as its variant " + variant)
      << ", or a line names a variant the file does not declare";
  ASSERT_FALSE(scenario.steps.empty()) << path << " has no step";

  transcript::Player player(scenario);
  std::string why;
  if (!player.Setup(&why)) {
    GTEST_SKIP() << why;
  }
  std::vector<std::vector<std::string>> perStep;
  const std::vector<std::string> actual = player.Play(&perStep);

  const std::map<std::string, std::string> pending = PendingScenarios();
  const auto known = pending.find(name);
  if (actual == scenario.expected) {
    EXPECT_TRUE(known == pending.end()) << path << " is listed in " << kDescribed
                                        << "pending.list but now plays as written: take it off the list";
    return;
  }
  const std::string difference = transcript::Difference(scenario.expected, scenario.expectedLineNumbers, actual);
  if (known != pending.end()) {
    std::printf("[ PENDING  ] %s (%s)\n", name.c_str(), known->second.c_str());
  } else if (transcript::Rerecording() && !described && variant.empty()) {
    transcript::Write(path, scenario, perStep);
  } else {
    ADD_FAILURE() << path << " differs (- the file, + now"
                  << (described         ? "; written from the description, never re-recorded"
                      : variant.empty() ? "; WIASTIIO_RERECORD=1 writes it anew"
                                        : "; variant " + variant + ", mended by hand")
                  << "):\n"
                  << difference;
  }
}

// A name on the pending list that is no described scenario would hide nothing and never be noticed.
TEST(PendingList, NamesDescribedScenariosOnly) {
  const std::vector<std::string> names = ScenarioNames();
  for (const auto& entry : PendingScenarios()) {
    EXPECT_TRUE(std::find(names.begin(), names.end(), entry.first) != names.end()) << entry.first << " does not exist";
  }
}

// The device record for scanners that report other identities: each line of the data file names the
// scanner's settings (the paper sizes at both ends of each window the library snaps to, feeder states,
// resolution sets, texts, firmware numbers) and then holds the record GET_DEVICE_INFO hands out, and
// the session's lines that differ from the default scanner's (whose lines the transcripts hold).
TEST(DeviceRecord, FollowsWhatTheScannerReports) {
  const auto play = [](const std::vector<std::string>& setup, std::vector<std::vector<std::string>>* perStep) {
    transcript::Scenario scenario;
    scenario.setup = setup;
    scenario.steps = {{{}, "InitializeDll 1"}, {{}, "Initialize"}, {{}, "GET_DEVICE_INFO"}, {{}, "TerminateDll"}};
    transcript::Player player(scenario);
    std::string why;
    EXPECT_TRUE(player.Setup(&why)) << why;
    perStep->clear();
    return player.Play(perStep);
  };
  std::vector<std::vector<std::string>> perStep;
  const std::vector<std::string> usual = play({"route monitor"}, &perStep);
  std::ifstream file(transcript::PathOf("sweeps/device-record"), std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    const size_t end = line.find(" = ");
    if (line.empty() || line[0] == '#' || end == std::string::npos) {
      continue;
    }
    const std::string identity = line.substr(0, end);
    const std::vector<std::string> record = play({"route monitor", "scanner " + identity}, &perStep);
    const std::string& result = perStep[2].back();
    std::string row = identity + " " + result + "; " + std::to_string(record.size()) + " lines";
    // The step's own line holds the record, which the row starts with.
    for (size_t i = 0; i < record.size(); ++i) {
      if ((i >= usual.size() || record[i] != usual[i]) && !record[i].ends_with(result)) {
        row += "; #" + std::to_string(i + 1) + " " + record[i];
      }
    }
    lines.push_back(row);
  }
  ASSERT_FALSE(lines.empty());
  transcript::ExpectLines("sweeps/device-record",
                          {"GET_DEVICE_INFO for each identity the scanner reports: its settings, \" = \", the record,",
                           "the session's length, then each line that differs from the default scanner's, numbered."},
                          lines);
}

std::string ScenarioName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return c == '-' || c == '/' || c == ':'; }, '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Transcript, ::testing::ValuesIn(ScenarioNames()), ScenarioName);

}  // namespace
