// The tests' one way into the handler's private fields: the class's friend, defined on this side only.
#pragma once

#include "handler/STIIOHandler.h"

struct CSTIIOHandlerTestAccess {
  static BOOL& DebugOutput(CSTIIOHandler& handler) { return handler.m_bDebugOutput; }
  static const CHAR* DebugLine(const CSTIIOHandler& handler) { return handler.m_szDebugLine; }
  static const CHAR* DebugFormat(const CSTIIOHandler& handler) { return handler.m_szDebugFormat; }
  static SWP_PARAMETER& Window(CSTIIOHandler& handler) { return handler.m_SWPParam; }
  static SCAN_DEVICE_INFO& DeviceInfo(CSTIIOHandler& handler) { return handler.m_WiaDeviceInfo; }
  static DWORD AnnouncedBlock(const CSTIIOHandler& handler) { return handler.m_dwImageBufferSize; }
  static PFN_DEVICEREAD& DeviceRead(CSTIIOHandler& handler) { return handler.m_pfnDeviceRead; }
  static PFN_DEVICEWRITE& DeviceWrite(CSTIIOHandler& handler) { return handler.m_pfnDeviceWrite; }
  static DWORD& VendorError(CSTIIOHandler& handler) { return handler.m_dwVendorError; }
  static WCHAR* ExtendedErrorText(CSTIIOHandler& handler) { return handler.m_szExtendedErrorText[0]; }
  // The class's own steps that the white-box tests and the debug-print fuzz target drive directly.
  template <typename... Args>
  static void DebugPrint(CSTIIOHandler& handler, LPCSTR lpszFormat, Args... args) {
    handler.DebugPrint(lpszFormat, args...);
  }
  static HRESULT CallSetWindowParameter(CSTIIOHandler& handler) { return handler.CallSetWindowParameter(); }
  static HRESULT CallRead(CSTIIOHandler& handler, LPVOID lpOutBuffer) { return handler.CallRead(lpOutBuffer); }
  static HRESULT ChangeDeviceInfoFormat(CSTIIOHandler& handler, const INQUIRY_RESPONSE* pResponse) {
    return handler.ChangeDeviceInfoFormat(pResponse);
  }
};
