#include "Results.h"

#include <cstdio>

#include "STIEscape.h"

namespace stiscan {

#ifndef E_UNEXPECTED
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#endif

namespace {

struct Known {
  HRESULT result;
  const char* name;
  const char* meaning;
};

// Results of the escapes and operations the tool calls; the texts say what they mean at the tool's end.
const Known kKnown[] = {
    {S_OK, "S_OK", "success"},
    {PAGE_END, "PAGE_END", "end of the page"},
    {ADF_NO_DOCUMENT, "ADF_NO_DOCUMENT", "no document in the feeder"},
    {DEVICE_UNLOCKED, "DEVICE_UNLOCKED", "the scanning unit is not reserved"},
    {PORT_ACQUIRE_FAIL, "PORT_ACQUIRE_FAIL",
     "the port contention module did not grant the scanner port (another program may hold it, or the "
     "module is missing)"},
    {E_NOTIMPL, "E_NOTIMPL", "a port call failed"},
    {E_FAIL, "E_FAIL", "a transfer failed or came up short"},
    {E_INVALIDARG, "E_INVALIDARG", "invalid argument"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory"},
    {E_UNEXPECTED, "E_UNEXPECTED", "the library has no handler"},
    {WIA_ERROR_GENERAL_ERROR, "WIA_ERROR_GENERAL_ERROR", "general scanner error"},
    {WIA_ERROR_PAPER_JAM, "WIA_ERROR_PAPER_JAM", "paper jam"},
    {WIA_ERROR_PAPER_EMPTY, "WIA_ERROR_PAPER_EMPTY", "no paper in the feeder"},
    {WIA_ERROR_BUSY, "WIA_ERROR_BUSY", "scanner busy"},
    {WIA_ERROR_WARMING_UP, "WIA_ERROR_WARMING_UP", "lamp warming up"},
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

}  // namespace

std::string ResultName(HRESULT result) {
  const Known* known = Find(result);
  return known != nullptr ? known->name : Hex(result);
}

std::string ResultMeaning(HRESULT result) {
  const Known* known = Find(result);
  if (known != nullptr) {
    return known->meaning;
  }
  return FAILED(result) ? "unknown failure" : "unknown result";
}

std::string DescribeResult(HRESULT result, const char* meaning) {
  const std::string what = meaning != nullptr ? meaning : ResultMeaning(result);
  const Known* known = Find(result);
  if (known == nullptr) {
    return Hex(result) + " (" + what + ")";
  }
  return std::string(known->name) + " (" + Hex(result) + ", " + what + ")";
}

ExitStatus ExitStatusFor(HRESULT result) {
  switch (result) {
    case S_OK:
    case PAGE_END:
      return kExitOk;
    case PORT_ACQUIRE_FAIL:
    case WIA_ERROR_BUSY:
    case WIA_ERROR_WARMING_UP:
      return kExitDevice;
    case WIA_ERROR_PAPER_JAM:
    case WIA_ERROR_PAPER_EMPTY:
    case ADF_NO_DOCUMENT:
      return kExitPaper;
    case E_FAIL:
    case E_NOTIMPL:
      return kExitIo;
    default:
      return kExitLibrary;
  }
}

}  // namespace stiscan
