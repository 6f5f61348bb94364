#include "platform/capture/CaptureWriter.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

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

bool Writer::Open(const std::string& path, bool images, const char* source) {
  Close();
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    return false;
  }
  path_ = path;
  images_ = images;
  start_ = std::chrono::steady_clock::now();
  device_ = 0xFFFFFFFFu;
  readImage_ = false;
  std::fprintf(file_, "# WIASTIIO capture 1\n# from: %s\n# images: %s\n", source,
               images ? "kept" : "left out (lengths and trailers kept)");
  std::fflush(file_);
  return true;
}

void Writer::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
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
  std::fflush(file_);
  return true;
}

void Writer::Line(const std::string& text) {
  if (file_ != nullptr) {
    std::fprintf(file_, "%s\n", text.c_str());
    std::fflush(file_);
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
  uint32_t first = 0;
  if (image && !images_ && moved > kTrailerBytes) {
    first = moved - kTrailerBytes;
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
  std::fflush(file_);
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

bool ParseBytes(std::istringstream& words, std::vector<uint8_t>* bytes) {
  for (std::string word; words >> word;) {
    uint32_t value = 0;
    if (word.size() != 2 || !ParseUnsigned(word, 16, &value)) {
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(value));
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
    std::istringstream tail(text.substr(colon + 1));
    if (!ParseBytes(tail, &t->bytes)) {
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
      !ParseUnsigned(line.substr(colon + 1, 4), 16, &product) || vendor > 0xFFFF || product > 0xFFFF) {
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

// One line of a capture that is neither blank nor a comment; false with what is wrong with it.
bool ParseLine(const std::string& line, int number, Capture* capture, std::string* what) {
  if (line.compare(0, 4, kContinuation) == 0) {
    std::istringstream words(line);
    if (capture->transfers.empty() || capture->transfers.back().bytes.empty() ||
        !ParseBytes(words, &capture->transfers.back().bytes)) {
      *what = "a continuation line holds the bytes of the transfer above";
      return false;
    }
    return true;
  }
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
  const std::string rest = line.substr(line.find_first_not_of(' ', close + 1));
  if (rest.compare(0, 5, "call ") == 0) {
    return true;
  }
  Transfer transfer;
  transfer.line = number;
  if (!ParseTransfer(rest, &transfer, what)) {
    return false;
  }
  capture->transfers.push_back(std::move(transfer));
  return true;
}

}  // namespace

bool ParseCapture(const std::string& text, Capture* capture, std::string* problem) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::string what;
    if (!ParseLine(line, number, capture, &what)) {
      *problem = "line " + std::to_string(number) + ": " + what;
      return false;
    }
  }
  for (const Transfer& t : capture->transfers) {
    const uint32_t shown = t.in ? t.moved : t.asked;
    if (t.bytes.size() + t.leftOut != shown || t.moved > t.asked || (!t.in && t.leftOut > 0)) {
      *problem = "line " + std::to_string(t.line) + ": " + std::to_string(t.bytes.size() + t.leftOut) +
                 " bytes where " + std::to_string(shown) + (t.in ? " moved" : " were sent");
      return false;
    }
  }
  return true;
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
