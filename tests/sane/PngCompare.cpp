// png-compare PART WHOLE [LEFT TOP]: exit 0 when the pixels of PART equal those of WHOLE's rectangle
// of the same size at (LEFT, TOP). Both are decoded by libpng to 8-bit grey or RGB.
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Image {
  png_image info = {};
  std::vector<png_byte> pixels;
  unsigned channels = 0;
};

bool Decode(const char* path, Image* image) {
  image->info.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image->info, path) == 0) {
    std::fprintf(stderr, "%s: %s\n", path, image->info.message);
    return false;
  }
  image->info.format = (image->info.format & PNG_FORMAT_FLAG_COLOR) != 0 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  image->channels = PNG_IMAGE_SAMPLE_CHANNELS(image->info.format);
  image->pixels.resize(PNG_IMAGE_SIZE(image->info));
  return png_image_finish_read(&image->info, nullptr, image->pixels.data(), 0, nullptr) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  Image part;
  Image whole;
  if (argc < 3 || !Decode(argv[1], &part) || !Decode(argv[2], &whole)) {
    return 2;
  }
  const unsigned left = argc > 4 ? static_cast<unsigned>(std::atoi(argv[3])) : 0;
  const unsigned top = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 0;
  const unsigned width = part.info.width;
  const unsigned height = part.info.height;
  if (part.channels != whole.channels || left + width > whole.info.width || top + height > whole.info.height) {
    std::fprintf(stderr, "%ux%u at %u,%u does not fit in %ux%u, or the kinds differ\n", width, height, left, top,
                 whole.info.width, whole.info.height);
    return 1;
  }
  const unsigned c = part.channels;
  for (unsigned y = 0; y < height; ++y) {
    const png_byte* a = part.pixels.data() + static_cast<size_t>(y) * width * c;
    const png_byte* b = whole.pixels.data() + (static_cast<size_t>(top + y) * whole.info.width + left) * c;
    for (unsigned x = 0; x < width * c; ++x) {
      if (a[x] != b[x]) {
        std::fprintf(stderr, "row %u, sample %u differs: %u, expected %u\n", y, x, a[x], b[x]);
        return 1;
      }
    }
  }
  std::printf("%ux%u pixels equal\n", width, height);
  return 0;
}
