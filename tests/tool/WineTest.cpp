// The Windows tool under Wine (--simulate), given a Windows build (WIASTIIO_WINDOWS_BIN): compressed
// PNG and TIFF (its own writer, whole pages only) with the Linux tool's pixels; Ctrl-C (Wine's for SIGINT) stops it as
// SIGINT stops the Linux tool.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace tooltest {
namespace {

std::vector<std::string> WindowsTool(const std::string& args) {
  const char* fromEnvironment = std::getenv("WIASTIIO_WINDOWS_BIN");
  const std::string bin =
      fromEnvironment != nullptr && fromEnvironment[0] != '\0' ? fromEnvironment : WIASTIIO_WINDOWS_BIN;
  if (bin.empty() || access((bin + "/stiscan.exe").c_str(), R_OK) != 0) {
    return {};
  }
  setenv("WIASTIIO_WINEPREFIX", (bin + "/../.wineprefix").c_str(), 0);
  std::vector<std::string> argv = {WINE_RUN_SCRIPT, bin + "/stiscan.exe", "--simulate"};
  for (const std::string& arg : Split(args)) {
    argv.push_back(arg);
  }
  return argv;
}

TEST(WindowsTool, CompressedPngAndTiffWithTheLinuxPixels) {
  for (const char* job : {"-s feeder --feeder-sheets 2 -r 100 --size a5 -o page-%d.png", "-r 75 -m grey -o page.png",
                          "-r 150 -m bw --size 4x3in --block-bytes 3000 -o page.png",
                          "-s feeder --feeder-sheets 3 -r 75 --size a5 --jam 3 --jam-block 2 -m bw -o job.tif"}) {
    SCOPED_TRACE(job);
    const std::vector<std::string> windows = WindowsTool(job);
    if (windows.empty()) {
      GTEST_SKIP() << "no Windows build given (WIASTIIO_WINDOWS_BIN)";
    }
    ScratchDir linuxDir;
    ScratchDir windowsDir;
    const int status = RunTool(job, linuxDir).status;
    const ToolRun run = RunProgram(windows, windowsDir.Path());
    ASSERT_EQ(run.status, status) << run.err;
    ASSERT_EQ(windowsDir.Files(), linuxDir.Files());
    for (const std::string& file : linuxDir.Files()) {
      SCOPED_TRACE(file);
      const std::vector<Image> linux = Decode(linuxDir / file);
      const std::vector<Image> windows = Decode(windowsDir / file);
      ASSERT_EQ(windows.size(), linux.size());
      for (size_t i = 0; i < linux.size(); ++i) {
        EXPECT_TRUE(windows[i].width == linux[i].width && windows[i].dpi == linux[i].dpi);
        EXPECT_TRUE(windows[i].rows == linux[i].rows);
      }
      if (file.find(".png") != std::string::npos) {
        EXPECT_LT(fs::file_size(windowsDir / file) * 4, linux[0].rows.size()) << "not compressed";
      }
    }
  }
}

TEST(WindowsTool, CtrlCStopsMidPage) {
  const std::vector<std::string> windows = WindowsTool("-r 600 --wire-rate 20 --debug -o page.png");
  if (windows.empty()) {
    GTEST_SKIP() << "no Windows build given (WIASTIIO_WINDOWS_BIN)";
  }
  ScratchDir dir;
  const ToolRun run = RunProgram(windows, dir.Path(), SIGINT, "CallReadImage");
  EXPECT_EQ(run.status, 8) << run.err;
  EXPECT_TRUE(dir.Files().empty());
  const size_t abort = run.err.find("[STI]CSTIIOHandler::CallAbort");
  const size_t release = run.err.find("[STI]CSTIIOHandler::CallReleaseUnit");
  const size_t ended = run.err.find("[STI]CSTIIOHandler::~CSTIIOHandler");
  EXPECT_TRUE(abort < release && release < ended && ended != std::string::npos) << run.err;
}

}  // namespace
}  // namespace tooltest
