// Rows compressed with zlib as they come, handed on in pieces; for the PNG and PDF writers.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace stiscan {

// Bytes written to a file, counted; the first failure's reason is kept.
class FileOut {
 public:
  explicit FileOut(std::FILE* file = nullptr) : file_(file) {}
  bool Put(const void* data, size_t size);
  bool Put(const std::string& text) { return Put(text.data(), text.size()); }
  uint64_t Count() const { return count_; }
  bool Failed(std::string* error) const;
  std::FILE* File() const { return file_; }

 private:
  std::FILE* file_;
  uint64_t count_ = 0;
  int error_ = 0;
};

class Deflater {
 public:
  using Sink = std::function<bool(const uint8_t* data, size_t size)>;
  Deflater() = default;
  ~Deflater() { End(); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool Begin(int level, Sink sink);
  bool Feed(const uint8_t* data, size_t size) { return Run(data, size, Z_NO_FLUSH); }
  bool Finish() { return Run(nullptr, 0, Z_FINISH); }
  void End();

 private:
  bool Run(const uint8_t* data, size_t size, int flush);
  z_stream stream_ = {};
  bool open_ = false;
  Sink sink_;
  std::vector<uint8_t> out_;
};

}  // namespace stiscan
