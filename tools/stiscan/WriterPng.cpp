// PNG over zlib: the chunks are written here, the image data deflated in strips as the rows come (on
// several threads), each row with the Sub filter (none for black-and-white), in IDAT chunks of 64 KiB.
#include <zlib.h>

#include <algorithm>
#include <cmath>

#include "Deflate.h"
#include "Writers.h"

namespace stiscan {

namespace {

void Store32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

class PngWriter : public Writer {
 public:
  explicit PngWriter(const Encoding& encoding) : level_(DeflateLevel(encoding.fast)), deflater_(encoding.deflater) {}

  bool Open(std::FILE* file, std::string*) override {
    out_ = FileOut(file);
    return true;
  }

  bool BeginPage(const client::PageLayout& page, std::string* error) override {
    page_ = page;
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out_.Put(kSignature, sizeof kSignature);
    uint8_t header[13] = {};
    Store32(header, page.width);
    Store32(header + 4, page.height);
    header[8] = page.mode == client::Mode::kBlackWhite ? 1 : 8;
    header[9] = page.mode == client::Mode::kColour ? 2 : 0;
    Chunk("IHDR", header, sizeof header);
    uint8_t phys[9] = {};
    const auto perMetre = static_cast<uint32_t>(std::lround(page.dpi / 0.0254));
    Store32(phys, perMetre);
    Store32(phys + 4, perMetre);
    phys[8] = 1;
    Chunk("pHYs", phys, sizeof phys);
    idat_.clear();
    if (!deflater_->Begin(level_, page.bytesPerLine, page.bytesPerLine + 1, Filter(page),
                          [this](const uint8_t* data, size_t size) { return Idat(data, size); })) {
      *error = "zlib cannot start";
      return false;
    }
    return !out_.Failed(error);
  }

  bool Rows(const uint8_t* rows, uint32_t count, std::string* error) override {
    return deflater_->Feed(rows, count) || Failed(error);
  }

  bool EndPage(std::string* error) override {
    if (!deflater_->Finish() || (!idat_.empty() && !Chunk("IDAT", idat_.data(), idat_.size()))) {
      return Failed(error);
    }
    deflater_->End();
    Chunk("IEND", nullptr, 0);
    return !out_.Failed(error);
  }

  bool AbandonPage() override {
    deflater_->End();
    return false;
  }

  bool Close(std::string* error) override { return !out_.Failed(error); }

 private:
  bool Failed(std::string* error) {
    if (!out_.Failed(error)) {
      *error = "zlib failed";
    }
    return false;
  }

  bool Chunk(const char* type, const uint8_t* data, size_t size) {
    uint8_t head[8];
    Store32(head, static_cast<uint32_t>(size));
    std::copy(type, type + 4, head + 4);
    uLong crc = crc32(0, head + 4, 4);
    if (size != 0) {
      crc = crc32(crc, data, static_cast<uInt>(size));
    }
    uint8_t tail[4];
    Store32(tail, static_cast<uint32_t>(crc));
    return out_.Put(head, sizeof head) && out_.Put(data, size) && out_.Put(tail, sizeof tail);
  }

  // Turns a row of the page into a row of the image data: its filter byte, then the row filtered.
  static StripDeflater::RowFilter Filter(const client::PageLayout& page) {
    const uint32_t bytes = page.bytesPerLine;
    if (page.mode == client::Mode::kBlackWhite) {
      // PNG greyscale has 0 black; the bits past the last pixel stay 0.
      const auto last = static_cast<uint8_t>(0xFF << (bytes * 8 - page.width));
      return [bytes, last](const uint8_t* in, uint8_t* out) {
        out[0] = 0;
        for (uint32_t i = 0; i < bytes; ++i) {
          out[i + 1] = static_cast<uint8_t>(~in[i]);
        }
        out[bytes] = static_cast<uint8_t>(out[bytes] & last);
      };
    }
    if (page.mode == client::Mode::kColour) {
      return [bytes](const uint8_t* in, uint8_t* out) { SubFilter<3>(in, bytes, out); };
    }
    return [bytes](const uint8_t* in, uint8_t* out) { SubFilter<1>(in, bytes, out); };
  }

  // The Sub filter: each byte less the byte of the pixel before it.
  template <uint32_t kStep>
  static void SubFilter(const uint8_t* in, uint32_t bytes, uint8_t* out) {
    out[0] = 1;
    for (uint32_t i = 0; i < kStep && i < bytes; ++i) {
      out[i + 1] = in[i];
    }
    for (uint32_t i = kStep; i < bytes; ++i) {
      out[i + 1] = static_cast<uint8_t>(in[i] - in[i - kStep]);
    }
  }

  // The stream goes out in chunks of 64 KiB; the last, shorter one at the page's end.
  bool Idat(const uint8_t* data, size_t size) {
    while (size != 0) {
      const size_t take = std::min(size, kIdatBytes - idat_.size());
      idat_.insert(idat_.end(), data, data + take);
      data += take;
      size -= take;
      if (idat_.size() == kIdatBytes) {
        if (!Chunk("IDAT", idat_.data(), idat_.size())) {
          return false;
        }
        idat_.clear();
      }
    }
    return true;
  }

  static constexpr size_t kIdatBytes = size_t{1} << 16;

  int level_;
  FileOut out_;
  client::PageLayout page_;
  std::vector<uint8_t> idat_;
  std::shared_ptr<StripDeflater> deflater_;
};

}  // namespace

std::unique_ptr<Writer> MakePngWriter(const Encoding& encoding) {
  return std::make_unique<PngWriter>(encoding);
}

}  // namespace stiscan
