// The nineteen exports. Each forwards to the handler method of the same role and returns its result
// unchanged; InitializeDll and TerminateDll create and destroy the handler.
#include <new>

#include "WIASTIIO.h"
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"

// The answer of an export that needs the handler while there is none (before InitializeDll or after
// TerminateDll): the call came at a time the library did not expect.
#define NO_HANDLER_RESULT ((HRESULT)0x8000FFFFL)  // E_UNEXPECTED

namespace {

// The imaging service calls from several threads, and the handler (its image buffer, its port cycle, the
// debug printer's buffers) serves one call at a time: every export holds this lock for its whole call.
// There is one handler in the process, so this is the handler's lock; it also covers the pointer's
// replacement by InitializeDll and TerminateDll. Uncontended it costs one atomic exchange each way.
// The platform's own lock, not std::mutex: on Windows an SRW lock needs no thread library in the DLL.
SRWLOCK g_handlerLock = SRWLOCK_INIT;

class HandlerGuard {
 public:
  explicit HandlerGuard(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
  ~HandlerGuard() { ReleaseSRWLockExclusive(&m_lock); }
  HandlerGuard(const HandlerGuard&) = delete;
  HandlerGuard& operator=(const HandlerGuard&) = delete;

 private:
  SRWLOCK& m_lock;
};

void DestroyHandler() {
  if (g_pSTIIOHandler == nullptr) {
    return;
  }
  delete g_pSTIIOHandler;
  g_pSTIIOHandler = nullptr;
  UnbindWiasFormatArgs();
}

}  // namespace

#define FORWARD(call)                      \
  const HandlerGuard guard(g_handlerLock); \
  return g_pSTIIOHandler != nullptr ? g_pSTIIOHandler->call : NO_HANDLER_RESULT

extern "C" {

HRESULT WINAPI InitializeDll(DWORD dwDebugOutput) {
  const HandlerGuard guard(g_handlerLock);
  // A second call replaces the handler: the earlier one is destroyed first, so nothing it holds leaks.
  DestroyHandler();
  CSTIIOHandler* pHandler = new (std::nothrow) CSTIIOHandler(dwDebugOutput);
  if (pHandler == nullptr) {
    return E_OUTOFMEMORY;
  }
  g_pSTIIOHandler = pHandler;
  return S_OK;
}

HRESULT WINAPI TerminateDll() {
  const HandlerGuard guard(g_handlerLock);
  DestroyHandler();
  return S_OK;
}

HRESULT WINAPI DeleteMemory() {
  const HandlerGuard guard(g_handlerLock);
  if (g_pSTIIOHandler == nullptr) {
    return S_OK;
  }
  return g_pSTIIOHandler->DeleteMemory();
}

HRESULT WINAPI Initialize(IStiDeviceControl* pHelDcb, DWORD dwStiVersion, HKEY hParametersKey) {
  FORWARD(Initialize(pHelDcb, dwStiVersion, hParametersKey));
}

HRESULT WINAPI GetCapabilities(STI_USD_CAPS* pUsdCaps) {
  FORWARD(GetCapabilities(pUsdCaps));
}

HRESULT WINAPI GetStatus(STI_DEVICE_STATUS* pDevStatus) {
  FORWARD(GetStatus(pDevStatus));
}

HRESULT WINAPI DeviceReset() {
  FORWARD(DeviceReset());
}

HRESULT WINAPI Diagnostic(STI_DIAG* pBuffer) {
  FORWARD(Diagnostic(pBuffer));
}

HRESULT WINAPI STIEscape(DWORD EscapeFunction, LPVOID lpInData, DWORD cbInDataSize, LPVOID pOutData,
                         DWORD dwOutDataSize, LPDWORD pdwActualData) {
  FORWARD(Escape(EscapeFunction, lpInData, cbInDataSize, pOutData, dwOutDataSize, pdwActualData));
}

HRESULT WINAPI STIGetLastError(LPDWORD pdwLastDeviceError) {
  FORWARD(GetLastError(pdwLastDeviceError));
}

HRESULT WINAPI LockDevice() {
  FORWARD(LockDevice());
}

HRESULT WINAPI UnLockDevice() {
  FORWARD(UnLockDevice());
}

HRESULT WINAPI RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes, LPOVERLAPPED lpOverlapped) {
  FORWARD(RawReadData(lpBuffer, lpdwNumberOfBytes, lpOverlapped));
}

HRESULT WINAPI RawWriteData(LPVOID lpBuffer, DWORD dwNumberOfBytes, LPOVERLAPPED lpOverlapped) {
  FORWARD(RawWriteData(lpBuffer, dwNumberOfBytes, lpOverlapped));
}

HRESULT WINAPI RawReadCommand(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes, LPOVERLAPPED lpOverlapped) {
  FORWARD(RawReadCommand(lpBuffer, lpdwNumberOfBytes, lpOverlapped));
}

HRESULT WINAPI RawWriteCommand(LPVOID lpBuffer, DWORD dwNumberOfBytes, LPOVERLAPPED lpOverlapped) {
  FORWARD(RawWriteCommand(lpBuffer, dwNumberOfBytes, lpOverlapped));
}

HRESULT WINAPI SetNotificationHandle(HANDLE hEvent) {
  FORWARD(SetNotificationHandle(hEvent));
}

HRESULT WINAPI GetNotificationData(STINOTIFY* lpNotify) {
  FORWARD(GetNotificationData(lpNotify));
}

HRESULT WINAPI GetLastErrorInfo(STI_ERROR_INFO* pLastErrorInfo) {
  FORWARD(GetLastErrorInfo(pLastErrorInfo));
}

}  // extern "C"
