// PDF with one page per sheet at the sheet's physical size, each page an image written as its rows come:
// colour and grey pages as JPEG (DCT) at the job's quality, or deflated on request (in strips, on several
// threads); black-and-white pages as CCITT Group 4, which libtiff encodes into memory (some tens of KB a
// page). The Windows build, without libjpeg and libtiff, deflates every page. With a page reader
// (--ocr), each page gets the words read on it as invisible text over the image, so that the file can be
// searched; the page itself is written when its words are known, later in the file than its image.
// Written by hand: a PDF of images needs a dozen objects and a cross-reference table, less than binding a
// PDF library would take, and it streams (no page image is held in memory).
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#if !defined(_WIN32)
#include <tiffio.h>

#include <csetjmp>
#include <cstdarg>

#include "JpegCompressor.h"
#include "TiffError.h"
#endif

#include "Deflate.h"
#include "Ocr.h"
#include "Writers.h"

namespace stiscan {

namespace {

std::string Number(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

constexpr uint32_t kReadingDpi = 300;

std::string Points(uint32_t pixels, uint32_t dpi) {
  return Number("%.2f", pixels * 72.0 / dpi);
}

#if !defined(_WIN32)

// JPEG of the rows as they come, through a destination of our own into the file.
class DctImage {
 public:
  DctImage() {
    jpeg_.info.client_data = this;
    destination_.init_destination = [](j_compress_ptr info) { Self(info)->Reset(); };
    destination_.empty_output_buffer = [](j_compress_ptr info) -> boolean {
      DctImage* self = Self(info);
      self->out_->Put(self->buffer_, sizeof self->buffer_);
      self->Reset();
      return TRUE;
    };
    destination_.term_destination = [](j_compress_ptr info) {
      DctImage* self = Self(info);
      self->out_->Put(self->buffer_, sizeof self->buffer_ - info->dest->free_in_buffer);
    };
    jpeg_.info.dest = &destination_;
  }
  DctImage(const DctImage&) = delete;
  DctImage& operator=(const DctImage&) = delete;

  // libjpeg reports failures by longjmp: the calls below touch nothing that needs destruction.
  bool Begin(const client::PageLayout& page, int quality, FileOut* out, std::string* error) {
    out_ = out;
    if (setjmp(jpeg_.trap.jump) != 0) {
      return Failed(error);
    }
    jpeg_.Describe(page, quality);
    jpeg_start_compress(&jpeg_.info, TRUE);
    return true;
  }

  bool Rows(const uint8_t* rows, uint32_t count, uint32_t rowBytes, std::string* error) {
    std::vector<JSAMPROW> pointers(count);
    for (uint32_t r = 0; r < count; ++r) {
      pointers[r] = const_cast<JSAMPROW>(rows + static_cast<size_t>(r) * rowBytes);
    }
    if (setjmp(jpeg_.trap.jump) != 0) {
      return Failed(error);
    }
    jpeg_write_scanlines(&jpeg_.info, pointers.data(), count);
    return true;
  }

  bool Finish(std::string* error) {
    if (setjmp(jpeg_.trap.jump) != 0) {
      return Failed(error);
    }
    jpeg_finish_compress(&jpeg_.info);
    return true;
  }

  void Abort() { jpeg_abort_compress(&jpeg_.info); }

 private:
  static DctImage* Self(j_compress_ptr info) { return static_cast<DctImage*>(info->client_data); }

  void Reset() {
    destination_.next_output_byte = buffer_;
    destination_.free_in_buffer = sizeof buffer_;
  }

  bool Failed(std::string* error) {
    *error = jpeg_.trap.message;
    jpeg_abort_compress(&jpeg_.info);
    return false;
  }

  JpegCompressor jpeg_;
  jpeg_destination_mgr destination_ = {};
  FileOut* out_ = nullptr;
  JOCTET buffer_[64 * 1024] = {};
};

// CCITT Group 4 of black-and-white rows (1 black) as they come: libtiff encodes them into a TIFF in
// memory, whose one strip is the image's stream.
class G4Image {
 public:
  ~G4Image() { Abort(); }

  bool Begin(const client::PageLayout& page, std::string* error) {
    Abort();
    row_ = 0;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, &KeepFirstTiffError, &error_);
    tiff_ = TIFFClientOpenExt("page", "w", this, &Read, &Write, &Seek, &Close, &Size, &Map, &Unmap, options);
    TIFFOpenOptionsFree(options);
    const bool ok = tiff_ != nullptr && TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, page.width) &&
                    TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, page.height) &&
                    TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, 1) && TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, 1) &&
                    TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
                    TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) &&
                    TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, page.height);
    return ok || Failed(error);
  }

  bool Rows(const uint8_t* rows, uint32_t count, uint32_t rowBytes, std::string* error) {
    for (uint32_t r = 0; r < count; ++r) {
      if (TIFFWriteScanline(tiff_, const_cast<uint8_t*>(rows + static_cast<size_t>(r) * rowBytes), row_++) != 1) {
        return Failed(error);
      }
    }
    return true;
  }

  // The encoded strip.
  bool Finish(std::vector<uint8_t>* strip, std::string* error) {
    const uint64_t* offsets = nullptr;
    const uint64_t* counts = nullptr;
    if (TIFFFlushData(tiff_) != 1 || TIFFGetField(tiff_, TIFFTAG_STRIPOFFSETS, &offsets) != 1 ||
        TIFFGetField(tiff_, TIFFTAG_STRIPBYTECOUNTS, &counts) != 1 || offsets[0] + counts[0] > file_.size()) {
      return Failed(error);
    }
    strip->assign(file_.begin() + static_cast<ptrdiff_t>(offsets[0]),
                  file_.begin() + static_cast<ptrdiff_t>(offsets[0] + counts[0]));
    Abort();
    return true;
  }

  void Abort() {
    if (tiff_ != nullptr) {
      TIFFCleanup(tiff_);
      tiff_ = nullptr;
    }
    file_.clear();
    at_ = 0;
    error_.clear();
  }

 private:
  static G4Image* Self(thandle_t handle) { return static_cast<G4Image*>(handle); }
  static tsize_t Read(thandle_t, tdata_t, tsize_t) { return 0; }
  static tsize_t Write(thandle_t handle, tdata_t data, tsize_t size) {
    G4Image* self = Self(handle);
    const size_t end = self->at_ + static_cast<size_t>(size);
    if (end > self->file_.size()) {
      self->file_.resize(end);
    }
    std::memcpy(self->file_.data() + self->at_, data, static_cast<size_t>(size));
    self->at_ = end;
    return size;
  }
  static toff_t Seek(thandle_t handle, toff_t offset, int whence) {
    G4Image* self = Self(handle);
    self->at_ = static_cast<size_t>(whence == SEEK_SET   ? offset
                                    : whence == SEEK_CUR ? self->at_ + offset
                                                         : self->file_.size() + offset);
    return self->at_;
  }
  static int Close(thandle_t) { return 0; }
  static toff_t Size(thandle_t handle) { return Self(handle)->file_.size(); }
  static int Map(thandle_t, tdata_t*, toff_t*) { return 0; }
  static void Unmap(thandle_t, tdata_t, toff_t) {}

  bool Failed(std::string* error) {
    *error = error_.empty() ? "libtiff cannot encode the page" : error_;
    return false;
  }

  TIFF* tiff_ = nullptr;
  std::vector<uint8_t> file_;
  size_t at_ = 0;
  uint32_t row_ = 0;
  std::string error_;
};

#endif

// The code point that starts at utf8[*at]; *at moves past it.
uint32_t NextCodePoint(const std::string& utf8, size_t* at) {
  const auto lead = static_cast<uint8_t>(utf8[*at]);
  const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  uint32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
  for (size_t k = 1; k < length && *at + k < utf8.size(); ++k) {
    c = c << 6 | (static_cast<uint8_t>(utf8[*at + k]) & 0x3F);
  }
  *at += length;
  return c;
}

// A character in WinAnsiEncoding (what the standard fonts take): Latin-1 as it is, the typographic
// quotes and dashes at their places, the f-ligatures as two letters, anything else '?'.
std::string WinAnsi(uint32_t c) {
  static const std::pair<uint32_t, const char*> kOthers[] = {
      {0x2018, "\x91"}, {0x2019, "\x92"}, {0x201C, "\x93"}, {0x201D, "\x94"}, {0x2022, "\x95"}, {0x2013, "\x96"},
      {0x2014, "\x97"}, {0x2026, "\x85"}, {0x20AC, "\x80"}, {0xFB01, "fi"},   {0xFB02, "fl"},
  };
  for (const auto& [code, bytes] : kOthers) {
    if (c == code) {
      return bytes;
    }
  }
  return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0xFF) ? std::string(1, static_cast<char>(c)) : "?";
}

// A word as a PDF string; `glyphs` gets its number of characters.
std::string PdfString(const std::string& utf8, size_t* glyphs) {
  std::string text;
  for (size_t at = 0; at < utf8.size();) {
    text += WinAnsi(NextCodePoint(utf8, &at));
  }
  *glyphs = text.size();
  std::string escaped = "(";
  for (char c : text) {
    escaped += c == '(' || c == ')' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  }
  return escaped + ")";
}

// The invisible text of a page (render mode 3): each word in Courier, whose glyphs are all 0.6 em wide,
// at the height of its line, on its baseline, stretched (Tz) to the width of its box.
std::string TextLayer(const std::vector<Word>& words, const client::PageLayout& page) {
  const double scale = 72.0 / page.dpi;
  std::string text = "BT 3 Tr\n";
  for (const Word& word : words) {
    size_t glyphs = 0;
    const std::string string = PdfString(word.text, &glyphs);
    const double size = std::max(1, word.lineHeight) * scale;
    const double width = std::max(1, word.right - word.left) * scale;
    text += "/F1 " + Number("%.2f", size) + " Tf " + Number("%.1f", 100 * width / (0.6 * size * glyphs)) +
            " Tz 1 0 0 1 " + Number("%.2f", word.left * scale) + " " +
            Number("%.2f", (page.height - word.baseline) * scale) + " Tm " + string + " Tj\n";
  }
  return text + "ET\n";
}

class PdfWriter : public Writer {
 public:
  explicit PdfWriter(const Encoding& encoding)
      : level_(DeflateLevel(encoding.fast)),
        quality_(encoding.quality),
        deflate_(encoding.pdfDeflate),
        simulated_(encoding.simulated),
        deflater_(encoding.deflater),
        reader_(encoding.reader) {}

  bool Open(std::FILE* file, std::string* error) override {
    out_ = FileOut(file);
    out_.Put("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
    offsets_.assign(3, 0);  // 1 the catalog, 2 the page tree; written at the end
    return !out_.Failed(error);
  }

  bool BeginPage(const client::PageLayout& page, std::string* error) override {
    page_ = page;
    image_ = Start();
    const bool bw = page.mode == client::Mode::kBlackWhite;
    const std::string space = page.mode == client::Mode::kColour ? "/DeviceRGB" : "/DeviceGray";
    kind_ = Kind::kDeflate;
#if !defined(_WIN32)
    kind_ = bw ? Kind::kG4 : deflate_ ? Kind::kDeflate : Kind::kDct;
#endif
    std::string filter;
    switch (kind_) {
      case Kind::kDct:
        filter = "/DCTDecode";
        break;
      case Kind::kG4:
        // The decoder gives 0 for black, the colour space's black: the scanner's 1 is encoded as black.
        filter = "/CCITTFaxDecode /DecodeParms << /K -1 /Columns " + std::to_string(page.width) + " /Rows " +
                 std::to_string(page.height) + " >>";
        break;
      case Kind::kDeflate:
        // Black-and-white rows keep the scanner's 1 for black.
        filter = std::string("/FlateDecode") + (bw ? " /Decode [1 0]" : "");
        break;
    }
    out_.Put("<< /Type /XObject /Subtype /Image /Width " + std::to_string(page.width) + " /Height " +
             std::to_string(page.height) + " /ColorSpace " + space + " /BitsPerComponent " + (bw ? "1" : "8") +
             " /Filter " + filter + " /Length " + std::to_string(image_ + 1) + " 0 R >>\nstream\n");
    streamStart_ = out_.Count();
    if (reader_ != nullptr) {
      // Read at 300 dpi at most: finer pages give the reader nothing but memory and time to spend.
      shrink_ = std::max(1u, page.dpi / kReadingDpi);
      grey_ = GreyPage{page.width / shrink_, page.height / shrink_, page.dpi / shrink_, {}};
      grey_.pixels.reserve(static_cast<size_t>(grey_.width) * grey_.height);
      sums_.assign(grey_.width, 0);
      bandRows_ = 0;
    }
    bool ok = true;
    switch (kind_) {
#if !defined(_WIN32)
      case Kind::kDct:
        ok = dct_.Begin(page, quality_, &out_, error);
        break;
      case Kind::kG4:
        ok = g4_.Begin(page, error);
        break;
#endif
      default:
        if (!deflater_->Begin(level_, page.bytesPerLine, page.bytesPerLine, nullptr,
                              [this](const uint8_t* data, size_t size) { return out_.Put(data, size); })) {
          *error = "zlib cannot start";
          ok = false;
        }
    }
    return ok && !out_.Failed(error);
  }

  bool Rows(const uint8_t* rows, uint32_t count, std::string* error) override {
    if (reader_ != nullptr) {
      AddGrey(rows, count);
    }
    switch (kind_) {
#if !defined(_WIN32)
      case Kind::kDct:
        return dct_.Rows(rows, count, page_.bytesPerLine, error) && !out_.Failed(error);
      case Kind::kG4:
        return g4_.Rows(rows, count, page_.bytesPerLine, error);
#endif
      default:
        return deflater_->Feed(rows, count) || Failed(error);
    }
  }

  bool EndPage(std::string* error) override {
    if (!FinishImage(error)) {
      return false;
    }
    if (reader_ == nullptr) {
      WritePage(image_, page_, {});
      return !out_.Failed(error);
    }
    reader_->Submit(std::move(grey_));
    grey_ = {};
    unread_.push_back({image_, page_, shrink_});
    WriteReadPages(false);
    return !out_.Failed(error);
  }

  bool AbandonPage() override {
    // The image object is closed and left without a page: readers skip it.
    std::string ignored;
    FinishImage(&ignored);
    grey_ = {};
    return true;
  }

  bool Close(std::string* error) override {
    WriteReadPages(true);
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
  enum class Kind { kDeflate, kDct, kG4 };
  // A page whose image is written, waiting for its words.
  struct Unread {
    uint32_t image;
    client::PageLayout page;
    uint32_t shrink;  // the page's pixels a pixel read, across and down
  };

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

  bool FinishImage(std::string* error) {
    bool ok = true;
    switch (kind_) {
#if !defined(_WIN32)
      case Kind::kDct:
        ok = dct_.Finish(error);
        break;
      case Kind::kG4: {
        std::vector<uint8_t> strip;
        ok = g4_.Finish(&strip, error);
        out_.Put(strip.data(), strip.size());
        break;
      }
#endif
      default:
        ok = deflater_->Finish() || Failed(error);
        deflater_->End();
    }
    const uint64_t length = out_.Count() - streamStart_;
    out_.Put("\nendstream\nendobj\n");
    Start();
    out_.Put(std::to_string(length) + "\nendobj\n");
    return ok;
  }

  // The page's pixels for the reader, in grey, each `shrink_` by `shrink_` square averaged.
  void AddGrey(const uint8_t* rows, uint32_t count) {
    for (uint32_t r = 0; r < count && grey_.pixels.size() < static_cast<size_t>(grey_.width) * grey_.height; ++r) {
      const uint8_t* in = rows + static_cast<size_t>(r) * page_.bytesPerLine;
      for (uint32_t x = 0; x < grey_.width * shrink_; ++x) {
        sums_[x / shrink_] += page_.mode == client::Mode::kColour
                                  ? (77 * in[3 * x] + 150 * in[3 * x + 1] + 29 * in[3 * x + 2]) >> 8
                              : page_.mode == client::Mode::kGrey    ? in[x]
                              : (in[x / 8] & (0x80 >> (x % 8))) != 0 ? 0
                                                                     : 255;
      }
      if (++bandRows_ == shrink_) {
        for (uint32_t& sum : sums_) {
          grey_.pixels.push_back(static_cast<uint8_t>(sum / (shrink_ * shrink_)));
          sum = 0;
        }
        bandRows_ = 0;
      }
    }
  }

  // The pages whose words are read, in order; with `wait`, every page still out.
  void WriteReadPages(bool wait) {
    std::vector<Word> words;
    while (!unread_.empty() && reader_->Take(wait, &words)) {
      for (Word& word : words) {
        for (int* at : {&word.left, &word.top, &word.right, &word.bottom, &word.baseline, &word.lineHeight}) {
          *at *= static_cast<int>(unread_.front().shrink);
        }
      }
      WritePage(unread_.front().image, unread_.front().page, words);
      unread_.pop_front();
    }
  }

  void WritePage(uint32_t image, const client::PageLayout& page, const std::vector<Word>& words) {
    const std::string width = Points(page.width, page.dpi);
    const std::string height = Points(page.height, page.dpi);
    std::string content = "q " + width + " 0 0 " + height + " 0 0 cm /Im0 Do Q\n";
    std::string font;
    if (!words.empty()) {
      content += TextLayer(words, page);
      if (font_ == 0) {
        font_ = Start();
        out_.Put("<< /Type /Font /Subtype /Type1 /BaseFont /Courier /Encoding /WinAnsiEncoding >>\nendobj\n");
      }
      font = " /Font << /F1 " + std::to_string(font_) + " 0 R >>";
    }
    const uint32_t contents = Start();
    out_.Put("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream\nendobj\n");
    pages_.push_back(Start());
    out_.Put("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + width + " " + height +
             "] /Resources << /XObject << /Im0 " + std::to_string(image) + " 0 R >>" + font + " >> /Contents " +
             std::to_string(contents) + " 0 R >>\nendobj\n");
  }

  int level_;
  [[maybe_unused]] int quality_;  // JPEG and the choice of deflate: not on Windows, which deflates every page
  [[maybe_unused]] bool deflate_;
  bool simulated_;
  FileOut out_;
  client::PageLayout page_;
  Kind kind_ = Kind::kDeflate;
  std::vector<uint64_t> offsets_;
  std::vector<uint32_t> pages_;
  uint32_t image_ = 0;
  uint32_t font_ = 0;
  uint64_t streamStart_ = 0;
  std::shared_ptr<StripDeflater> deflater_;
#if !defined(_WIN32)
  DctImage dct_;
  G4Image g4_;
#endif
  std::shared_ptr<PageReader> reader_;
  GreyPage grey_;
  uint32_t shrink_ = 1;
  std::vector<uint32_t> sums_;  // of the band of rows being averaged
  uint32_t bandRows_ = 0;
  std::deque<Unread> unread_;
};

}  // namespace

std::unique_ptr<Writer> MakePdfWriter(const Encoding& encoding) {
  return std::make_unique<PdfWriter>(encoding);
}

}  // namespace stiscan
