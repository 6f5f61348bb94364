// The port's transfers, through the route m_bDeviceMonitor selects at each call.
#include "device/Port.h"

#include "device/PortRoute.h"

const CPortRoute& PortRouteOf(const CSTIIOHandler& handler) {
  return handler.m_bDeviceMonitor ? DeviceMonitorRoute() : UsbscanRoute();
}

BOOL PortWrite(CSTIIOHandler& handler, LPCVOID lpBuffer, DWORD dwLength, LPDWORD lpdwWritten) {
  return PortRouteOf(handler).Write(handler, lpBuffer, dwLength, lpdwWritten);
}

BOOL PortRead(CSTIIOHandler& handler, LPVOID lpBuffer, DWORD dwLength, LPDWORD lpdwRead) {
  return PortRouteOf(handler).Read(handler, lpBuffer, dwLength, lpdwRead);
}
