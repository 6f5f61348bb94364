#include "Render.h"

#include <algorithm>
#include <cstring>

#include "Paper.h"

namespace scansim {

namespace {

// The chart is laid out in units (Page.h).
constexpr uint32_t kFrame = 24;  // black border
constexpr uint32_t kSide = 240;  // left and right margin of the bands
constexpr uint32_t kGridPitch = 1200;
constexpr uint32_t kGridLine = 6;

// Bands from the top edge: [top, bottom) in units. The page number comes first, so that even a small
// window in the top-left corner tells the sheets apart.
constexpr uint32_t kBarcodeTop = 60, kBarcodeBottom = 200, kBarcodeLeft = 60;
constexpr uint32_t kGreyRampTop = 240, kGreyRampBottom = 840;
constexpr uint32_t kHueRampTop = 960, kHueRampBottom = 1560;
constexpr uint32_t kSwatchTop = 1680, kSwatchBottom = 2040;
constexpr uint32_t kTextTop = 2640;

constexpr uint32_t kBarPitch = 96, kBarWidth = 72, kBars = 18;  // guard, page number bits 0 to 15, guard
constexpr uint32_t kLinePitch = 240, kDot = 24, kGlyphRows = 5, kGlyphColumns = 3;
constexpr uint32_t kCellPitch = 96, kTextSide = 360;
constexpr uint32_t kSwatches = 12;

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kGrid{170, 170, 170};
constexpr Rgb kSwatchColours[kSwatches] = {{255, 0, 0},   {0, 255, 0},     {0, 0, 255},     {0, 255, 255},
                                           {255, 0, 255}, {255, 255, 0},   {0, 0, 0},       {255, 255, 255},
                                           {64, 64, 64},  {128, 128, 128}, {192, 192, 192}, {128, 64, 0}};

uint32_t Hash(uint32_t page, uint32_t line, uint32_t cell) {
  return Mix(page * 0x9e3779b1U ^ Mix(line * 0x85ebca77U ^ Mix(cell + 0x165667b1U)));
}

Rgb Hue(uint32_t h) {  // h in [0, 1530]
  const auto f = static_cast<uint8_t>(h % 255);
  const auto g = static_cast<uint8_t>(255 - f);
  switch (h / 255) {
    case 0:
      return {255, f, 0};
    case 1:
      return {g, 255, 0};
    case 2:
      return {0, 255, f};
    case 3:
      return {0, g, 255};
    case 4:
      return {f, 0, 255};
    case 5:
      return {255, 0, g};
    default:
      return {255, 0, 0};
  }
}

Rgb Scale(Rgb c, uint32_t num, uint32_t den) {
  return {static_cast<uint8_t>(c.r * num / den), static_cast<uint8_t>(c.g * num / den),
          static_cast<uint8_t>(c.b * num / den)};
}

enum class Band { kNone, kGreyRamp, kHueRamp, kSwatches, kBarcode, kText };

// What one row of the chart holds; everything that depends on the row alone.
struct Row {
  uint32_t y = 0;
  Band band = Band::kNone;
  uint32_t line = 0;        // text line
  uint32_t dot_row = 0;     // row of the glyph dots, kGlyphRows when between glyph rows
  uint32_t line_cells = 0;  // cells of the line that carry glyphs
};

class Chart {
 public:
  explicit Chart(const PageRequest& r)
      : page_(r.page), width_(ToUnits(r.width, r.dpi)), height_(ToUnits(r.height, r.dpi)) {
    bandWidth_ = width_ > 2 * kSide ? width_ - 2 * kSide : 0;
    textCells_ = width_ > 2 * kTextSide ? (width_ - 2 * kTextSide) / kCellPitch : 0;
    ink_ = {16, 24, static_cast<uint8_t>(64 + (page_ * 29) % 128)};
    paper_ = {250, 248, 240};
  }

  Row RowAt(uint32_t y) const {
    Row row;
    row.y = y;
    if (y >= kBarcodeTop && y < kBarcodeBottom) {
      row.band = Band::kBarcode;
      return row;
    }
    if (bandWidth_ == 0) {
      return row;
    }
    if (y >= kGreyRampTop && y < kGreyRampBottom) {
      row.band = Band::kGreyRamp;
    } else if (y >= kHueRampTop && y < kHueRampBottom) {
      row.band = Band::kHueRamp;
    } else if (y >= kSwatchTop && y < kSwatchBottom) {
      row.band = Band::kSwatches;
    } else if (y >= kTextTop && y + kSide < height_ && textCells_ > 0) {
      row.line = (y - kTextTop) / kLinePitch;
      const uint32_t in_line = (y - kTextTop) % kLinePitch;
      row.dot_row = in_line / kDot;
      // Every seventh line is a paragraph gap; the others end at a ragged right edge.
      if (row.dot_row < kGlyphRows && row.line % 7 != 6) {
        row.band = Band::kText;
        row.line_cells = textCells_ - Hash(page_, row.line, ~0U) % (textCells_ / 3 + 1);
      }
    }
    return row;
  }

  // Whether x, in the barcode band, falls on a black bar: the two guards and the page number's bits.
  bool OnBar(uint32_t x) const {
    const uint32_t bar = (x - kBarcodeLeft) / kBarPitch;
    if (bar >= kBars || (x - kBarcodeLeft) % kBarPitch >= kBarWidth) {
      return false;
    }
    const bool guard = bar == 0 || bar == kBars - 1;
    return guard || ((page_ >> (bar - 1)) & 1) != 0;
  }

  // Where the colour of the row may next change: At is the same for every x in [x, RunEnd(row, x)).
  // Past the last column the end is the chart's width. Text rows are taken without their text
  // (StampText adds it).
  uint32_t RunEnd(const Row& row, uint32_t x) const {
    const uint32_t y = row.y;
    uint32_t end = width_;
    const auto limit = [&](uint64_t at) {
      if (at > x && at < end) {
        end = static_cast<uint32_t>(at);
      }
    };
    if (y < kFrame || y + kFrame >= height_) {
      return end;  // the frame's rows are black across
    }
    limit(kFrame);
    limit(width_ - kFrame);
    limit(uint64_t{x} / kGridPitch * kGridPitch + kGridLine);
    limit((uint64_t{x} / kGridPitch + 1) * kGridPitch);
    limit((uint64_t{x + y} / 600 + 1) * 600 - y);
    if (row.band == Band::kBarcode) {
      limit(kBarcodeLeft);
      if (x >= kBarcodeLeft) {
        const uint64_t bar = kBarcodeLeft + uint64_t{x - kBarcodeLeft} / kBarPitch * kBarPitch;
        limit(bar + kBarWidth);
        limit(bar + kBarPitch);
      }
    } else if (row.band != Band::kNone) {
      limit(kSide);
      limit(uint64_t{kSide} + bandWidth_);
      if (x >= kSide && x - kSide < bandWidth_) {
        if (row.band == Band::kHueRamp) {
          return x + 1;  // the hues change from one unit to the next
        }
        // The first unit of the next step: the least bx with bx * steps / bandWidth_ > k.
        const uint64_t steps = row.band == Band::kSwatches ? kSwatches : 256;
        const uint64_t next = uint64_t{x - kSide} * steps / bandWidth_ + 1;
        limit(kSide + (next * bandWidth_ + steps - 1) / steps);
      }
    }
    return end;
  }

  // Inks the glyph dots of a text row into `line`, a row of pixels drawn without them; `first_pixel`
  // gives the first pixel at or past a unit.
  template <typename FirstPixel>
  void StampText(const Row& row, Rgb* line, FirstPixel first_pixel) const {
    for (uint32_t cell = 0; cell < row.line_cells; ++cell) {
      const uint32_t glyph = Hash(page_, row.line, cell);
      if ((glyph & 7) <= 1) {
        continue;
      }
      for (uint32_t column = 0; column < kGlyphColumns; ++column) {
        if (((glyph >> (3 + row.dot_row * kGlyphColumns + column)) & 1) != 0) {
          const uint32_t left = kTextSide + cell * kCellPitch + column * kDot;
          std::fill(line + first_pixel(left), line + first_pixel(left + kDot), ink_);
        }
      }
    }
  }

  Rgb At(const Row& row, uint32_t x) const {
    const uint32_t y = row.y;
    if (x < kFrame || y < kFrame || x + kFrame >= width_ || y + kFrame >= height_) {
      return kBlack;
    }
    if (row.band == Band::kBarcode && x >= kBarcodeLeft) {
      if (OnBar(x)) {
        return kBlack;
      }
    } else if (row.band != Band::kNone && row.band != Band::kText && x >= kSide && x - kSide < bandWidth_) {
      const uint32_t bx = x - kSide;
      switch (row.band) {
        case Band::kGreyRamp: {
          const auto v = static_cast<uint8_t>(uint64_t{bx} * 256 / bandWidth_);
          return {v, v, v};
        }
        case Band::kHueRamp:
          // Across: the hues; down: from full to half brightness.
          return Scale(Hue(static_cast<uint32_t>(uint64_t{bx} * 1530 / bandWidth_)),
                       2 * (kHueRampBottom - kHueRampTop) - (y - kHueRampTop), 2 * (kHueRampBottom - kHueRampTop));
        case Band::kSwatches:
          return kSwatchColours[(uint64_t{bx} * kSwatches / bandWidth_ + page_) % kSwatches];
        default:
          break;
      }
    }
    if (row.band == Band::kText && x >= kTextSide) {
      const uint32_t cell = (x - kTextSide) / kCellPitch;
      const uint32_t in_cell = (x - kTextSide) % kCellPitch;
      if (cell < row.line_cells && in_cell < kGlyphColumns * kDot) {
        const uint32_t glyph = Hash(page_, row.line, cell);
        // A quarter of the cells are spaces; the others show a 3 x 5 dot glyph.
        if ((glyph & 7) > 1 && ((glyph >> (3 + row.dot_row * kGlyphColumns + in_cell / kDot)) & 1) != 0) {
          return ink_;
        }
      }
    }
    if (x % kGridPitch < kGridLine || y % kGridPitch < kGridLine) {
      return kGrid;
    }
    const auto shade = static_cast<uint8_t>(((x + y) / 600 + 3 * page_) % 16);
    return {static_cast<uint8_t>(paper_.r - shade), static_cast<uint8_t>(paper_.g - shade),
            static_cast<uint8_t>(paper_.b - shade)};
  }

 private:
  uint32_t page_;
  uint32_t width_;
  uint32_t height_;
  uint32_t bandWidth_ = 0;
  uint32_t textCells_ = 0;
  Rgb ink_{};
  Rgb paper_{};
};

}  // namespace

void RenderRows(const PageRequest& request, uint32_t first_row, uint32_t rows, uint8_t* out) {
  if (request.dpi == 0 || request.width == 0 || rows == 0) {
    return;
  }
  if (request.paper) {
    RenderPaperRows(request, first_row, rows, out);
    return;
  }
  const Chart chart(request);
  const uint32_t bytes_per_row = BytesPerRow(request.type, request.width);
  std::vector<uint32_t> xs(request.width);
  for (uint32_t x = 0; x < request.width; ++x) {
    xs[x] = ToUnits(x, request.dpi);
  }
  // Each row in runs of one colour, the chart looked at once a run, then the page's text stamped on.
  const auto first_pixel = [&](uint32_t units) { return FirstPixel(units, request.dpi, request.width); };
  std::vector<Rgb> line(request.width);
  std::vector<uint8_t> grey(request.type == ImageType::kBlackWhite ? request.width : 0);
  for (uint32_t i = 0; i < rows; ++i) {
    const Row row = chart.RowAt(ToUnits(first_row + i, request.dpi));
    Row ground = row;
    if (ground.band == Band::kText) {
      ground.band = Band::kNone;
    }
    for (uint32_t x = 0; x < request.width;) {
      const uint32_t end = first_pixel(chart.RunEnd(ground, xs[x]));
      std::fill(line.data() + x, line.data() + end, chart.At(ground, xs[x]));
      x = end;
    }
    if (row.band == Band::kText) {
      chart.StampText(row, line.data(), first_pixel);
    }
    uint8_t* p = out + size_t{i} * bytes_per_row;
    switch (request.type) {
      case ImageType::kColour:
        std::memcpy(p, line.data(), size_t{request.width} * 3);
        break;
      case ImageType::kGrey:
        for (uint32_t x = 0; x < request.width; ++x) {
          *p++ = Luminance(line[x]);
        }
        break;
      case ImageType::kBlackWhite:
      default:
        std::transform(line.begin(), line.end(), grey.begin(), Luminance);
        PackBlackWhite(grey.data(), request.width, p);
        break;
    }
  }
}

std::vector<uint8_t> RenderPage(const PageRequest& request) {
  std::vector<uint8_t> page(size_t{BytesPerRow(request.type, request.width)} * request.height);
  RenderRows(request, 0, request.height, page.data());
  return page;
}

}  // namespace scansim
