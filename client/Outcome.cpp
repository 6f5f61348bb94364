#include "client/Outcome.h"

#include <cstdio>
#include <cstring>

#include "STIEscape.h"

#ifndef E_UNEXPECTED
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#endif

namespace client {

namespace {

struct Known {
  HRESULT result;
  Status status;
  const char* name;
  const char* meaning;
};

const Known kKnown[] = {
    {S_OK, Status::kOk, "S_OK", "success"},
    {PAGE_END, Status::kOk, "PAGE_END", "end of the page"},
    {ADF_NO_DOCUMENT, Status::kPaper, "ADF_NO_DOCUMENT", "no document in the feeder"},
    {DEVICE_UNLOCKED, Status::kLibrary, "DEVICE_UNLOCKED", "the scanning unit is not reserved"},
    {PORT_ACQUIRE_FAIL, Status::kDevice, "PORT_ACQUIRE_FAIL",
     "the contention module did not grant the scanner port (another program may hold it, or the module is missing)"},
    {E_NOTIMPL, Status::kIo, "E_NOTIMPL", "a port call failed"},
    {E_FAIL, Status::kIo, "E_FAIL", "a transfer failed or came up short"},
    {E_INVALIDARG, Status::kLibrary, "E_INVALIDARG", "invalid argument"},
    {E_OUTOFMEMORY, Status::kLibrary, "E_OUTOFMEMORY", "out of memory"},
    {E_UNEXPECTED, Status::kLibrary, "E_UNEXPECTED", "the library has no handler"},
    {WIA_ERROR_GENERAL_ERROR, Status::kLibrary, "WIA_ERROR_GENERAL_ERROR", "general scanner error"},
    {WIA_ERROR_PAPER_JAM, Status::kPaper, "WIA_ERROR_PAPER_JAM", "paper jam"},
    {WIA_ERROR_PAPER_EMPTY, Status::kPaper, "WIA_ERROR_PAPER_EMPTY", "no paper in the feeder"},
    {WIA_ERROR_BUSY, Status::kDevice, "WIA_ERROR_BUSY", "scanner busy"},
    {WIA_ERROR_WARMING_UP, Status::kDevice, "WIA_ERROR_WARMING_UP", "lamp warming up"},
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
