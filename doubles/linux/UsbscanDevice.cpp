#include "doubles/linux/UsbscanDevice.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "doubles/ContentionDouble.h"

namespace doubles {

namespace {

constexpr size_t kViolationLimit = 16;

uint32_t MillisecondsPerSecond() {
  const char* text = std::getenv("WIASTIIO_USBSCAN_MS_PER_SECOND");
  return text != nullptr && *text != 0 ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 1000;
}

}  // namespace

UsbscanDevice::UsbscanDevice(scansim::Port* port, WORD vendorId, WORD productId)
    : port_(port), msPerSecond_(MillisecondsPerSecond()) {
  SetDescriptor(vendorId, productId);
}

DWORD UsbscanDevice::TimeoutSeconds(bool read) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeouts_[read ? 0 : 1];
}

std::vector<std::string> UsbscanDevice::Violations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return violations_;
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
  return std::vector<Call>(calls_.begin(), calls_.end());
}

void UsbscanDevice::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
  std::fill(std::begin(counts_), std::end(counts_), 0);
}

size_t UsbscanDevice::CallCount(Operation operation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[static_cast<size_t>(operation)];
}

BOOL UsbscanDevice::Finish(Operation operation, DWORD code, DWORD length, DWORD transferred, bool ok, DWORD error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[static_cast<size_t>(operation)];
    calls_.push_back(Call{operation, code, length, transferred, ok ? TRUE : FALSE});
    if (calls_.size() > kCallLimit) {
      calls_.pop_front();
    }
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

void UsbscanDevice::NoteUngranted(bool read, DWORD length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (violations_.size() < kViolationLimit) {
    violations_.push_back(std::string(read ? "ReadFile(" : "WriteFile(") + std::to_string(length) +
                          ") with the port not granted");
  }
}

bool UsbscanDevice::WaitOutQuiet(bool read, uint32_t quiet, DWORD* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t cancels = cancels_;
  const DWORD seconds = timeouts_[read ? 0 : 1];
  const bool bounded = seconds != 0;
  const uint64_t bound = seconds > kLongestTimeoutSeconds ? 0 : uint64_t{seconds} * msPerSecond_;
  const bool timesOut = bounded && (quiet == scansim::Port::kSilentForever || quiet > bound);
  const auto stop = [&] { return cancels_ != cancels; };
  if (timesOut || quiet != scansim::Port::kSilentForever) {
    cancelled_.wait_for(lock, std::chrono::milliseconds(timesOut ? bound : quiet), stop);
  } else {
    cancelled_.wait(lock, stop);
  }
  if (stop() || timesOut) {
    *error = stop() ? ERROR_OPERATION_ABORTED : kErrorSemTimeout;
    return false;
  }
  return true;
}

BOOL UsbscanDevice::Transfer(Operation operation, void* buffer, DWORD length, DWORD* count) {
  const bool read = operation == Operation::Read;
  if (grant_ != nullptr && !grant_->Held()) {
    NoteUngranted(read, length);
  }
  uint32_t quiet = port_ != nullptr ? port_->QuietBefore(read) : 0;
  DWORD error = ERROR_SUCCESS;
  if (quiet != 0 && !WaitOutQuiet(read, quiet, &error)) {
    if (count != nullptr) {
      *count = 0;
    }
    return Finish(operation, 0, length, 0, false, error);
  }
  uint32_t moved = 0;
  const bool ok = port_ != nullptr && (read ? port_->Read(static_cast<uint8_t*>(buffer), length, &moved)
                                            : port_->Write(static_cast<const uint8_t*>(buffer), length, &moved));
  if (count != nullptr) {
    *count = moved;
  }
  return Finish(operation, 0, length, moved, ok, PortError());
}

BOOL UsbscanDevice::Write(const void* buffer, DWORD length, DWORD* written) {
  return Transfer(Operation::Write, const_cast<void*>(buffer), length, written);
}

BOOL UsbscanDevice::Read(void* buffer, DWORD length, DWORD* read) {
  return Transfer(Operation::Read, buffer, length, read);
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
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++cancels_;
  }
  cancelled_.notify_all();
  return Finish(Operation::Cancel, 0, 0, 0, true, ERROR_SUCCESS);
}

void PlugUsbscan(int n, std::shared_ptr<UsbscanDevice> device) {
  winplat::PlugDevice("\\\\.\\Usbscan" + std::to_string(n), std::move(device));
}

}  // namespace doubles
