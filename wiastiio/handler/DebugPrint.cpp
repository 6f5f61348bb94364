// The debug-line printer: one debugger string per call while debugging is on. The flag is tested
// inline in the handler's header; this is the formatting and writing behind it.
#include "handler/STIIOHandler.h"

// wvsprintfA never stores more than 1024 bytes, terminator included.
#define FORMAT_SCRATCH_SIZE 1025

void CSTIIOHandler::WriteDebugLine(LPCSTR lpszFormat, ...) {
  if (lpszFormat == nullptr) {
    return;
  }
  va_list args;
  va_start(args, lpszFormat);
  m_pDebugArgs = &args;
  // Both handler buffers hold 199 characters and a terminator: a longer format or line is cut there.
  lstrcpynA(m_szDebugFormat, lpszFormat, DEBUG_LINE_SIZE);
  CHAR szScratch[FORMAT_SCRATCH_SIZE];
  wvsprintfA(szScratch, m_szDebugFormat, *m_pDebugArgs);
  lstrcpynA(m_szDebugLine, szScratch, DEBUG_LINE_SIZE);
  m_pDebugArgs = nullptr;
  va_end(args);
  OutputDebugStringA(m_szDebugLine);
}

void CSTIIOHandler::WriteDebugFields(std::initializer_list<DUMP_FIELD> fields) {
  for (const DUMP_FIELD& field : fields) {
    WriteDebugLine(field.pszFormat, field.dwValue);
  }
}
