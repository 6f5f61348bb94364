#include "doubles/linux/UsbscanDevice.h"

#include <cstring>
#include <string>
#include <utility>

namespace doubles {

UsbscanDevice::UsbscanDevice(scansim::Port* port, WORD vendorId, WORD productId) : port_(port) {
  SetDescriptor(vendorId, productId);
}

void UsbscanDevice::SetDescriptor(WORD vendorId, WORD productId, WORD bcdDevice, WORD languageId) {
  // The class driver hands the descriptor over as four little-endian 16-bit fields.
  const WORD fields[4] = {vendorId, productId, bcdDevice, languageId};
  for (size_t i = 0; i < 4; ++i) {
    descriptor_[2 * i] = static_cast<BYTE>(fields[i] & 0xFF);
    descriptor_[2 * i + 1] = static_cast<BYTE>(fields[i] >> 8);
  }
}

void UsbscanDevice::FailOpen(bool fail, DWORD error) {
  failOpen_ = fail;
  openError_ = error;
}

std::vector<UsbscanDevice::Call> UsbscanDevice::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void UsbscanDevice::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

size_t UsbscanDevice::CallCount(Operation operation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const Call& call : calls_) {
    count += call.operation == operation ? 1 : 0;
  }
  return count;
}

BOOL UsbscanDevice::Finish(Operation operation, DWORD code, DWORD length, DWORD transferred, bool ok, DWORD error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(Call{operation, code, length, transferred, ok ? TRUE : FALSE});
  }
  if (!ok) {
    SetLastError(error);
  }
  return ok ? TRUE : FALSE;
}

DWORD UsbscanDevice::PortError() const {
  return port_ != nullptr ? port_->LastError() : ERROR_GEN_FAILURE;
}

BOOL UsbscanDevice::Open() {
  return Finish(Operation::Open, 0, 0, 0, !failOpen_, openError_);
}

BOOL UsbscanDevice::Write(const void* buffer, DWORD length, DWORD* written) {
  uint32_t moved = 0;
  const bool ok = port_ != nullptr && port_->Write(static_cast<const uint8_t*>(buffer), length, &moved);
  if (written != nullptr) {
    *written = moved;
  }
  return Finish(Operation::Write, 0, length, moved, ok, PortError());
}

BOOL UsbscanDevice::Read(void* buffer, DWORD length, DWORD* read) {
  uint32_t moved = 0;
  const bool ok = port_ != nullptr && port_->Read(static_cast<uint8_t*>(buffer), length, &moved);
  if (read != nullptr) {
    *read = moved;
  }
  return Finish(Operation::Read, 0, length, moved, ok, PortError());
}

BOOL UsbscanDevice::IoControl(DWORD code, const void* /*in*/, DWORD /*inLength*/, void* out, DWORD outLength,
                              DWORD* returned) {
  DWORD error = ERROR_SUCCESS;
  DWORD moved = 0;
  if (code != IOCTL_GET_DEVICE_DESCRIPTOR) {
    error = ERROR_INVALID_PARAMETER;
  } else if (failDescriptor_) {
    error = ERROR_GEN_FAILURE;
  } else if (out == nullptr || outLength < sizeof(descriptor_)) {
    error = ERROR_INSUFFICIENT_BUFFER;
  } else {
    std::memcpy(out, descriptor_, sizeof(descriptor_));
    moved = sizeof(descriptor_);
  }
  if (returned != nullptr) {
    *returned = moved;
  }
  return Finish(Operation::IoControl, code, outLength, moved, error == ERROR_SUCCESS, error);
}

BOOL UsbscanDevice::Cancel() {
  return Finish(Operation::Cancel, 0, 0, 0, true, ERROR_SUCCESS);
}

void PlugUsbscan(int n, std::shared_ptr<UsbscanDevice> device) {
  winplat::PlugDevice("\\\\.\\Usbscan" + std::to_string(n), std::move(device));
}

}  // namespace doubles
