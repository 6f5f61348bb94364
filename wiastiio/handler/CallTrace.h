// The WIA log channel: the "entering"/"leaving" scope of a handler method and single log entries.
#pragma once

#include "platform/win32.h"

// The WIA service's formatter, bound on first use so that the library loads without the service
// module. Null when the module or its entry point cannot be found.
PFN_WIASFORMATARGS BindWiasFormatArgs();
// Lets the service module go again (at TerminateDll).
void UnbindWiasFormatArgs();

// One log entry, written only when pIWiaLog is non-null; the text comes from wiasFormatArgs.
template <typename... Args>
void WiaLogEntry(IWiaLog* pIWiaLog, LONG lFlags, LONG lResID, LONG lDetail, LPCSTR pszFormat, Args... args) {
  if (pIWiaLog == nullptr) {
    return;
  }
  PFN_WIASFORMATARGS pfnFormat = BindWiasFormatArgs();
  if (pfnFormat == nullptr) {
    return;
  }
  BSTR bstrText = pfnFormat(pszFormat, args...);
  pIWiaLog->Log(lFlags, lResID, lDetail, bstrText);
  SysFreeString(bstrText);
}

// Opened as the first statement of a traced method (after its own debug line); writes "entering"
// when opened and "leaving" when the method returns, on every path.
//
// Every escape opens two of these, nearly always without a log. The null tests are inline and the name
// is copied only for a log that will read it, so a scope without a log costs a test at each end.
class CCallTrace {
 public:
  CCallTrace(IWiaLog* pIWiaLog, LONG lResID, LONG lDetail, LPCSTR pszName)
      : m_pIWiaLog(pIWiaLog), m_lDetail(lDetail), m_lResID(lResID) {
    if (m_pIWiaLog != nullptr) {
      Enter(pszName);
    }
  }
  ~CCallTrace() {
    if (m_pIWiaLog != nullptr) {
      Leave();
    }
  }

  CCallTrace(const CCallTrace&) = delete;
  CCallTrace& operator=(const CCallTrace&) = delete;

 private:
  // Keeps the name (cut at 259 characters) and writes "entering"; writes "leaving".
  void Enter(LPCSTR pszName);
  void Leave();

  CHAR m_szName[MAX_PATH];
  IWiaLog* m_pIWiaLog;
  LONG m_lDetail;
  LONG m_lResID;
};

// The scope every traced method opens: CSTIIOHANDLER_TRACE("Escape") traces "CSTIIOHandler::Escape".
#define CSTIIOHANDLER_TRACE(method) CCallTrace callTrace(m_pIWiaLog, 0, 3, "CSTIIOHandler::" method)

// The opening of a method whose debug line is its own name: "[STI]CSTIIOHandler::" method, then the scope.
#define CSTIIOHANDLER_ENTRY(method)          \
  DebugPrint("[STI]CSTIIOHandler::" method); \
  CSTIIOHANDLER_TRACE(method)
