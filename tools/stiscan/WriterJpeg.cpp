// JPEG through libjpeg-turbo (Linux). Black-and-white pages are stored as grey, 0 or 255.
#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <csetjmp>
#include <vector>

#include "Writers.h"

namespace stiscan {

namespace {

struct ErrorTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void Trap(j_common_ptr info) {
  auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
  (*info->err->format_message)(info, trap->message);
  std::longjmp(trap->jump, 1);
}

class JpegWriter : public Writer {
 public:
  explicit JpegWriter(const Encoding& encoding) : quality_(encoding.quality) {
    info_.err = jpeg_std_error(&trap_.manager);
    trap_.manager.error_exit = Trap;
    jpeg_create_compress(&info_);
  }
  ~JpegWriter() override { jpeg_destroy_compress(&info_); }

  bool Open(std::FILE* file, std::string*) override {
    file_ = file;
    return true;
  }

  // libjpeg reports failures by longjmp: the calls below touch nothing that needs destruction.
  bool BeginPage(const client::PageLayout& page, std::string* error) override {
    page_ = page;
    grey_.assign(page.width, 0);
    if (setjmp(trap_.jump) != 0) {
      return Failed(error);
    }
    jpeg_stdio_dest(&info_, file_);
    info_.image_width = page.width;
    info_.image_height = page.height;
    info_.input_components = page.mode == client::Mode::kColour ? 3 : 1;
    info_.in_color_space = page.mode == client::Mode::kColour ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info_);
    jpeg_set_quality(&info_, quality_, TRUE);
    info_.density_unit = 1;
    info_.X_density = static_cast<UINT16>(page.dpi);
    info_.Y_density = static_cast<UINT16>(page.dpi);
    jpeg_start_compress(&info_, TRUE);
    return true;
  }

  bool Rows(const uint8_t* rows, uint32_t count, std::string* error) override {
    if (setjmp(trap_.jump) != 0) {
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
      jpeg_write_scanlines(&info_, &row, 1);
    }
    return true;
  }

  bool EndPage(std::string* error) override {
    if (setjmp(trap_.jump) != 0) {
      return Failed(error);
    }
    jpeg_finish_compress(&info_);
    return std::ferror(file_) == 0 || Failed(error);
  }

  bool AbandonPage() override {
    jpeg_abort_compress(&info_);
    return false;
  }

  bool Close(std::string*) override { return true; }

 private:
  bool Failed(std::string* error) {
    *error = std::ferror(file_) != 0 ? SystemReason(errno) : std::string(trap_.message);
    jpeg_abort_compress(&info_);
    return false;
  }

  int quality_;
  ErrorTrap trap_ = {};
  jpeg_compress_struct info_ = {};
  std::FILE* file_ = nullptr;
  client::PageLayout page_;
  std::vector<uint8_t> grey_;
};

}  // namespace

std::unique_ptr<Writer> MakeJpegWriter(const Encoding& encoding) {
  return std::make_unique<JpegWriter>(encoding);
}

}  // namespace stiscan
