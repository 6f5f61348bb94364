// What stops a scan, and what the tool makes of it: the exit status, the message naming the cause, the
// summary, the pages left behind (whole ones only), and on the wire an abort before the release.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "ToolHarness.h"

namespace tooltest {
namespace {

// Small pages keep the runs short ({small} and {feeder} of conditions.cases).
const std::string kSmall = "-r 75 -m grey --size 105x148mm --retry-delay 0 ";
const std::string kFeeder = kSmall + "-s feeder -o p%d.png --feeder-sheets ";

TEST(ToolConditions, ExitStatusMessageSummaryAndPages) {
  std::ifstream cases(WIASTIIO_SOURCE_DIR "/tests/tool/conditions.cases");
  const std::regex row(R"((.+?) \| (\d+) \| (.*?) \| (.*?) \|(.*))");
  std::smatch c;
  int rows = 0;
  for (std::string line; std::getline(cases, line);) {
    if (line[0] == '#' || !std::regex_match(line, c, row)) {
      continue;
    }
    ++rows;
    const std::string args = std::regex_replace(std::regex_replace(c[1].str(), std::regex("\\{feeder\\}"), kFeeder),
                                                std::regex("\\{small\\}"), kSmall);
    SCOPED_TRACE(args);
    const std::vector<std::string> files = Split(c[5].str());
    ScratchDir dir;
    const ToolRun run = RunTool(args, dir);
    EXPECT_EQ(run.status, std::stoi(c[2])) << run.err;
    EXPECT_NE(run.err.find(c[3].str()), std::string::npos) << run.err;
    EXPECT_NE(run.out.find(c[4].str()), std::string::npos) << run.out;
    EXPECT_EQ(dir.Files(), std::set<std::string>(files.begin(), files.end()));
    if (std::count(files.begin(), files.end(), "job.tif") != 0) {
      EXPECT_EQ(DecodeTiff(dir / "job.tif").size(), 2u) << "the page cut short is in the file";
    }
  }
  EXPECT_EQ(rows, 15);
}

// SIGINT or SIGTERM mid-page (Ctrl-C on Windows: Wine's for SIGINT), or the output failing mid-page: the
// block in flight completes, the scanner is aborted then released, the library ends, no file is left.
TEST(ToolConditions, StopMidPage) {
  const std::string tool = std::string(STISCAN_PATH) + " --simulate";
  struct Stop {
    std::string command;
    int signal, status;
    std::string message;
  };
  std::vector<Stop> stops = {
      {tool + " -r 300 --wire-rate 20 --debug -o page.png", SIGINT, 8, "stopped: the scanner was aborted and released"},
      {tool + " -r 300 --wire-rate 20 --debug -o page.png", SIGTERM, 8,
       "stopped: the scanner was aborted and released"},
      {tool + " -r 150 --debug -o - >/dev/full", 0, 7, "cannot write standard output: No space left on device"},
  };
  const std::string windows = WindowsTool("-r 600 --wire-rate 20 --debug -o page.png");
  if (!windows.empty()) {
    stops.push_back({windows, SIGINT, 8, "stopped: the scanner was aborted and released"});
  }
  for (const auto& stop : stops) {
    SCOPED_TRACE(stop.command);
    ScratchDir dir;
    const ToolRun run = RunProgram({"/bin/sh", "-c", "exec " + stop.command}, dir.Path(), stop.signal, "ReadImage");
    EXPECT_EQ(run.status, stop.status);
    EXPECT_TRUE(dir.Files().empty());
    const size_t lastRead = run.err.rfind("[STI]CSTIIOHandler::CallReadImage");
    const size_t abort = run.err.find("[STI]CSTIIOHandler::CallAbort");
    const size_t release = run.err.find("[STI]CSTIIOHandler::CallReleaseUnit");
    const size_t ended = run.err.find("[STI]CSTIIOHandler::~CSTIIOHandler");
    ASSERT_NE(lastRead, std::string::npos);
    EXPECT_TRUE(lastRead < abort && abort < release && release < ended && ended != std::string::npos) << run.err;
    EXPECT_NE(run.err.find("stiscan: " + stop.message), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace tooltest
