#include "PageFile.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace stiscan {

namespace {

PngKind KindOf(Mode mode) {
  switch (mode) {
    case Mode::kGrey:
      return PngKind::kGrey8;
    case Mode::kBlackWhite:
      return PngKind::kGrey1;
    case Mode::kColour:
      break;
  }
  return PngKind::kRgb8;
}

}  // namespace

bool PageFile::Begin(const std::string& path, const PageLayout& page, std::string* error) {
  Abandon();
  path_ = path;
  temporary_ = TemporaryName(path);
  mode_ = page.mode;
  width_ = page.width;
  rowBytes_ = page.bytesPerLine;

  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) {
    std::filesystem::create_directories(parent, ec);
  }

  PngHeader header;
  header.width = page.width;
  header.height = page.height;
  header.kind = KindOf(page.mode);
  header.dpi = page.dpi;
  if (PngRowBytes(header) != page.bytesPerLine) {
    *error = "page " + std::to_string(page.number) + ": rows of " + std::to_string(page.bytesPerLine) +
             " bytes do not make a PNG " + std::to_string(page.width) + " pixels wide";
    return false;
  }
  if (!writer_->Begin(temporary_, header, error)) {
    std::remove(temporary_.c_str());
    return false;
  }
  open_ = true;
  return true;
}

bool PageFile::Rows(const uint8_t* rows, uint32_t count, std::string* error) {
  if (mode_ != Mode::kBlackWhite) {
    return writer_->WriteRows(rows, count, error);
  }
  // The scanner marks black with 1, PNG greyscale with 0; the bits past the last pixel stay 0.
  converted_.assign(rows, rows + static_cast<size_t>(count) * rowBytes_);
  const uint32_t spare = rowBytes_ * 8 - width_;
  const uint8_t lastMask = static_cast<uint8_t>(0xFF << spare);
  for (uint32_t row = 0; row < count; ++row) {
    uint8_t* p = converted_.data() + static_cast<size_t>(row) * rowBytes_;
    for (uint32_t i = 0; i < rowBytes_; ++i) {
      p[i] = static_cast<uint8_t>(~p[i]);
    }
    p[rowBytes_ - 1] &= lastMask;
  }
  return writer_->WriteRows(converted_.data(), count, error);
}

bool PageFile::Commit(std::string* error) {
  if (!open_) {
    *error = "no page open";
    return false;
  }
  open_ = false;
  if (!writer_->Finish(error)) {
    std::remove(temporary_.c_str());
    return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary_, path_, ec);
  if (ec) {
    std::remove(temporary_.c_str());
    *error = "cannot rename " + temporary_ + " to " + path_ + ": " + ec.message();
    return false;
  }
  return true;
}

void PageFile::Abandon() {
  if (!open_) {
    return;
  }
  open_ = false;
  writer_->Abandon();
  std::remove(temporary_.c_str());
}

}  // namespace stiscan
