// libjpeg's compressor as the writers that use it set it up (Linux): a failure ends in a longjmp to the
// trap's jump buffer with libjpeg's message kept, and nothing is printed. Each call that may fail is
// preceded by setjmp(trap.jump) in the writer's own frame.
#pragma once

#include <jpeglib.h>

#include <csetjmp>

#include "client/ScanSession.h"

namespace stiscan {

struct JpegErrorTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

class JpegCompressor {
 public:
  JpegCompressor() {
    info.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = Trap;
    jpeg_create_compress(&info);
  }
  ~JpegCompressor() { jpeg_destroy_compress(&info); }
  JpegCompressor(const JpegCompressor&) = delete;
  JpegCompressor& operator=(const JpegCompressor&) = delete;

  // The page's size and colours, libjpeg's defaults and the quality: all a page needs before
  // jpeg_start_compress but the destination and what a file format adds.
  void Describe(const client::PageLayout& page, int quality) {
    info.image_width = page.width;
    info.image_height = page.height;
    info.input_components = page.mode == client::Mode::kColour ? 3 : 1;
    info.in_color_space = page.mode == client::Mode::kColour ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
  }

  JpegErrorTrap trap = {};
  jpeg_compress_struct info = {};

 private:
  static void Trap(j_common_ptr common) {
    auto* trap = reinterpret_cast<JpegErrorTrap*>(common->err);
    (*common->err->format_message)(common, trap->message);
    std::longjmp(trap->jump, 1);
  }
};

}  // namespace stiscan
