// Files and devices: the names that CreateFileA can open and the calls made on their handles. Device
// objects are called without any lock held, so a transfer may block while another thread cancels it.
#include "Surface.h"

#include <map>
#include <mutex>
#include <utility>

#include "Handles.h"
#include "Names.h"
#include "usb/UsbRoute.h"

namespace {

constexpr DWORD kErrorPathNotFound = 3;

struct DeviceModel {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<winplat::DeviceObject>> plugged;  // by case-folded name
  winplat::DeviceCallCounts calls;
};

DeviceModel& Model() {
  // Never destroyed: the library and its callers may still reach it from exit handlers and the
  // static destructors of other modules.
  static DeviceModel& model = *new DeviceModel;
  return model;
}

void Count(size_t winplat::DeviceCallCounts::*counter) {
  DeviceModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  ++(model.calls.*counter);
}

// The device object behind an open device handle; null (with ERROR_INVALID_HANDLE) for anything else.
std::shared_ptr<winplat::DeviceObject> DeviceOf(HANDLE handle) {
  winplat::detail::HandleTarget target;
  if (!winplat::detail::FindHandle(handle, &target) || !target.device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return target.device;
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD /*dwDesiredAccess*/, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD /*dwCreationDisposition*/,
                          DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
  Count(&winplat::DeviceCallCounts::creates);
  if (lpFileName == nullptr) {
    SetLastError(kErrorPathNotFound);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<winplat::DeviceObject> device;
  {
    DeviceModel& model = Model();
    std::lock_guard<std::mutex> lock(model.mutex);
    auto it = model.plugged.find(winplat::detail::FoldCase(lpFileName));
    if (it != model.plugged.end()) {
      device = it->second;
    }
  }
  if (!device) {
    // A name the model does not know may be a scanner's on the USB bus.
    device = winplat::detail::FindUsbscan(lpFileName);
  }
  if (!device) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!device->Open()) {
    return INVALID_HANDLE_VALUE;  // the object has set the last-error code
  }
  return winplat::detail::InsertHandle({device, nullptr});
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED /*lpOverlapped*/) {
  Count(&winplat::DeviceCallCounts::reads);
  DWORD read = 0;
  LPDWORD count = lpNumberOfBytesRead != nullptr ? lpNumberOfBytesRead : &read;
  *count = 0;
  std::shared_ptr<winplat::DeviceObject> device = DeviceOf(hFile);
  if (!device) {
    return FALSE;
  }
  return device->Read(lpBuffer, nNumberOfBytesToRead, count);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED /*lpOverlapped*/) {
  Count(&winplat::DeviceCallCounts::writes);
  DWORD written = 0;
  LPDWORD count = lpNumberOfBytesWritten != nullptr ? lpNumberOfBytesWritten : &written;
  *count = 0;
  std::shared_ptr<winplat::DeviceObject> device = DeviceOf(hFile);
  if (!device) {
    return FALSE;
  }
  return device->Write(lpBuffer, nNumberOfBytesToWrite, count);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED /*lpOverlapped*/) {
  Count(&winplat::DeviceCallCounts::ioctls);
  DWORD returned = 0;
  LPDWORD count = lpBytesReturned != nullptr ? lpBytesReturned : &returned;
  *count = 0;
  std::shared_ptr<winplat::DeviceObject> device = DeviceOf(hDevice);
  if (!device) {
    return FALSE;
  }
  return device->IoControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, count);
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  Count(&winplat::DeviceCallCounts::cancels);
  std::shared_ptr<winplat::DeviceObject> device = DeviceOf(hFile);
  if (!device) {
    return FALSE;
  }
  return device->Cancel();
}

// Closes device and event handles alike; only the closes of non-event handles count as device calls.
// The pseudo-handles of the current process and thread (INVALID_HANDLE_VALUE is the process's) close
// with success and nothing closed, as on Windows.
BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (hObject == INVALID_HANDLE_VALUE || hObject == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2))) {
    Count(&winplat::DeviceCallCounts::closes);
    return TRUE;
  }
  winplat::detail::HandleTarget target;
  bool open = winplat::detail::RemoveHandle(hObject, &target);
  if (!target.event) {
    Count(&winplat::DeviceCallCounts::closes);
  }
  if (!open) {
    Count(&winplat::DeviceCallCounts::bad_closes);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

namespace winplat {

bool detail::DevicePlugged(const std::string& name) {
  DeviceModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  return model.plugged.count(detail::FoldCase(name)) != 0;
}

void PlugDevice(const std::string& name, std::shared_ptr<DeviceObject> device) {
  std::shared_ptr<DeviceObject> replaced;
  DeviceModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  std::shared_ptr<DeviceObject>& slot = model.plugged[detail::FoldCase(name)];
  replaced = std::move(slot);
  slot = std::move(device);
}

void UnplugDevice(const std::string& name) {
  std::shared_ptr<DeviceObject> removed;
  DeviceModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  auto it = model.plugged.find(detail::FoldCase(name));
  if (it != model.plugged.end()) {
    removed = std::move(it->second);
    model.plugged.erase(it);
  }
}

void UnplugAllDevices() {
  std::map<std::string, std::shared_ptr<DeviceObject>> removed;
  DeviceModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  removed.swap(model.plugged);
}

DeviceCallCounts DeviceCalls() {
  DeviceModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  return model.calls;
}

void ResetDeviceCalls() {
  DeviceModel& model = Model();
  std::lock_guard<std::mutex> lock(model.mutex);
  model.calls = DeviceCallCounts();
}

}  // namespace winplat
