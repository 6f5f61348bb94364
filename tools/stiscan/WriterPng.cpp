// PNG over zlib: the chunks are written here, the image data deflated as the rows come, each row with
// the Sub filter (none for black-and-white).
#include <zlib.h>

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
  explicit PngWriter(const Encoding& encoding) : level_(encoding.fast ? 1 : Z_DEFAULT_COMPRESSION) {}

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
    const auto perMetre = static_cast<uint32_t>(page.dpi / 0.0254 + 0.5);
    Store32(phys, perMetre);
    Store32(phys + 4, perMetre);
    phys[8] = 1;
    Chunk("pHYs", phys, sizeof phys);
    row_.assign(page.bytesPerLine + 1, 0);
    step_ = page.mode == client::Mode::kColour ? 3 : 1;
    if (!deflater_.Begin(level_, [this](const uint8_t* data, size_t size) { return Idat(data, size); })) {
      *error = "zlib cannot start";
      return false;
    }
    return !out_.Failed(error);
  }

  bool Rows(const uint8_t* rows, uint32_t count, std::string* error) override {
    const uint32_t bytes = page_.bytesPerLine;
    for (uint32_t r = 0; r < count; ++r) {
      const uint8_t* in = rows + static_cast<size_t>(r) * bytes;
      if (page_.mode == client::Mode::kBlackWhite) {
        // PNG greyscale has 0 black; the bits past the last pixel stay 0.
        row_[0] = 0;
        for (uint32_t i = 0; i < bytes; ++i) {
          row_[i + 1] = static_cast<uint8_t>(~in[i]);
        }
        const uint32_t spare = bytes * 8 - page_.width;
        row_[bytes] = static_cast<uint8_t>(row_[bytes] & (0xFF << spare));
      } else {
        row_[0] = 1;
        for (uint32_t i = 0; i < bytes; ++i) {
          row_[i + 1] = static_cast<uint8_t>(in[i] - (i >= step_ ? in[i - step_] : 0));
        }
      }
      if (!deflater_.Feed(row_.data(), row_.size())) {
        return Failed(error);
      }
    }
    return true;
  }

  bool EndPage(std::string* error) override {
    if (!deflater_.Finish()) {
      return Failed(error);
    }
    deflater_.End();
    Chunk("IEND", nullptr, 0);
    return !out_.Failed(error);
  }

  bool AbandonPage() override {
    deflater_.End();
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

  bool Idat(const uint8_t* data, size_t size) { return Chunk("IDAT", data, size); }

  int level_;
  FileOut out_;
  client::PageLayout page_;
  std::vector<uint8_t> row_;
  uint32_t step_ = 3;
  Deflater deflater_;
};

}  // namespace

std::unique_ptr<Writer> MakePngWriter(const Encoding& encoding) {
  return std::make_unique<PngWriter>(encoding);
}

}  // namespace stiscan
