// The image files stiscan writes. Every writer takes rows in the scanner's format (R, G, B; grey with
// 0 black; black-and-white eight pixels a byte, leftmost in the top bit, 1 black) and stores the same
// pixels: the lossless formats decode to identical images on both platforms.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "client/ScanSession.h"

namespace stiscan {

class StripDeflater;
class PageReader;

enum class Format { kPng, kJpeg, kTiff, kPdf, kPnm };

// "png", "jpeg", ...
const char* FormatName(Format format);
// The format named on the command line ("png", "jpg", "jpeg", "tif", "tiff", "pdf", "pnm"), or by a
// file name's extension; false when none fits.
bool FormatFromName(const std::string& name, Format* format);
bool FormatFromExtension(const std::string& path, Format* format);
// Whether one file holds every page of a job.
bool MultiPage(Format format);
// Whether this build writes the format; `why` gets the reason when not.
bool Available(Format format, std::string* why);

struct Encoding {
  int quality = 90;   // JPEG, 1 to 100
  bool fast = false;  // the fastest compression setting of PNG, TIFF and PDF
  // PDF: colour and grey pages deflated, not JPEG (black-and-white pages are CCITT G4 either way; the
  // Windows build deflates every page).
  bool pdfDeflate = false;
  // The pages come from the simulated scanner: PDF and TIFF say so in their metadata, so that a file
  // passed on is never taken for a scan of paper.
  bool simulated = false;
  // The job's deflater, used in turn by every file of the job that is deflated; MakeWriter makes one
  // when none is given.
  std::shared_ptr<StripDeflater> deflater;
  // PDF: reads the words on each page for an invisible text layer; none without --ocr.
  std::shared_ptr<PageReader> reader;
};

// The metadata text of a simulated scanner's pages (PDF /Subject, TIFF ImageDescription).
inline constexpr char kSimulatedPages[] = "Pages of the simulated scanner, not of paper";

// One output stream. The calls of one job come in the order Open, (BeginPage, Rows..., EndPage)...,
// Close; all on one thread. A false return carries the reason in `error`; the stream is then given up.
class Writer {
 public:
  virtual ~Writer() = default;
  // Writes to `file`, which stays the caller's.
  virtual bool Open(std::FILE* file, std::string* error) = 0;
  virtual bool BeginPage(const client::PageLayout& page, std::string* error) = 0;
  virtual bool Rows(const uint8_t* rows, uint32_t count, std::string* error) = 0;
  virtual bool EndPage(std::string* error) = 0;
  // Gives up the page begun last, keeping the pages ended before it; the stream is then closed. False
  // when the stream cannot drop a page: the caller removes the whole file.
  virtual bool AbandonPage() = 0;
  virtual bool Close(std::string* error) = 0;
};

std::unique_ptr<Writer> MakeWriter(Format format, Encoding encoding);

// The system's reason for the last failure of a C library call ("No space left on device").
std::string SystemReason(int error);

}  // namespace stiscan
