// The device-control interface the still-image service hands to Initialize, as every caller of the
// library outside the service passes it. The library asks it only for the open mode, and uses only
// whether that call succeeds.
#pragma once

#include "WIASTIIO.h"
#include "platform/win32.h"

namespace client {

class DeviceControl : public IStiDeviceControl {
 public:
  explicit DeviceControl(HRESULT openModeResult = S_OK) : openModeResult_(openModeResult) {}
  virtual ~DeviceControl() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    if (ppv != nullptr) {
      *ppv = nullptr;
    }
    return E_NOINTERFACE;
  }
  // Owned by whoever made it, for longer than the library uses it: the counts do not matter.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Initialize(DWORD, DWORD, LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RawReadData(LPVOID, LPDWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID, DWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID, LPDWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID, DWORD, LPOVERLAPPED) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RawDeviceControl(USD_CONTROL_CODE, LPVOID, DWORD, LPVOID, DWORD, LPDWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMyDevicePortName(LPWSTR, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMyDeviceHandle(LPHANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMyDeviceOpenMode(LPDWORD pdwOpenMode) override {
    if (pdwOpenMode != nullptr) {
      *pdwOpenMode = 0;
    }
    return openModeResult_;
  }
  HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD, LPCWSTR, DWORD) override { return S_OK; }

 private:
  HRESULT openModeResult_;
};

}  // namespace client
