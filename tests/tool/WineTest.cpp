// The Windows build of the tool, run under Wine with --simulate, writes the same pages as the Linux tool:
// the same size, depth, colour type, resolution and image data, byte for byte. Needs a Windows build
// (WIASTIIO_WINDOWS_BIN, as a CMake cache value or in the environment) and Wine; skipped without them.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ToolHarness.h"

namespace tooltest {
namespace {

std::string WindowsBin() {
  const char* fromEnvironment = std::getenv("WIASTIIO_WINDOWS_BIN");
  if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
    return fromEnvironment;
  }
  return WIASTIIO_WINDOWS_BIN;
}

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

const char* const kJobs[] = {
    "--source feeder --feeder-sheets 2 --resolution 100 --size a5 --output page-%d.png",
    "--resolution 75 --mode grey --output page-%d.png",
    "--resolution 150 --mode bw --size 4x3in --block-bytes 3000 --output page-%d.png",
};

TEST(WindowsTool, WritesTheSamePagesUnderWine) {
  const std::string bin = WindowsBin();
  if (bin.empty()) {
    GTEST_SKIP() << "no Windows build given (WIASTIIO_WINDOWS_BIN)";
  }
  const std::string exe = bin + "/stiscan.exe";
  if (access(exe.c_str(), R_OK) != 0) {
    GTEST_SKIP() << "no " << exe;
  }
  if (!OnPath("wine")) {
    GTEST_SKIP() << "no wine";
  }
  // The Windows build's own prefix, which its tests have set up already.
  const char* prefixFromEnvironment = std::getenv("WIASTIIO_WINEPREFIX");
  const std::string prefix = prefixFromEnvironment != nullptr ? prefixFromEnvironment : bin + "/../.wineprefix";

  for (const char* job : kJobs) {
    SCOPED_TRACE(job);
    ScratchDir linuxDir;
    ScratchDir windowsDir;
    const ToolRun linuxRun = RunTool(Split(job), linuxDir);
    ASSERT_EQ(linuxRun.status, 0) << linuxRun.err;

    std::vector<std::string> args = {exe, "--simulate", "--quiet"};
    for (const std::string& arg : Split(job)) {
      args.push_back(arg);
    }
    const ToolRun windowsRun =
        RunProgram(WINE_RUN_SCRIPT, args, windowsDir.Path().string(), {{"WIASTIIO_WINEPREFIX", prefix}});
    ASSERT_EQ(windowsRun.status, 0) << windowsRun.out << windowsRun.err;

    const std::set<std::string> files = linuxDir.Files();
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(windowsDir.Files(), files);
    for (const std::string& file : files) {
      SCOPED_TRACE(file);
      const Png linuxPng = DecodePng(linuxDir / file);
      const Png windowsPng = DecodePng(windowsDir / file);
      ASSERT_TRUE(linuxPng.ok) << linuxPng.error;
      ASSERT_TRUE(windowsPng.ok) << windowsPng.error;
      EXPECT_EQ(windowsPng.width, linuxPng.width);
      EXPECT_EQ(windowsPng.height, linuxPng.height);
      EXPECT_EQ(windowsPng.bitDepth, linuxPng.bitDepth);
      EXPECT_EQ(windowsPng.colourType, linuxPng.colourType);
      EXPECT_EQ(windowsPng.hasPhys, linuxPng.hasPhys);
      EXPECT_EQ(windowsPng.physX, linuxPng.physX);
      EXPECT_EQ(windowsPng.physUnit, linuxPng.physUnit);
      EXPECT_EQ(FirstDifferentRow(windowsPng.pixels, linuxPng.pixels, linuxPng.rowBytes), -1);
    }
  }
}

}  // namespace
}  // namespace tooltest
