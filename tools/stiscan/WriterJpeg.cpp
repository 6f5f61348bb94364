// JPEG through libjpeg-turbo (Linux). Black-and-white pages are stored as grey, 0 or 255.
#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <csetjmp>
#include <vector>

#include "JpegCompressor.h"
#include "Writers.h"

namespace stiscan {

namespace {

class JpegWriter : public Writer {
 public:
  explicit JpegWriter(const Encoding& encoding) : quality_(encoding.quality) {}

  bool Open(std::FILE* file, std::string*) override {
    file_ = file;
    return true;
  }

  // libjpeg reports failures by longjmp: the calls below touch nothing that needs destruction.
  bool BeginPage(const client::PageLayout& page, std::string* error) override {
    page_ = page;
    grey_.assign(page.width, 0);
    if (setjmp(jpeg_.trap.jump) != 0) {
      return Failed(error);
    }
    jpeg_stdio_dest(&jpeg_.info, file_);
    jpeg_.Describe(page, quality_);
    jpeg_.info.density_unit = 1;
    jpeg_.info.X_density = static_cast<UINT16>(page.dpi);
    jpeg_.info.Y_density = static_cast<UINT16>(page.dpi);
    jpeg_start_compress(&jpeg_.info, TRUE);
    return true;
  }

  bool Rows(const uint8_t* rows, uint32_t count, std::string* error) override {
    if (setjmp(jpeg_.trap.jump) != 0) {
      return Failed(error);
    }
    for (uint32_t r = 0; r < count; ++r) {
      const uint8_t* in = rows + static_cast<size_t>(r) * page_.bytesPerLine;
      JSAMPROW row = const_cast<JSAMPROW>(in);
      if (page_.mode == client::Mode::kBlackWhite) {
        for (uint32_t x = 0; x < page_.width; ++x) {
          grey_[x] = (in[x / 8] & (0x80 >> (x % 8))) != 0 ? 0 : 255;
        }
        row = grey_.data();
      }
      jpeg_write_scanlines(&jpeg_.info, &row, 1);
    }
    return true;
  }

  bool EndPage(std::string* error) override {
    if (setjmp(jpeg_.trap.jump) != 0) {
      return Failed(error);
    }
    jpeg_finish_compress(&jpeg_.info);
    return std::ferror(file_) == 0 || Failed(error);
  }

  bool AbandonPage() override {
    jpeg_abort_compress(&jpeg_.info);
    return false;
  }

  bool Close(std::string*) override { return true; }

 private:
  bool Failed(std::string* error) {
    *error = std::ferror(file_) != 0 ? SystemReason(errno) : std::string(jpeg_.trap.message);
    jpeg_abort_compress(&jpeg_.info);
    return false;
  }

  int quality_;
  JpegCompressor jpeg_;
  std::FILE* file_ = nullptr;
  client::PageLayout page_;
  std::vector<uint8_t> grey_;
};

}  // namespace

std::unique_ptr<Writer> MakeJpegWriter(const Encoding& encoding) {
  return std::make_unique<JpegWriter>(encoding);
}

}  // namespace stiscan
