#include "platform/capture-format/CaptureFormat.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <share.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace capture {

namespace {

constexpr uint32_t kBytesPerLine = 32;
constexpr char kContinuation[] = "    ";

const char* ResultWord(Result result) {
  switch (result) {
    case Result::kOk:
      return "ok";
    case Result::kTimeout:
      return "timeout";
    case Result::kStall:
      return "stall";
    case Result::kGone:
      return "gone";
    case Result::kError:
      return "error";
  }
  return "error";
}

bool IsReadImage(const uint8_t* bytes, uint32_t length) {
  return length == 4 && bytes[0] == 0x1B && bytes[1] == 0xA8 && bytes[2] == 0x29;
}

}  // namespace

Result ResultOfError(uint32_t error) {
  switch (error) {
    case kErrorTimeout:
      return Result::kTimeout;
    case kErrorStall:
      return Result::kStall;
    case kErrorGone:
      return Result::kGone;
    default:
      return Result::kError;
  }
}

Writer::~Writer() {
  Close();
}

namespace {

std::string Reason(const std::string& path, const char* what) {
  return path + " " + what;
}

#ifdef _WIN32
// Shared for reading only while this session writes, and not inherited by the programs it starts.
std::FILE* OpenPrivate(const std::string& path, std::string* problem) {
  int fd = -1;
  if (_sopen_s(&fd, path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_NOINHERIT, _SH_DENYWR, _S_IREAD | _S_IWRITE) !=
      0) {
    *problem = Reason(path, "cannot be written: ") + std::strerror(errno);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "a");
  if (file == nullptr) {
    _close(fd);
    *problem = Reason(path, "cannot be written: ") + std::strerror(errno);
  }
  return file;
}
#else
// What is wrong with appending to an existing file; "" for a regular file of this user.
const char* Refusal(const struct stat& status) {
  if (!S_ISREG(status.st_mode)) {
    return S_ISLNK(status.st_mode) ? "is a symbolic link" : "is not a regular file";
  }
  if (status.st_uid != geteuid()) {
    return "belongs to another user";
  }
  // Another name of the file may be one someone else reads it by.
  return status.st_nlink != 1 ? "has other names" : "";
}

// A new file 0600, or an existing regular file of this user for appending, never through a link and
// without waiting on a FIFO; locked for the session.
int OpenPrivateFd(const std::string& path, std::string* problem) {
  constexpr int kFlags = O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
  struct stat status = {};
  // Read and written by its owner whatever the umask, so that the next session may append to it.
  if (fd >= 0) {
    fchmod(fd, 0600);
  } else if (errno == EEXIST) {
    // Looked at before it is opened, so that a device is never opened; the open's own look decides.
    if (lstat(path.c_str(), &status) == 0 && *Refusal(status) != '\0') {
      *problem = Reason(path, Refusal(status));
      return -1;
    }
    fd = open(path.c_str(), kFlags);
  }
  if (fd < 0) {
    *problem = Reason(path, errno == ELOOP ? "is a symbolic link" : "cannot be written: ") +
               (errno == ELOOP ? "" : std::strerror(errno));
    return -1;
  }
  const char* refusal = fstat(fd, &status) != 0 ? "cannot be examined" : Refusal(status);
  if (*refusal == '\0' && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    refusal = "is being written by another capture";
  }
  if (*refusal != '\0') {
    close(fd);
    *problem = Reason(path, refusal);
    return -1;
  }
  // A file an earlier version left readable by others is made private before a page goes into it.
  if ((status.st_mode & 077) != 0) {
    fchmod(fd, status.st_mode & 0700);
  }
  // A session cut inside a line (a full disk, a process killed) is marked cut there, so that the
  // reader knows it and this session's header starts a line of its own.
  char last = '\n';
  const std::string mark = std::string(kCutMark) + "\n";
  if (status.st_size > 0 && pread(fd, &last, 1, status.st_size - 1) == 1 && last != '\n' &&
      write(fd, mark.data(), mark.size()) != static_cast<ssize_t>(mark.size())) {
    *problem = Reason(path, "cannot be written: ") + std::strerror(errno);
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, O_APPEND);
  return fd;
}

std::FILE* OpenPrivate(const std::string& path, std::string* problem) {
  const int fd = OpenPrivateFd(path, problem);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "a");
  if (file == nullptr) {
    *problem = Reason(path, "cannot be written: ") + std::strerror(errno);
    close(fd);
  }
  return file;
}
#endif

std::string StartTime() {
  const std::time_t now = std::time(nullptr);
  std::tm utc = {};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

}  // namespace

bool Writer::Open(const std::string& path, bool images, const char* source) {
  Close();
  problem_.clear();
  std::FILE* file = OpenPrivate(path, &problem_);
  return Adopt(file, path, images, source);
}

bool Writer::Adopt(std::FILE* file, const std::string& path, bool images, const char* source) {
  Close();
  file_ = file;
  if (file_ == nullptr) {
    return false;
  }
  path_ = path;
  images_ = images;
  start_ = std::chrono::steady_clock::now();
  device_ = 0xFFFFFFFFu;
  readImage_ = false;
  std::fprintf(file_, "# WIASTIIO capture %d\n# from: %s\n# started: %s\n# images: %s\n", kFormatVersion, source,
               StartTime().c_str(), images ? "kept" : "left out (lengths and trailers kept)");
  Flush();
  return file_ != nullptr;
}

void Writer::Close() {
  if (file_ != nullptr) {
    // Closing releases the lock.
    std::fclose(file_);
    file_ = nullptr;
  }
}

std::string Writer::TakeProblem() {
  std::string problem;
  problem.swap(problem_);
  return problem;
}

void Writer::Flush() {
  if (file_ != nullptr && (std::fflush(file_) != 0 || std::ferror(file_) != 0)) {
    const int error = errno;
    problem_ = Reason(path_, "could not be written further: ") + std::strerror(error);
    Close();
  }
}

std::string Writer::Stamp() const {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  char text[32];
  std::snprintf(text, sizeof text, "[%11.6f] ", seconds);
  return text;
}

bool Writer::Device(uint16_t vendorId, uint16_t productId) {
  const uint32_t device = (uint32_t{vendorId} << 16) | productId;
  if (file_ == nullptr || device == device_) {
    return false;
  }
  device_ = device;
  std::fprintf(file_, "device %04x:%04x\n", vendorId, productId);
  Flush();
  return true;
}

void Writer::Line(const std::string& text) {
  if (file_ != nullptr) {
    std::fprintf(file_, "%s\n", text.c_str());
    Flush();
  }
}

void Writer::Call(const std::string& text) {
  Line(Stamp() + "call " + text);
}

void Writer::Transfer(bool in, const uint8_t* bytes, uint32_t asked, uint32_t moved, Result result, uint32_t error) {
  if (file_ == nullptr) {
    return;
  }
  const bool image = in && readImage_;
  readImage_ = !in && bytes != nullptr && IsReadImage(bytes, asked);
  std::string line =
      Stamp() + (in ? "IN " : "OUT ") + std::to_string(asked) + "/" + std::to_string(moved) + " " + ResultWord(result);
  if (result == Result::kError) {
    line += " " + std::to_string(error);
  }
  // Every read-image answer is tagged when the images are left out, a short one with "image 0".
  uint32_t first = 0;
  if (image && !images_) {
    first = moved > kTrailerBytes ? moved - kTrailerBytes : 0;
    line += " image " + std::to_string(first);
  }
  std::fputs(line.c_str(), file_);
  // An OUT shows what the program sent, an IN what came back.
  const uint32_t shown = in ? moved : asked;
  if (shown > first && bytes != nullptr) {
    // Written a line at a time: an image block is tens of thousands of bytes.
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text = ":";
    text.reserve(3 * (shown - first) + 8 * ((shown - first) / kBytesPerLine + 1));
    for (uint32_t i = first; i < shown; ++i) {
      text += i > first && (i - first) % kBytesPerLine == 0 ? std::string("\n") + kContinuation : " ";
      text += kDigits[bytes[i] >> 4];
      text += kDigits[bytes[i] & 0x0F];
    }
    std::fwrite(text.data(), 1, text.size(), file_);
  }
  std::fputc('\n', file_);
  Flush();
}

// ---- Reading ----------------------------------------------------------------------------------------

namespace {

bool ParseUnsigned(const std::string& text, int base, uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') {
    return false;
  }
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text.c_str(), &end, base);
  if (*end != '\0' || parsed > 0xFFFFFFFFul) {
    return false;
  }
  *value = static_cast<uint32_t>(parsed);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Bytes as two hexadecimal digits each, separated by blanks; a capture is mostly these.
bool ParseBytes(const std::string& text, size_t from, std::vector<uint8_t>* bytes) {
  for (size_t i = from; i < text.size();) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    const int high = HexDigit(text[i]);
    const int low = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
    if (high < 0 || low < 0 || (i + 2 < text.size() && text[i + 2] != ' ' && text[i + 2] != '\t')) {
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    i += 2;
  }
  return true;
}

// "[  0.001] IN 70/70 ok: A8 00 ..." without the time; false when it is not a transfer.
bool ParseTransfer(const std::string& text, Transfer* t, std::string* problem) {
  const size_t colon = text.find(':');
  std::istringstream head(text.substr(0, colon));
  std::string direction;
  std::string counts;
  std::string result;
  head >> direction >> counts >> result;
  t->in = direction == "IN";
  const size_t slash = counts.find('/');
  if ((direction != "IN" && direction != "OUT") || slash == std::string::npos ||
      !ParseUnsigned(counts.substr(0, slash), 10, &t->asked) ||
      !ParseUnsigned(counts.substr(slash + 1), 10, &t->moved)) {
    *problem = "not a transfer: IN or OUT and asked/moved expected";
    return false;
  }
  const Result results[] = {Result::kOk, Result::kTimeout, Result::kStall, Result::kGone, Result::kError};
  bool known = false;
  for (Result r : results) {
    if (result == ResultWord(r)) {
      t->result = r;
      known = true;
    }
  }
  std::string word;
  if (!known || (t->result == Result::kError && !(head >> word && ParseUnsigned(word, 10, &t->error)))) {
    *problem = "unknown result " + result;
    return false;
  }
  if (head >> word) {
    std::string count;
    if (word != "image" || !(head >> count) || !ParseUnsigned(count, 10, &t->leftOut) || t->leftOut > t->moved) {
      *problem = "unexpected " + word;
      return false;
    }
  }
  if (colon != std::string::npos) {
    if (!ParseBytes(text, colon + 1, &t->bytes)) {
      *problem = "bytes are two hexadecimal digits each";
      return false;
    }
  }
  return true;
}

// A "device VVVV:PPPP" line; the first one names the device.
bool ParseDevice(const std::string& line, Capture* capture, std::string* what) {
  uint32_t vendor = 0;
  uint32_t product = 0;
  const size_t colon = line.find(':');
  if (colon == std::string::npos || !ParseUnsigned(line.substr(7, colon - 7), 16, &vendor) ||
      !ParseUnsigned(line.substr(colon + 1), 16, &product) || vendor > 0xFFFF || product > 0xFFFF) {
    *what = "device VVVV:PPPP expected";
    return false;
  }
  if (!capture->device) {
    capture->vendorId = static_cast<uint16_t>(vendor);
    capture->productId = static_cast<uint16_t>(product);
    capture->device = true;
  }
  return true;
}

// A line of a capture other than a continuation that is neither blank nor a comment: a transfer goes
// into `transfer` (and `*isTransfer`); false with what is wrong with the line.
bool ParseLine(const std::string& line, int number, Capture* capture, Transfer* transfer, bool* isTransfer,
               std::string* what) {
  *isTransfer = false;
  if (line.compare(0, 7, "device ") == 0) {
    return ParseDevice(line, capture, what);
  }
  if (line.compare(0, 11, "descriptor ") == 0) {
    return true;
  }
  const size_t close = line[0] == '[' ? line.find(']') : std::string::npos;
  if (close == std::string::npos) {
    *what = "a device, descriptor, call or transfer line expected";
    return false;
  }
  const size_t start = line.find_first_not_of(' ', close + 1);
  if (start == std::string::npos) {
    *what = "a time with nothing after it";
    return false;
  }
  const std::string rest = line.substr(start);
  if (rest.compare(0, 5, "call ") == 0) {
    return true;
  }
  transfer->line = number;
  *isTransfer = true;
  return ParseTransfer(rest, transfer, what);
}

// What is wrong with a transfer's lengths and bytes; "" when they agree.
std::string CountProblem(const Transfer& t) {
  const uint32_t shown = t.in ? t.moved : t.asked;
  if (t.moved > t.asked) {
    return std::to_string(t.moved) + " bytes moved where " + std::to_string(t.asked) + " were asked for";
  }
  if (!t.in && t.leftOut > 0) {
    return "image bytes are left out of an IN only";
  }
  if (t.bytes.size() + t.leftOut != shown) {
    return std::to_string(t.bytes.size() + t.leftOut) + " bytes where " + std::to_string(shown) +
           (t.in ? " moved" : " were sent");
  }
  return "";
}

// Whether a transfer lacks bytes its lengths say it has: the writer stopped while writing it.
bool ShortOfBytes(const Transfer& t) {
  return t.moved <= t.asked && t.bytes.size() + t.leftOut < (t.in ? t.moved : t.asked);
}

// The format version of a session's header line: 0 when the line is none, -1 when it is unreadable.
int HeaderVersion(const std::string& line) {
  static const std::string kHeader = "# WIASTIIO capture ";
  if (line.compare(0, kHeader.size(), kHeader) != 0) {
    return 0;
  }
  uint32_t version = 0;
  return ParseUnsigned(line.substr(kHeader.size()), 10, &version) && version >= 1 &&
                 version <= static_cast<uint32_t>(kFormatVersion)
             ? static_cast<int>(version)
             : -1;
}

}  // namespace

Reader::Line Reader::ReadLine(std::string* line) {
  // Far longer than any line a writer writes (a transfer's bytes go 32 to a line), so that a file
  // that is no capture is not taken in whole.
  constexpr size_t kLongest = 1u << 20;
  static const std::string kMark = std::string(kCutMark).substr(1);
  line->clear();
  for (;;) {
    const int c = text_->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      // The writer ends every line: a last line without its end was cut where the writer stopped.
      return line->empty() ? Line::kEnd : Line::kCut;
    }
    if (c == '\n') {
      break;
    }
    if (line->size() == kLongest) {
      return Line::kTooLong;
    }
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') {
    line->pop_back();
  }
  return line->size() >= kMark.size() && line->compare(line->size() - kMark.size(), kMark.size(), kMark) == 0
             ? Line::kCut
             : Line::kWhole;
}

bool Reader::Fail(int line, const std::string& what) {
  problem_ = "line " + std::to_string(line) + ": " + what;
  ended_ = true;
  return false;
}

bool Reader::Complete(Transfer* transfer, bool last) {
  if (!pending_) {
    return false;
  }
  pending_ = false;
  if (last && ShortOfBytes(transfer_)) {
    // Cut as it was written: the session ends with the transfer before it.
    summary_.cutLine = transfer_.line;
    return false;
  }
  if (const std::string what = CountProblem(transfer_); !what.empty()) {
    return Fail(transfer_.line, what);
  }
  *transfer = std::move(transfer_);
  transfer_ = Transfer();
  return true;
}

Reader::Step Reader::Advance(std::string* line) {
  const Line kind = ReadLine(line);
  if (kind == Line::kEnd) {
    atEnd_ = true;
    return Step::kEnd;
  }
  ++number_;
  if (kind == Line::kTooLong) {
    Fail(number_, "longer than any capture line");
    return Step::kEnd;
  }
  const bool mine = summary_.sessions == session_;
  if (kind == Line::kCut) {
    // A cut line is never a header; the session it is in ends there, and a header after it starts
    // another even when the cut one's header was the line cut.
    header_ = true;
    summary_.cutLine = mine ? number_ : summary_.cutLine;
    return mine ? Step::kEnd : Step::kSkip;
  }
  const int version = HeaderVersion(*line);
  if (version < 0) {
    Fail(number_, "a capture of a format this reader does not know (" + std::to_string(kFormatVersion) +
                      " is the newest it reads)");
    return Step::kEnd;
  }
  if (version > 0) {
    summary_.sessions += header_ ? 1 : 0;
    header_ = true;
    return mine && summary_.sessions > session_ ? Step::kEnd : Step::kSkip;
  }
  return line->empty() || (*line)[0] == '#' || !mine ? Step::kSkip : Step::kContent;
}

bool Reader::Take(const std::string& line, Transfer* transfer) {
  if (line.compare(0, 4, kContinuation) == 0) {
    if (!pending_ || transfer_.bytes.empty() || !ParseBytes(line, 0, &transfer_.bytes)) {
      Fail(number_, "a continuation line holds the bytes of the transfer above");
    }
    return false;
  }
  Transfer next;
  bool isTransfer = false;
  std::string what;
  if (!ParseLine(line, number_, &summary_, &next, &isTransfer, &what)) {
    return Fail(number_, what);
  }
  const bool whole = Complete(transfer, false);
  if (isTransfer && problem_.empty()) {
    transfer_ = std::move(next);
    pending_ = true;
  }
  return whole;
}

bool Reader::Next(Transfer* transfer) {
  std::string line;
  while (!ended_) {
    const Step step = Advance(&line);
    if (step == Step::kEnd) {
      ended_ = true;
      return problem_.empty() && Complete(transfer, true);
    }
    if (step == Step::kContent && Take(line, transfer)) {
      return true;
    }
  }
  return false;
}

bool Reader::Finish() {
  Transfer rest;
  while (Next(&rest)) {
  }
  std::string line;
  while (problem_.empty() && !atEnd_) {
    Advance(&line);
  }
  if (!problem_.empty()) {
    return false;
  }
  if (session_ < 1 || session_ > summary_.sessions) {
    problem_ = "no session " + std::to_string(session_) + ": the capture holds " + std::to_string(summary_.sessions);
    return false;
  }
  return true;
}

bool ParseCapture(const std::string& text, int session, Capture* capture, std::string* problem) {
  std::stringbuf buffer(text, std::ios::in);
  Reader reader(&buffer, session);
  std::vector<Transfer> transfers;
  for (Transfer t; reader.Next(&t);) {
    transfers.push_back(std::move(t));
  }
  const bool read = reader.Finish();
  *capture = reader.Summary();
  capture->transfers = std::move(transfers);
  *problem = reader.Problem();
  return read;
}

void FillLeftOut(uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<uint8_t>(i % 251);
  }
}

std::string Describe(const Transfer& t) {
  std::string text = std::string(t.in ? "IN " : "OUT ") + std::to_string(t.asked) + "/" + std::to_string(t.moved) +
                     " " + ResultWord(t.result);
  if (t.result == Result::kError) {
    text += " " + std::to_string(t.error);
  }
  return text;
}

std::string CommandName(const uint8_t* bytes, uint32_t length) {
  if (length < 3 || bytes[0] != 0x1B || bytes[1] != 0xA8) {
    return "";
  }
  struct Named {
    uint8_t opcode;
    const char* name;
  };
  static const Named kCommands[] = {
      {0x06, "abort"},       {0x12, "inquiry"}, {0x16, "reserve"},    {0x17, "release"},
      {0x24, "scan window"}, {0x28, "read"},    {0x29, "read image"}, {0x31, "object position"},
  };
  char code[8];
  std::snprintf(code, sizeof code, "%02X", bytes[2]);
  for (const Named& named : kCommands) {
    if (named.opcode == bytes[2]) {
      return std::string(named.name) + " command (" + code + ")";
    }
  }
  return std::string("command ") + code;
}

}  // namespace capture
