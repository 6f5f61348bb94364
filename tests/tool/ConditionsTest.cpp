// What stops a scan, and what the tool makes of it: the exit status, the message naming the cause, the
// summary, the pages left behind (whole ones only), and on the wire an abort before the release.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace tooltest {
namespace {

// Small pages keep the runs short: A6 at 75 dpi in grey, 310 x 437 pixels.
const std::string kSmall = "-r 75 -m grey --size 105x148mm --retry-delay 0 ";
const std::string kFeeder = kSmall + "-s feeder -o p%d.png --feeder-sheets ";

struct ConditionCase {
  std::string args;
  int status;
  std::string inStderr;  // the message, or a part of it
  std::string inStdout;  // a part of the summary
  std::set<std::string> files;
};

// clang-format off
const ConditionCase kCases[] = {
    {kSmall + "--busy 3", 0, "scanner busy: WIA_ERROR_BUSY; reserving again (3 of 10)",
     "ESC_RESERVE_UNIT           WIA_ERROR_BUSY (0x80210006, scanner busy)  x3", {"page-001.png"}},
    {kSmall + "--busy 5 --retries 2", 3, "the scanner is still busy after 2 repeats: ESC_RESERVE_UNIT returned", "x3", {}},
    {kFeeder + "3 --jam 2", 4, "sheet 2 could not be positioned: ESC_OBJECT_POSITION returned WIA_ERROR_PAPER_JAM "
     "(0x80210002, paper jam)", "1 page from the feeder", {"p1.png"}},
    // 4000 bytes hold 12 rows 320 wide: the jam comes after 24 rows.
    {kFeeder + "3 --jam 2 --jam-block 3 --block-bytes 4000", 4,
     "page 2 stopped after 24 of 437 rows: ESC_READ returned WIA_ERROR_PAPER_JAM", "", {"p1.png"}},
    {kFeeder + "3 --jam 3 --jam-block 2 -o job.pdf", 4, "page 3 stopped", "job.pdf  310 x 437  2 pages", {"job.pdf"}},
    {kFeeder + "3 --jam 3 --jam-block 2 -o job.tif", 4, "page 3 stopped", "job.tif  310 x 437  2 pages", {"job.tif"}},
    {kFeeder + "0", 4, "no sheet to scan: ESC_OBJECT_POSITION returned ADF_NO_DOCUMENT", "0 pages", {}},
    {kFeeder + "2 -n 3", 4, "the feeder ran out after 2 of 3 sheets", "2 pages", {"p1.png", "p2.png"}},
    {kFeeder + "2", 0, "", "results other than S_OK and PAGE_END: none", {"p1.png", "p2.png"}},
    // Commands: 1 inquiry, 2 reserve, 3 window, 4 object position, 5 read, 6 read image.
    {kSmall + "--short-transfer 1", 5, "GET_DEVICE_INFO returned E_FAIL (0x80004005, no scanner with these ids", "", {}},
    {kSmall + "--short-transfer 6", 5, "page 1 stopped after 0 of 437 rows: ESC_READ_IMAGE returned E_FAIL", "", {}},
    {kSmall + "--short-transfer 1000", 2, "--short-transfer 1000: the job sent only 11 commands", "", {"page-001.png"}},
    {kSmall + "--port-held", 3, "Initialize returned E_FAIL (0x80004005, the scanner port was not granted",
     "Initialize                 E_FAIL (0x80004005, the scanner port was not granted", {}},
    {kSmall + "--route direct --vid 1 --pid 2", 3, "no scanner found: none the route reaches has the ids", "", {}},
};
// clang-format on

TEST(ToolConditions, ExitStatusMessageSummaryAndPages) {
  for (const ConditionCase& c : kCases) {
    SCOPED_TRACE(c.args);
    ScratchDir dir;
    const ToolRun run = RunTool(c.args, dir);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.inStderr), std::string::npos) << run.err;
    EXPECT_NE(run.out.find(c.inStdout), std::string::npos) << run.out;
    EXPECT_EQ(dir.Files(), c.files);
    if (c.files.count("job.tif") != 0) {
      EXPECT_EQ(DecodeTiff(dir / "job.tif").size(), 2u) << "the page cut short is in the file";
    }
  }
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
