#include "Deflate.h"

#include <cerrno>

#include "Writers.h"

namespace stiscan {

bool FileOut::Put(const void* data, size_t size) {
  if (error_ != 0) {
    return false;
  }
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
    error_ = errno != 0 ? errno : EIO;
    return false;
  }
  count_ += size;
  return true;
}

bool FileOut::Failed(std::string* error) const {
  if (error_ == 0) {
    return false;
  }
  *error = SystemReason(error_);
  return true;
}

bool Deflater::Begin(int level, Sink sink) {
  End();
  stream_ = z_stream();
  if (deflateInit(&stream_, level) != Z_OK) {
    return false;
  }
  open_ = true;
  sink_ = std::move(sink);
  out_.resize(1 << 16);
  return true;
}

void Deflater::End() {
  if (open_) {
    deflateEnd(&stream_);
    open_ = false;
  }
}

bool Deflater::Run(const uint8_t* data, size_t size, int flush) {
  stream_.next_in = const_cast<Bytef*>(data);
  stream_.avail_in = static_cast<uInt>(size);
  for (;;) {
    stream_.next_out = out_.data();
    stream_.avail_out = static_cast<uInt>(out_.size());
    const int result = deflate(&stream_, flush);
    if (result == Z_STREAM_ERROR) {
      return false;
    }
    const size_t produced = out_.size() - stream_.avail_out;
    if (produced != 0 && !sink_(out_.data(), produced)) {
      return false;
    }
    if (flush == Z_FINISH ? result == Z_STREAM_END : stream_.avail_out != 0) {
      return true;
    }
  }
}

}  // namespace stiscan
