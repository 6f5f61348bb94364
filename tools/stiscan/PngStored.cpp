// A PNG writer without a compression library: the image data go into zlib "stored" deflate blocks
// (no compression), one IDAT chunk per block, so the file grows as rows arrive and nothing but the
// current block is held in memory.
#include <cstdio>
#include <cstring>
#include <vector>

#include "PngWriter.h"

namespace stiscan {

namespace {

// A stored block carries at most 65535 bytes.
constexpr size_t kStoredBlockMax = 65535;

class Crc32 {
 public:
  Crc32() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) {
        c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      }
      table_[n] = c;
    }
  }
  uint32_t Update(uint32_t crc, const uint8_t* data, size_t length) const {
    uint32_t c = crc ^ 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
      c = table_[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
  }

 private:
  uint32_t table_[256];
};

const Crc32& TheCrc32() {
  static const Crc32 crc;
  return crc;
}

class Adler32 {
 public:
  void Update(const uint8_t* data, size_t length) {
    // 5552 bytes is the longest run whose sums cannot overflow 32 bits before the modulo.
    while (length > 0) {
      size_t run = length < 5552 ? length : 5552;
      length -= run;
      while (run-- > 0) {
        a_ += *data++;
        b_ += a_;
      }
      a_ %= 65521;
      b_ %= 65521;
    }
  }
  uint32_t Value() const { return (b_ << 16) | a_; }

 private:
  uint32_t a_ = 1;
  uint32_t b_ = 0;
};

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

class StoredPngWriter : public PngWriter {
 public:
  ~StoredPngWriter() override { Abandon(); }

  bool Begin(const std::string& path, const PngHeader& header, std::string* error) override {
    Abandon();
    header_ = header;
    rowBytes_ = PngRowBytes(header);
    rowsWritten_ = 0;
    pending_.clear();
    adler_ = Adler32();
    zlibHeaderDone_ = false;
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
      *error = "cannot create " + path;
      return false;
    }
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    bool ok = std::fwrite(kSignature, 1, sizeof kSignature, file_) == sizeof kSignature;

    uint8_t ihdr[13];
    PutBe32(ihdr, header.width);
    PutBe32(ihdr + 4, header.height);
    ihdr[8] = header.kind == PngKind::kGrey1 ? 1 : 8;  // bit depth
    ihdr[9] = header.kind == PngKind::kRgb8 ? 2 : 0;   // colour type: truecolour or greyscale
    ihdr[10] = 0;                                      // deflate
    ihdr[11] = 0;                                      // adaptive filtering (each row says "none")
    ihdr[12] = 0;                                      // not interlaced
    ok = ok && Chunk("IHDR", ihdr, sizeof ihdr);

    if (header.dpi != 0) {
      uint8_t phys[9];
      PutBe32(phys, PixelsPerMetre(header.dpi));
      PutBe32(phys + 4, PixelsPerMetre(header.dpi));
      phys[8] = 1;  // the unit is the metre
      ok = ok && Chunk("pHYs", phys, sizeof phys);
    }
    return ok || Failed(error);
  }

  bool WriteRows(const uint8_t* rows, uint32_t count, std::string* error) override {
    if (file_ == nullptr) {
      *error = "no file open";
      return false;
    }
    if (count > header_.height - rowsWritten_) {
      *error = "more rows than the image holds";
      return false;
    }
    static const uint8_t kFilterNone = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (!Data(&kFilterNone, 1) || !Data(rows + static_cast<size_t>(i) * rowBytes_, rowBytes_)) {
        return Failed(error);
      }
    }
    rowsWritten_ += count;
    return true;
  }

  bool Finish(std::string* error) override {
    if (file_ == nullptr) {
      *error = "no file open";
      return false;
    }
    if (rowsWritten_ != header_.height) {
      *error =
          "the image ended after " + std::to_string(rowsWritten_) + " of " + std::to_string(header_.height) + " rows";
      Abandon();
      return false;
    }
    if (!Block(true) || !Chunk("IEND", nullptr, 0)) {
      return Failed(error);
    }
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed) {
      *error = "cannot write " + path_;
    }
    return closed;
  }

  void Abandon() override {
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

  bool Chunk(const char* type, const uint8_t* data, size_t length) {
    uint8_t head[8];
    PutBe32(head, static_cast<uint32_t>(length));
    std::memcpy(head + 4, type, 4);
    uint32_t crc = TheCrc32().Update(0, head + 4, 4);
    if (length > 0) {
      crc = TheCrc32().Update(crc, data, length);
    }
    uint8_t tail[4];
    PutBe32(tail, crc);
    return std::fwrite(head, 1, 8, file_) == 8 && (length == 0 || std::fwrite(data, 1, length, file_) == length) &&
           std::fwrite(tail, 1, 4, file_) == 4;
  }

  // Uncompressed bytes of the zlib stream; a full block goes out at once.
  bool Data(const uint8_t* data, size_t length) {
    adler_.Update(data, length);
    while (length > 0) {
      const size_t room = kStoredBlockMax - pending_.size();
      const size_t take = length < room ? length : room;
      pending_.insert(pending_.end(), data, data + take);
      data += take;
      length -= take;
      if (pending_.size() == kStoredBlockMax && !Block(false)) {
        return false;
      }
    }
    return true;
  }

  // One IDAT chunk: the zlib header before the first block, the stored block, the Adler-32 after the last.
  bool Block(bool last) {
    std::vector<uint8_t> chunk;
    chunk.reserve(pending_.size() + 11);
    if (!zlibHeaderDone_) {
      chunk.push_back(0x78);  // deflate, 32 KiB window
      chunk.push_back(0x01);  // no dictionary, fastest level; 0x7801 is a multiple of 31
      zlibHeaderDone_ = true;
    }
    const auto length = static_cast<uint16_t>(pending_.size());
    chunk.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00 (stored), then padding to the byte boundary
    chunk.push_back(static_cast<uint8_t>(length));
    chunk.push_back(static_cast<uint8_t>(length >> 8));
    chunk.push_back(static_cast<uint8_t>(~length));
    chunk.push_back(static_cast<uint8_t>(static_cast<uint16_t>(~length) >> 8));
    chunk.insert(chunk.end(), pending_.begin(), pending_.end());
    pending_.clear();
    if (last) {
      uint8_t adler[4];
      PutBe32(adler, adler_.Value());
      chunk.insert(chunk.end(), adler, adler + 4);
    }
    return Chunk("IDAT", chunk.data(), chunk.size());
  }

  PngHeader header_;
  uint32_t rowBytes_ = 0;
  uint32_t rowsWritten_ = 0;
  std::string path_;
  std::FILE* file_ = nullptr;
  std::vector<uint8_t> pending_;
  Adler32 adler_;
  bool zlibHeaderDone_ = false;
};

}  // namespace

std::unique_ptr<PngWriter> MakeStoredPngWriter() {
  return std::make_unique<StoredPngWriter>();
}

}  // namespace stiscan
