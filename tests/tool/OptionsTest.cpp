// The command line: bad values name the option and what it accepts, and stop the tool with the usage
// status before any page is written; --help, --info and --debug show what they promise.
#include <gtest/gtest.h>
#include <pty.h>

#include <regex>

#include "ToolHarness.h"

namespace tooltest {
namespace {

struct BadOption {
  const char* args;
  const char* message;
};

const BadOption kBadOptions[] = {
    {"--source tray", "--source tray: expected flatbed or feeder"},
    {"--mode sepia", "--mode sepia: expected colour, grey or bw"},
    {"--resolution abc", "--resolution abc: expected a resolution in dpi"},
    // Known only once the scanner has answered the inquiry.
    {"--resolution 250", "--resolution 250: the scanner offers 75, 100, 150, 200, 300, 600, 1200 dpi"},
    {"--size 300x400mm", "--size 300x400mm: larger than the flatbed, 215.9 x 297.2 mm (8.50 x 11.70 in)"},
    {"--source feeder --sheets 1 --size 9x14in",
     "--size 9x14in: larger than the feeder takes, 215.9 x 355.6 mm (8.50 x 14.00 in)"},
    {"--size 0.05x0.05mm", "--size 0.05x0.05mm: less than one pixel at 150 dpi"},
    {"--size 10x", "--size 10x: expected WIDTHxHEIGHT with mm, cm or in"},
    {"--sheets 0", "--sheets 0: expected all or a number of sheets from 1 to 100000"},
    {"--sheets 2", "--sheets 2: more than one sheet needs --source feeder"},
    {"--source feeder -o scan.png", "--output scan.png: a feeder job writes several pages; put %d"},
    {"-o a%d%d.png", "--output a%d%d.png: expected a file name with at most one page number"},
    {"--route usb", "--route usb: expected monitor or direct"},
    {"--retries -1", "--retries -1: expected a whole number from 0 to 1000"},
    {"--vid 0x10000", "--vid 0x10000: expected a whole number from 0 to 65535"},
    {"--jam-block 2", "--jam-block needs --jam SHEET"},
    {"--quiet=yes", "--quiet takes no value"},
    {"--resolution", "--resolution needs a value"},
    {"--colour", "unknown option --colour (see --help)"},
};

TEST(ToolOptions, BadValuesNameTheOptionAndWhatItAccepts) {
  for (const BadOption& bad : kBadOptions) {
    SCOPED_TRACE(bad.args);
    ScratchDir dir;
    const ToolRun run = RunTool(Split(bad.args), dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind(std::string("stiscan: ") + bad.message, 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(dir.Files().empty());
  }
}

TEST(ToolOptions, HelpDocumentsEveryExitStatus) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--help"}, dir);
  EXPECT_EQ(run.status, 0);
  for (const char* status :
       {"  0  ", "  2  usage", "  3  device", "  4  paper", "  5  I/O", "  6  library", "  7  output"}) {
    EXPECT_NE(run.out.find(std::string("\n") + status), std::string::npos) << status;
  }
}

TEST(ToolOptions, InfoPrintsTheDeviceRecord) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--info"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  // The simulator's inquiry, as the library converts it.
  for (const char* row :
       {"Vendor               SCANSIM\n", "Product              Sheetfed Flatbed\n", "Firmware version     0.3\n",
        "Resolutions (dpi)    75, 100, 150, 200, 300, 600, 1200\n",
        "Scanner type         0xC (flatbed and document feeder)\n", "Image composition    0x29 (colour, grey, bw)\n",
        "Bed width            8.50 in (215.9 mm)\n", "Bed height           11.70 in (297.2 mm)\n",
        "Feeder length        14.00 in (355.6 mm)\n", "Online state         0x41 (operational)\n"}) {
    EXPECT_NE(run.out.find(row), std::string::npos) << row << "in:\n" << run.out;
  }
  EXPECT_TRUE(dir.Files().empty());
}

TEST(ToolOptions, DebugShowsTheLibraryLinesWithTheirTime) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--debug", "--resolution", "75", "--size", "20x20mm", "--quiet"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;

  const std::regex line(R"(\[ *(\d+\.\d{3})\] (.*))");
  std::vector<std::string> texts;
  double last = 0;
  std::istringstream lines(run.err);
  for (std::string text; std::getline(lines, text);) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, line)) << text;
    const double seconds = std::stod(match[1]);
    EXPECT_GE(seconds, last) << text;
    last = seconds;
    texts.push_back(match[2]);
  }
  ASSERT_GT(texts.size(), 10u);
  EXPECT_EQ(texts.front(), "[STI]CSTIIOHandler::CSTIIOHandler");
  EXPECT_NE(std::find(texts.begin(), texts.end(), "[STI]PAGE_END returned to WIAHandler"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "[STI]CSTIIOHandler::~CSTIIOHandler"), texts.end());

  // Without --debug the library writes no lines and the tool shows none.
  const ToolRun plain = RunTool({"--resolution", "75", "--size", "20x20mm", "--quiet"}, dir);
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(plain.out, "");
}

// The progress bar is drawn on a terminal only (the other tests see a file and no bar).
TEST(ToolOptions, ProgressBarOnATerminal) {
  ScratchDir dir;
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (chdir(dir.Path().c_str()) != 0) {
      _exit(126);
    }
    execl(STISCAN_PATH, STISCAN_PATH, "--resolution", "75", "--block-bytes", "20000", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string screen;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) {
      break;  // EIO once the program has ended
    }
    screen.append(buffer, static_cast<size_t>(n));
  }
  close(master);
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0) << screen;
  // 640 x 877 colour is 1683840 bytes in blocks of 10 rows (19200 bytes): 88 blocks.
  EXPECT_NE(screen.find("\rpage 1 [##############################] 100%  1.7 MB of 1.7 MB  88 blocks"),
            std::string::npos)
      << screen;
  EXPECT_NE(screen.find("page-001.png  637 x 877  1683840 bytes"), std::string::npos) << screen;
}

}  // namespace
}  // namespace tooltest
