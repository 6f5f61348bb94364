// The device's parameters key as the still-image service hands it to Initialize: a key of the tool's
// own under the current user, with the "DeviceData" values that tell the library which port to look
// for and which contention module to use. It is deleted when the tool ends.
#pragma once

#include <string>

#include "Options.h"
#include "platform/win32.h"

namespace stiscan {

class DeviceKey {
 public:
  DeviceKey() = default;
  ~DeviceKey();
  DeviceKey(const DeviceKey&) = delete;
  DeviceKey& operator=(const DeviceKey&) = delete;

  // Creates the key with "Vid", "Pid" and "DeviceMonitor" (1 for the device monitor, 0 for direct).
  bool Create(WORD vid, WORD pid, Route route, std::string* error);
  HKEY Parameters() const { return parameters_; }

 private:
  std::string path_;
  HKEY parameters_ = nullptr;
};

// The device-control interface the service hands to Initialize; the library asks it only for the open
// mode, and only whether it answers.
class DeviceControl : public IStiDeviceControl {
 public:
  virtual ~DeviceControl() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    if (ppv != nullptr) {
      *ppv = nullptr;
    }
    return E_NOINTERFACE;
  }
  // Lives on the tool's stack for the whole run; the counts do not matter.
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
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD, LPCWSTR, DWORD) override { return S_OK; }
};

}  // namespace stiscan
