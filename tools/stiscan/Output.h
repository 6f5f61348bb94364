// Where the pages go: one file per page (PNG, JPEG, PNM) or one file for the job (TIFF, PDF), or
// standard output with `-o -`. Files are written under a temporary name beside the target and get their
// name only when complete, so that a stop leaves no partial file; a name held by anything but a regular
// file is written as it is (Target.h). Encoding runs on a thread of its own, fed whole rows through a
// bounded queue (8 MiB), so that it overlaps the transfers; PNG and PDF compress on further threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Options.h"
#include "Target.h"
#include "Writers.h"
#include "client/ScanSession.h"

namespace stiscan {

class Output {
 public:
  struct File {
    std::string path;
    uint32_t pages = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t bytes = 0;  // of the file
  };

  explicit Output(const Options& options);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Before the scanner is reserved, for options ParseOptions took: the text reader's language data is
  // loaded (--ocr), and the first target's folder exists (it is created when missing), is writable, and
  // the target is not a folder. A false return carries the reason.
  bool Prepare(std::string* error);

  // From the scan's thread. A false return carries the reason the output failed.
  bool PageBegin(const client::PageLayout& page, std::string* error);
  bool PageRows(const uint8_t* rows, uint32_t count, std::string* error);
  bool PageEnd(std::string* error);
  void PageAbandoned();
  // A stop request (safe in a signal handler): a FIFO's reader is no longer waited for, and an encoder
  // blocked in a write that nothing takes (a pipe nobody reads) is not waited for either.
  void Stop() {
    abandoned_.store(true);
    stopped_.store(true);
  }
  // After a stop, Finish gave up on an encoder that made no progress: it is still blocked in a write,
  // and its stream must not be flushed or closed by the program's normal end.
  bool Stuck() const { return stuck_; }
  // Waits for the encoder, completes or removes the job's file; false with the reason when the output
  // failed at the end.
  bool Finish(std::string* error);

  const std::vector<File>& Files() const { return files_; }

 private:
  enum class Kind { kBegin, kRows, kEnd, kAbandon, kStop };
  struct Task {
    Kind kind;
    client::PageLayout page;
    std::vector<uint8_t> rows;
    uint32_t count = 0;
  };

  void Post(Task task);
  bool Failed(std::string* error);
  void Run();
  bool Do(Task& task);
  // The steps of Do; multi: the job's pages share one file (or the standard output).
  void BeginPage(const Task& task, bool multi);
  void EndPage(bool multi);
  void AbandonPage(bool multi);
  void StopJob();
  bool OpenTarget(const std::string& path, std::string* error);
  bool CopySpool(std::string* error);
  bool CloseTarget(bool keep);
  void Fail(const std::string& message);

  const Options& options_;
  Encoding encoding_;
  bool toStdout_ = false;
  uint32_t rowBytes_ = 0;  // of the page being scanned

  std::thread thread_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Task> tasks_;
  std::vector<std::vector<uint8_t>> spare_;  // row buffers the encoder is done with
  uint64_t queued_ = 0;
  std::atomic<bool> failed_{false};
  std::atomic<bool> stopped_{false};
  bool encoderDone_ = false;  // the encoder's thread has returned (under lock_)
  uint64_t tasksDone_ = 0;    // tasks the encoder has taken (under lock_): its progress
  bool stuck_ = false;
  std::atomic<bool> abandoned_{false};  // a page was given up or a stop came: a FIFO's reader is no longer waited for
  std::string error_;

  // The encoder thread's own.
  std::unique_ptr<Writer> writer_;
  TargetFile file_;
  std::FILE* sink_ = nullptr;    // where the bytes go: the file, or standard output
  std::FILE* stream_ = nullptr;  // what the writer writes: the sink, or the spool
  // The bytes that reached a sink that has no size afterwards (standard output, a FIFO, a device), when
  // counted_; counter_ is the counting stream's sink and count.
  uint64_t sinkBytes_ = 0;
  std::pair<std::FILE*, uint64_t*> counter_{nullptr, nullptr};
  std::string target_;  // the final name
  bool spool_ = false;  // TIFF seeks: written to a temporary file, then copied to a stream or a device
  bool counted_ = false;
  bool jobOpen_ = false;
  bool pageOpen_ = false;
  bool keepable_ = true;  // the job's file still holds only whole pages
  std::vector<File> files_;
};

}  // namespace stiscan
