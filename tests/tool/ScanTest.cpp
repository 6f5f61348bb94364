// Scans run by the tool as a process: the PNG pages it writes, decoded with libpng, hold the simulator's
// rendering of each page with the size, depth, colour type and resolution of the request.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace tooltest {
namespace {

using scansim::ImageType;

struct ScanCase {
  const char* name;
  const char* args;
  std::vector<uint32_t> pages;  // the simulator's page numbers: 0 the flatbed, 1, 2, ... the sheets
  uint32_t width;               // pixels, as asked (the scanner's 32-pixel alignment cut away)
  uint32_t height;
  uint32_t dpi;
  ImageType type;
};

// Sizes worked out by hand: pixels = length x dpi to the nearest, never past the area (rounded down).
const ScanCase kScans[] = {
    // The whole bed, 8.5 x 11.7 in: 637.5 -> 637 wide, 877.5 -> 877 rows.
    {"flatbed colour, whole bed", "--resolution 75", {0}, 637, 877, 75, ImageType::kColour},
    // 100 x 50 mm at 100 dpi: 393.7 -> 394 wide, 196.9 -> 197 rows.
    {"flatbed grey, size in mm", "--resolution 100 --mode grey --size 100x50mm", {0}, 394, 197, 100, ImageType::kGrey},
    // 4 x 3 in at 150 dpi: 600 wide, 450 rows; small blocks so the page comes in many.
    {"flatbed black-and-white, size in inches",
     "--resolution 150 --mode bw --size 4x3in --block-bytes 1000",
     {0},
     600,
     450,
     150,
     ImageType::kBlackWhite},
    // A5, 148 x 210 mm at 75 dpi: 437.0 -> 437 wide, 620.1 -> 620 rows; three sheets until empty.
    {"feeder job until the feeder is empty",
     "--source feeder --feeder-sheets 3 --resolution 75 --size a5 --output sheet-%02d.png",
     {1, 2, 3},
     437,
     620,
     75,
     ImageType::kColour},
    // The feeder's whole length, 8.5 x 14 in at 100 dpi: 850 wide, 1400 rows; two of three sheets.
    {"feeder job of a set number of sheets",
     "--source feeder --feeder-sheets 3 --sheets 2 --mode grey "
     "--resolution 100 --output sheet-%02d.png",
     {1, 2},
     850,
     1400,
     100,
     ImageType::kGrey},
    // The direct route: the library opens the simulated \\.\Usbscan0 itself, arbitrated by portarb.dll.
    {"direct route", "--route direct --resolution 75 --mode grey --size letter", {0}, 637, 825, 75, ImageType::kGrey},
};

std::string FileOf(const ScanCase& scan, size_t index) {
  if (std::string(scan.args).find("sheet-%02d") != std::string::npos) {
    char name[32];
    std::snprintf(name, sizeof name, "sheet-%02zu.png", index + 1);
    return name;
  }
  char name[32];
  std::snprintf(name, sizeof name, "page-%03zu.png", index + 1);
  return name;
}

TEST(ToolScan, WritesEachPageAsTheScannerRendersIt) {
  for (const ScanCase& scan : kScans) {
    SCOPED_TRACE(scan.name);
    ScratchDir dir;
    const ToolRun run = RunTool(Split(scan.args), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "") << "nothing but the pages should be reported";

    std::set<std::string> expectedFiles;
    uint64_t expectedBytes = 0;
    for (size_t i = 0; i < scan.pages.size(); ++i) {
      const std::string file = FileOf(scan, i);
      expectedFiles.insert(file);
      SCOPED_TRACE(file);
      const Png png = DecodePng(dir / file);
      ASSERT_TRUE(png.ok) << png.error;
      EXPECT_EQ(png.width, scan.width);
      EXPECT_EQ(png.height, scan.height);
      EXPECT_EQ(png.bitDepth, PngBitDepth(scan.type));
      EXPECT_EQ(png.colourType, PngColourType(scan.type));
      EXPECT_TRUE(png.hasPhys);
      EXPECT_EQ(png.physX, PerMetre(scan.dpi));
      EXPECT_EQ(png.physY, PerMetre(scan.dpi));
      EXPECT_EQ(png.physUnit, PNG_RESOLUTION_METER);

      const scansim::PageRequest page{scan.pages[i], scan.width, scan.height, scan.dpi, scan.type};
      const std::vector<uint8_t> expected = ExpectedPngRows(page);
      EXPECT_EQ(FirstDifferentRow(png.pixels, expected, png.rowBytes), -1)
          << "the image differs from the simulator's page " << scan.pages[i];
      expectedBytes += scansim::BytesPerRow(scan.type, (scan.width + 31) / 32 * 32) * uint64_t{scan.height};
    }
    EXPECT_EQ(dir.Files(), expectedFiles);

    // The summary counts what arrived.
    const std::string pages = std::to_string(scan.pages.size()) + (scan.pages.size() == 1 ? " page, " : " pages, ");
    EXPECT_NE(run.out.find("total: " + pages + std::to_string(expectedBytes) + " bytes"), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace tooltest
