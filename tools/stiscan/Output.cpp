#include "Output.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "Deflate.h"
#include "Ocr.h"

namespace stiscan {

namespace {

// Rows waiting for the encoder at most; the scan waits beyond that.
constexpr uint64_t kQueueLimit = 8u << 20;
// Row buffers kept for reuse at most.
constexpr size_t kSpareBuffers = 4;
// How often a wait on the encoder looks at a stop, and how long after a stop an encoder that takes no
// task is taken to be blocked for good in a write that nothing reads.
constexpr std::chrono::milliseconds kStopPoll{100};
constexpr std::chrono::seconds kStalledAfterStop{5};

namespace fs = std::filesystem;

uint64_t FileBytes(const std::string& path) {
  std::error_code ec;
  const uintmax_t bytes = fs::file_size(path, ec);
  return ec ? 0 : bytes;  // a device or a FIFO has no size
}

#if defined(__GLIBC__)
// A stream that passes what is written on to another, counting the bytes it took: standard output, a
// FIFO or a device has no size to read afterwards.
ssize_t WriteCounted(void* cookie, const char* data, size_t size) {
  auto* counted = static_cast<std::pair<std::FILE*, uint64_t*>*>(cookie);
  const size_t written = std::fwrite(data, 1, size, counted->first);
  *counted->second += written;
  return written == 0 && size != 0 ? -1 : static_cast<ssize_t>(written);
}
#endif

}  // namespace

Output::Output(const Options& options) : options_(options) {
  encoding_.quality = options.quality;
  encoding_.fast = options.fastCompression;
  encoding_.pdfDeflate = options.pdfDeflate;
  encoding_.simulated = options.simulate;
  encoding_.deflater = std::make_shared<StripDeflater>();
  toStdout_ = options.output == "-";
}

Output::~Output() {
  std::string ignored;
  Finish(&ignored);
}

bool Output::Prepare(std::string* error) {
  if (!options_.ocr.empty()) {
    encoding_.reader = PageReader::Start(options_.ocr, error);
    if (encoding_.reader == nullptr) {
      return false;
    }
  }
  if (toStdout_) {
    return true;
  }
  const std::string first = PagePath(options_, 1);
  std::error_code ec;
  const fs::path parent = fs::path(first).parent_path();
  if (!parent.empty() && !fs::is_directory(parent, ec)) {
    fs::create_directories(parent, ec);
    if (ec) {
      *error = "cannot create the folder " + parent.string() + ": " + ec.message();
      return false;
    }
  }
  std::string reason;
  if (!TargetFile::Check(first, &reason)) {
    *error = "cannot write " + first + ": " + reason;
    return false;
  }
  return true;
}

void Output::Post(Task task) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!thread_.joinable()) {
    thread_ = std::thread([this] { Run(); });
  }
  const uint64_t size = task.rows.size();
  // After a stop the scan only winds down: a task the queue has no room for is dropped rather than
  // waited for, since the encoder may be blocked in a write that nothing takes.
  while (!changed_.wait_for(hold, kStopPoll,
                            [&] { return encoderDone_ || queued_ == 0 || queued_ + size <= kQueueLimit; })) {
    if (stopped_.load()) {
      return;
    }
  }
  if (encoderDone_) {
    return;
  }
  queued_ += size;
  if (task.kind == Kind::kAbandon) {
    abandoned_.store(true);
  }
  tasks_.push_back(std::move(task));
  changed_.notify_all();
}

bool Output::Failed(std::string* error) {
  if (!failed_.load()) {
    return false;
  }
  std::lock_guard<std::mutex> hold(lock_);
  *error = error_;
  return true;
}

bool Output::PageBegin(const client::PageLayout& page, std::string* error) {
  rowBytes_ = page.bytesPerLine;
  Task task{Kind::kBegin, page, {}, 0};
  Post(std::move(task));
  return !Failed(error);
}

bool Output::PageRows(const uint8_t* rows, uint32_t count, std::string* error) {
  if (Failed(error)) {
    return false;
  }
  Task task{Kind::kRows, {}, {}, count};
  {
    // A buffer the encoder is done with, if any: fresh memory for every task costs page faults.
    std::lock_guard<std::mutex> hold(lock_);
    if (!spare_.empty()) {
      task.rows = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  task.rows.assign(rows, rows + static_cast<size_t>(count) * rowBytes_);
  Post(std::move(task));
  return !Failed(error);
}

bool Output::PageEnd(std::string* error) {
  Post(Task{Kind::kEnd, {}, {}, 0});
  return !Failed(error);
}

void Output::PageAbandoned() {
  Post(Task{Kind::kAbandon, {}, {}, 0});
}

bool Output::Finish(std::string* error) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!thread_.joinable()) {
      return !failed_.load() || (*error = error_, false);
    }
  }
  Post(Task{Kind::kStop, {}, {}, 0});
  {
    std::unique_lock<std::mutex> hold(lock_);
    uint64_t seen = tasksDone_;
    auto progress = std::chrono::steady_clock::now();
    while (!changed_.wait_for(hold, kStopPoll, [&] { return encoderDone_; })) {
      if (tasksDone_ != seen) {
        seen = tasksDone_;
        progress = std::chrono::steady_clock::now();
      } else if (stopped_.load() && std::chrono::steady_clock::now() - progress >= kStalledAfterStop) {
        // Joining would wait for a reader that does not come; the stop ends the run without it.
        stuck_ = true;
        thread_.detach();
        *error =
            (toStdout_ ? std::string("standard output") : options_.output) + " takes no more bytes: nothing reads it";
        return false;
      }
    }
  }
  thread_.join();
  return !Failed(error);
}

void Output::Fail(const std::string& message) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!failed_.load()) {
    error_ = message;
    failed_.store(true);
  }
}

void Output::Run() {
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [&] { return !tasks_.empty(); });
      task = std::move(tasks_.front());
      tasks_.pop_front();
      queued_ -= task.rows.size();
      ++tasksDone_;
      changed_.notify_all();
    }
    if (!Do(task)) {
      std::lock_guard<std::mutex> hold(lock_);
      encoderDone_ = true;
      changed_.notify_all();
      return;
    }
    if (task.rows.capacity() != 0) {
      std::lock_guard<std::mutex> hold(lock_);
      if (spare_.size() < kSpareBuffers) {
        spare_.push_back(std::move(task.rows));
      }
    }
  }
}

bool Output::OpenTarget(const std::string& path, std::string* error) {
  target_ = toStdout_ ? "standard output" : path;
  std::string reason;
  if (!toStdout_ && !file_.Open(path, abandoned_, &reason)) {
    *error = "cannot write " + target_ + ": " + reason;
    return false;
  }
#if defined(_WIN32)
  if (toStdout_) {
    _setmode(_fileno(stdout), _O_BINARY);
  }
#endif
  sink_ = toStdout_ ? stdout : file_.Stream();
  spool_ = options_.format == Format::kTiff && (toStdout_ || file_.Direct());
  errno = 0;
  stream_ = spool_ ? std::tmpfile() : sink_;
  sinkBytes_ = 0;
  counted_ = spool_;
#if defined(__GLIBC__)
  if (!spool_ && (toStdout_ || file_.Direct())) {
    counter_ = {sink_, &sinkBytes_};
    if (std::FILE* counting = fopencookie(&counter_, "w", {nullptr, WriteCounted, nullptr, nullptr})) {
      stream_ = counting;
      counted_ = true;
    }
  }
#endif
  if (stream_ == nullptr) {
    *error = "cannot write " + target_ + ": " + SystemReason(errno != 0 ? errno : EACCES);
    return false;
  }
  writer_ = MakeWriter(options_.format, encoding_);
  keepable_ = true;
  if (!writer_->Open(stream_, error)) {
    *error = "cannot write " + target_ + ": " + *error;
    return false;
  }
  return true;
}

// Copies a spooled file to its stream; false with the system's reason.
bool Output::CopySpool(std::string* error) {
  std::rewind(stream_);
  std::vector<char> buffer(1 << 16);
  size_t got = 0;
  bool ok = true;
  errno = 0;
  while (ok && (got = std::fread(buffer.data(), 1, buffer.size(), stream_)) > 0) {
    ok = std::fwrite(buffer.data(), 1, got, sink_) == got;
    sinkBytes_ += ok ? got : 0;
  }
  if (!ok) {
    *error = SystemReason(errno != 0 ? errno : EIO);
  }
  return ok;
}

// Closes the target; a kept file gets its name (a spooled one is copied to its stream first).
bool Output::CloseTarget(bool keep) {
  std::string error;
  bool ok = true;
  if (writer_ != nullptr && keep && !writer_->Close(&error)) {
    ok = false;
  }
  writer_.reset();
  if (!spool_ && stream_ != nullptr && stream_ != sink_ && std::fclose(stream_) != 0 && ok) {
    ok = false;  // the counting stream's last bytes did not reach the sink
    error = SystemReason(errno != 0 ? errno : EIO);
  }
  if (spool_ && stream_ != nullptr) {
    if (ok && keep) {
      ok = CopySpool(&error);
    }
    std::fclose(stream_);
  }
  stream_ = nullptr;
  sink_ = nullptr;
  errno = 0;
  if (toStdout_ && std::fflush(stdout) != 0 && ok) {
    ok = false;
    error = SystemReason(errno != 0 ? errno : EIO);
  } else if (!toStdout_ && ok && keep) {
    ok = file_.Commit(&error);
  } else if (!toStdout_) {
    file_.Discard();
  }
  if (!ok) {
    Fail("cannot write " + target_ + ": " + error);
  }
  return ok;
}

bool Output::Do(Task& task) {
  const bool multi = OneFileForJob(options_);
  switch (task.kind) {
    case Kind::kBegin:
      if (!failed_.load()) {
        BeginPage(task, multi);
      }
      break;
    case Kind::kRows: {
      std::string error;
      if (pageOpen_ && !failed_.load() && !writer_->Rows(task.rows.data(), task.count, &error)) {
        Fail("cannot write " + target_ + ": " + error);
      }
      break;
    }
    case Kind::kEnd:
      if (pageOpen_ && !failed_.load()) {
        EndPage(multi);
      }
      break;
    case Kind::kAbandon:
      AbandonPage(multi);
      break;
    case Kind::kStop:
      if (jobOpen_) {
        StopJob();
      }
      return false;
  }
  return true;
}

// A page begins: its file is opened first unless the job's one is open already.
void Output::BeginPage(const Task& task, bool multi) {
  std::string error;
  const std::string path = PagePath(options_, task.page.number);
  if (!jobOpen_ || !multi) {
    if (!OpenTarget(path, &error)) {
      Fail(error);
      CloseTarget(false);
      return;
    }
    jobOpen_ = true;
    files_.push_back(File{path, 0, task.page.width, task.page.height, 0});
  }
  if (!writer_->BeginPage(task.page, &error)) {
    Fail("cannot write " + target_ + ": " + error);
    return;
  }
  pageOpen_ = true;
}

// A page is complete; a one-page file gets its name.
void Output::EndPage(bool multi) {
  std::string error;
  pageOpen_ = false;
  if (!writer_->EndPage(&error)) {
    Fail("cannot write " + target_ + ": " + error);
    return;
  }
  ++files_.back().pages;
  if (!multi) {
    jobOpen_ = false;
    if (CloseTarget(true)) {
      files_.back().bytes = counted_ ? sinkBytes_ : FileBytes(files_.back().path);
    } else {
      files_.pop_back();  // removed: the summary lists only files that exist
    }
  }
}

// A page that will not be completed: dropped, and a one-page file with it.
void Output::AbandonPage(bool multi) {
  if (pageOpen_) {
    pageOpen_ = false;
    keepable_ = writer_->AbandonPage() && keepable_;
  }
  if (!multi && jobOpen_) {
    jobOpen_ = false;
    CloseTarget(false);
    files_.pop_back();
  }
}

// The job ends with its file open.
void Output::StopJob() {
  jobOpen_ = false;
  // A job's file is kept with its whole pages; with none, or with a part of a page the format
  // cannot drop, it goes.
  const bool keep = keepable_ && !files_.empty() && files_.back().pages > 0 && !pageOpen_;
  if (pageOpen_) {
    pageOpen_ = false;
    writer_->AbandonPage();
  }
  // A file that could not be completed is gone, and is not listed.
  if (!CloseTarget(keep) || !keep) {
    files_.pop_back();
  } else {
    files_.back().bytes = counted_ ? sinkBytes_ : FileBytes(files_.back().path);
  }
}

}  // namespace stiscan
