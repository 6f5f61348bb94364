// The two port primitives every command exchange goes through. The route is taken from
// m_bDeviceMonitor at each call, so a route change between commands needs nothing else. The caller's
// count starts at 0 and keeps it when the route moves nothing.
#include "device/PortRoute.h"

BOOL CSTIIOHandler::CoWriteFile(LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten) {
  return PortRouteOf(*this).Write(*this, lpBuffer, dwLength, lpdwWritten);
}

BOOL CSTIIOHandler::CoReadFile(LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) {
  return PortRouteOf(*this).Read(*this, lpBuffer, dwLength, lpdwRead);
}
