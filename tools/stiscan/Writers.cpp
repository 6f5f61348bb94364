#include "Writers.h"

#include <cerrno>
#include <cstring>
#include <map>

#include "Deflate.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace stiscan {

std::unique_ptr<Writer> MakePngWriter(const Encoding& encoding);
std::unique_ptr<Writer> MakePdfWriter(const Encoding& encoding);
std::unique_ptr<Writer> MakeTiffWriter(const Encoding& encoding);
#if !defined(_WIN32)
std::unique_ptr<Writer> MakeJpegWriter(const Encoding& encoding);
#endif

namespace {

// Netpbm: P6 colour, P5 grey, P4 black-and-white (1 black, as the scanner has it); pages follow each
// other in one stream.
class PnmWriter : public Writer {
 public:
  bool Open(std::FILE* file, std::string*) override {
    out_ = FileOut(file);
    return true;
  }
  bool BeginPage(const client::PageLayout& page, std::string* error) override {
    bytes_ = page.bytesPerLine;
    const char* magic = page.mode == client::Mode::kColour ? "P6" : page.mode == client::Mode::kGrey ? "P5" : "P4";
    out_.Put(std::string(magic) + "\n" + std::to_string(page.width) + " " + std::to_string(page.height) + "\n" +
             (page.mode == client::Mode::kBlackWhite ? "" : "255\n"));
    return !out_.Failed(error);
  }
  bool Rows(const uint8_t* rows, uint32_t count, std::string* error) override {
    return out_.Put(rows, static_cast<size_t>(count) * bytes_) || !out_.Failed(error);
  }
  bool EndPage(std::string* error) override { return std::fflush(out_.File()) == 0 || !out_.Failed(error); }
  bool AbandonPage() override { return false; }
  bool Close(std::string* error) override { return !out_.Failed(error); }

 private:
  FileOut out_;
  uint32_t bytes_ = 0;
};

const std::map<std::string, Format>& Names() {
  static const std::map<std::string, Format> names = {
      {"png", Format::kPng},   {"jpg", Format::kJpeg}, {"jpeg", Format::kJpeg}, {"tif", Format::kTiff},
      {"tiff", Format::kTiff}, {"pdf", Format::kPdf},  {"pnm", Format::kPnm},   {"ppm", Format::kPnm},
      {"pgm", Format::kPnm},   {"pbm", Format::kPnm},
  };
  return names;
}

}  // namespace

const char* FormatName(Format format) {
  switch (format) {
    case Format::kJpeg:
      return "jpeg";
    case Format::kTiff:
      return "tiff";
    case Format::kPdf:
      return "pdf";
    case Format::kPnm:
      return "pnm";
    case Format::kPng:
      break;
  }
  return "png";
}

bool FormatFromName(const std::string& name, Format* format) {
  std::string lower;
  for (char c : name) {
    lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  const auto found = Names().find(lower);
  if (found == Names().end()) {
    return false;
  }
  *format = found->second;
  return true;
}

bool FormatFromExtension(const std::string& path, Format* format) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return false;
  }
  return FormatFromName(path.substr(dot + 1), format);
}

bool MultiPage(Format format) {
  return format == Format::kTiff || format == Format::kPdf;
}

bool Available(Format format, std::string* why) {
#if defined(_WIN32)
  if (format == Format::kJpeg) {
    *why = "this Windows build has no JPEG encoder; use png, tiff or pdf";
    return false;
  }
#endif
  (void)format;
  (void)why;
  return true;
}

std::unique_ptr<Writer> MakeWriter(Format format, Encoding encoding) {
  if (encoding.deflater == nullptr) {
    encoding.deflater = std::make_shared<StripDeflater>();
  }
  switch (format) {
    case Format::kJpeg:
#if !defined(_WIN32)
      return MakeJpegWriter(encoding);
#else
      return nullptr;
#endif
    case Format::kTiff:
      return MakeTiffWriter(encoding);
    case Format::kPdf:
      return MakePdfWriter(encoding);
    case Format::kPnm:
      return std::make_unique<PnmWriter>();
    case Format::kPng:
      break;
  }
  return MakePngWriter(encoding);
}

std::string SystemReason(int error) {
  return std::strerror(error);
}

}  // namespace stiscan
