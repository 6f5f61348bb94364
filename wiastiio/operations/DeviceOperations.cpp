// The still-image driver operations outside the escape path: capabilities, error reporting, lock and
// unlock, reset and the raw transfers. Only the raw data transfers touch the port.
#include <algorithm>
#include <iterator>

#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"

namespace {

// Error entries of the WIA log.
constexpr LONG LOG_ERROR = 4;

// The still-image driver interface version this handler implements.
constexpr DWORD STI_USD_VERSION = 2;

}  // namespace

HRESULT CSTIIOHandler::GetCapabilities(STI_USD_CAPS* pUsdCaps) {
  CSTIIOHANDLER_ENTRY("GetCapabilities");

  if (pUsdCaps == nullptr) {
    WiaLogEntry(m_pIWiaLog, LOG_ERROR, 0, 0, "CSTIIOHandler::GetCapabilities, NULL parameter");
    DebugPrint("[STI]CSTIIOHandler::GetCapabilities ==> \t\t\t\t\t\t\tInvalid Parameter Error");
    return E_INVALIDARG;
  }
  pUsdCaps->dwVersion = STI_USD_VERSION;
  pUsdCaps->dwGenericCaps = STI_GENCAP_NOTIFICATIONS | STI_GENCAP_WIA;
  return S_OK;
}

HRESULT CSTIIOHandler::DeviceReset() {
  CSTIIOHANDLER_TRACE("DeviceReset");
  return E_NOTIMPL;
}

HRESULT CSTIIOHandler::GetLastError(LPDWORD pdwLastDeviceError) {
  CSTIIOHANDLER_ENTRY("GetLastError");

  if (pdwLastDeviceError == nullptr) {
    return E_INVALIDARG;
  }
  // The scanner keeps no error of its own to report; the caller's value is left alone.
  return S_OK;
}

HRESULT CSTIIOHandler::LockDevice() {
  // The scanning unit is locked by the reserve escape, not here.
  CSTIIOHANDLER_TRACE("LockDevice");
  return S_OK;
}

HRESULT CSTIIOHandler::UnLockDevice() {
  CSTIIOHANDLER_TRACE("UnLockDevice");
  return S_OK;
}

HRESULT CSTIIOHandler::RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes, LPOVERLAPPED lpOverlapped) {
  CSTIIOHANDLER_TRACE("RawReadData");
  (void)lpOverlapped;  // every transfer is synchronous

  if (lpdwNumberOfBytes == nullptr || lpBuffer == nullptr) {
    return E_INVALIDARG;
  }
  DWORD dwRead = 0;
  const BOOL bRead = CoReadFile(lpBuffer, *lpdwNumberOfBytes, &dwRead);
  // The count comes back as the bytes that arrived, on failure too: a caller must not take the whole
  // buffer for data.
  if (dwRead != *lpdwNumberOfBytes) {
    DebugPrint("[STI]RawReadData: %d of the %d bytes asked arrived", dwRead, *lpdwNumberOfBytes);
  }
  *lpdwNumberOfBytes = dwRead;
  if (!bRead) {
    m_dwLastError = ::GetLastError();
    return E_NOTIMPL;
  }
  return S_OK;
}

HRESULT CSTIIOHandler::RawWriteData(LPVOID lpBuffer, DWORD dwNumberOfBytes, LPOVERLAPPED lpOverlapped) {
  CSTIIOHANDLER_TRACE("RawWriteData");
  (void)lpOverlapped;  // every transfer is synchronous

  if (lpBuffer == nullptr) {
    return E_INVALIDARG;
  }

  DWORD dwWritten = 0;
  if (!CoWriteFile(lpBuffer, dwNumberOfBytes, &dwWritten)) {
    m_dwLastError = ::GetLastError();
    return E_NOTIMPL;
  }
  return S_OK;
}

// The raw command transfers are not provided: the command protocol has its own escapes.
HRESULT CSTIIOHandler::RawReadCommand(LPVOID, LPDWORD, LPOVERLAPPED) {
  CSTIIOHANDLER_TRACE("RawReadCommand");
  return E_NOTIMPL;
}

HRESULT CSTIIOHandler::RawWriteCommand(LPVOID, DWORD, LPOVERLAPPED) {
  CSTIIOHANDLER_TRACE("RawWriteCommand");
  return E_NOTIMPL;
}

HRESULT CSTIIOHandler::GetLastErrorInfo(STI_ERROR_INFO* pLastErrorInfo) {
  CSTIIOHANDLER_ENTRY("GetLastErrorInfo");

  if (pLastErrorInfo == nullptr) {
    return E_INVALIDARG;
  }
  pLastErrorInfo->dwVendorError = m_dwVendorError;

  // The vendor error indexes the text table; an index past it yields an empty text. The copy stops
  // one unit short of either buffer's end so that the text is always terminated.
  const size_t cchDest = std::size(pLastErrorInfo->szExtendedErrorText);
  const size_t cchMax = std::min(cchDest, size_t{EXTENDED_ERROR_TEXT_SIZE});
  size_t i = 0;
  if (m_dwVendorError < EXTENDED_ERROR_TEXTS) {
    const WCHAR* pszText = m_szExtendedErrorText[m_dwVendorError];
    for (; i + 1 < cchMax && pszText[i] != 0; ++i) {
      pLastErrorInfo->szExtendedErrorText[i] = pszText[i];
    }
  }
  pLastErrorInfo->szExtendedErrorText[i] = 0;
  return S_OK;
}
