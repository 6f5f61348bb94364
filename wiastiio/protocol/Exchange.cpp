// The two port primitives every command exchange goes through. The route is taken from
// m_bDeviceMonitor at each call, so a route change between commands needs nothing else.
#include "device/PortRoute.h"

BOOL CSTIIOHandler::CoWriteFile(LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten) {
  if (lpdwWritten != nullptr) {
    *lpdwWritten = 0;
  }
  return PortRouteOf(*this).Write(*this, lpBuffer, dwLength, lpdwWritten);
}

BOOL CSTIIOHandler::CoReadFile(LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) {
  if (lpdwRead != nullptr) {
    *lpdwRead = 0;
  }
  return PortRouteOf(*this).Read(*this, lpBuffer, dwLength, lpdwRead);
}
