// Scans by the tool as a process: each format holds exactly the page asked for (the scanner's 32-pixel
// alignment cut away) with the simulator's pixels and the page's resolution.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace tooltest {
namespace {

using scansim::ImageType;

struct ScanCase {
  const char* args;
  std::vector<std::string> files;  // as written, in page order
  std::vector<uint32_t> pages;     // the simulator's page of each: 0 the flatbed, 1... the sheets
  uint32_t width, height, dpi;
  ImageType type;
};

// Sizes by hand: length x dpi to the nearest pixel, never past the area (8.5 x 11.7 in bed, 8.5 x 14 in
// feeder, rounded down).
const ScanCase kScans[] = {
    {"-r 75", {"page-001.png"}, {0}, 637, 877, 75, ImageType::kColour},
    {"-r 100 -m grey --size 100x50mm", {"page-001.png"}, {0}, 394, 197, 100, ImageType::kGrey},
    {"-r 150 -m bw --size 4x3in --block-bytes 1000 -o bw.png", {"bw.png"}, {0}, 600, 450, 150, ImageType::kBlackWhite},
    {"-r 75 -m bw --size 101x80mm -o bw.tif", {"bw.tif"}, {0}, 298, 236, 75, ImageType::kBlackWhite},
    {"-s feeder --feeder-sheets 3 -r 75 --size a4 -o s%d.png",
     {"s1.png", "s2.png", "s3.png"},
     {1, 2, 3},
     620,
     877,
     75,
     ImageType::kColour},
    {"-s feeder --feeder-sheets 3 -r 75 --size a4 -o job.tif",
     {"job.tif"},
     {1, 2, 3},
     620,
     877,
     75,
     ImageType::kColour},
    {"-s feeder --feeder-sheets 3 -n 2 -r 100 -m grey --compression fast -o job.tif",
     {"job.tif"},
     {1, 2},
     850,
     1400,
     100,
     ImageType::kGrey},
    {"--route direct -r 75 -m grey --size letter", {"page-001.png"}, {0}, 637, 825, 75, ImageType::kGrey},
};

std::vector<Image> Decode(const std::string& path, ImageType type) {
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".tif") == 0) {
    return DecodeTiff(path);
  }
  Image png = DecodePng(path);
  if (type == ImageType::kBlackWhite) {
    png.rows = PackBlackWhite(png.rows, png.width, png.height);
  }
  return {png};
}

TEST(ToolScan, EachFormatHoldsTheSimulatorsPagesAtTheirSize) {
  for (const ScanCase& scan : kScans) {
    SCOPED_TRACE(scan.args);
    ScratchDir dir;
    const ToolRun run = RunTool(scan.args, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(dir.Files(), std::set<std::string>(scan.files.begin(), scan.files.end()));

    std::vector<Image> images;
    for (const std::string& file : scan.files) {
      for (Image& image : Decode(dir / file, scan.type)) {
        images.push_back(std::move(image));
      }
    }
    ASSERT_EQ(images.size(), scan.pages.size());
    for (size_t i = 0; i < images.size(); ++i) {
      SCOPED_TRACE("page " + std::to_string(i + 1));
      const Image expected = ExpectedPage(scan.pages[i], scan.type, scan.width, scan.height, scan.dpi);
      EXPECT_EQ(images[i].width, scan.width);
      EXPECT_EQ(images[i].height, scan.height);
      EXPECT_EQ(images[i].dpi, scan.dpi);
      EXPECT_TRUE(images[i].rows == expected.rows) << "the pixels differ from the simulator's";
    }
  }
}

// One feeder job into every format: PDF pages at A4's physical size, TIFF directories, PNM on a pipe,
// all with the PNG pages' pixels; the JSON summary parses.
TEST(ToolScan, OneJobInEveryFormat) {
  const std::string job = "-s feeder --feeder-sheets 3 -r 75 --size a4 ";
  ScratchDir dir;
  ASSERT_EQ(RunTool(job + "-o p%d.png", dir).status, 0);
  const ToolRun pdf = RunTool(job + "-o job.pdf --json", dir);
  ASSERT_EQ(pdf.status, 0) << pdf.err;
  ASSERT_EQ(RunTool(job + "-o job.tif -q", dir).status, 0);
  const ToolRun pipe = RunTool(job + "-o - --json", dir);
  ASSERT_EQ(pipe.status, 0) << pipe.err;

  const ToolRun info = RunProgram({"/bin/sh", "-c", "pdfinfo job.pdf && pdfimages -png job.pdf img"}, dir.Path());
  EXPECT_NE(info.out.find("Pages:           3\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("595.2 x 841.92 pts (A4)"), std::string::npos) << info.out;
  const std::vector<Image> tiff = DecodeTiff(dir / "job.tif");
  ASSERT_EQ(tiff.size(), 3u);
  const std::string pnm = pipe.out;
  const std::string header = "P6\n620 877\n255\n";
  const size_t pageBytes = header.size() + 620 * 877 * 3;
  ASSERT_EQ(pnm.size(), 3 * pageBytes);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("page " + std::to_string(i + 1));
    const Image png = DecodePng(dir / ("p" + std::to_string(i + 1) + ".png"));
    EXPECT_TRUE(DecodePng(dir / ("img-00" + std::to_string(i) + ".png")).rows == png.rows) << "PDF";
    EXPECT_TRUE(tiff[i].rows == png.rows) << "TIFF";
    EXPECT_EQ(pnm.substr(i * pageBytes, header.size()), header);
    EXPECT_TRUE(pnm.compare(i * pageBytes + header.size(), pageBytes - header.size(),
                            std::string(png.rows.begin(), png.rows.end())) == 0)
        << "PNM";
  }
  // The pipe's summary goes to standard error; every summary is one JSON document.
  std::ofstream(dir / "pipe.json") << pipe.err;
  std::ofstream(dir / "pdf.json") << pdf.out;
  const ToolRun json =
      RunProgram({"/bin/sh", "-c", "python3 -m json.tool pipe.json && python3 -m json.tool pdf.json"}, dir.Path());
  EXPECT_EQ(json.status, 0) << pipe.err << json.err;
}

}  // namespace
}  // namespace tooltest
