// The capture file: a scanner session written as plain text as it happens, one line a transfer, for a
// bug report that a developer replays as the device (usb-scanner-sim --replay). The format is described
// in docs/CAPTURE.md. Written by the Linux USB route (WIASTIIO_CAPTURE) and by the capturing device
// monitor on Windows; the replay reads it back with ParseCapture.
//
// Not thread-safe: the caller serialises the calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace capture {

// How a transfer ended. The Windows error codes are those the port reports: 121 for a timeout, 31 for
// an endpoint that stalled, 1167 for a device that is gone.
enum class Result { kOk, kTimeout, kStall, kGone, kError };

constexpr uint32_t kErrorStall = 31;
constexpr uint32_t kErrorTimeout = 121;
constexpr uint32_t kErrorGone = 1167;

// The result of a failed transfer from the Windows error code it reported.
Result ResultOfError(uint32_t error);

// The bytes at the end of every image block that are kept when images are left out.
constexpr uint32_t kTrailerBytes = 16;

class Writer {
 public:
  Writer() = default;
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Starts a new capture in `path` (replacing the file) and writes its header; `images` false leaves
  // out the image bytes of read-image transfers. False when the file cannot be written.
  bool Open(const std::string& path, bool images, const char* source);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& Path() const { return path_; }

  // "device VVVV:PPPP", written when the device differs from the last one named; true when written.
  bool Device(uint16_t vendorId, uint16_t productId);
  // A free line of the header kind ("descriptor ...", "call ..."), prefixed with the time for calls.
  void Line(const std::string& text);
  void Call(const std::string& text);
  // One bulk transfer: `bytes` holds the `asked` bytes sent (OUT) or the `moved` bytes received (IN).
  void Transfer(bool in, const uint8_t* bytes, uint32_t asked, uint32_t moved, Result result, uint32_t error);

 private:
  std::string Stamp() const;

  std::FILE* file_ = nullptr;
  std::string path_;
  bool images_ = true;
  std::chrono::steady_clock::time_point start_;
  uint32_t device_ = 0xFFFFFFFFu;
  bool readImage_ = false;  // the last OUT was the read-image command
};

// ---- Reading ----------------------------------------------------------------------------------------

struct Transfer {
  int line = 0;  // in the file, from 1
  bool in = false;
  uint32_t asked = 0;
  uint32_t moved = 0;
  Result result = Result::kOk;
  uint32_t error = 0;          // for kError
  uint32_t leftOut = 0;        // image bytes not recorded, before `bytes`
  std::vector<uint8_t> bytes;  // the recorded bytes (moved - leftOut)
};

struct Capture {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  bool device = false;  // a device line was found
  std::vector<Transfer> transfers;
};

// Reads a capture; false with a message naming the line when it is not one.
bool ParseCapture(const std::string& text, Capture* capture, std::string* problem);

// The bytes a replay answers in place of `count` image bytes left out of a capture.
void FillLeftOut(uint8_t* bytes, uint32_t count);

// How a transfer is written after its time: "OUT 4/4 ok", "IN 70/0 timeout" (no bytes).
std::string Describe(const Transfer& transfer);
// What a command is, by its operation code: "scan window (24)"; "" for bytes that are no command.
std::string CommandName(const uint8_t* bytes, uint32_t length);

}  // namespace capture
