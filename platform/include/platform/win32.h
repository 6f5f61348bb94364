// The Windows surface the I/O handler is written against.
//
// On Windows this is the real API: <windows.h>, the still-image and WIA headers of the SDK, and
// declarations of the few still-image interfaces the SDK headers of the cross compiler lack. On Linux
// every name below is provided by the platform library (libwinplat) with the same spelling, width and
// behaviour, backed by in-process models of the registry, the devices and the module loader.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef STI_UNICODE
#define STI_UNICODE  // the still-image structures with wide texts, as the 64-bit service uses them
#endif
#include <windows.h>  // first: the SDK headers below build on it

#include <oleauto.h>
#include <sti.h>
#include <wia.h>
#include <cstddef>  // offsetof: not every compiler's <windows.h> brings it

#else  // Linux

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define WINAPI
#define WINAPIV
#define __cdecl
#define CALLBACK
#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t HRESULT;
typedef uint64_t ULONG_PTR;
typedef int64_t LONG_PTR;
typedef uint64_t DWORD_PTR;
typedef char CHAR;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef OLECHAR* BSTR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef LONG* PLONG;
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef DWORD REGSAM;
typedef LONG LSTATUS;
typedef intptr_t(WINAPI* FARPROC)();

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef const IID& REFIID;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define S_OK ((HRESULT)0x00000000L)
#define S_FALSE ((HRESULT)0x00000001L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_FROM_WIN32(x) \
  ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000)))

#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_DEVICE 1117L
#define ERROR_DEVICE_NOT_CONNECTED 1167L

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000UL)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001UL)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002UL)

#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL
#define INFINITE 0xFFFFFFFFUL

// Files and devices.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);
BOOL WINAPI CancelIo(HANDLE hFile);
BOOL WINAPI CloseHandle(HANDLE hObject);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Errors.
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD dwErrCode);

// Modules.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004
BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
void WINAPI Sleep(DWORD dwMilliseconds);

// Slim reader/writer locks, exclusive only.
typedef struct _RTL_SRWLOCK {
  PVOID Ptr;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT \
  { nullptr }
void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock);
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock);

// Debugger output.
void WINAPI OutputDebugStringA(LPCSTR lpOutputString);

// Text.
int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);
LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
int WINAPI lstrlenA(LPCSTR lpString);

// Registry.
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition);
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData);
LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData);
LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
LSTATUS WINAPI RegCloseKey(HKEY hKey);

// OLE strings.
BSTR WINAPI SysAllocString(const OLECHAR* psz);
void WINAPI SysFreeString(BSTR bstrString);
UINT WINAPI SysStringLen(BSTR pbstr);

// COM base interface.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

// WIA service log.
#define WIALOG_TRACE 0x00000001
#define WIALOG_WARNING 0x00000002
#define WIALOG_ERROR 0x00000004

struct IWiaLog : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE InitializeLog(LONG hInstance) = 0;
  virtual HRESULT STDMETHODCALLTYPE hResult(HRESULT hResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE Log(LONG lFlags, LONG lResID, LONG lDetail, BSTR bstrText) = 0;
};

// Still-image structures.
#define STI_DEVSTATUS_ONLINE_STATE 0x0001
#define STI_DEVSTATUS_EVENTS_STATE 0x0002
#define STI_ONLINESTATE_OPERATIONAL 0x00000001
#define STI_ONLINESTATE_OFFLINE 0x00000040
#define STI_GENCAP_NOTIFICATIONS 0x00000001
#define STI_GENCAP_WIA 0x00000010
#define MAX_NOTIFICATION_DATA 64

typedef struct _STI_DEVICE_STATUS {
  DWORD dwSize;
  DWORD StatusMask;
  DWORD dwOnlineState;
  DWORD dwHardwareStatusCode;
  DWORD dwEventHandlingState;
  DWORD dwPollingInterval;
} STI_DEVICE_STATUS, *PSTI_DEVICE_STATUS;

typedef struct _ERROR_INFOW {
  DWORD dwSize;
  DWORD dwGenericError;
  DWORD dwVendorError;
  WCHAR szExtendedErrorText[255];
} STI_ERROR_INFOW, *PSTI_ERROR_INFOW;
typedef STI_ERROR_INFOW STI_ERROR_INFO;
typedef STI_ERROR_INFO* PSTI_ERROR_INFO;

typedef struct _STI_DIAG {
  DWORD dwSize;
  DWORD dwBasicDiagCode;
  DWORD dwVendorDiagCode;
  DWORD dwStatusMask;
  STI_ERROR_INFO sErrorInfo;
} STI_DIAG, *LPSTI_DIAG;

typedef struct _STINOTIFY {
  DWORD dwSize;
  GUID guidNotificationCode;
  BYTE abNotificationData[MAX_NOTIFICATION_DATA];
} STINOTIFY, *LPSTINOTIFY;

#endif  // Linux

#ifndef WIALOG_TRACE
#define WIALOG_TRACE 0x00000001
#define WIALOG_WARNING 0x00000002
#define WIALOG_ERROR 0x00000004
#endif

#if !defined(_WIN32)
// The still-image driver pieces of the SDK's <stiusd.h>; on Windows WIASTIIO.h declares them, for C
// and C++, where the SDK's headers lack them.
typedef struct _STI_USD_CAPS {
  DWORD dwVersion;
  DWORD dwGenericCaps;
} STI_USD_CAPS, *PSTI_USD_CAPS;

typedef DWORD USD_CONTROL_CODE;

// The device-control interface the still-image service hands to a user-mode driver. Only
// GetMyDeviceOpenMode is called by the handler; the whole table is declared so that its slots match.
struct IStiDeviceControl : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(DWORD dwDeviceType, DWORD dwMode, LPCWSTR pwszPortName,
                                               DWORD dwFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                                LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID lpBuffer, DWORD nNumberOfBytes, LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                                   LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                                    LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawDeviceControl(USD_CONTROL_CODE EscapeFunction, LPVOID lpInData,
                                                     DWORD cbInDataSize, LPVOID pOutData, DWORD dwOutDataSize,
                                                     LPDWORD pdwActualData) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD lpdwLastError) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMyDevicePortName(LPWSTR lpszDevicePath, DWORD cwDevicePathSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMyDeviceHandle(LPHANDLE lph) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMyDeviceOpenMode(LPDWORD pdwOpenMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD dwMessageType, LPCWSTR pszMessage, DWORD dwErrorCode) = 0;
};
#endif  // !_WIN32

// The USB still-image class driver's request for the device descriptor.
#ifndef IOCTL_GET_DEVICE_DESCRIPTOR
#define IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018UL
#endif

typedef struct _DEVICE_DESCRIPTOR {
  WORD usVendorId;
  WORD usProductId;
  WORD usBcdDevice;
  WORD usLanguageId;
} DEVICE_DESCRIPTOR, *PDEVICE_DESCRIPTOR;

// The class driver's bound on each transfer, in seconds (0: no bound), as usbscan.h declares it.
#ifndef IOCTL_SET_TIMEOUT
#define IOCTL_SET_TIMEOUT 0x8000202CUL
#endif

typedef struct _USBSCAN_TIMEOUT {
  ULONG TimeoutRead;
  ULONG TimeoutWrite;
  ULONG TimeoutEvent;
} USBSCAN_TIMEOUT, *PUSBSCAN_TIMEOUT;

// The WIA service's text formatter, bound at run time (see handler/CallTrace.cpp).
typedef BSTR(__cdecl* PFN_WIASFORMATARGS)(LPCSTR lpszFormat, ...);

// Layouts the minidriver and the still-image service rely on, checked on both platforms (on Windows
// against the SDK's own declarations).
static_assert(sizeof(STI_DEVICE_STATUS) == 24, "STI_DEVICE_STATUS");
static_assert(offsetof(STI_DEVICE_STATUS, dwOnlineState) == 8, "STI_DEVICE_STATUS.dwOnlineState");
static_assert(sizeof(STINOTIFY) == 84, "STINOTIFY");
static_assert(offsetof(STINOTIFY, guidNotificationCode) == 4, "STINOTIFY.guidNotificationCode");
static_assert(offsetof(STINOTIFY, abNotificationData) == 20, "STINOTIFY.abNotificationData");
static_assert(sizeof(STI_ERROR_INFO) == 524, "STI_ERROR_INFO");
static_assert(offsetof(STI_ERROR_INFO, szExtendedErrorText) == 12, "STI_ERROR_INFO.szExtendedErrorText");
static_assert(sizeof(STI_DIAG) == 540, "STI_DIAG");
static_assert(sizeof(OVERLAPPED) == 32, "OVERLAPPED");
static_assert(sizeof(GUID) == 16, "GUID");
static_assert(sizeof(WCHAR) == 2, "WCHAR");
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(HRESULT) == 4, "32-bit integers");
