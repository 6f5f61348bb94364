// The two port primitives every command exchange goes through. The route is taken from
// m_bDeviceMonitor at each call, so a route change between commands needs nothing else.
#include "handler/STIIOHandler.h"
#include "platform/win32.h"

BOOL CSTIIOHandler::CoWriteFile(LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten) {
  // WriteFile without an overlapped structure needs somewhere to put the count.
  DWORD dwWritten = 0;
  LPDWORD pdwCount = (lpdwWritten != nullptr) ? lpdwWritten : &dwWritten;
  *pdwCount = 0;

  if (m_bDeviceMonitor) {
    // Null once the module is freed (or when it never exported it): calling it would jump into
    // unmapped code, so the transfer fails as one that moved nothing.
    if (m_pfnDeviceWrite == nullptr) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    return m_pfnDeviceWrite(lpBuffer, dwLength, lpdwWritten);
  }
  return ::WriteFile(m_hDevice, lpBuffer, dwLength, pdwCount, nullptr);
}

BOOL CSTIIOHandler::CoReadFile(LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) {
  DWORD dwRead = 0;
  LPDWORD pdwCount = (lpdwRead != nullptr) ? lpdwRead : &dwRead;
  *pdwCount = 0;

  if (m_bDeviceMonitor) {
    if (m_pfnDeviceRead == nullptr) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    return m_pfnDeviceRead(lpBuffer, dwLength, lpdwRead);
  }
  return ::ReadFile(m_hDevice, lpBuffer, dwLength, pdwCount, nullptr);
}
