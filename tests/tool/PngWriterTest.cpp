// Both PNG writers, read back by libpng: the tool's own writer (stored deflate blocks, used on Windows)
// and the libpng writer (used on Linux) store the same rows, header and resolution.
#include <gtest/gtest.h>

#include "PngWriter.h"
#include "ToolHarness.h"

namespace tooltest {
namespace {

using stiscan::PngHeader;
using stiscan::PngKind;

struct WriterCase {
  const char* name;
  PngHeader header;
  uint32_t rowsPerCall;
};

// Sizes chosen so the data cross the 65535-byte limit of a stored block, and a black-and-white row
// ends in a partly used byte.
const WriterCase kWriterCases[] = {
    {"colour, several stored blocks", {301, 97, PngKind::kRgb8, 300}, 7},
    {"grey, one row per call", {1000, 70, PngKind::kGrey8, 100}, 1},
    {"black-and-white, width not a multiple of 8", {77, 40, PngKind::kGrey1, 75}, 40},
    {"one pixel", {1, 1, PngKind::kGrey8, 1200}, 1},
    {"no resolution", {16, 4, PngKind::kRgb8, 0}, 4},
};

std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> data(bytes);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return data;
}

TEST(PngWriters, LibpngReadsBackWhatEachWriterStored) {
  const std::pair<const char*, std::unique_ptr<stiscan::PngWriter> (*)()> writers[] = {
      {"stored", &stiscan::MakeStoredPngWriter},
      {"libpng", &stiscan::MakeLibpngWriter},
  };
  for (const auto& writer : writers) {
    for (const WriterCase& c : kWriterCases) {
      SCOPED_TRACE(std::string(writer.first) + ": " + c.name);
      ScratchDir dir;
      const uint32_t rowBytes = stiscan::PngRowBytes(c.header);
      std::vector<uint8_t> rows = Pattern(static_cast<size_t>(rowBytes) * c.header.height, c.header.width);
      if (c.header.kind == PngKind::kGrey1) {
        // The bits past the last pixel carry nothing; the writers keep what they are given.
        for (uint32_t r = 0; r < c.header.height; ++r) {
          rows[(r + 1) * rowBytes - 1] &= static_cast<uint8_t>(0xFF << (rowBytes * 8 - c.header.width));
        }
      }

      auto png = writer.second();
      std::string error;
      ASSERT_TRUE(png->Begin(dir / "out.png", c.header, &error)) << error;
      for (uint32_t r = 0; r < c.header.height; r += c.rowsPerCall) {
        const uint32_t count = std::min(c.rowsPerCall, c.header.height - r);
        ASSERT_TRUE(png->WriteRows(rows.data() + static_cast<size_t>(r) * rowBytes, count, &error)) << error;
      }
      ASSERT_TRUE(png->Finish(&error)) << error;

      const Png read = DecodePng(dir / "out.png");
      ASSERT_TRUE(read.ok) << read.error;
      EXPECT_EQ(read.width, c.header.width);
      EXPECT_EQ(read.height, c.header.height);
      EXPECT_EQ(read.bitDepth, c.header.kind == PngKind::kGrey1 ? 1 : 8);
      EXPECT_EQ(read.colourType, c.header.kind == PngKind::kRgb8 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY);
      EXPECT_EQ(read.hasPhys, c.header.dpi != 0);
      if (c.header.dpi != 0) {
        EXPECT_EQ(read.physX, PerMetre(c.header.dpi));
        EXPECT_EQ(read.physY, PerMetre(c.header.dpi));
        EXPECT_EQ(read.physUnit, PNG_RESOLUTION_METER);
      }
      EXPECT_EQ(FirstDifferentRow(read.pixels, rows, rowBytes), -1);
    }
  }
}

TEST(PngWriters, AnIncompleteImageIsRefused) {
  for (auto make : {&stiscan::MakeStoredPngWriter, &stiscan::MakeLibpngWriter}) {
    ScratchDir dir;
    auto png = make();
    const PngHeader header{8, 4, PngKind::kGrey8, 75};
    std::string error;
    ASSERT_TRUE(png->Begin(dir / "out.png", header, &error)) << error;
    const std::vector<uint8_t> rows(8 * 5, 0x80);
    ASSERT_TRUE(png->WriteRows(rows.data(), 3, &error)) << error;
    EXPECT_FALSE(png->WriteRows(rows.data(), 2, &error)) << "a fifth row of four";
    EXPECT_FALSE(png->Finish(&error));
    EXPECT_EQ(error, "the image ended after 3 of 4 rows");
  }
}

}  // namespace
}  // namespace tooltest
