// PDF with one page per sheet at the sheet's physical size: each page an image deflated as its rows
// come (in strips, on several threads). Written by hand: a PDF of images needs a dozen objects and a
// cross-reference table, less than binding a PDF library would take, and it streams (no page is held
// in memory).
#include <cinttypes>
#include <vector>

#include "Deflate.h"
#include "Writers.h"

namespace stiscan {

namespace {

std::string Points(uint32_t pixels, uint32_t dpi) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", pixels * 72.0 / dpi);
  return text;
}

class PdfWriter : public Writer {
 public:
  explicit PdfWriter(const Encoding& encoding)
      : level_(DeflateLevel(encoding.fast)), simulated_(encoding.simulated), deflater_(encoding.deflater) {}

  bool Open(std::FILE* file, std::string* error) override {
    out_ = FileOut(file);
    out_.Put("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
    offsets_.assign(3, 0);  // 1 the catalog, 2 the page tree; written at the end
    return !out_.Failed(error);
  }

  bool BeginPage(const client::PageLayout& page, std::string* error) override {
    page_ = page;
    image_ = Start();
    const char* space = page.mode == client::Mode::kColour ? "/DeviceRGB" : "/DeviceGray";
    const int bits = page.mode == client::Mode::kBlackWhite ? 1 : 8;
    // Black-and-white rows keep the scanner's 1 for black.
    const char* decode = page.mode == client::Mode::kBlackWhite ? " /Decode [1 0]" : "";
    out_.Put("<< /Type /XObject /Subtype /Image /Width " + std::to_string(page.width) + " /Height " +
             std::to_string(page.height) + " /ColorSpace " + space + " /BitsPerComponent " + std::to_string(bits) +
             decode + " /Filter /FlateDecode /Length " + std::to_string(image_ + 1) + " 0 R >>\nstream\n");
    streamStart_ = out_.Count();
    if (!deflater_->Begin(level_, page.bytesPerLine, page.bytesPerLine, nullptr,
                          [this](const uint8_t* data, size_t size) { return out_.Put(data, size); })) {
      *error = "zlib cannot start";
      return false;
    }
    return !out_.Failed(error);
  }

  bool Rows(const uint8_t* rows, uint32_t count, std::string* error) override {
    return deflater_->Feed(rows, count) || Failed(error);
  }

  bool EndPage(std::string* error) override {
    if (!FinishImage()) {
      return Failed(error);
    }
    const std::string width = Points(page_.width, page_.dpi);
    const std::string height = Points(page_.height, page_.dpi);
    const std::string content = "q " + width + " 0 0 " + height + " 0 0 cm /Im0 Do Q\n";
    const uint32_t contents = Start();
    out_.Put("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream\nendobj\n");
    pages_.push_back(Start());
    out_.Put("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + width + " " + height +
             "] /Resources << /XObject << /Im0 " + std::to_string(image_) + " 0 R >> >> /Contents " +
             std::to_string(contents) + " 0 R >>\nendobj\n");
    return !out_.Failed(error);
  }

  bool AbandonPage() override {
    // The image object is closed and left without a page: readers skip it.
    FinishImage();
    return true;
  }

  bool Close(std::string* error) override {
    std::string kids;
    for (uint32_t page : pages_) {
      kids += std::to_string(page) + " 0 R ";
    }
    offsets_[2] = out_.Count();
    out_.Put("2 0 obj\n<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages_.size()) + " >>\nendobj\n");
    offsets_[1] = out_.Count();
    out_.Put("1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
    std::string info;
    if (simulated_) {
      info = " /Info " + std::to_string(Start()) + " 0 R";
      out_.Put(std::string("<< /Subject (") + kSimulatedPages + ") >>\nendobj\n");
    }
    const uint64_t xref = out_.Count();
    out_.Put("xref\n0 " + std::to_string(offsets_.size()) + "\n0000000000 65535 f \n");
    for (size_t i = 1; i < offsets_.size(); ++i) {
      char entry[24];
      std::snprintf(entry, sizeof entry, "%010" PRIu64 " 00000 n \n", offsets_[i]);
      out_.Put(entry);
    }
    out_.Put("trailer\n<< /Size " + std::to_string(offsets_.size()) + " /Root 1 0 R" + info + " >>\nstartxref\n" +
             std::to_string(xref) + "\n%%EOF\n");
    return !out_.Failed(error);
  }

 private:
  bool Failed(std::string* error) {
    if (!out_.Failed(error)) {
      *error = "zlib failed";
    }
    return false;
  }

  // Starts the next object; returns its number.
  uint32_t Start() {
    offsets_.push_back(out_.Count());
    const auto number = static_cast<uint32_t>(offsets_.size() - 1);
    out_.Put(std::to_string(number) + " 0 obj\n");
    return number;
  }

  bool FinishImage() {
    const bool ok = deflater_->Finish();
    deflater_->End();
    const uint64_t length = out_.Count() - streamStart_;
    out_.Put("\nendstream\nendobj\n");
    Start();
    out_.Put(std::to_string(length) + "\nendobj\n");
    return ok;
  }

  int level_;
  bool simulated_;
  FileOut out_;
  client::PageLayout page_;
  std::vector<uint64_t> offsets_;
  std::vector<uint32_t> pages_;
  uint32_t image_ = 0;
  uint64_t streamStart_ = 0;
  std::shared_ptr<StripDeflater> deflater_;
};

}  // namespace

std::unique_ptr<Writer> MakePdfWriter(const Encoding& encoding) {
  return std::make_unique<PdfWriter>(encoding);
}

}  // namespace stiscan
