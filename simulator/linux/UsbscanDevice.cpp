#include "simulator/linux/UsbscanDevice.h"

#include <chrono>
#include <cstring>
#include <string>
#include <utility>

namespace scansim {

UsbscanDevice::UsbscanDevice(Port* port, WORD vendorId, WORD productId) : port_(port) {
  SetDescriptor(vendorId, productId);
}

DWORD UsbscanDevice::TimeoutSeconds(bool read) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeouts_[read ? 0 : 1];
}

void UsbscanDevice::SetDescriptor(WORD vendorId, WORD productId, WORD bcdDevice, WORD languageId) {
  // The class driver hands the descriptor over as four little-endian 16-bit fields.
  const WORD fields[4] = {vendorId, productId, bcdDevice, languageId};
  for (size_t i = 0; i < 4; ++i) {
    descriptor_[2 * i] = static_cast<BYTE>(fields[i] & 0xFF);
    descriptor_[2 * i + 1] = static_cast<BYTE>(fields[i] >> 8);
  }
}

DWORD UsbscanDevice::PortError() const {
  return port_ != nullptr ? port_->LastError() : ERROR_GEN_FAILURE;
}

BOOL UsbscanDevice::Open() {
  return TRUE;
}

DWORD UsbscanDevice::WaitOutQuiet(bool read, uint32_t quiet) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t cancels = cancels_;
  const DWORD seconds = timeouts_[read ? 0 : 1];
  const bool bounded = seconds != 0;
  const uint64_t bound = seconds > kLongestTimeoutSeconds ? 0 : uint64_t{seconds} * SecondLength();
  const bool timesOut = bounded && (quiet == Port::kSilentForever || quiet > bound);
  const auto stop = [&] { return cancels_ != cancels; };
  if (timesOut || quiet != Port::kSilentForever) {
    cancelled_.wait_for(lock, std::chrono::milliseconds(timesOut ? bound : quiet), stop);
  } else {
    cancelled_.wait(lock, stop);
  }
  if (stop()) {
    return ERROR_OPERATION_ABORTED;
  }
  return timesOut ? kErrorSemTimeout : 0;
}

BOOL UsbscanDevice::Transfer(bool read, void* buffer, DWORD length, DWORD* count) {
  const uint32_t quiet = port_ != nullptr ? port_->QuietBefore(read) : 0;
  if (const DWORD error = quiet != 0 ? WaitOutQuiet(read, quiet) : 0; error != 0) {
    if (count != nullptr) {
      *count = 0;
    }
    SetLastError(error);
    return FALSE;
  }
  uint32_t moved = 0;
  const bool ok = port_ != nullptr && (read ? port_->Read(static_cast<uint8_t*>(buffer), length, &moved)
                                            : port_->Write(static_cast<const uint8_t*>(buffer), length, &moved));
  if (count != nullptr) {
    *count = moved;
  }
  if (!ok) {
    SetLastError(PortError());
  }
  return ok ? TRUE : FALSE;
}

BOOL UsbscanDevice::Write(const void* buffer, DWORD length, DWORD* written) {
  return Transfer(false, const_cast<void*>(buffer), length, written);
}

BOOL UsbscanDevice::Read(void* buffer, DWORD length, DWORD* read) {
  return Transfer(true, buffer, length, read);
}

BOOL UsbscanDevice::IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) {
  DWORD error = ERROR_SUCCESS;
  DWORD moved = 0;
  if (code == IOCTL_SET_TIMEOUT) {
    if (in == nullptr || inLength < sizeof(timeouts_)) {
      error = ERROR_INVALID_PARAMETER;
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      std::memcpy(timeouts_, in, sizeof(timeouts_));
    }
  } else if (code != IOCTL_GET_DEVICE_DESCRIPTOR) {
    error = ERROR_INVALID_PARAMETER;
  } else if (out == nullptr || outLength < sizeof(descriptor_)) {
    error = ERROR_INSUFFICIENT_BUFFER;
  } else {
    std::memcpy(out, descriptor_, sizeof(descriptor_));
    moved = sizeof(descriptor_);
  }
  if (returned != nullptr) {
    *returned = moved;
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
  }
  return error == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL UsbscanDevice::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++cancels_;
  }
  cancelled_.notify_all();
  return TRUE;
}

void PlugUsbscan(int n, std::shared_ptr<winplat::DeviceObject> device) {
  winplat::PlugDevice("\\\\.\\Usbscan" + std::to_string(n), std::move(device));
}

}  // namespace scansim
