// The simulated scanner's conditions, scripted on the tool's command line: what the library makes of each
// shows in the tool's exit status, its message and the pages it leaves behind.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace tooltest {
namespace {

using scansim::ImageType;

// Small pages keep the runs short: A6 at 75 dpi in grey, 310 x 437 pixels, scanned 320 wide.
constexpr const char* kSmall = "--resolution 75 --mode grey --size 105x148mm --retry-delay 0 ";
constexpr uint32_t kWidth = 310;
constexpr uint32_t kHeight = 437;

struct ConditionCase {
  const char* name;
  std::string args;
  int status;
  std::vector<std::string> inStderr;  // each must appear in standard error
  std::vector<std::string> inStdout;  // each must appear in standard output (the summary)
  std::vector<uint32_t> written;      // the feeder sheets (0: the flatbed) whose pages must be there, in order
};

std::string Feeder(uint32_t sheets) {
  return std::string(kSmall) + "--source feeder --feeder-sheets " + std::to_string(sheets) + " ";
}

std::vector<ConditionCase> Cases() {
  return {
      {"busy, then free within the repeats",
       std::string(kSmall) + "--busy 3",
       0,
       {"scanner busy: WIA_ERROR_BUSY; reserving again (3 of 10)"},
       {"ESC_RESERVE_UNIT           WIA_ERROR_BUSY (0x80210006, scanner busy)  x3"},
       {0}},
      {"busy longer than the repeats",
       std::string(kSmall) + "--busy 5 --retries 2",
       3,
       {"the scanner is still busy after 2 repeats: ESC_RESERVE_UNIT returned WIA_ERROR_BUSY (0x80210006, scanner "
        "busy)"},
       {"WIA_ERROR_BUSY (0x80210006, scanner busy)  x3"},
       {}},
      {"warming up, then ready",
       std::string(kSmall) + "--warming-up 2",
       0,
       {"lamp warming up: WIA_ERROR_WARMING_UP; reserving again (2 of 10)"},
       {"WIA_ERROR_WARMING_UP (0x80210007, lamp warming up)  x2"},
       {0}},
      {"warming up longer than the repeats",
       std::string(kSmall) + "--warming-up 3 --retries 1",
       3,
       {"the scanner is still warming up after 1 repeat:", "WIA_ERROR_WARMING_UP"},
       {},
       {}},
      {"sheet 2 jams as it is fed",
       Feeder(3) + "--jam 2 -o p%d.png",
       4,
       {"sheet 2 could not be positioned: ESC_OBJECT_POSITION returned WIA_ERROR_PAPER_JAM (0x80210002, paper jam)"},
       {"1 page from the feeder"},
       {1}},
      {"sheet 2 jams in its third block",
       Feeder(3) + "--jam 2 --jam-block 3 --block-bytes 4000 -o p%d.png",
       4,
       // 4000 bytes hold 12 rows of 320: the jam comes after 24 rows.
       {"page 2 stopped after 24 of 437 rows: ESC_READ returned WIA_ERROR_PAPER_JAM (0x80210002, paper jam)"},
       {"ESC_READ                   WIA_ERROR_PAPER_JAM"},
       {1}},
      {"empty feeder",
       Feeder(0) + "-o p%d.png",
       4,
       {"no sheet to scan: ESC_OBJECT_POSITION returned ADF_NO_DOCUMENT (0x00000007, no document in the feeder)"},
       {"0 pages from the feeder"},
       {}},
      {"fewer sheets than asked for",
       Feeder(2) + "--sheets 3 -o p%d.png",
       4,
       {"the feeder ran out after 2 of 3 sheets", "ADF_NO_DOCUMENT"},
       {"2 pages from the feeder"},
       {1, 2}},
      {"feeder empties after the last sheet",
       Feeder(2) + "-o p%d.png",
       0,
       {},
       {"results other than S_OK and PAGE_END: none"},
       {1, 2}},
      // Commands: 1 inquiry, 2 reserve, 3 window, 4 object position, 5 read, 6 read image; with each page
      // in one block, 7 object position, 8 read, 9 read image.
      {"image data of the first page cut short",
       std::string(kSmall) + "--short-transfer 6",
       5,
       {"page 1 stopped after 0 of 437 rows: ESC_READ_IMAGE returned E_FAIL (0x80004005, a transfer failed or "
        "came up short)"},
       {},
       {}},
      {"image data of the second sheet cut short",
       Feeder(2) + "--block-bytes 140000 --short-transfer 9 -o p%d.png",
       5,
       {"page 2 stopped after 0 of 437 rows: ESC_READ_IMAGE returned E_FAIL"},
       {"1 page from the feeder"},
       {1}},
      {"read answer cut short", std::string(kSmall) + "--short-transfer 5", 5, {"ESC_READ returned E_FAIL"}, {}, {}},
      {"inquiry answer cut short",
       std::string(kSmall) + "--short-transfer 1",
       5,
       {"the device information could not be read: GET_DEVICE_INFO returned E_FAIL (0x80004005, no scanner with "
        "these ids answered, or its answer came up short)"},
       {},
       {}},
      {"port held by another program",
       std::string(kSmall) + "--port-held",
       3,
       {"Initialize returned E_FAIL (0x80004005, the scanner port was not granted"},
       {},
       {}},
      {"direct route, no scanner with these ids",
       std::string(kSmall) + "--route direct --vid 0x1 --pid 0x2",
       5,
       {"GET_DEVICE_INFO returned E_FAIL (0x80004005, no scanner with these ids answered"},
       {},
       {}},
      {"output cannot be created",
       std::string(kSmall) + "-o blocker/page.png",
       7,
       {"page 1: cannot create blocker/page.png.part"},
       {},
       {}},
  };
}

TEST(ToolConditions, ExitStatusMessageAndPages) {
  for (const ConditionCase& condition : Cases()) {
    SCOPED_TRACE(condition.name);
    ScratchDir dir;
    // A file where the output directory should be.
    std::ofstream(dir / "blocker") << "not a directory";

    const ToolRun run = RunTool(Split(condition.args), dir);
    EXPECT_EQ(run.status, condition.status) << run.err;
    for (const std::string& text : condition.inStderr) {
      EXPECT_NE(run.err.find(text), std::string::npos) << "missing \"" << text << "\" in:\n" << run.err;
    }
    for (const std::string& text : condition.inStdout) {
      EXPECT_NE(run.out.find(text), std::string::npos) << "missing \"" << text << "\" in:\n" << run.out;
    }

    // The pages scanned before the condition are complete; nothing of the failed page is left.
    std::set<std::string> expectedFiles = {"blocker"};
    const bool feeder = condition.args.find("--source feeder") != std::string::npos;
    for (size_t i = 0; i < condition.written.size(); ++i) {
      const std::string file = feeder ? "p" + std::to_string(i + 1) + ".png" : "page-001.png";
      expectedFiles.insert(file);
      const Png png = DecodePng(dir / file);
      ASSERT_TRUE(png.ok) << png.error;
      const scansim::PageRequest page{condition.written[i], kWidth, kHeight, 75, ImageType::kGrey};
      EXPECT_EQ(FirstDifferentRow(png.pixels, ExpectedPngRows(page), png.rowBytes), -1) << file;
    }
    EXPECT_EQ(dir.Files(), expectedFiles);
  }
}

}  // namespace
}  // namespace tooltest
