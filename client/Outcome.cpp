#include "client/Outcome.h"

#include <cstdio>
#include <cstring>

#include "protocol/Protocol.h"

#ifndef E_UNEXPECTED
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#endif

namespace client {

namespace {

struct Known {
  HRESULT result;
  const char* name;
  const char* meaning;
  Status status;
};

const Known kKnown[] = {
    {S_OK, "S_OK", "success", Status::kOk},
    {PAGE_END, "PAGE_END", "end of the page", Status::kOk},
    {ADF_NO_DOCUMENT, "ADF_NO_DOCUMENT", "no document in the feeder", Status::kPaper},
    {DEVICE_UNLOCKED, "DEVICE_UNLOCKED", "the scanning unit is not reserved", Status::kLibrary},
    {PORT_ACQUIRE_FAIL, "PORT_ACQUIRE_FAIL",
     "the contention module did not grant the scanner port (another program may hold it, or the module is missing)",
     Status::kDevice},
    {E_NOTIMPL, "E_NOTIMPL", "a port call failed", Status::kIo},
    {E_FAIL, "E_FAIL", "a transfer failed or came up short", Status::kIo},
    {E_INVALIDARG, "E_INVALIDARG", "invalid argument", Status::kLibrary},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory", Status::kLibrary},
    {E_UNEXPECTED, "E_UNEXPECTED", "the library has no handler", Status::kLibrary},
    {WIA_ERROR_GENERAL_ERROR, "WIA_ERROR_GENERAL_ERROR", "general scanner error", Status::kLibrary},
    {WIA_ERROR_PAPER_JAM, "WIA_ERROR_PAPER_JAM", "paper jam", Status::kPaper},
    {WIA_ERROR_PAPER_EMPTY, "WIA_ERROR_PAPER_EMPTY", "no paper in the feeder", Status::kPaper},
    {WIA_ERROR_BUSY, "WIA_ERROR_BUSY", "scanner busy", Status::kDevice},
    {WIA_ERROR_WARMING_UP, "WIA_ERROR_WARMING_UP", "lamp warming up", Status::kDevice},
};

const Known* Find(HRESULT result) {
  for (const Known& known : kKnown) {
    if (known.result == result) {
      return &known;
    }
  }
  return nullptr;
}

std::string Hex(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return text;
}

// Initialize fails with E_FAIL only when the contention module does not grant the port; the
// inquiry's E_NOTIMPL means no port call reached a scanner.
bool PortNotGranted(HRESULT result, const char* step) {
  return result == E_FAIL && step != nullptr && std::strcmp(step, "Initialize") == 0;
}
bool NoScanner(HRESULT result, const char* step) {
  return result == E_NOTIMPL && step != nullptr && std::strcmp(step, "GET_DEVICE_INFO") == 0;
}
bool InquiryFailed(HRESULT result, const char* step) {
  return result == E_FAIL && step != nullptr && std::strcmp(step, "GET_DEVICE_INFO") == 0;
}

}  // namespace

const char* StatusName(Status status) {
  switch (status) {
    case Status::kOk:
      return "ok";
    case Status::kCancelled:
      return "cancelled";
    case Status::kUsage:
      return "usage";
    case Status::kDevice:
      return "device";
    case Status::kPaper:
      return "paper";
    case Status::kIo:
      return "io";
    case Status::kLibrary:
      return "library";
    case Status::kOutput:
      return "output";
  }
  return "library";
}

std::string ResultName(HRESULT result) {
  const Known* known = Find(result);
  return known != nullptr ? known->name : Hex(result);
}

std::string ResultMeaning(HRESULT result, const char* step) {
  if (PortNotGranted(result, step)) {
    return "the scanner port was not granted (the contention module is missing, or another program holds the port)";
  }
  if (NoScanner(result, step)) {
    return "no scanner answered";
  }
  if (InquiryFailed(result, step)) {
    return "no scanner with these ids answered, or its answer came up short";
  }
  const Known* known = Find(result);
  if (known != nullptr) {
    return known->meaning;
  }
  return FAILED(result) ? "unknown failure" : "unknown result";
}

std::string DescribeResult(HRESULT result, const char* step) {
  const Known* known = Find(result);
  const std::string meaning = ResultMeaning(result, step);
  if (known == nullptr) {
    return Hex(result) + " (" + meaning + ")";
  }
  return std::string(known->name) + " (" + Hex(result) + ", " + meaning + ")";
}

Status StatusFor(HRESULT result, const char* step) {
  if (PortNotGranted(result, step) || NoScanner(result, step)) {
    return Status::kDevice;
  }
  const Known* known = Find(result);
  return known != nullptr ? known->status : Status::kLibrary;
}

}  // namespace client
