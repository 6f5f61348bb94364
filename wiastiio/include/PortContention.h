// The entry points the library expects of the two port-contention modules, and the port modes it asks
// them for. The device monitor exports all six; the port arbitration module only the first two.
#pragma once

#include "platform/win32.h"

typedef BOOL(WINAPI* PFN_PORTACQUIRE)(DWORD dwPortMode);
typedef BOOL(WINAPI* PFN_PORTRELEASE)(DWORD dwPortMode);
typedef BOOL(WINAPI* PFN_DEVICEOPEN)(DWORD dwAccess, DWORD dwShare, DWORD dwVid, DWORD dwPid, ULONG_PTR pReserved);
typedef BOOL(WINAPI* PFN_DEVICEREAD)(LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead);
typedef BOOL(WINAPI* PFN_DEVICEWRITE)(LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten);
typedef BOOL(WINAPI* PFN_DEVICECLOSE)(DWORD dwFlags);

#define PORT_MODE_DEVICE_MONITOR 0x21
#define PORT_MODE_PORT_ARBITRATION 2
