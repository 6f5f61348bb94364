// The nineteen exports of WIASTIIO.dll, as the WIA minidriver calls them.
#pragma once

#include "platform/win32.h"

#if defined(_WIN32)
#define WIASTIIO_API
#else
#define WIASTIIO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

WIASTIIO_API HRESULT WINAPI InitializeDll(DWORD dwDebugOutput);
WIASTIIO_API HRESULT WINAPI TerminateDll();
WIASTIIO_API HRESULT WINAPI DeleteMemory();
WIASTIIO_API HRESULT WINAPI Initialize(IStiDeviceControl* pHelDcb, DWORD dwStiVersion, HKEY hParametersKey);
WIASTIIO_API HRESULT WINAPI GetCapabilities(STI_USD_CAPS* pUsdCaps);
WIASTIIO_API HRESULT WINAPI GetStatus(STI_DEVICE_STATUS* pDevStatus);
WIASTIIO_API HRESULT WINAPI DeviceReset();
WIASTIIO_API HRESULT WINAPI Diagnostic(STI_DIAG* pBuffer);
WIASTIIO_API HRESULT WINAPI STIEscape(DWORD EscapeFunction, LPVOID lpInData, DWORD cbInDataSize, LPVOID pOutData,
                                      DWORD dwOutDataSize, LPDWORD pdwActualData);
WIASTIIO_API HRESULT WINAPI STIGetLastError(LPDWORD pdwLastDeviceError);
WIASTIIO_API HRESULT WINAPI LockDevice();
WIASTIIO_API HRESULT WINAPI UnLockDevice();
WIASTIIO_API HRESULT WINAPI RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes, LPOVERLAPPED lpOverlapped);
WIASTIIO_API HRESULT WINAPI RawWriteData(LPVOID lpBuffer, DWORD dwNumberOfBytes, LPOVERLAPPED lpOverlapped);
WIASTIIO_API HRESULT WINAPI RawReadCommand(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes, LPOVERLAPPED lpOverlapped);
WIASTIIO_API HRESULT WINAPI RawWriteCommand(LPVOID lpBuffer, DWORD dwNumberOfBytes, LPOVERLAPPED lpOverlapped);
WIASTIIO_API HRESULT WINAPI SetNotificationHandle(HANDLE hEvent);
WIASTIIO_API HRESULT WINAPI GetNotificationData(STINOTIFY* lpNotify);
WIASTIIO_API HRESULT WINAPI GetLastErrorInfo(STI_ERROR_INFO* pLastErrorInfo);

#ifdef __cplusplus
}
#endif

// Pointer types for callers that bind the exports at run time.
typedef HRESULT(WINAPI* PFN_InitializeDll)(DWORD);
typedef HRESULT(WINAPI* PFN_TerminateDll)();
typedef HRESULT(WINAPI* PFN_DeleteMemory)();
typedef HRESULT(WINAPI* PFN_Initialize)(IStiDeviceControl*, DWORD, HKEY);
typedef HRESULT(WINAPI* PFN_GetCapabilities)(STI_USD_CAPS*);
typedef HRESULT(WINAPI* PFN_GetStatus)(STI_DEVICE_STATUS*);
typedef HRESULT(WINAPI* PFN_DeviceReset)();
typedef HRESULT(WINAPI* PFN_Diagnostic)(STI_DIAG*);
typedef HRESULT(WINAPI* PFN_STIEscape)(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);
typedef HRESULT(WINAPI* PFN_STIGetLastError)(LPDWORD);
typedef HRESULT(WINAPI* PFN_LockDevice)();
typedef HRESULT(WINAPI* PFN_UnLockDevice)();
typedef HRESULT(WINAPI* PFN_RawReadData)(LPVOID, LPDWORD, LPOVERLAPPED);
typedef HRESULT(WINAPI* PFN_RawWriteData)(LPVOID, DWORD, LPOVERLAPPED);
typedef HRESULT(WINAPI* PFN_RawReadCommand)(LPVOID, LPDWORD, LPOVERLAPPED);
typedef HRESULT(WINAPI* PFN_RawWriteCommand)(LPVOID, DWORD, LPOVERLAPPED);
typedef HRESULT(WINAPI* PFN_SetNotificationHandle)(HANDLE);
typedef HRESULT(WINAPI* PFN_GetNotificationData)(STINOTIFY*);
typedef HRESULT(WINAPI* PFN_GetLastErrorInfo)(STI_ERROR_INFO*);
