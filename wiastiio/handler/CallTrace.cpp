// The WIA log channel. The service module that formats the texts is bound on first use, so the
// library loads and runs where the WIA service is absent; with no log interface it is never loaded.
#include "handler/CallTrace.h"

#include <cstring>

static HMODULE s_hWiaService = nullptr;
static PFN_WIASFORMATARGS s_pfnWiasFormatArgs = nullptr;

PFN_WIASFORMATARGS BindWiasFormatArgs() {
  if (s_pfnWiasFormatArgs != nullptr) {
    return s_pfnWiasFormatArgs;
  }
  if (s_hWiaService == nullptr) {
    s_hWiaService = LoadLibraryA("wiaservc.dll");
    if (s_hWiaService == nullptr) {
      return nullptr;
    }
  }
  FARPROC pfn = GetProcAddress(s_hWiaService, "wiasFormatArgs");
  s_pfnWiasFormatArgs = reinterpret_cast<PFN_WIASFORMATARGS>(reinterpret_cast<void (*)()>(pfn));
  return s_pfnWiasFormatArgs;
}

void UnbindWiasFormatArgs() {
  s_pfnWiasFormatArgs = nullptr;
  if (s_hWiaService != nullptr) {
    FreeLibrary(s_hWiaService);
    s_hWiaService = nullptr;
  }
}

void CCallTrace::Enter(LPCSTR pszName) {
  memset(m_szName, 0, sizeof(m_szName));
  lstrcpynA(m_szName, pszName, MAX_PATH - 1);
  WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, m_lDetail, "%s, entering", m_szName);
}

void CCallTrace::Leave() {
  WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, m_lResID, m_lDetail, "%s, leaving", m_szName);
}
