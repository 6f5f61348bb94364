// The handler's end and DeleteMemory: both end what the operations left open (a reservation, the
// notification's wait, the port cycle), so they stand with the operations, below the exports alone.
#include "handler/STIIOHandler.h"

CSTIIOHandler::~CSTIIOHandler() {
  DebugPrint("[STI]CSTIIOHandler::~CSTIIOHandler");
  EndReservation();
  m_bDeviceInfoValid = 0;
  StopPortIo();
  SetNotificationHandle(nullptr);
  ClosePortHandle();
  if (m_pIWiaLog != nullptr) {
    m_pIWiaLog->Release();
    m_pIWiaLog = nullptr;
  }
  if (m_WiaDeviceInfo.pX_Resolutions != nullptr) {
    delete[] m_WiaDeviceInfo.pX_Resolutions;
    DebugPrint("[STI] Memory m_WiaDeviceInfo.pX_Resolutions delete");
    m_WiaDeviceInfo.pX_Resolutions = nullptr;
  }
  if (m_WiaDeviceInfo.pY_Resolutions != nullptr) {
    delete[] m_WiaDeviceInfo.pY_Resolutions;
    DebugPrint("[STI] Memory m_WiaDeviceInfo.pY_Resolutions delete");
    m_WiaDeviceInfo.pY_Resolutions = nullptr;
  }
  DeleteMemory();
}

HRESULT CSTIIOHandler::DeleteMemory() {
  DebugPrint("[STI]CSTIIOHandler::DeleteMemory");
  delete[] m_pRawDataBuffer;
  m_pRawDataBuffer = nullptr;
  // Whatever the port cycle reports, nothing more can be done about it here.
  CloseDevice();
  return S_OK;
}
