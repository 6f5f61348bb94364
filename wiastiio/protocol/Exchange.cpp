// The two port primitives every command exchange goes through. The route is taken from
// m_bDeviceMonitor at each call, so a route change between commands needs nothing else.
#include "device/PortRoute.h"

namespace {

// The caller's count reads 0 until the route reports what moved; a null pointer goes on as it is.
LPDWORD Zeroed(LPDWORD lpdwCount) {
  if (lpdwCount != nullptr) {
    *lpdwCount = 0;
  }
  return lpdwCount;
}

}  // namespace

BOOL CSTIIOHandler::CoWriteFile(LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten) {
  return PortRouteOf(*this).Write(*this, lpBuffer, dwLength, Zeroed(lpdwWritten));
}

BOOL CSTIIOHandler::CoReadFile(LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) {
  return PortRouteOf(*this).Read(*this, lpBuffer, dwLength, Zeroed(lpdwRead));
}
