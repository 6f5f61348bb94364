#include "Ocr.h"

#include <algorithm>

#if defined(STISCAN_OCR)
#include <dlfcn.h>
#include <tesseract/capi.h>
#endif

namespace stiscan {

namespace {

#if defined(STISCAN_OCR)

// Tesseract runs its networks on an OpenMP team for every line it reads. The pages are read in parallel
// here already: those teams only add threads that spin (measured on a 3-page job: twice the CPU time,
// a third of it in the kernel, and no sooner done). With no active level allowed, an OpenMP region on
// this thread runs on this thread alone. Looked up, not linked: the runtime is the one Tesseract was
// built with, if any.
void OneThreadPerRegion() {
  using SetLevels = void (*)(int);
  auto set = reinterpret_cast<SetLevels>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
  if (set != nullptr) {
    set(0);
  }
}

// An engine with `language` loaded, or null when its data is missing.
TessBaseAPI* NewEngine(const std::string& language) {
  TessBaseAPI* engine = TessBaseAPICreate();
  // Tesseract's own messages (a data file it cannot open, an empty page) stay out of the tool's output:
  // the tool says what failed.
  TessBaseAPISetVariable(engine, "debug_file", "/dev/null");
  if (TessBaseAPIInit3(engine, nullptr, language.c_str()) != 0) {
    TessBaseAPIDelete(engine);
    return nullptr;
  }
  TessBaseAPISetPageSegMode(engine, tesseract::PSM_AUTO);
  return engine;
}

std::vector<Word> Read(TessBaseAPI* engine, const GreyPage& page) {
  std::vector<Word> words;
  if (page.width == 0 || page.height == 0) {
    return words;
  }
  TessBaseAPISetImage(engine, page.pixels.data(), static_cast<int>(page.width), static_cast<int>(page.height), 1,
                      static_cast<int>(page.width));
  TessBaseAPISetSourceResolution(engine, static_cast<int>(page.dpi));
  TessResultIterator* word = TessBaseAPIRecognize(engine, nullptr) == 0 ? TessBaseAPIGetIterator(engine) : nullptr;
  if (word != nullptr) {
    const TessPageIterator* at = TessResultIteratorGetPageIteratorConst(word);
    do {
      char* text = TessResultIteratorGetUTF8Text(word, tesseract::RIL_WORD);
      Word w;
      int lineLeft = 0;
      int lineTop = 0;
      int lineRight = 0;
      int lineBottom = 0;
      if (text != nullptr && *text != '\0' &&
          TessPageIteratorBoundingBox(at, tesseract::RIL_WORD, &w.left, &w.top, &w.right, &w.bottom) &&
          TessPageIteratorBoundingBox(at, tesseract::RIL_TEXTLINE, &lineLeft, &lineTop, &lineRight, &lineBottom)) {
        int x1 = 0;
        int y1 = 0;
        int x2 = 0;
        int y2 = 0;
        w.baseline = TessPageIteratorBaseline(at, tesseract::RIL_WORD, &x1, &y1, &x2, &y2) ? (y1 + y2) / 2 : w.bottom;
        w.lineHeight = lineBottom - lineTop;
        w.text = text;
        words.push_back(std::move(w));
      }
      TessDeleteText(text);
    } while (TessResultIteratorNext(word, tesseract::RIL_WORD));
    TessResultIteratorDelete(word);
  }
  TessBaseAPIClear(engine);
  return words;
}

// The Debian packages of the languages in "deu+chi_sim" that have no data.
std::string MissingPackages(const std::string& language) {
  std::string packages;
  size_t from = 0;
  while (from <= language.size()) {
    size_t end = language.find('+', from);
    end = end == std::string::npos ? language.size() : end;
    const std::string one = language.substr(from, end - from);
    TessBaseAPI* engine = one.empty() ? nullptr : NewEngine(one);
    if (engine == nullptr) {
      std::string package = "tesseract-ocr-" + one;
      std::replace(package.begin(), package.end(), '_', '-');
      packages += (packages.empty() ? "" : " ") + package;
    } else {
      TessBaseAPIDelete(engine);
    }
    from = end + 1;
  }
  return packages;
}

#endif

}  // namespace

std::shared_ptr<PageReader> PageReader::Start(const std::string& language, std::string* error) {
#if defined(STISCAN_OCR)
  TessBaseAPI* first = NewEngine(language);
  if (first == nullptr) {
    *error = "--ocr " + language + ": Tesseract has no data for it; install " + MissingPackages(language);
    return nullptr;
  }
  std::shared_ptr<PageReader> reader(new PageReader);
  reader->language_ = language;
  // A worker a processor, up to four: a page takes seconds, and each engine holds its language's model.
  const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  for (unsigned i = 0; i < workers; ++i) {
    reader->workers_.emplace_back(&PageReader::Work, reader.get(), i == 0 ? first : nullptr);
  }
  return reader;
#else
  *error = "--ocr " + language + ": this build of stiscan reads no text (built without Tesseract)";
  return nullptr;
#endif
}

PageReader::~PageReader() {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) {
    worker.join();
  }
}

void PageReader::Submit(GreyPage page) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return waiting_ < kWaiting; });
  jobs_.emplace_back().page = std::move(page);
  ++waiting_;
  changed_.notify_all();
}

bool PageReader::Take(bool wait, std::vector<Word>* words) {
  std::unique_lock<std::mutex> hold(lock_);
  if (wait) {
    changed_.wait(hold, [this] { return jobs_.empty() || jobs_.front().done; });
  }
  if (jobs_.empty() || !jobs_.front().done) {
    return false;
  }
  *words = std::move(jobs_.front().words);
  jobs_.pop_front();
  return true;
}

// A worker: takes the first page no one reads yet, reads it with the lock released, hands back its
// words and gives its pixels up.
void PageReader::Work(void* engine) {
#if defined(STISCAN_OCR)
  OneThreadPerRegion();
  auto* tesseract = static_cast<TessBaseAPI*>(engine);
  if (tesseract == nullptr) {
    tesseract = NewEngine(language_);
  }
  std::unique_lock<std::mutex> hold(lock_);
  while (tesseract != nullptr) {
    changed_.wait(hold, [this] { return stop_ || waiting_ != 0; });
    if (stop_) {
      break;
    }
    Job& job = *std::find_if(jobs_.begin(), jobs_.end(), [](const Job& j) { return !j.started; });
    job.started = true;
    --waiting_;
    changed_.notify_all();
    hold.unlock();
    std::vector<Word> words = Read(tesseract, job.page);
    hold.lock();
    job.words = std::move(words);
    job.page.pixels = {};
    job.done = true;
    changed_.notify_all();
  }
  hold.unlock();
  if (tesseract != nullptr) {
    TessBaseAPIEnd(tesseract);
    TessBaseAPIDelete(tesseract);
  }
#else
  (void)engine;
#endif
}

}  // namespace stiscan
