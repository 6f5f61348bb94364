// Image data deflated into one zlib stream, compressed in strips of whole rows on several threads; for
// the PNG and PDF writers.
#pragma once

#include <zlib.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace stiscan {

// Bytes written to a file, counted; the first failure's reason is kept.
class FileOut {
 public:
  explicit FileOut(std::FILE* file = nullptr) : file_(file) {}
  bool Put(const void* data, size_t size);
  bool Put(const std::string& text) { return Put(text.data(), text.size()); }
  uint64_t Count() const { return count_; }
  bool Failed(std::string* error) const;
  std::FILE* File() const { return file_; }

 private:
  std::FILE* file_;
  uint64_t count_ = 0;
  int error_ = 0;
};

// Threads that compress strips: the machine's logical processors, or STISCAN_COMPRESSION_THREADS
// (1 to 64) when set. The bytes written do not depend on it.
unsigned CompressionThreads();

// The zlib level of --compression. On a scanner's pages (a sensor's noise on every byte) zlib's default
// of 6 writes 1.5 % less than 4 for three and a half times the CPU, more than two cores give at a USB
// 2.0 wire's pace; 4 keeps that pace (docs/PERFORMANCE.md, section 5). fast is 1.
constexpr int DeflateLevel(bool fast) {
  return fast ? 1 : 4;
}

// One zlib stream over rows fed in order. The rows are cut into strips of a fixed number (about a
// mebibyte of stream a strip); each strip is deflated on its own, primed with the 32 KiB of stream before
// it, and ends on a byte boundary (an empty stored block), so that the strips, compressed at the same
// time, join into one stream: the header, the strips in order, the Adler-32 of the whole. The strips
// are cut the same way whatever the number of threads, so the stream's bytes are the same too. The sink
// gets the stream in order, on the feeding thread. At most a few strips per thread are held.
//
// One deflater serves every stream of a job in turn (Begin ... Finish, End, Begin ...): its threads,
// their zlib streams and the strips' buffers outlive each stream, so that a job of many files does not
// start threads and fault in fresh memory for every page.
class StripDeflater {
 public:
  using Sink = std::function<bool(const uint8_t* data, size_t size)>;
  // Turns one row as fed into the row the stream holds (`streamRowBytes`); it runs on any thread.
  using RowFilter = std::function<void(const uint8_t* in, uint8_t* out)>;

  StripDeflater() = default;
  ~StripDeflater();
  StripDeflater(const StripDeflater&) = delete;
  StripDeflater& operator=(const StripDeflater&) = delete;

  // No filter: the rows go into the stream as they are (streamRowBytes == rowBytes).
  bool Begin(int level, uint32_t rowBytes, uint32_t streamRowBytes, RowFilter filter, Sink sink);
  // Strips that stand alone (TIFF's): each strip of StripRows() rows is a zlib stream of its own,
  // handed to the sink whole, one call a strip, in order; the last strip holds the rows left.
  bool BeginStrips(int level, uint32_t rowBytes, Sink sink);
  uint32_t StripRows() const { return stripRows_; }
  bool Feed(const uint8_t* rows, uint32_t count);
  bool Finish();
  // Gives the stream up (or releases it after Finish); waits for the strips being compressed. The
  // threads stay for the next stream.
  void End();

 private:
  struct Strip {
    std::vector<uint8_t> rows;  // the rows of the strip before that prime it, then its own
    uint32_t primeRows = 0;
    uint32_t count = 0;  // its own rows
    bool last = false;
    std::vector<uint8_t> out;
    uLong adler = 1;
    bool ok = false;
    bool done = false;
  };

  struct Stream {
    z_stream z = {};
    bool open = false;
    int level = 0;
    Stream() = default;
    ~Stream() { End(); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    bool Start(int level);
    void End();
  };

  bool Start(int level, uint32_t rowBytes, uint32_t streamRowBytes, RowFilter filter, Sink sink);
  std::unique_ptr<Strip> NewStrip();
  bool Submit(bool last);
  // Hands finished strips to the sink in order, waiting until at most `keep` remain.
  bool Drain(size_t keep);
  void Work();
  // Takes the first strip no thread has taken and compresses it with `stream`; `hold` holds the lock
  // before and after, not while compressing.
  void CompressNext(std::unique_lock<std::mutex>& hold, Stream& stream);
  void Compress(Strip& strip, Stream& stream) const;

  int level_ = Z_DEFAULT_COMPRESSION;
  uint32_t rowBytes_ = 0;
  uint32_t streamRowBytes_ = 0;
  uint32_t stripRows_ = 0;
  uint32_t primeRows_ = 0;  // rows of stream that cover the 32 KiB window
  bool alone_ = false;      // strips that stand alone: no priming, each a whole zlib stream
  RowFilter filter_;
  Sink sink_;
  bool open_ = false;
  bool failed_ = false;
  uLong adler_ = 1;
  std::unique_ptr<Strip> filling_;
  std::vector<std::unique_ptr<Strip>> spare_;  // written, their buffers kept for the next strips

  Stream stream_;         // for the strips compressed on the feeding thread
  unsigned threads_ = 0;  // the feeding thread and the workers; 0 until the first stream
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Strip>> order_;  // submitted, in stream order
  std::deque<Strip*> waiting_;                // not yet taken by a worker
  unsigned busy_ = 0;                         // strips being compressed
  std::vector<std::thread> workers_;
  bool stop_ = false;
};

}  // namespace stiscan
