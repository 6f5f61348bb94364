// A scanner port for the doubles' tests: keeps what is written, answers reads from a script, and can
// fail a transfer part-way with an error code of its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "simulator/Port.h"

class TestPort : public scansim::Port {
 public:
  // From now on every transfer moves at most `partial` bytes and fails with `error`.
  void FailWith(uint32_t error, uint32_t partial) {
    failing_ = true;
    error_ = error;
    partial_ = partial;
  }
  void Serve(const std::vector<uint8_t>& bytes) { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }
  const std::vector<uint8_t>& Written() const { return written_; }

  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override {
    const uint32_t n = failing_ ? std::min(length, partial_) : length;
    written_.insert(written_.end(), data, data + n);
    *written = n;
    return !failing_;
  }
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override {
    uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(pending_.size()));
    n = failing_ ? std::min(n, partial_) : n;
    std::copy_n(pending_.begin(), n, data);
    pending_.erase(pending_.begin(), pending_.begin() + n);
    *read = n;
    return !failing_;
  }
  uint32_t LastError() const override { return error_; }

 private:
  bool failing_ = false;
  uint32_t error_ = 0;
  uint32_t partial_ = 0;
  std::vector<uint8_t> written_;
  std::deque<uint8_t> pending_;
};
