// Reserving the scanning unit for a scan, giving it back, and aborting what the scanner is doing.
// Port ownership around these commands is the escape dispatcher's business; only a short reserve
// transfer releases the port here, since the exchange can no longer be trusted to be in step.
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/win32.h"
#include "protocol/Protocol.h"

HRESULT CSTIIOHandler::CallReserveUnit() {
  DebugPrint("[STI]CSTIIOHandler::CallReserveUnit");
  CSTIIOHANDLER_TRACE("CallReserveUnit");

  HRESULT hr = E_NOTIMPL;

  DWORD dwBytesWritten = 0;
  BOOL bResult = CoWriteFile(&m_cmdReserveUnit, sizeof(m_cmdReserveUnit), &dwBytesWritten);
  // Taken at once: the debug output below may overwrite the thread's last-error code.
  DWORD dwError = bResult ? 0 : ::GetLastError();
  DebugPrint("[QZ] sizeof(m_cmdReserveUnit)= %d,dwBytesWritten = %d, bResult = %d",
             static_cast<DWORD>(sizeof(m_cmdReserveUnit)), dwBytesWritten, bResult);

  // A short write counts even when the call claims success: the scanner saw a partial command.
  if (dwBytesWritten != sizeof(m_cmdReserveUnit)) {
    DebugPrint("[STI] I/O Error");
    CloseDevice();
    return E_FAIL;
  }
  if (!bResult) {
    DebugPrint("[STI]CSTIIOHandler::CallReserveUnit = > CoWriteFile Fail");
    m_dwLastError = dwError;
    DebugPrint("[STI]Error Code => %d", m_dwLastError);
    return hr;
  }
  DebugPrint("[STI]CSTIIOHandler::CallReserveUnit = > CoWriteFile Success");

  RESERVE_RESPONSE response = {};
  DWORD dwBytesRead = 0;
  bResult = CoReadFile(&response, sizeof(response), &dwBytesRead);
  dwError = bResult ? 0 : ::GetLastError();
  if (dwBytesRead != sizeof(response)) {
    CloseDevice();
    return E_FAIL;
  }
  if (!bResult) {
    DebugPrint("[STI]CSTIIOHandler::CallReserveUnit = > CoReadFile Fail");
    m_dwLastError = dwError;
    DebugPrint("[STI]Error code => %d", m_dwLastError);
  } else {
    DebugPrint("[STI]CSTIIOHandler::CallReserveUnit =>CoReadFile Success");
  }
  DebugPrint("[STI]response start code => %02X", response.byStartCode);
  DebugPrint("[STI]response status code(0x00 is good) => %02X", response.byStatusCode);
  DebugPrint("[STI]response byMsgCode => %02X", response.byMsgCode);
  DebugPrint("[STI]response wMsgData => %02X", response.wMsgData);
  DebugPrint("[STI]response wWarmupTime => %02X", response.wWarmupTime);
  if (!bResult) {
    return hr;
  }

  if (response.byStartCode != COMMAND_PREFIX) {
    return E_FAIL;
  }

  switch (response.byStatusCode) {
    case STATUS_CODE_GOOD:
      DebugPrint("[STI]CSTIIOHandler::CallReserveUnit => \t\t\t\t\t\t\tLocking Success");
      WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, 2, "locking success.");
      m_bUnitReserved = TRUE;
      hr = S_OK;
      break;
    case STATUS_CODE_CHECK_CONDITION:
      if (response.wMsgData & MSG_DATA_RESOURCEBUSY) {
        DebugPrint("[STI] Gereral Error");
        hr = WIA_ERROR_BUSY;
      } else if (response.wMsgData & MSG_DATA_NO_DOCUMENT) {
        DebugPrint("[STI] No document in ADF");
        hr = WIA_ERROR_PAPER_EMPTY;
      } else if (response.wMsgData & MSG_DATA_PAPER_JAM) {
        DebugPrint("[STI] PaperJAM");
        hr = WIA_ERROR_PAPER_JAM;
      } else if (response.wMsgData & MSG_DATA_WARMING_UP) {
        // The scanner says how long it needs, but the minidriver decides whether to wait and retry.
        DebugPrint("[STI] WIA_ERROR_WARMING_UP Error");
        hr = WIA_ERROR_WARMING_UP;
      } else {
        hr = E_FAIL;
      }
      break;
    case STATUS_CODE_BUSY:
      DebugPrint("[STI] Gereral Error");
      hr = WIA_ERROR_BUSY;
      break;
    default:
      hr = E_FAIL;
      break;
  }
  return hr;
}

HRESULT CSTIIOHandler::CallReleaseUnit() {
  DebugPrint("[STI]CSTIIOHandler::CallReleaseUnit");
  CSTIIOHANDLER_TRACE("CallReleaseUnit");

  HRESULT hr = E_NOTIMPL;

  DWORD dwBytesWritten = 0;
  if (!CoWriteFile(&m_cmdReleaseUnit, sizeof(m_cmdReleaseUnit), &dwBytesWritten)) {
    DWORD dwError = ::GetLastError();
    DebugPrint("[STI]CSTIIOHandler::CallReleaseUnit => CoWriteFile Fail");
    m_dwLastError = dwError;
    return hr;
  }
  DebugPrint("[STI]CSTIIOHandler::CallReleaseUnit => CoWriteFile Success");
  // Once the command is out the unit counts as released, whatever comes back: reads must not be
  // let through on the strength of a reservation the scanner may already have dropped.
  m_bUnitReserved = FALSE;

  COMMAND_RESPONSE response = {};
  DWORD dwBytesRead = 0;
  if (!CoReadFile(&response, sizeof(response), &dwBytesRead)) {
    DWORD dwError = ::GetLastError();
    DebugPrint("[STI]CSTIIOHandler::CallReleaseUnit => CoReadFile Fail");
    m_dwLastError = dwError;
    return hr;
  }
  DebugPrint("[STI]CSTIIOHandler::CallReleaseUnit => CoReadFile Success");

  if (response.header.byStartCode != COMMAND_PREFIX) {
    return hr;
  }

  switch (response.header.byStatusCode) {
    case STATUS_CODE_GOOD:
      DebugPrint("[STI]CSTIIOHandler::CallReleaseUnit => UnLocking Success");
      WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, 2, "locking success.");
      m_bUnitReserved = FALSE;
      hr = S_OK;
      break;
    case STATUS_CODE_BUSY:
      DebugPrint("[STI] Gereral Error");
      hr = WIA_ERROR_BUSY;
      break;
    default:  // a refused release is not refined by its message data
      hr = E_FAIL;
      break;
  }
  return hr;
}

HRESULT CSTIIOHandler::CallAbort() {
  DebugPrint("[STI]CSTIIOHandler::CallAbort");
  CSTIIOHANDLER_TRACE("CallAbort");

  // Abort is best effort: the minidriver is stopping anyway, so no outcome is reported as a failure.
  DWORD dwBytesWritten = 0;
  if (!CoWriteFile(&m_cmdAbort, sizeof(m_cmdAbort), &dwBytesWritten)) {
    DWORD dwError = ::GetLastError();
    DebugPrint("[STI]CSTIIOHandler::CallAbort => CoWriteFile Fail,Error Code =>%d", dwError);
    m_dwLastError = dwError;
    return S_OK;
  }
  DebugPrint("[STI]CSTIIOHandler::CallAbort => CoWriteFile Success");

  COMMAND_RESPONSE response = {};
  DWORD dwBytesRead = 0;
  if (!CoReadFile(&response, sizeof(response), &dwBytesRead)) {
    DWORD dwError = ::GetLastError();
    DebugPrint("[STI]CSTIIOHandler::CallAbort => CoReadFile Fail");
    m_dwLastError = dwError;
    return S_OK;
  }
  DebugPrint("[STI]CSTIIOHandler::CallAbort => CoReadFile Success");

  if (response.header.byStatusCode == STATUS_CODE_GOOD) {
    WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, 2, "aborting success.");
  }
  return S_OK;
}
