// One file of the output, by the name the user gave. A new name or a regular file is written under a
// temporary name beside it (NAME.part, created afresh: never through a link, never over anything but a
// leftover of an earlier run) and takes the name only when complete. Anything else holding the name (a
// device, a FIFO, a symbolic link) is never replaced: it is opened and written as it is, as the shell's
// `>` does, and what was written stays there.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

namespace stiscan {

// NAME.part, its last part cut (at a character's start) so that it fits in a name of 255 bytes.
std::string TemporaryName(const std::string& path);

class TargetFile {
 public:
  TargetFile() = default;
  ~TargetFile() { Discard(); }
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;

  // Before the scan: whether `path` can be written the way Open will (a trial temporary file is made
  // and removed). False with the reason.
  static bool Check(const std::string& path, std::string* reason);
  // Opens `path` for writing. A FIFO waits for its reader, unless `giveUp` is set. False with the reason.
  bool Open(const std::string& path, const std::atomic<bool>& giveUp, std::string* reason);
  std::FILE* Stream() const { return file_; }
  // Whether the name is written as it is (not a regular file of ours: no seeking, no renaming).
  bool Direct() const { return temporary_.empty(); }
  // Closes; the temporary file takes the name. False with the reason; the temporary file is removed.
  bool Commit(std::string* reason);
  // Closes; the temporary file is removed.
  void Discard();

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
  std::string temporary_;  // empty when the name is written as it is
};

}  // namespace stiscan
