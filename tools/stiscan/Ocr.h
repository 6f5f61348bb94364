// The words on scanned pages, read by Tesseract for the invisible text layer of a searchable PDF. Pages
// are read on worker threads of their own while the scan goes on, and their words are taken in the
// order the pages were given. At most a few pages wait for a free worker: beyond that, Submit waits, and
// so, through the encoder's queue, does the scan. The build may leave Tesseract out (Start says so).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace stiscan {

// One word in pixels of its page, from the top left corner.
struct Word {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int baseline = 0;    // where the word's line sits, under the word
  int lineHeight = 0;  // of the word's line of text, ascenders to descenders
  std::string text;    // UTF-8
};

// A page as the reader takes it: 8-bit grey, 0 black.
struct GreyPage {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t dpi = 0;
  std::vector<uint8_t> pixels;
};

class PageReader {
 public:
  // A reader of `language` ("eng", or several: "deu+eng") for the job, its data loaded before the scan.
  // Null, with the reason in `error`, when this build reads no text or a language's data is missing
  // (the reason names the package that brings it).
  static std::shared_ptr<PageReader> Start(const std::string& language, std::string* error);
  ~PageReader();
  PageReader(const PageReader&) = delete;
  PageReader& operator=(const PageReader&) = delete;

  // Queues a page; waits while kWaiting pages wait for a worker.
  void Submit(GreyPage page);
  // The words of the oldest page not yet taken: false when no page is out, or (without `wait`) when
  // that page is still being read.
  bool Take(bool wait, std::vector<Word>* words);

 private:
  struct Job {
    GreyPage page;
    bool started = false;
    bool done = false;
    std::vector<Word> words;
  };
  static constexpr size_t kWaiting = 2;

  PageReader() = default;
  void Work(void* engine);

  std::string language_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;  // in page order, until taken
  size_t waiting_ = 0;    // jobs no worker has started
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace stiscan
