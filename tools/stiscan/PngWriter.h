// PNG files written row by row as the scanner delivers them: libpng on Linux, a small writer of our own
// (uncompressed "stored" deflate blocks) on Windows, where libpng is not at hand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace stiscan {

enum class PngKind { kRgb8, kGrey8, kGrey1 };

struct PngHeader {
  uint32_t width = 0;   // pixels
  uint32_t height = 0;  // rows
  PngKind kind = PngKind::kRgb8;
  uint32_t dpi = 0;  // recorded in pHYs; 0 for none
};

// Bytes of one row in PNG sample order: 3 per pixel, 1 per pixel, or 8 pixels per byte.
uint32_t PngRowBytes(const PngHeader& header);
// The pHYs value for a resolution: pixels per metre, rounded to the nearest.
uint32_t PixelsPerMetre(uint32_t dpi);

class PngWriter {
 public:
  virtual ~PngWriter() = default;
  // Creates (or replaces) `path` and writes everything that comes before the image data.
  virtual bool Begin(const std::string& path, const PngHeader& header, std::string* error) = 0;
  // `count` rows of PngRowBytes bytes each, top first. For kGrey1, 1 is white, as PNG has it.
  virtual bool WriteRows(const uint8_t* rows, uint32_t count, std::string* error) = 0;
  // Completes and closes the file; false when rows are missing or the file could not be written.
  virtual bool Finish(std::string* error) = 0;
  // Closes the file without completing it; the caller removes it.
  virtual void Abandon() = 0;
};

// The writer with stored deflate blocks, CRC-32 and Adler-32 of its own (both platforms).
std::unique_ptr<PngWriter> MakeStoredPngWriter();
#if !defined(_WIN32)
// The writer over libpng.
std::unique_ptr<PngWriter> MakeLibpngWriter();
#endif
// The platform's writer.
std::unique_ptr<PngWriter> MakePngWriter();

}  // namespace stiscan
