// The synthetic pages: row sizes, slices, resolution independence, and the three image types.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "simulator/Render.h"

namespace {

using scansim::BytesPerRow;
using scansim::ImageType;
using scansim::PageRequest;
using scansim::RenderPage;
using scansim::RenderRows;

TEST(RenderTest, RowSizes) {
  struct Case {
    ImageType type;
    uint32_t width;
    uint32_t bytes;
  };
  const Case cases[] = {
      {ImageType::kColour, 1, 3},     {ImageType::kColour, 2560, 7680},    {ImageType::kGrey, 1, 1},
      {ImageType::kGrey, 2560, 2560}, {ImageType::kBlackWhite, 1, 1},      {ImageType::kBlackWhite, 8, 1},
      {ImageType::kBlackWhite, 9, 2}, {ImageType::kBlackWhite, 2550, 319},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BytesPerRow(c.type, c.width), c.bytes) << static_cast<int>(c.type) << " x " << c.width;
  }
}

// Blocks are rendered one at a time: any run of rows must equal the same rows of the whole page.
TEST(RenderTest, SlicesEqualTheWholePage) {
  const PageRequest pages[] = {
      {1, 424, 600, 100, ImageType::kColour},
      {2, 413, 350, 75, ImageType::kBlackWhite},
      {0, 300, 500, 150, ImageType::kGrey},
  };
  for (const PageRequest& page : pages) {
    const std::vector<uint8_t> whole = RenderPage(page);
    const uint32_t row_bytes = BytesPerRow(page.type, page.width);
    ASSERT_EQ(whole.size(), size_t{row_bytes} * page.height);
    const uint32_t slices[][2] = {{0, 1}, {0, 37}, {37, 100}, {page.height - 1, 1}, {123, page.height - 123}};
    for (const auto& slice : slices) {
      std::vector<uint8_t> rows(size_t{row_bytes} * slice[1], 0xEE);
      RenderRows(page, slice[0], slice[1], rows.data());
      EXPECT_TRUE(std::equal(rows.begin(), rows.end(), whole.begin() + size_t{row_bytes} * slice[0]))
          << "page " << page.page << " rows " << slice[0] << "+" << slice[1];
    }
  }
}

// The chart is drawn in physical units: pixel (x, y) at the lower resolution is pixel (kx, ky) at a
// resolution k times higher, so a scan at any resolution shows the same page.
TEST(RenderTest, SamePointSameColourAtEveryResolution) {
  struct Case {
    uint32_t low_dpi;
    uint32_t factor;
    ImageType type;
  };
  const Case cases[] = {
      {75, 4, ImageType::kColour}, {100, 3, ImageType::kGrey},       {150, 2, ImageType::kColour},
      {200, 3, ImageType::kGrey},  {150, 8, ImageType::kBlackWhite}, {300, 4, ImageType::kBlackWhite},
  };
  for (const Case& c : cases) {
    // The top of a letter-size page (8.5 x 3 inches): every band and the first lines of text.
    const PageRequest low{4, 17 * c.low_dpi / 2, 3 * c.low_dpi, c.low_dpi, c.type};
    PageRequest high = low;
    high.width *= c.factor;
    high.height *= c.factor;
    high.dpi *= c.factor;
    const std::vector<uint8_t> a = RenderPage(low);
    const std::vector<uint8_t> b = RenderPage(high);
    const uint32_t a_row = BytesPerRow(low.type, low.width);
    const uint32_t b_row = BytesPerRow(high.type, high.width);
    size_t mismatches = 0;
    for (uint32_t y = 0; y < low.height; ++y) {
      for (uint32_t x = 0; x < low.width; ++x) {
        const uint32_t hx = x * c.factor;
        const uint32_t hy = y * c.factor;
        switch (c.type) {
          case ImageType::kColour:
            for (uint32_t k = 0; k < 3; ++k) {
              mismatches += a[size_t{y} * a_row + 3 * x + k] != b[size_t{hy} * b_row + 3 * hx + k];
            }
            break;
          case ImageType::kGrey:
            mismatches += a[size_t{y} * a_row + x] != b[size_t{hy} * b_row + hx];
            break;
          case ImageType::kBlackWhite:
            mismatches += ((a[size_t{y} * a_row + x / 8] >> (7 - x % 8)) & 1) !=
                          ((b[size_t{hy} * b_row + hx / 8] >> (7 - hx % 8)) & 1);
            break;
        }
      }
    }
    EXPECT_EQ(mismatches, 0u) << c.low_dpi << " dpi against " << high.dpi << " dpi";
  }
}

// Each page of a batch is its own page, and the same page is the same every time.
TEST(RenderTest, PagesAreDeterministicAndDistinct) {
  const ImageType types[] = {ImageType::kColour, ImageType::kGrey, ImageType::kBlackWhite};
  for (ImageType type : types) {
    std::vector<std::vector<uint8_t>> pages;
    for (uint32_t page = 0; page < 4; ++page) {
      pages.push_back(RenderPage({page, 850, 1100, 100, type}));
      EXPECT_EQ(pages.back(), RenderPage({page, 850, 1100, 100, type})) << "page " << page;
    }
    for (size_t i = 0; i < pages.size(); ++i) {
      for (size_t j = i + 1; j < pages.size(); ++j) {
        EXPECT_NE(pages[i], pages[j]) << "pages " << i << " and " << j << ", type " << static_cast<int>(type);
      }
    }
  }
}

// Black-and-white data is the grey page cut at half intensity, 1 = black, leftmost pixel in the top
// bit, and the unused bits of a row's last byte are 0.
TEST(RenderTest, BlackAndWhiteIsTheThresholdedGreyPage) {
  const uint32_t widths[] = {850, 853, 857};
  for (uint32_t width : widths) {
    const PageRequest grey{3, width, 400, 100, ImageType::kGrey};
    PageRequest bw = grey;
    bw.type = ImageType::kBlackWhite;
    const std::vector<uint8_t> g = RenderPage(grey);
    const std::vector<uint8_t> b = RenderPage(bw);
    const uint32_t row = BytesPerRow(ImageType::kBlackWhite, width);
    size_t black = 0;
    size_t wrong = 0;
    size_t padding = 0;
    for (uint32_t y = 0; y < grey.height; ++y) {
      for (uint32_t x = 0; x < row * 8; ++x) {
        const bool bit = ((b[size_t{y} * row + x / 8] >> (7 - x % 8)) & 1) != 0;
        if (x >= width) {
          padding += bit;
          continue;
        }
        black += bit;
        wrong += bit != (g[size_t{y} * width + x] < 128);
      }
    }
    EXPECT_EQ(wrong, 0u) << "width " << width;
    EXPECT_EQ(padding, 0u) << "width " << width;
    // A page of ink on paper: neither blank nor solid.
    const size_t pixels = size_t{width} * grey.height;
    EXPECT_GT(black, pixels / 50) << "width " << width;
    EXPECT_LT(black, pixels / 2) << "width " << width;
  }
}

// The colour page carries what a test chart needs: black, paper white, saturated primaries and a
// full grey ramp.
TEST(RenderTest, ColourPageHasChartContent) {
  const PageRequest page{1, 850, 1100, 100, ImageType::kColour};
  const std::vector<uint8_t> p = RenderPage(page);
  bool black = false;
  bool red = false;
  bool green = false;
  bool blue = false;
  bool paper = false;
  std::vector<bool> greys(256, false);
  for (size_t i = 0; i + 2 < p.size(); i += 3) {
    const uint8_t r = p[i];
    const uint8_t g = p[i + 1];
    const uint8_t b = p[i + 2];
    black |= r == 0 && g == 0 && b == 0;
    red |= r == 255 && g == 0 && b == 0;
    green |= r == 0 && g == 255 && b == 0;
    blue |= r == 0 && g == 0 && b == 255;
    paper |= r > 230 && g > 230 && b > 220;
    if (r == g && g == b) {
      greys[r] = true;
    }
  }
  EXPECT_TRUE(black);
  EXPECT_TRUE(red);
  EXPECT_TRUE(green);
  EXPECT_TRUE(blue);
  EXPECT_TRUE(paper);
  EXPECT_GT(std::count(greys.begin(), greys.end(), true), 200);
}

}  // namespace
