// The command line: a bad value names the option and what it accepts and stops the tool with status 2
// before a page is written; numbers are decimal; --help documents status 8; --info and --list show
// what the library reaches.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace tooltest {
namespace {

const struct {
  const char* args;
  const char* message;
} kBadOptions[] = {
    {"--source tray", "--source tray: expected flatbed or feeder"},
    {"--mode sepia", "--mode sepia: expected colour, grey or bw"},
    // Known once the scanner has answered the inquiry.
    {"-r 250", "--resolution 250: the scanner offers 75, 100, 150, 200, 300, 600, 1200 dpi"},
    {"-r 2400", "--resolution 2400: the scanner lists 2400 dpi, but the library refuses it"},
    {"-r 0300", "--resolution 300"},  // decimal: 300 is offered, so no message at all
    {"--size 300x400mm", "--size 300x400mm: larger than the flatbed, 215.9 x 297.2 mm (8.50 x 11.70 in)"},
    {"--size 0.05x0.05mm", "--size 0.05x0.05mm: less than one pixel at 150 dpi"},
    {"--size 8.5x11", "--size 8.5x11: without a unit this is 8.5x11 millimetres, smaller than any page; add the unit"},
    {"--size 10x", "--size 10x: expected WIDTHxHEIGHT with mm, cm or in"},
    {"--jam 08", "--jam 8: only a feeder jams; add --source feeder"},
    {"-s feeder --feeder-sheets 2 --jam 5", "--jam 5: the feeder holds 2 sheets"},
    {"--feeder-sheets 0x10 -s feeder --jam 17", "--jam 17: the feeder holds 16 sheets"},
    {"--retries 1e3", "--retries 1e3: expected a whole number from 0 to 1000"},
    {"--format gif", "--format gif: expected png, jpeg, tiff, pdf or pnm"},
    {"--quality 0", "--quality 0: expected a whole number from 1 to 100"},
    {"--sheets 2", "--sheets 2: more than one sheet needs --source feeder"},
    {"--quiet=yes", "--quiet takes no value"},
    {"--colour", "unknown option --colour (see --help)"},
};

TEST(ToolOptions, BadValuesNameTheOptionAndWhatItAccepts) {
  for (const auto& bad : kBadOptions) {
    SCOPED_TRACE(bad.args);
    ScratchDir dir;
    const ToolRun run = RunTool(std::string(bad.args) + " -q", dir);
    if (std::string(bad.args) == "-r 0300") {
      EXPECT_EQ(run.status, 0) << run.err;
      continue;
    }
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind(std::string("stiscan: ") + bad.message, 0), 0u) << run.err;
    EXPECT_TRUE(dir.Files().empty());
  }
}

TEST(ToolOptions, HelpInfoAndList) {
  ScratchDir dir;
  EXPECT_NE(RunTool("--help", dir).out.find("\n  8  stopped"), std::string::npos);
  const ToolRun info = RunTool("--info", dir);
  EXPECT_NE(info.out.find("Resolutions (dpi)    75, 100, 150, 200, 300, 600, 1200\n"), std::string::npos) << info.out;
  const ToolRun list = RunTool("--list", dir);
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "simulator  \\\\.\\Usbscan0  vid 0xF055 pid 0x5CA0  built-in simulated scanner\n");
}

}  // namespace
}  // namespace tooltest
