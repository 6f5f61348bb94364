// The nineteen exports of WIASTIIO.dll, as the WIA minidriver calls them: the header the library is
// built from and the one the kit ships, for C and C++ alike. On Windows it needs only the SDK's
// <windows.h> and <sti.h> (the still-image types with wide texts); elsewhere the platform layer's
// surface stands in for them. The escape codes, results and records: STIEscape.h.
#pragma once

#if defined(_WIN32)
#ifndef STI_UNICODE
#define STI_UNICODE 1  // the still-image records with wide texts, as the 64-bit service passes them
#endif
#include <windows.h>  // first: <sti.h> builds on it

#include <sti.h>
#if defined(__has_include)
#if __has_include(<stiusd.h>)
#include <stiusd.h>
#define WIASTIIO_HAVE_STIUSD
#endif
#endif
#ifndef WIASTIIO_HAVE_STIUSD
// What the SDK's <stiusd.h> declares and mingw-w64's headers lack: the capabilities record and the
// device-control interface the imaging service hands to Initialize (of which the library calls only
// GetMyDeviceOpenMode), with every slot of its table.
typedef struct _STI_USD_CAPS {
  DWORD dwVersion;
  DWORD dwGenericCaps;
} STI_USD_CAPS, *PSTI_USD_CAPS;

typedef DWORD USD_CONTROL_CODE;

// C++ sees a class of pure virtual methods, C the table of the same slots behind lpVtbl.
#ifdef __cplusplus
#define WIASTIIO_METHOD(name) virtual HRESULT STDMETHODCALLTYPE name
#define WIASTIIO_THIS_
#define WIASTIIO_PURE = 0
struct IStiDeviceControl : public IUnknown {
#else
#define WIASTIIO_METHOD(name) HRESULT(STDMETHODCALLTYPE* name)
#define WIASTIIO_THIS_ struct IStiDeviceControl *This,
#define WIASTIIO_PURE
typedef struct IStiDeviceControl {
  struct IStiDeviceControlVtbl* lpVtbl;
} IStiDeviceControl;
typedef struct IStiDeviceControlVtbl IStiDeviceControlVtbl;
struct IStiDeviceControlVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IStiDeviceControl* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(IStiDeviceControl* This);
  ULONG(STDMETHODCALLTYPE* Release)(IStiDeviceControl* This);
#endif
  WIASTIIO_METHOD(Initialize)
  (WIASTIIO_THIS_ DWORD dwDeviceType, DWORD dwMode, LPCWSTR pwszPortName, DWORD dwFlags) WIASTIIO_PURE;
  WIASTIIO_METHOD(RawReadData)
  (WIASTIIO_THIS_ LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes, LPOVERLAPPED lpOverlapped) WIASTIIO_PURE;
  WIASTIIO_METHOD(RawWriteData)
  (WIASTIIO_THIS_ LPVOID lpBuffer, DWORD nNumberOfBytes, LPOVERLAPPED lpOverlapped) WIASTIIO_PURE;
  WIASTIIO_METHOD(RawReadCommand)
  (WIASTIIO_THIS_ LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes, LPOVERLAPPED lpOverlapped) WIASTIIO_PURE;
  WIASTIIO_METHOD(RawWriteCommand)
  (WIASTIIO_THIS_ LPVOID lpBuffer, DWORD nNumberOfBytes, LPOVERLAPPED lpOverlapped) WIASTIIO_PURE;
  WIASTIIO_METHOD(RawDeviceControl)
  (WIASTIIO_THIS_ USD_CONTROL_CODE EscapeFunction, LPVOID lpInData, DWORD cbInDataSize, LPVOID pOutData,
   DWORD dwOutDataSize, LPDWORD pdwActualData) WIASTIIO_PURE;
  WIASTIIO_METHOD(GetLastError)(WIASTIIO_THIS_ LPDWORD lpdwLastError) WIASTIIO_PURE;
  WIASTIIO_METHOD(GetMyDevicePortName)(WIASTIIO_THIS_ LPWSTR lpszDevicePath, DWORD cwDevicePathSize) WIASTIIO_PURE;
  WIASTIIO_METHOD(GetMyDeviceHandle)(WIASTIIO_THIS_ LPHANDLE lph) WIASTIIO_PURE;
  WIASTIIO_METHOD(GetMyDeviceOpenMode)(WIASTIIO_THIS_ LPDWORD pdwOpenMode) WIASTIIO_PURE;
  WIASTIIO_METHOD(WriteToErrorLog)
  (WIASTIIO_THIS_ DWORD dwMessageType, LPCWSTR pszMessage, DWORD dwErrorCode) WIASTIIO_PURE;
};
#undef WIASTIIO_METHOD
#undef WIASTIIO_THIS_
#undef WIASTIIO_PURE
#endif  // WIASTIIO_HAVE_STIUSD
#else
#include "platform/win32.h"
#endif

// A record's size and offsets, checked wherever the header is compiled.
#ifdef __cplusplus
#define WIASTIIO_STATIC_ASSERT(condition, what) static_assert(condition, what)
#else
#define WIASTIIO_STATIC_ASSERT(condition, what) _Static_assert(condition, what)
#endif

WIASTIIO_STATIC_ASSERT(sizeof(STI_USD_CAPS) == 8, "STI_USD_CAPS");

#if defined(_WIN32)
#define WIASTIIO_API
#else
#define WIASTIIO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

WIASTIIO_API HRESULT WINAPI InitializeDll(DWORD dwDebugOutput);
WIASTIIO_API HRESULT WINAPI TerminateDll(void);
WIASTIIO_API HRESULT WINAPI DeleteMemory(void);
WIASTIIO_API HRESULT WINAPI Initialize(IStiDeviceControl* pHelDcb, DWORD dwStiVersion, HKEY hParametersKey);
WIASTIIO_API HRESULT WINAPI GetCapabilities(STI_USD_CAPS* pUsdCaps);
WIASTIIO_API HRESULT WINAPI GetStatus(STI_DEVICE_STATUS* pDevStatus);
WIASTIIO_API HRESULT WINAPI DeviceReset(void);
WIASTIIO_API HRESULT WINAPI Diagnostic(STI_DIAG* pBuffer);
WIASTIIO_API HRESULT WINAPI STIEscape(DWORD EscapeFunction, LPVOID lpInData, DWORD cbInDataSize, LPVOID pOutData,
                                      DWORD dwOutDataSize, LPDWORD pdwActualData);
WIASTIIO_API HRESULT WINAPI STIGetLastError(LPDWORD pdwLastDeviceError);
WIASTIIO_API HRESULT WINAPI LockDevice(void);
WIASTIIO_API HRESULT WINAPI UnLockDevice(void);
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
typedef HRESULT(WINAPI* PFN_TerminateDll)(void);
typedef HRESULT(WINAPI* PFN_DeleteMemory)(void);
typedef HRESULT(WINAPI* PFN_Initialize)(IStiDeviceControl*, DWORD, HKEY);
typedef HRESULT(WINAPI* PFN_GetCapabilities)(STI_USD_CAPS*);
typedef HRESULT(WINAPI* PFN_GetStatus)(STI_DEVICE_STATUS*);
typedef HRESULT(WINAPI* PFN_DeviceReset)(void);
typedef HRESULT(WINAPI* PFN_Diagnostic)(STI_DIAG*);
typedef HRESULT(WINAPI* PFN_STIEscape)(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);
typedef HRESULT(WINAPI* PFN_STIGetLastError)(LPDWORD);
typedef HRESULT(WINAPI* PFN_LockDevice)(void);
typedef HRESULT(WINAPI* PFN_UnLockDevice)(void);
typedef HRESULT(WINAPI* PFN_RawReadData)(LPVOID, LPDWORD, LPOVERLAPPED);
typedef HRESULT(WINAPI* PFN_RawWriteData)(LPVOID, DWORD, LPOVERLAPPED);
typedef HRESULT(WINAPI* PFN_RawReadCommand)(LPVOID, LPDWORD, LPOVERLAPPED);
typedef HRESULT(WINAPI* PFN_RawWriteCommand)(LPVOID, DWORD, LPOVERLAPPED);
typedef HRESULT(WINAPI* PFN_SetNotificationHandle)(HANDLE);
typedef HRESULT(WINAPI* PFN_GetNotificationData)(STINOTIFY*);
typedef HRESULT(WINAPI* PFN_GetLastErrorInfo)(STI_ERROR_INFO*);
