// The capture file: scanner sessions written as plain text as they happen, one line a transfer, for a
// bug report that a developer replays as the device (usb-scanner-sim --replay). The format is described
// in docs/CAPTURE.md. Written by the Linux USB route (WIASTIIO_CAPTURE) and by the capturing device
// monitor on Windows; the replay reads it back with ParseCapture. Each session is appended to the file
// after its own header, so that no session ever replaces another.
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

// The format this writer writes and the newest one the reader reads: 1 held one session, 2 may hold
// several, each after its own header line.
constexpr int kFormatVersion = 2;

class Writer {
 public:
  Writer() = default;
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Starts a session in `path` and writes its header; `images` false leaves out the image bytes of
  // read-image transfers. The file holds a user's pages, so it is private: created 0600 when missing,
  // otherwise appended to only when it is a regular file of this user (a link, FIFO, device or someone
  // else's file is refused, never followed nor waited on), and locked until Close so that no other
  // session writes into this one. False with Problem() when the file is refused or cannot be written.
  bool Open(const std::string& path, bool images, const char* source);
  // The same on a file the caller opened for writing at its end; the writer owns it from here, even
  // when it returns false (a null file).
  bool Adopt(std::FILE* file, const std::string& path, bool images, const char* source);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& Path() const { return path_; }
  // Why Open failed, or why the session stopped: a write failed (a full disk) and the file was closed
  // there. Taking it clears it.
  std::string TakeProblem();

  // "device VVVV:PPPP", written when the device differs from the last one named; true when written.
  bool Device(uint16_t vendorId, uint16_t productId);
  // A free line of the header kind ("descriptor ...", "call ..."), prefixed with the time for calls.
  void Line(const std::string& text);
  void Call(const std::string& text);
  // One bulk transfer: `bytes` holds the `asked` bytes sent (OUT) or the `moved` bytes received (IN).
  void Transfer(bool in, const uint8_t* bytes, uint32_t asked, uint32_t moved, Result result, uint32_t error);

 private:
  std::string Stamp() const;
  // Flushes what was written; on a failure closes the file with the reason in problem_.
  void Flush();

  std::FILE* file_ = nullptr;
  std::string problem_;
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
  int sessions = 0;  // in the whole file
  int cutLine = 0;   // the line the session was cut at (a write that never ended); 0 when it is whole
};

// Reads session `session` (from 1) of a capture: the lines before the second header belong to the
// first. A session cut short (the file ends inside a line, or the last transfer lacks bytes) ends with
// its last whole transfer. False with a message naming the line when it is not a capture, or when it
// has no such session.
bool ParseCapture(const std::string& text, int session, Capture* capture, std::string* problem);

// The bytes a replay answers in place of `count` image bytes left out of a capture.
void FillLeftOut(uint8_t* bytes, uint32_t count);

// How a transfer is written after its time: "OUT 4/4 ok", "IN 70/0 timeout" (no bytes).
std::string Describe(const Transfer& transfer);
// What a command is, by its operation code: "scan window (24)"; "" for bytes that are no command.
std::string CommandName(const uint8_t* bytes, uint32_t length);

}  // namespace capture
