// One page on its way into a PNG file: written under a temporary name beside the target and renamed
// only when the page is complete, so that a page that fails leaves no file behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PngWriter.h"
#include "client/ScanSession.h"

namespace stiscan {

using client::Mode;
using client::PageLayout;

class PageFile {
 public:
  explicit PageFile(std::unique_ptr<PngWriter> writer) : writer_(std::move(writer)) {}
  ~PageFile() { Abandon(); }
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;

  // Starts `path` (its directory is created when missing).
  bool Begin(const std::string& path, const PageLayout& page, std::string* error);
  // Rows in the scanner's format.
  bool Rows(const uint8_t* rows, uint32_t count, std::string* error);
  // Completes the file and gives it its name.
  bool Commit(std::string* error);
  // Removes the unfinished file.
  void Abandon();

  // The name the page gets while it is written.
  static std::string TemporaryName(const std::string& path) { return path + ".part"; }

 private:
  std::unique_ptr<PngWriter> writer_;
  std::string path_;
  std::string temporary_;
  bool open_ = false;
  Mode mode_ = Mode::kColour;
  uint32_t width_ = 0;
  uint32_t rowBytes_ = 0;
  std::vector<uint8_t> converted_;
};

}  // namespace stiscan
