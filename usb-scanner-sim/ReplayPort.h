// The scanner of a capture file (docs/CAPTURE.md): a port that answers a program's transfers from the
// capture, in order. Each OUT must be the recorded one, byte for byte; each IN must ask for the
// recorded length and gets the recorded bytes (a generated pattern where the image bytes were left
// out) and the recorded result: a timeout is no answer, a stall stalls, a device gone is gone. The
// first transfer that departs from the capture fails with a stall, as does every one after it, and
// Departure() says which step departed and how.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/capture-format/CaptureFormat.h"
#include "simulator/Port.h"

namespace scansim {
namespace usb {

class ReplayPort : public Port {
 public:
  // The recorded transfers, one at a time, in order; false after the last.
  using Source = std::function<bool(capture::Transfer*)>;

  // The `count` transfers of a session read from a capture as the program reaches them, so that no
  // more than one is held.
  ReplayPort(Source source, size_t count) : source_(std::move(source)), count_(count) {}
  // The transfers of a session read whole.
  explicit ReplayPort(capture::Capture capture);

  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override;
  uint32_t LastError() const override { return lastError_; }

  // How the program departed from the capture; empty while it follows it.
  std::string Departure() const;
  // The recorded transfers the program has not reached, described; empty when it reached them all.
  std::string LeftOver() const;

 private:
  // The next recorded transfer when it is the one the program makes (`in`, `length`, `data` for an
  // OUT); null after noting the departure.
  const capture::Transfer* Next(bool in, const uint8_t* data, uint32_t length);
  bool Answer(const capture::Transfer& t);
  // The transfer at step next_ read into current_; false when there is none.
  bool Peek() const;

  mutable std::mutex mutex_;
  mutable Source source_;
  size_t count_ = 0;
  mutable capture::Transfer current_;
  mutable bool read_ = false;  // current_ holds step next_
  size_t next_ = 0;
  std::string departure_;
  uint32_t lastError_ = 0;
};

}  // namespace usb
}  // namespace scansim
