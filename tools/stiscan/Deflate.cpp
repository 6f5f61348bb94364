#include "Deflate.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Writers.h"

namespace stiscan {

namespace {

constexpr size_t kWindow = size_t{1} << 15;      // what deflate can refer back to
constexpr size_t kStripBytes = size_t{1} << 20;  // of stream, about

// The two bytes zlib starts its stream with for this level (32 KiB window, no preset dictionary).
void ZlibHeader(int level, uint8_t header[2]) {
  const unsigned flags = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
  unsigned value = (0x78u << 8) | (flags << 6);
  value += 31 - value % 31;
  header[0] = static_cast<uint8_t>(value >> 8);
  header[1] = static_cast<uint8_t>(value);
}

// A zlib stream's trailer: the Adler-32 of what it holds, high byte first.
void StoreAdler(uLong adler, uint8_t trailer[4]) {
  for (int i = 0; i < 4; ++i) {
    trailer[i] = static_cast<uint8_t>(adler >> (24 - 8 * i));
  }
}

// Room for more output past what is written.
void Grow(std::vector<uint8_t>& out, z_stream& stream) {
  const size_t used = out.size() - stream.avail_out;
  out.resize(out.size() * 2 + 64);
  stream.next_out = out.data() + used;
  stream.avail_out = static_cast<uInt>(out.size() - used);
}

// Deflates `size` bytes into `out`, which grows as needed; with a flush, until it is complete.
bool Run(std::vector<uint8_t>& out, z_stream& stream, const uint8_t* data, size_t size, int flush) {
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(size);
  for (;;) {
    if (stream.avail_out < 64) {
      Grow(out, stream);
    }
    const int result = deflate(&stream, flush);
    if (result == Z_STREAM_ERROR) {
      return false;
    }
    if (flush == Z_NO_FLUSH) {
      if (stream.avail_in == 0) {
        return true;
      }
    } else if (flush == Z_FINISH ? result == Z_STREAM_END : stream.avail_out != 0) {
      return true;
    }
  }
}

}  // namespace

bool FileOut::Put(const void* data, size_t size) {
  if (error_ != 0) {
    return false;
  }
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
    error_ = errno != 0 ? errno : EIO;
    return false;
  }
  count_ += size;
  return true;
}

bool FileOut::Failed(std::string* error) const {
  if (error_ == 0) {
    return false;
  }
  *error = SystemReason(error_);
  return true;
}

// A raw deflate stream, set up once and reset for each strip: setting one up allocates and clears
// some 300 KiB.
bool StripDeflater::Stream::Start(int level) {
  if (open && level == this->level) {
    return deflateReset(&z) == Z_OK;
  }
  End();
  z = z_stream();
  open = deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  this->level = level;
  return open;
}

void StripDeflater::Stream::End() {
  if (open) {
    deflateEnd(&z);
    open = false;
  }
}

unsigned CompressionThreads() {
  if (const char* given = std::getenv("STISCAN_COMPRESSION_THREADS")) {
    const long threads = std::strtol(given, nullptr, 10);
    if (threads >= 1 && threads <= 64) {
      return static_cast<unsigned>(threads);
    }
  }
  return std::clamp(std::thread::hardware_concurrency(), 1u, 64u);
}

bool StripDeflater::Begin(int level, uint32_t rowBytes, uint32_t streamRowBytes, RowFilter filter, Sink sink) {
  alone_ = false;
  if (!Start(level, rowBytes, streamRowBytes, std::move(filter), std::move(sink))) {
    return false;
  }
  uint8_t header[2];
  ZlibHeader(level_, header);
  failed_ = !sink_(header, sizeof header);
  return !failed_;
}

bool StripDeflater::BeginStrips(int level, uint32_t rowBytes, Sink sink) {
  alone_ = true;
  return Start(level, rowBytes, rowBytes, nullptr, std::move(sink));
}

bool StripDeflater::Start(int level, uint32_t rowBytes, uint32_t streamRowBytes, RowFilter filter, Sink sink) {
  End();
  level_ = level == Z_DEFAULT_COMPRESSION ? 6 : level;
  rowBytes_ = rowBytes;
  streamRowBytes_ = filter ? streamRowBytes : rowBytes;
  filter_ = std::move(filter);
  sink_ = std::move(sink);
  if (rowBytes_ == 0 || streamRowBytes_ == 0) {
    return false;
  }
  primeRows_ = static_cast<uint32_t>((kWindow + streamRowBytes_ - 1) / streamRowBytes_);
  stripRows_ = std::max(primeRows_, static_cast<uint32_t>((kStripBytes + streamRowBytes_ - 1) / streamRowBytes_));
  adler_ = adler32(0, nullptr, 0);
  failed_ = false;
  filling_ = NewStrip();
  if (threads_ == 0) {
    threads_ = CompressionThreads();
    for (unsigned i = 1; i < threads_; ++i) {
      workers_.emplace_back([this] { Work(); });
    }
  }
  open_ = true;
  return true;
}

void StripDeflater::End() {
  {
    // The strips no worker has taken are dropped; those being compressed are waited for, since they
    // are written into buffers that the next stream reuses.
    std::unique_lock<std::mutex> hold(lock_);
    waiting_.clear();
    changed_.wait(hold, [&] { return busy_ == 0; });
    for (std::unique_ptr<Strip>& strip : order_) {
      spare_.push_back(std::move(strip));
    }
    order_.clear();
  }
  if (filling_ != nullptr) {
    spare_.push_back(std::move(filling_));
  }
  open_ = false;
}

StripDeflater::~StripDeflater() {
  End();
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) {
    worker.join();
  }
}

bool StripDeflater::Feed(const uint8_t* rows, uint32_t count) {
  while (open_ && !failed_ && count != 0) {
    const uint32_t take = std::min(count, stripRows_ - filling_->count);
    filling_->rows.insert(filling_->rows.end(), rows, rows + size_t{take} * rowBytes_);
    filling_->count += take;
    rows += size_t{take} * rowBytes_;
    count -= take;
    if (filling_->count == stripRows_ && !Submit(false)) {
      return false;
    }
  }
  return open_ && !failed_;
}

bool StripDeflater::Finish() {
  // Standing alone, a strip with no rows is no strip.
  const bool empty = alone_ && filling_ != nullptr && filling_->count == 0;
  if (!open_ || failed_ || !(empty || Submit(true)) || !Drain(0)) {
    return false;
  }
  if (alone_) {
    return true;
  }
  uint8_t trailer[4];
  StoreAdler(adler_, trailer);
  failed_ = !sink_(trailer, sizeof trailer);
  return !failed_;
}

bool StripDeflater::Submit(bool last) {
  std::unique_ptr<Strip> strip = std::move(filling_);
  strip->last = last;
  if (!last) {
    filling_ = NewStrip();
  }
  if (!last && !alone_) {
    // The next strip starts with this one's last rows, the window it is primed with.
    filling_->primeRows = primeRows_;
    filling_->rows.assign(strip->rows.end() - static_cast<ptrdiff_t>(size_t{primeRows_} * rowBytes_),
                          strip->rows.end());
  }
  Strip* work = strip.get();
  {
    std::lock_guard<std::mutex> hold(lock_);
    order_.push_back(std::move(strip));
    if (!workers_.empty()) {
      waiting_.push_back(work);
    }
  }
  if (workers_.empty()) {
    Compress(*work, stream_);
    work->done = true;
  } else {
    changed_.notify_all();
  }
  return Drain(size_t{2} * threads_);
}

bool StripDeflater::Drain(size_t keep) {
  for (;;) {
    std::unique_ptr<Strip> strip;
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (order_.empty() || (!order_.front()->done && order_.size() <= keep)) {
        return !failed_;
      }
      // Rather than wait for the workers, this thread compresses a strip none of them has taken yet:
      // the feeding thread is one of the threads the compression counts on.
      if (!order_.front()->done && !waiting_.empty()) {
        CompressNext(hold, stream_);
        continue;
      }
      changed_.wait(hold, [&] { return order_.front()->done; });
      strip = std::move(order_.front());
      order_.pop_front();
    }
    if (!failed_) {
      failed_ = !strip->ok || !sink_(strip->out.data(), strip->out.size());
      adler_ = adler32_combine(adler_, strip->adler, static_cast<z_off_t>(size_t{strip->count} * streamRowBytes_));
    }
    spare_.push_back(std::move(strip));
  }
}

// A strip to fill, with the buffers of one written before when there is one: fresh memory for every
// strip would cost more in page faults than its copies.
std::unique_ptr<StripDeflater::Strip> StripDeflater::NewStrip() {
  std::unique_ptr<Strip> strip;
  if (spare_.empty()) {
    strip = std::make_unique<Strip>();
  } else {
    strip = std::move(spare_.back());
    spare_.pop_back();
  }
  strip->rows.clear();
  strip->out.clear();
  strip->primeRows = 0;
  strip->count = 0;
  strip->last = false;
  strip->adler = 1;
  strip->ok = false;
  strip->done = false;
  strip->rows.reserve(size_t{primeRows_ + stripRows_} * rowBytes_);
  return strip;
}

void StripDeflater::Work() {
  Stream stream;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [&] { return stop_ || !waiting_.empty(); });
    if (stop_) {
      return;
    }
    CompressNext(hold, stream);
  }
}

void StripDeflater::CompressNext(std::unique_lock<std::mutex>& hold, Stream& stream) {
  Strip* strip = waiting_.front();
  waiting_.pop_front();
  ++busy_;
  hold.unlock();
  Compress(*strip, stream);
  hold.lock();
  strip->done = true;
  --busy_;
  changed_.notify_all();
}

// One strip, raw deflate: primed with the window before it, ended by a full flush (the stream's last
// strip by its final block). Sets out, adler and ok.
void StripDeflater::Compress(Strip& strip, Stream& compressor) const {
  if (!compressor.Start(level_)) {
    return;
  }
  z_stream& stream = compressor.z;
  std::vector<uint8_t> filtered(filter_ ? size_t{std::max(strip.primeRows, 1u)} * streamRowBytes_ : 0);
  const auto streamRow = [&](uint32_t i, uint8_t* to) -> const uint8_t* {
    const uint8_t* row = strip.rows.data() + size_t{i} * rowBytes_;
    if (!filter_) {
      return row;
    }
    filter_(row, to);
    return to;
  };
  bool ok = true;
  if (strip.primeRows != 0) {
    const uint8_t* prime = strip.rows.data();
    if (filter_) {
      for (uint32_t i = 0; i < strip.primeRows; ++i) {
        streamRow(i, filtered.data() + size_t{i} * streamRowBytes_);
      }
      prime = filtered.data();
    }
    const size_t primed = size_t{strip.primeRows} * streamRowBytes_;
    const size_t window = std::min(primed, kWindow);
    ok = deflateSetDictionary(&stream, prime + primed - window, static_cast<uInt>(window)) == Z_OK;
  }
  // A scanned page deflates to a fraction of itself; the buffer grows when it does not.
  strip.out.resize(std::max(strip.out.capacity(), size_t{strip.count} * streamRowBytes_ / 4 + 1024));
  // A strip that stands alone is a zlib stream: its header, then the deflated rows and their Adler-32.
  const size_t header = alone_ ? 2 : 0;
  if (alone_) {
    ZlibHeader(level_, strip.out.data());
  }
  stream.next_out = strip.out.data() + header;
  stream.avail_out = static_cast<uInt>(strip.out.size() - header);
  uLong adler = adler32(0, nullptr, 0);
  for (uint32_t i = 0; ok && i < strip.count; ++i) {
    const uint8_t* row = streamRow(strip.primeRows + i, filtered.data());
    adler = adler32(adler, row, streamRowBytes_);
    ok = Run(strip.out, stream, row, streamRowBytes_, Z_NO_FLUSH);
  }
  ok = ok && Run(strip.out, stream, nullptr, 0, strip.last || alone_ ? Z_FINISH : Z_FULL_FLUSH);
  strip.out.resize(strip.out.size() - stream.avail_out);
  if (alone_) {
    uint8_t trailer[4];
    StoreAdler(adler, trailer);
    strip.out.insert(strip.out.end(), trailer, trailer + sizeof trailer);
  }
  strip.adler = adler;
  strip.ok = ok;
}

}  // namespace stiscan
