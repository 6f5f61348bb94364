// The capture file: scanner sessions written as plain text as they happen, one line a transfer, for a
// bug report that a developer replays as the device (usb-scanner-sim --replay). The format is described
// in docs/CAPTURE.md. Written by the Linux USB route (WIASTIIO_CAPTURE) and by the capturing device
// monitor on Windows; the replay reads it back with Reader. Each session is appended to the file
// after its own header, so that no session ever replaces another.
//
// Not thread-safe: the caller serialises the calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <streambuf>
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

// What ends a line its writer never finished (a full disk, a process killed, a host that went down):
// the next writer to open the file ends that line with it before its own header.
constexpr char kCutMark[] = " <cut>";

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

// Reads session `session` (from 1) of a capture, a transfer at a time, holding no more than the
// transfer it reads: the lines before the second header belong to the first session. A session cut
// short (a line its writer never ended, marked or the file's last, or a last transfer that lacks
// bytes) ends with its last whole transfer.
class Reader {
 public:
  Reader(std::streambuf* text, int session) : text_(text), session_(session) { summary_.sessions = 1; }

  // The session's next whole transfer; false at the session's end, or with Problem() when the text is
  // not a capture.
  bool Next(Transfer* transfer);
  // Reads on to the end of the file; then Summary() holds everything but the transfers. False with
  // Problem() when the text is not a capture or has no such session.
  bool Finish();
  const Capture& Summary() const { return summary_; }
  const std::string& Problem() const { return problem_; }

 private:
  enum class Line { kEnd, kWhole, kCut, kTooLong };
  Line ReadLine(std::string* line);
  // What the next line is to the session: kEnd when the session ends at it (the file's end, a cut line
  // in it, the next session's header, a problem), kContent when it is one of its lines to take.
  enum class Step { kSkip, kContent, kEnd };
  Step Advance(std::string* line);
  // One of the session's lines; true with `transfer` when it completes the transfer before it.
  bool Take(const std::string& line, Transfer* transfer);
  // The transfer being read, now whole, in `transfer`; false when it is not (a cut, or a problem).
  bool Complete(Transfer* transfer, bool last);
  bool Fail(int line, const std::string& what);

  std::streambuf* text_;
  int session_;
  Capture summary_;
  std::string problem_;
  int number_ = 0;
  bool header_ = false;
  bool ended_ = false;  // the session's lines are all read
  bool atEnd_ = false;  // and the file's
  bool pending_ = false;
  Transfer transfer_;  // the one being read, while pending_
};

// The whole of session `session` of a capture held in memory; false with a message naming the line
// when it is not a capture, or when it has no such session.
bool ParseCapture(const std::string& text, int session, Capture* capture, std::string* problem);

// The bytes a replay answers in place of `count` image bytes left out of a capture.
void FillLeftOut(uint8_t* bytes, uint32_t count);

// How a transfer is written after its time: "OUT 4/4 ok", "IN 70/0 timeout" (no bytes).
std::string Describe(const Transfer& transfer);
// What a command is, by its operation code: "scan window (24)"; "" for bytes that are no command.
std::string CommandName(const uint8_t* bytes, uint32_t length);

}  // namespace capture
