// The command line: a bad value names the option and what it accepts and stops the tool before a page is
// written, as early as it can be known; numbers are decimal; --help documents status 8; --info and --list show
// what the library reaches.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace tooltest {
namespace {

// Status, whether the library was asked (the scanner's inquiry), and the message. Output problems are
// found before the library is loaded.
// clang-format off
const struct {
  const char* args;
  int status;
  bool inquiry;
  const char* message;
} kBadOptions[] = {
    {"--source tray", 2, false, "--source tray: expected flatbed or feeder"},
    {"--mode sepia", 2, false, "--mode sepia: expected colour, grey or bw"},
    {"-r 250", 2, true, "--resolution 250: the scanner offers 75, 100, 150, 200, 300, 600, 1200 dpi"},
    {"-r 2400", 2, true, "--resolution 2400: the scanner offers 75, 100, 150, 200, 300, 600, 1200 dpi\n"},
    {"-r 0300", 0, true, ""},  // decimal: 300 dpi is offered
    {"--size 300x400mm", 2, true, "--size 300x400mm: larger than the flatbed, 215.9 x 297.2 mm (8.50 x 11.70 in)"},
    {"--size 0.05x0.05mm", 2, true, "--size 0.05x0.05mm: less than one pixel at 150 dpi"},
    {"--size 8.5x11", 2, false, "--size 8.5x11: without a unit this is 8.5x11 millimetres, smaller than any page"},
    {"--size 10x", 2, false, "--size 10x: expected WIDTHxHEIGHT with mm, cm or in"},
    {"--jam 08", 2, false, "--jam 8: only a feeder jams; add --source feeder"},
    {"-s feeder --feeder-sheets 2 --jam 5", 2, false, "--jam 5: the feeder holds 2 sheets"},
    {"--feeder-sheets 0x10 -s feeder --jam 17", 2, false, "--jam 17: the feeder holds 16 sheets"},
    {"--retries 1e3", 2, false, "--retries 1e3: expected a whole number from 0 to 1000"},
    {"--format gif", 2, false, "--format gif: expected png, jpeg, tiff, pdf or pnm"},
    {"--quality 0", 2, false, "--quality 0: expected a whole number from 1 to 100"},
    {"--sheets 2", 2, false, "--sheets 2: more than one sheet needs --source feeder"},
    {"--quiet=yes", 2, false, "--quiet takes no value"},
    {"--colour", 2, false, "unknown option --colour (see --help)"},
    {"-o folder.png", 7, false, "cannot write folder.png: it is a folder\n"},
    {"-o blocker/a.png", 7, false, "cannot create the folder blocker: "},
    {"-s feeder -o one.png", 2, false, "--output one.png: a feeder job writes several pages;"},
    {"-o scan.bmp", 2, false, "--output scan.bmp: the name does not tell the format;"},
    {"-o p%3000000000d.png", 2, false, "--output p%3000000000d.png: expected a file name with at most one page"},
};
// clang-format on

TEST(ToolOptions, BadValuesNameTheOptionAndWhatItAccepts) {
  for (const auto& bad : kBadOptions) {
    SCOPED_TRACE(bad.args);
    ScratchDir dir;
    fs::create_directory(dir / "folder.png");
    std::ofstream(dir / "blocker") << "a file";
    const ToolRun run = RunTool(std::string(bad.args) + " -q --debug", dir);
    EXPECT_EQ(run.status, bad.status);
    EXPECT_EQ(run.err.find("[STI]") != std::string::npos, bad.inquiry) << run.err;
    EXPECT_EQ(run.err.find(std::string("stiscan: ") + bad.message) != std::string::npos, bad.status != 0) << run.err;
    EXPECT_EQ(dir.Files().size(), bad.status == 0 ? 2u : 1u);
  }
}

TEST(ToolOptions, HelpInfoAndList) {
  ScratchDir dir;
  EXPECT_NE(RunTool("--help", dir).out.find("\n  8  stopped"), std::string::npos);
  const ToolRun info = RunTool("--info", dir);
  EXPECT_NE(info.out.find("Resolutions (dpi)    75, 100, 150, 200, 300, 600, 1200\n"), std::string::npos) << info.out;
  const ToolRun list = RunTool("--list", dir);
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "simulator  built in  vid 0x1234 pid 0x5678\n");
}

}  // namespace
}  // namespace tooltest
