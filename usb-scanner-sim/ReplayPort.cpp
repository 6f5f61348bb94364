#include "usb-scanner-sim/ReplayPort.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace scansim {
namespace usb {

namespace {

constexpr size_t kShownBytes = 32;
constexpr uint32_t kErrorIoDevice = 1117;

std::string Hex(const uint8_t* bytes, size_t length) {
  std::string text;
  char digits[4];
  for (size_t i = 0; i < std::min(length, kShownBytes); ++i) {
    std::snprintf(digits, sizeof digits, "%s%02X", i > 0 ? " " : "", bytes[i]);
    text += digits;
  }
  return text + (length > kShownBytes ? " ..." : "");
}

std::string Recorded(const capture::Transfer& t) {
  std::string text = capture::Describe(t) + " (capture line " + std::to_string(t.line) + ")";
  if (!t.in) {
    const std::string name = capture::CommandName(t.bytes.data(), static_cast<uint32_t>(t.bytes.size()));
    text += (name.empty() ? "" : ", the " + name) + ": " + Hex(t.bytes.data(), t.bytes.size());
  }
  return text;
}

}  // namespace

ReplayPort::ReplayPort(capture::Capture capture) : count_(capture.transfers.size()) {
  source_ = [transfers = std::move(capture.transfers), at = size_t{0}](capture::Transfer* t) mutable {
    if (at == transfers.size()) {
      return false;
    }
    *t = std::move(transfers[at++]);
    return true;
  };
}

bool ReplayPort::Peek() const {
  if (!read_ && next_ < count_) {
    read_ = source_(&current_);
  }
  return read_;
}

const capture::Transfer* ReplayPort::Next(bool in, const uint8_t* data, uint32_t length) {
  if (!departure_.empty()) {
    return nullptr;
  }
  const std::string step = "step " + std::to_string(next_ + 1) + ": ";
  std::string sent = std::string(in ? "the program asked for IN " : "the program sent OUT ") + std::to_string(length);
  if (!in) {
    const std::string name = capture::CommandName(data, length);
    sent += (name.empty() ? "" : ", the " + name) + ": " + Hex(data, length);
  }
  if (!Peek()) {
    departure_ = step + sent + ", after the capture's last transfer";
    return nullptr;
  }
  const capture::Transfer& t = current_;
  if (t.in != in || t.asked != length) {
    departure_ = step + sent + ", where the capture has " + Recorded(t);
    return nullptr;
  }
  if (!in) {
    const size_t recorded = length;  // as many as the capture has: the lengths are equal
    const auto differ = std::mismatch(data, data + recorded, t.bytes.begin());
    if (differ.first != data + recorded) {
      char detail[96];
      std::snprintf(detail, sizeof detail, "; byte %zu is %02X where the capture has %02X",
                    static_cast<size_t>(differ.first - data), *differ.first, *differ.second);
      departure_ = step + sent + ", where the capture has " + Recorded(t) + detail;
      return nullptr;
    }
  }
  ++next_;
  read_ = false;
  return &t;
}

bool ReplayPort::Answer(const capture::Transfer& t) {
  switch (t.result) {
    case capture::Result::kOk:
      return true;
    case capture::Result::kTimeout:
      lastError_ = capture::kErrorTimeout;
      return false;
    case capture::Result::kStall:
      lastError_ = capture::kErrorStall;
      return false;
    case capture::Result::kGone:
      lastError_ = capture::kErrorGone;
      return false;
    case capture::Result::kError:
      // A failure recorded without its code is still a failure: an I/O error, not a transfer left
      // unanswered.
      lastError_ = t.error != 0 ? t.error : kErrorIoDevice;
      return false;
  }
  return false;
}

bool ReplayPort::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  std::lock_guard<std::mutex> lock(mutex_);
  *written = 0;
  const capture::Transfer* t = Next(false, data, length);
  if (t == nullptr) {
    lastError_ = capture::kErrorStall;
    return false;
  }
  *written = t->moved;
  return Answer(*t);
}

bool ReplayPort::Read(uint8_t* data, uint32_t length, uint32_t* read) {
  std::lock_guard<std::mutex> lock(mutex_);
  *read = 0;
  const capture::Transfer* t = Next(true, nullptr, length);
  if (t == nullptr) {
    lastError_ = capture::kErrorStall;
    return false;
  }
  capture::FillLeftOut(data, t->leftOut);
  if (!t->bytes.empty()) {
    std::memcpy(data + t->leftOut, t->bytes.data(), t->bytes.size());
  }
  *read = t->moved;
  return Answer(*t);
}

std::string ReplayPort::Departure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return departure_;
}

std::string ReplayPort::LeftOver() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (next_ >= count_) {
    return "";
  }
  return std::to_string(count_ - next_) + " recorded transfers left over, from step " + std::to_string(next_ + 1) +
         (Peek() ? ": " + Recorded(current_) : "");
}

}  // namespace usb
}  // namespace scansim
