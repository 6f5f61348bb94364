// Multi-page TIFF. On Linux through libtiff (a directory per page), its strips deflated on several
// threads by the job's deflater, each strip a zlib stream of its own as the format has it. The
// Windows build has no libtiff among the cross-compiled packages: there a small writer of baseline
// TIFF (uncompressed strips, each page's directory after its rows) does it, and Windows Imaging
// Component is not needed for a format this plain.
#include "Writers.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>

#include "TiffError.h"
#endif

#include "Deflate.h"

namespace stiscan {

namespace {

uint16_t Photometric(client::Mode mode) {
  // Black-and-white keeps the scanner's 1 for black.
  return mode == client::Mode::kColour ? 2 : mode == client::Mode::kGrey ? 1 : 0;
}

#if !defined(_WIN32)

class LibtiffWriter : public Writer {
 public:
  explicit LibtiffWriter(const Encoding& encoding)
      : fast_(encoding.fast), simulated_(encoding.simulated), deflater_(encoding.deflater) {}
  ~LibtiffWriter() override { Drop(); }

  bool Open(std::FILE* file, std::string* error) override {
    std::fflush(file);
    const int fd = dup(fileno(file));
    // libtiff's errors are kept, the first of them, not printed: after a full disk it would report every
    // strip, and the tool says once what failed.
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, &KeepFirstTiffError, &firstError_);
    tiff_ = fd >= 0 && options != nullptr ? TIFFFdOpenExt(fd, "output", "w", options) : nullptr;
    TIFFOpenOptionsFree(options);
    if (tiff_ == nullptr) {
      if (fd >= 0) {
        close(fd);
      }
      *error = SystemReason(errno != 0 ? errno : EIO);
      return false;
    }
    return true;
  }

  bool BeginPage(const client::PageLayout& page, std::string* error) override {
    const bool colour = page.mode == client::Mode::kColour;
    strip_ = 0;
    // libtiff takes the strips as they are: deflated already, each a zlib stream.
    bool ok =
        deflater_->BeginStrips(DeflateLevel(fast_), page.bytesPerLine,
                               [this](const uint8_t* data, size_t size) {
                                 errno = 0;
                                 return TIFFWriteRawStrip(tiff_, strip_++, const_cast<uint8_t*>(data),
                                                          static_cast<tmsize_t>(size)) == static_cast<tmsize_t>(size);
                               }) &&
        TIFFSetField(tiff_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) &&
        TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, page.width) && TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, page.height) &&
        TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, page.mode == client::Mode::kBlackWhite ? 1 : 8) &&
        TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, colour ? 3 : 1) &&
        TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
        TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC, Photometric(page.mode)) &&
        (!simulated_ || TIFFSetField(tiff_, TIFFTAG_IMAGEDESCRIPTION, kSimulatedPages)) &&
        TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
        TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, deflater_->StripRows()) &&
        TIFFSetField(tiff_, TIFFTAG_XRESOLUTION, static_cast<float>(page.dpi)) &&
        TIFFSetField(tiff_, TIFFTAG_YRESOLUTION, static_cast<float>(page.dpi)) &&
        TIFFSetField(tiff_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    if (!ok) {
      *error = "libtiff refused the page's fields";
    }
    return ok;
  }

  bool Rows(const uint8_t* rows, uint32_t count, std::string* error) override {
    return deflater_->Feed(rows, count) || Failed(error);
  }

  bool EndPage(std::string* error) override {
    const bool ok = deflater_->Finish();
    deflater_->End();
    if (!ok) {
      return Failed(error);
    }
    errno = 0;
    return TIFFWriteDirectory(tiff_) == 1 || Failed(error);
  }

  bool AbandonPage() override {
    deflater_->End();
    Drop();
    return true;
  }

  bool Close(std::string* error) override {
    if (tiff_ == nullptr) {
      return true;
    }
    const int fd = TIFFFileno(tiff_);
    errno = 0;
    const bool ok = TIFFFlush(tiff_) == 1;
    const int saved = errno;
    TIFFCleanup(tiff_);
    tiff_ = nullptr;
    if (!ok) {
      close(fd);
      errno = saved;
      return Failed(error);
    }
    if (close(fd) != 0) {
      *error = SystemReason(errno);
      return false;
    }
    return true;
  }

 private:
  // The system's reason when there is one, else libtiff's first error.
  bool Failed(std::string* error) {
    *error = errno != 0 || firstError_.empty() ? SystemReason(errno != 0 ? errno : EIO) : "libtiff: " + firstError_;
    return false;
  }

  void Drop() {
    // The pages before are linked in the file already; the open directory must not be. libtiff's
    // cleanup flushes it, so its descriptor is first turned into one that takes no writes.
    if (tiff_ != nullptr) {
      const int fd = TIFFFileno(tiff_);
      const int closed = open("/dev/null", O_RDONLY);
      if (closed >= 0) {
        dup2(closed, fd);
        close(closed);
      }
      TIFFCleanup(tiff_);  // its errors go to the handle's handler, which prints nothing
      close(fd);
      tiff_ = nullptr;
    }
  }

  bool fast_;
  bool simulated_;
  std::string firstError_;
  TIFF* tiff_ = nullptr;
  uint32_t strip_ = 0;
  std::shared_ptr<StripDeflater> deflater_;
};

#else

void Put16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value));
  out->push_back(static_cast<char>(value >> 8));
}
void Put32(std::string* out, uint32_t value) {
  Put16(out, static_cast<uint16_t>(value));
  Put16(out, static_cast<uint16_t>(value >> 16));
}

class SmallTiffWriter : public Writer {
 public:
  explicit SmallTiffWriter(const Encoding& encoding) : simulated_(encoding.simulated) {}

  bool Open(std::FILE* file, std::string* error) override {
    out_ = FileOut(file);
    next_ = 4;  // the header's pointer to the first directory
    out_.Put("II*\0\0\0\0\0", 8);
    return !out_.Failed(error);
  }

  bool BeginPage(const client::PageLayout& page, std::string* error) override {
    page_ = page;
    data_ = out_.Count();
    if (data_ + static_cast<uint64_t>(page.bytesPerLine) * page.height > 0xFFFF0000u) {
      *error = "the file would pass the 4 GB a TIFF can address";
      return false;
    }
    return true;
  }

  bool Rows(const uint8_t* rows, uint32_t count, std::string* error) override {
    return out_.Put(rows, static_cast<size_t>(count) * page_.bytesPerLine) || !out_.Failed(error);
  }

  bool EndPage(std::string* error) override {
    // Directory entries in tag order; the values that do not fit in four bytes follow the directory.
    const bool colour = page_.mode == client::Mode::kColour;
    const auto here = static_cast<uint32_t>(out_.Count());
    const uint16_t entries = simulated_ ? 15 : 14;
    const uint32_t extra = here + 2 + entries * 12 + 4;
    std::string dir;
    Put16(&dir, entries);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
      Put16(&dir, tag);
      Put16(&dir, type);
      Put32(&dir, count);
      Put32(&dir, value);
    };
    const uint16_t bits = page_.mode == client::Mode::kBlackWhite ? 1 : 8;
    entry(254, 4, 1, 2);  // a page of a multi-page file
    entry(256, 4, 1, page_.width);
    entry(257, 4, 1, page_.height);
    entry(258, 3, colour ? 3 : 1, colour ? extra : bits);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, Photometric(page_.mode));
    if (simulated_) {
      entry(270, 2, sizeof kSimulatedPages, extra + 24);  // after the bits and the two resolutions
    }
    entry(273, 4, 1, static_cast<uint32_t>(data_));
    entry(277, 3, 1, colour ? 3 : 1);
    entry(278, 4, 1, page_.height);
    entry(279, 4, 1, page_.bytesPerLine * page_.height);
    entry(282, 5, 1, extra + 8);
    entry(283, 5, 1, extra + 16);
    entry(284, 3, 1, 1);
    entry(296, 3, 1, 2);
    Put32(&dir, 0);  // the next directory, if a page follows, is patched in
    for (int i = 0; i < 3; ++i) {
      Put16(&dir, 8);
    }
    Put16(&dir, 0);
    for (int i = 0; i < 2; ++i) {
      Put32(&dir, page_.dpi);
      Put32(&dir, 1);
    }
    if (simulated_) {
      dir.append(kSimulatedPages, sizeof kSimulatedPages);
      dir.resize((dir.size() + 1) & ~size_t{1});  // the next page's data starts on a word
    }
    if (!Patch(next_, here)) {
      return !out_.Failed(error) && false;
    }
    next_ = here + 2 + entries * 12;
    return out_.Put(dir) || !out_.Failed(error);
  }

  bool AbandonPage() override { return true; }  // its rows stay in the file, no directory names them

  bool Close(std::string* error) override { return !out_.Failed(error); }

 private:
  // Points the directory pointer at `at` to `target` and returns to the end.
  bool Patch(uint64_t at, uint32_t target) {
    std::string value;
    Put32(&value, target);
    std::FILE* file = out_.File();
    const uint64_t end = out_.Count();
    return std::fseek(file, static_cast<long>(at), SEEK_SET) == 0 && std::fwrite(value.data(), 1, 4, file) == 4 &&
           std::fseek(file, static_cast<long>(end), SEEK_SET) == 0;
  }

  bool simulated_;
  FileOut out_;
  client::PageLayout page_;
  uint64_t data_ = 0;
  uint64_t next_ = 4;
};

#endif

}  // namespace

std::unique_ptr<Writer> MakeTiffWriter(const Encoding& encoding) {
#if !defined(_WIN32)
  return std::make_unique<LibtiffWriter>(encoding);
#else
  return std::make_unique<SmallTiffWriter>(encoding);
#endif
}

}  // namespace stiscan
