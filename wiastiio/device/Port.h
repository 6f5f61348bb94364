// The port as an exchange sees it: one transfer each way, through the route of the moment, and why a
// transfer failed. Acquiring, opening, closing and releasing the port are the port cycle's.
#pragma once

#include "platform/win32.h"

class CSTIIOHandler;

// The count is never null and already holds 0; it keeps 0 when the route moves nothing.
BOOL PortWrite(CSTIIOHandler& handler, LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten);
BOOL PortRead(CSTIIOHandler& handler, LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead);

// Why the thread's last transfer failed: the system's error code, which the route leaves set. Anything
// that writes a debug line may overwrite it, so it is taken right after the transfer.
inline DWORD PortError() {
  return ::GetLastError();
}
