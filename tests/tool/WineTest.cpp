// The Windows tool under Wine writes compressed PNG and TIFF (its own writer, whole pages only) with the
// Linux tool's pixels, the paper-like pages' noise too. (Its Ctrl-C is one of ToolConditions.StopMidPage's
// cases.)
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace tooltest {
namespace {

TEST(WindowsTool, CompressedPngAndTiffWithTheLinuxPixels) {
  for (const char* job : {"-s feeder --feeder-sheets 2 -r 100 --size a5 -o page-%d.png", "-r 75 -m grey -o page.png",
                          "-r 150 -m bw --size 4x3in --block-bytes 3000 -o page.png",
                          "-s feeder --feeder-sheets 3 -r 75 --size a5 --jam 3 --jam-block 2 -m bw -o job.tif",
                          "--paper -s feeder --feeder-sheets 2 -r 150 --size a4 -o paper.tif"}) {
    SCOPED_TRACE(job);
    const std::string windows = WindowsTool(job);
    if (windows.empty()) {
      GTEST_SKIP() << "no Windows build given (WIASTIIO_WINDOWS_BIN)";
    }
    ScratchDir linuxDir;
    ScratchDir windowsDir;
    const int status = RunTool(job, linuxDir).status;
    const ToolRun run = RunProgram({"/bin/sh", "-c", "exec " + windows}, windowsDir.Path());
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

}  // namespace
}  // namespace tooltest
