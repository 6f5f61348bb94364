// Object position, and the two still-image operations that report whether the scanner can be reached.
// GetStatus and Diagnostic send no scanner command: being able to take the port is what "online" means.
#include "device/HeldPort.h"
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/win32.h"
#include "protocol/Protocol.h"

HRESULT CSTIIOHandler::CallObjectPosition() {
  CSTIIOHANDLER_TRACE("CallObjectPosition");

  HRESULT hr = E_NOTIMPL;

  DWORD dwBytesWritten = 0;
  if (!CoWriteFile(&m_cmdObjectPosition, sizeof(m_cmdObjectPosition), &dwBytesWritten)) {
    DWORD dwError = ::GetLastError();
    DebugPrint("[STI]CSTIIOHandler::CallObjectPosition = > CoWriteFile Fail");
    m_dwLastError = dwError;
    return hr;
  }

  COMMAND_RESPONSE response = {};
  DWORD dwBytesRead = 0;
  if (!CoReadFile(&response, sizeof(response), &dwBytesRead)) {
    DWORD dwError = ::GetLastError();
    DebugPrint("[STI]CSTIIOHandler::CallObjectPosition =>CoReadFile Fail");
    m_dwLastError = dwError;
    return hr;
  }

  const RESPONSE_HEADER& header = response.header;
  DebugPrint("[STI]CSTIIOHandler::CallObjectPosition => \t\t\t\tCoWriteFile / CoReadFile Success");
  DebugPrint("[STI]Start  Code\t=>0x%02X", header.byStartCode);
  DebugPrint("[STI]Status Code\t=>0x%02X", header.byStatusCode);
  DebugPrint("[STI]Msg Data\t\t=>0x%02X", header.wMsgData);

  if (header.byStartCode != COMMAND_PREFIX) {
    return E_FAIL;
  }

  switch (header.byStatusCode) {
    case STATUS_CODE_GOOD:
      DebugPrint("[STI]CSTIIOHandler::CallObjectPosition =>");
      WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, 2, "locking success.");
      hr = S_OK;
      break;
    case STATUS_CODE_CHECK_CONDITION:
      if (header.wMsgData & MSG_DATA_RESOURCEBUSY) {
        DebugPrint("[STI] MSG_DATA_RESOURCEBUSY Error");
        hr = WIA_ERROR_BUSY;
      } else if (header.wMsgData & MSG_DATA_NO_DOCUMENT) {
        // An empty feeder is a state, not a failure: the minidriver may fall back to the flatbed.
        DebugPrint("[STI] No document in ADF");
        hr = ADF_NO_DOCUMENT;
      } else if (header.wMsgData & MSG_DATA_PAPER_JAM) {
        DebugPrint("[STI] PaperJAM");
        hr = WIA_ERROR_PAPER_JAM;
      } else if (header.wMsgData & MSG_DATA_WARMING_UP) {
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

HRESULT CSTIIOHandler::GetStatus(STI_DEVICE_STATUS* pDevStatus) {
  DebugPrint("[STI]CSTIIOHandler::GetStatus");

  if (pDevStatus == nullptr) {
    return E_INVALIDARG;
  }
  // Only the online state is answered; asking for anything else must not disturb the port.
  if (!(pDevStatus->StatusMask & STI_DEVSTATUS_ONLINE_STATE)) {
    return S_OK;
  }

  DebugPrint("[STI]CSTIIOHandler::GetStatus[check online state]");
  pDevStatus->dwOnlineState = STI_ONLINESTATE_OFFLINE;

  CHeldPortScope heldPort(*this);
  HRESULT hr = LoadPortContentionDll();
  if (hr == S_OK) {
    DebugPrint("[STI]In ESC_OBJECT_POSITION(Get Status),Port acquire success");
    DebugPrint("[STI]GetStatus, Device is ONLINE");
    // The offline bit stays: callers test the operational bit.
    pDevStatus->dwOnlineState |= STI_ONLINESTATE_OPERATIONAL;
  } else {
    // A refused port means another program has the scanner, which this program cannot use now.
    DebugPrint("[STI] Port Acquire Fail");
    DebugPrint("[STI]Escape(ESC_OBJECT_POSITION) for [GetStatus] Failed");
    DebugPrint("[STI]GetStatus, Device is NOT ONLINE");
  }

  CloseDevice();
  return hr;
}

HRESULT CSTIIOHandler::Diagnostic(STI_DIAG* pBuffer) {
  DebugPrint("CSTIIOHandler::Diagnostic");
  CSTIIOHANDLER_TRACE("Diagnostic");

  if (pBuffer == nullptr) {
    return E_INVALIDARG;
  }

  CHeldPortScope heldPort(*this);
  HRESULT hr = LoadPortContentionDll();
  if (hr != S_OK) {
    // Nothing was acquired, so there is nothing to give back.
    DebugPrint("[STI] Port Acquire Fail");
    return hr;
  }
  CloseDevice();
  return S_OK;
}
