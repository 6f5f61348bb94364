// The PNG writer over libpng. libpng reports errors by longjmp, so every call into it happens in a
// function whose own locals need no destruction.
#include <png.h>

#include <csetjmp>
#include <cstdio>

#include "PngWriter.h"

namespace stiscan {

namespace {

class LibpngWriter : public PngWriter {
 public:
  ~LibpngWriter() override { Abandon(); }

  bool Begin(const std::string& path, const PngHeader& header, std::string* error) override {
    Abandon();
    header_ = header;
    rowsWritten_ = 0;
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
      *error = "cannot create " + path;
      return false;
    }
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    info_ = png_ != nullptr ? png_create_info_struct(png_) : nullptr;
    if (info_ == nullptr || !WriteHeader()) {
      return Failed(error);
    }
    return true;
  }

  bool WriteRows(const uint8_t* rows, uint32_t count, std::string* error) override {
    if (png_ == nullptr) {
      *error = "no file open";
      return false;
    }
    if (count > header_.height - rowsWritten_) {
      *error = "more rows than the image holds";
      return false;
    }
    if (!WriteRowsUnguarded(rows, count)) {
      return Failed(error);
    }
    rowsWritten_ += count;
    return true;
  }

  bool Finish(std::string* error) override {
    if (png_ == nullptr) {
      *error = "no file open";
      return false;
    }
    if (rowsWritten_ != header_.height) {
      *error =
          "the image ended after " + std::to_string(rowsWritten_) + " of " + std::to_string(header_.height) + " rows";
      Abandon();
      return false;
    }
    if (!WriteEnd()) {
      return Failed(error);
    }
    png_destroy_write_struct(&png_, &info_);
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed) {
      *error = "cannot write " + path_;
    }
    return closed;
  }

  void Abandon() override {
    if (png_ != nullptr) {
      png_destroy_write_struct(&png_, info_ != nullptr ? &info_ : nullptr);
      png_ = nullptr;
      info_ = nullptr;
    }
    if (file_ != nullptr) {
      std::fclose(file_);
      file_ = nullptr;
    }
  }

 private:
  bool Failed(std::string* error) {
    *error = "cannot write " + path_;
    Abandon();
    return false;
  }

  bool WriteHeader() {
    if (setjmp(png_jmpbuf(png_))) {
      return false;
    }
    png_init_io(png_, file_);
    const int depth = header_.kind == PngKind::kGrey1 ? 1 : 8;
    const int colourType = header_.kind == PngKind::kRgb8 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
    png_set_IHDR(png_, info_, header_.width, header_.height, depth, colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (header_.dpi != 0) {
      png_set_pHYs(png_, info_, PixelsPerMetre(header_.dpi), PixelsPerMetre(header_.dpi), PNG_RESOLUTION_METER);
    }
    png_write_info(png_, info_);
    return true;
  }

  bool WriteRowsUnguarded(const uint8_t* rows, uint32_t count) {
    if (setjmp(png_jmpbuf(png_))) {
      return false;
    }
    const size_t rowBytes = PngRowBytes(header_);
    for (uint32_t i = 0; i < count; ++i) {
      png_write_row(png_, rows + i * rowBytes);
    }
    return true;
  }

  bool WriteEnd() {
    if (setjmp(png_jmpbuf(png_))) {
      return false;
    }
    png_write_end(png_, nullptr);
    return true;
  }

  PngHeader header_;
  uint32_t rowsWritten_ = 0;
  std::string path_;
  std::FILE* file_ = nullptr;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

}  // namespace

std::unique_ptr<PngWriter> MakeLibpngWriter() {
  return std::make_unique<LibpngWriter>();
}

}  // namespace stiscan
