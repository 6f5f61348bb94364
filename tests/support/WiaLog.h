// The imaging service's side of the WIA log, which cannot run here: a log interface that records every
// entry and counts its references, and a "wiaservc.dll" in the module model whose wiasFormatArgs
// formats the texts into BSTRs the way the service does.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/control.h"
#include "platform/win32.h"
#include "support/Harness.h"

namespace harness {

struct LogEntry {
  LONG flags;
  LONG resID;
  LONG detail;
  std::string text;
  size_t debugLinesBefore;  // debugger strings already written when the entry came
};

class RecordingLog : public IWiaLog {
 public:
  std::vector<LogEntry> entries;
  ULONG references = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    if (ppv != nullptr) {
      *ppv = nullptr;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE InitializeLog(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE hResult(HRESULT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Log(LONG lFlags, LONG lResID, LONG lDetail, BSTR bstrText) override {
    std::string text;
    for (const OLECHAR* c = bstrText; c != nullptr && *c != 0; ++c) {
      text += static_cast<char>(*c);
    }
    entries.push_back({lFlags, lResID, lDetail, text, harness::DebugLines().size()});
    return S_OK;
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const LogEntry& entry : entries) {
      texts.push_back(entry.text);
    }
    return texts;
  }
};

// How often the service's formatter was asked for a text.
inline int& FormatCalls() {
  static int calls = 0;
  return calls;
}

inline BSTR __cdecl FormatArgs(LPCSTR format, ...) {
  ++FormatCalls();
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  std::u16string wide(text, text + std::char_traits<char>::length(text));
  return SysAllocString(wide.c_str());
}

// Installs the service module; with `withFormatter` false it lacks wiasFormatArgs.
inline void InstallWiaService(bool withFormatter = true) {
  winplat::ModuleDefinition service;
  if (withFormatter) {
    service.entries["wiasFormatArgs"] = winplat::Entry(reinterpret_cast<void (*)()>(&FormatArgs));
  }
  winplat::InstallModule("wiaservc.dll", service);
  FormatCalls() = 0;
}

}  // namespace harness
