// The two port primitives every command exchange goes through, on the one port device/ offers an
// exchange (device/Port.h). The route is taken afresh at each call, so a route change between commands
// needs nothing else. The caller's count starts at 0 and keeps it when the route moves nothing.
#include "device/Port.h"
#include "handler/STIIOHandler.h"

BOOL CSTIIOHandler::CoWriteFile(LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten) {
  return PortWrite(*this, lpBuffer, dwLength, lpdwWritten);
}

BOOL CSTIIOHandler::CoReadFile(LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) {
  return PortRead(*this, lpBuffer, dwLength, lpdwRead);
}
