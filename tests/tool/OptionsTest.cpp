// The command line: a bad value names the option and what it accepts and stops the tool before a page is
// written, as early as it can be known; numbers are decimal; --help documents status 8; --info and --list show
// what the library reaches.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "ToolHarness.h"

namespace tooltest {
namespace {

// One case a line of bad-options.txt.
struct BadOption {
  std::string args;
  int status = 0;
  bool inquiry = false;
  std::string message;
};

std::vector<BadOption> BadOptions() {
  std::vector<BadOption> cases;
  std::ifstream file(WIASTIIO_SOURCE_DIR "/tests/tool/bad-options.txt");
  const std::regex row(R"((.+) \| (\d+) \| ([01]) \| ?(.*))");
  std::smatch m;
  for (std::string line; std::getline(file, line);) {
    if (line[0] != '#' && std::regex_match(line, m, row)) {
      const std::string message = std::regex_replace(m[4].str(), std::regex(R"(\\n)"), "\n");
      cases.push_back({m[1], std::stoi(m[2]), m[3] == "1", std::regex_replace(message, std::regex(R"(\\s)"), " ")});
    }
  }
  return cases;
}

TEST(ToolOptions, BadValuesNameTheOptionAndWhatItAccepts) {
  const std::vector<BadOption> cases = BadOptions();
  ASSERT_GE(cases.size(), 20u);
  for (const BadOption& bad : cases) {
    SCOPED_TRACE(bad.args);
    ScratchDir dir;
    fs::create_directory(dir / "folder.png");
    std::ofstream(dir / "blocker") << "a file";
    const ToolRun run = RunTool(bad.args + " -q --debug", dir);
    EXPECT_EQ(run.status, bad.status);
    EXPECT_EQ(run.err.find("[STI]") != std::string::npos, bad.inquiry) << run.err;
    EXPECT_EQ(run.err.find("stiscan: " + bad.message) != std::string::npos, bad.status != 0) << run.err;
    EXPECT_EQ(dir.Files().size(), bad.status == 0 ? 2u : 1u);
  }
}

TEST(ToolOptions, HelpInfoAndList) {
  ScratchDir dir;
  EXPECT_NE(RunTool("--help", dir).out.find("\n  8  stopped"), std::string::npos);
  const ToolRun info = RunTool("--info", dir);
  EXPECT_NE(info.out.find("Resolutions (dpi)    75, 100, 150, 200, 300, 600, 1200\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Feeder status        2 (the scanner's document status 1)\n"), std::string::npos) << info.out;
  const ToolRun list = RunTool("--list", dir);
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "simulator  built in  vid 0x1234 pid 0x5678\n");
}

}  // namespace
}  // namespace tooltest
