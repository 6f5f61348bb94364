// The two still-image operations that report whether the scanner can be reached. They send no scanner
// command: being able to take the port is what "online" means, so each is one port cycle.
#include "device/HeldPort.h"
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/win32.h"

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

  CHeldPortScope heldPort(*this, ScanUnderWay());
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

  CHeldPortScope heldPort(*this, ScanUnderWay());
  HRESULT hr = LoadPortContentionDll();
  if (hr != S_OK) {
    // Nothing was acquired, so there is nothing to give back.
    DebugPrint("[STI] Port Acquire Fail");
    return hr;
  }
  CloseDevice();
  return S_OK;
}
