// What the library's results mean to a caller: their names and meanings, and the one mapping from a
// result that stops a scan to an outcome class, shared by the tool's exit statuses and the SANE
// backend's status codes.
#pragma once

#include <string>

#include "platform/win32.h"

namespace client {

enum class Status {
  kOk,
  kCancelled,  // stopped on request: the scanner was aborted and released
  kUsage,      // the request cannot be scanned (resolution, mode, size, source)
  kDevice,     // no scanner, port not granted, still busy or warming up
  kPaper,      // jam, no paper
  kIo,         // a transfer failed or came up short, or the scanner sent what the page cannot hold
  kLibrary,    // any other result of the library
  kOutput,     // the caller's output failed
};

// "cancelled", "device", ...: one word for summaries and JSON.
const char* StatusName(Status status);

// "WIA_ERROR_PAPER_JAM", or "0x80001234" for a result without a name.
std::string ResultName(HRESULT result);
// What `result` of `step` means, in words; `step` may be null. A step gives some results a narrower
// sense (E_FAIL of Initialize: the port was not granted).
std::string ResultMeaning(HRESULT result, const char* step = nullptr);
// "WIA_ERROR_PAPER_JAM (0x80210002, paper jam)".
std::string DescribeResult(HRESULT result, const char* step = nullptr);
// The outcome class of `result` when it stops `step`.
Status StatusFor(HRESULT result, const char* step = nullptr);

struct Outcome {
  Status status = Status::kOk;
  std::string step;       // the export or escape whose result decided, empty when none did
  HRESULT result = S_OK;  // its result
  std::string message;    // why the scan stopped, for a person

  bool Ok() const { return status == Status::kOk; }
};

}  // namespace client
