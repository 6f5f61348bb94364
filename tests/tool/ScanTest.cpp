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
// clang-format off
const ScanCase kScans[] = {
    {"-r 75", {"page-001.png"}, {0}, 637, 877, 75, ImageType::kColour},
    {"-r 100 -m grey --size 100x50mm", {"page-001.png"}, {0}, 394, 197, 100, ImageType::kGrey},
    {"-r 150 -m bw --size 4x3in --block-bytes 1000 -o bw.png", {"bw.png"}, {0}, 600, 450, 150, ImageType::kBlackWhite},
    {"-r 75 -m bw --size 101x80mm -o bw.tif", {"bw.tif"}, {0}, 298, 236, 75, ImageType::kBlackWhite},
    {"-s feeder --feeder-sheets 3 -r 75 --size a4 -o s%d.png", {"s1.png", "s2.png", "s3.png"}, {1, 2, 3}, 620, 877, 75,
     ImageType::kColour},
    {"-s feeder --feeder-sheets 3 -r 75 --size a4 -o job.tif", {"job.tif"}, {1, 2, 3}, 620, 877, 75, ImageType::kColour},
    {"-s feeder --feeder-sheets 3 -n 2 -r 100 -m grey --compression fast -o job.tif", {"job.tif"}, {1, 2}, 850, 1400,
     100, ImageType::kGrey},
    {"--route direct -r 75 -m grey --size letter", {"page-001.png"}, {0}, 637, 825, 75, ImageType::kGrey},
};
// clang-format on

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
      for (Image& image : Decode(dir / file)) {
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

// One feeder job into every format: the PDF's pages are A4 and its images (deflated), the TIFF's
// directories and the pages on a pipe hold the PNG pages' pixels; JPEG pages are written; both JSON
// summaries parse.
TEST(ToolScan, OneJobInEveryFormat) {
  const std::string job = "-s feeder --feeder-sheets 3 -r 75 --size a4 ";
  ScratchDir dir;
  const ToolRun pdf = RunTool(job + "-o job.pdf --pdf-compression deflate --json", dir);
  const ToolRun pipe = RunTool(job + "-o - --json", dir);  // the summary on standard error
  ASSERT_EQ(RunTool(job + "-o p%d.png", dir).status + RunTool(job + "-o job.tif", dir).status + pdf.status, 0);
  EXPECT_EQ(RunTool(job + "-o j%d.jpg --quality 50", dir).status, 0);
  EXPECT_TRUE(fs::is_regular_file(dir / "j3.jpg"));
  ASSERT_EQ(pipe.status, 0) << pipe.err;
  std::ofstream(dir / "pdf.json") << pdf.out;
  std::ofstream(dir / "pipe.json") << pipe.err;
  const ToolRun check =
      RunProgram({"/bin/sh", "-c",
                  "pdfinfo job.pdf | grep -E '^Pages|^Page size'; tiffinfo job.tif | grep -c 'TIFF Directory'; "
                  "python3 -m json.tool pdf.json && python3 -m json.tool pipe.json && "
                  "pdfimages -png job.pdf img && echo ok"},
                 dir.Path());
  EXPECT_NE(check.out.find("Pages:           3\nPage size:       595.2 x 841.92 pts (A4)\n3\n"), std::string::npos)
      << check.out;
  EXPECT_EQ(check.out.substr(check.out.size() - 3), "ok\n") << check.err;
  const std::vector<Image> tiff = DecodeTiff(dir / "job.tif");
  std::string pnm;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("page " + std::to_string(i + 1));
    const Image png = DecodePng(dir / ("p" + std::to_string(i + 1) + ".png"));
    EXPECT_TRUE(DecodePng(dir / ("img-00" + std::to_string(i) + ".png")).rows == png.rows) << "PDF";
    EXPECT_TRUE(tiff.size() == 3 && tiff[i].rows == png.rows) << "TIFF";
    pnm += "P6\n620 877\n255\n" + std::string(png.rows.begin(), png.rows.end());
  }
  EXPECT_TRUE(pipe.out == pnm) << "PNM on the pipe";
}

}  // namespace
}  // namespace tooltest
