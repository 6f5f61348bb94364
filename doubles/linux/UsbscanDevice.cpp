#include "doubles/linux/UsbscanDevice.h"

#include <algorithm>
#include <iterator>

#include "doubles/ContentionDouble.h"

namespace doubles {

namespace {
constexpr size_t kViolationLimit = 16;
}  // namespace

std::vector<std::string> UsbscanDevice::Violations() const {
  std::lock_guard<std::mutex> lock(record_);
  return violations_;
}

std::vector<UsbscanDevice::Call> UsbscanDevice::Calls() const {
  std::lock_guard<std::mutex> lock(record_);
  return std::vector<Call>(calls_.begin(), calls_.end());
}

void UsbscanDevice::ClearCalls() {
  std::lock_guard<std::mutex> lock(record_);
  calls_.clear();
  std::fill(std::begin(counts_), std::end(counts_), 0);
}

size_t UsbscanDevice::CallCount(Operation operation) const {
  std::lock_guard<std::mutex> lock(record_);
  return counts_[static_cast<size_t>(operation)];
}

BOOL UsbscanDevice::Note(Operation operation, DWORD code, DWORD length, DWORD transferred, BOOL result) {
  std::lock_guard<std::mutex> lock(record_);
  ++counts_[static_cast<size_t>(operation)];
  calls_.push_back(Call{operation, code, length, transferred, result});
  if (calls_.size() > kCallLimit) {
    calls_.pop_front();
  }
  return result;
}

BOOL UsbscanDevice::Open() {
  if (failOpen_) {
    SetLastError(openError_);
    return Note(Operation::Open, 0, 0, 0, FALSE);
  }
  return Note(Operation::Open, 0, 0, 0, scansim::UsbscanDevice::Open());
}

BOOL UsbscanDevice::Checked(bool read, void* buffer, DWORD length, DWORD* count) {
  if (grant_ != nullptr && !grant_->Held()) {
    std::lock_guard<std::mutex> lock(record_);
    if (violations_.size() < kViolationLimit) {
      violations_.push_back(std::string(read ? "ReadFile(" : "WriteFile(") + std::to_string(length) +
                            ") with the port not granted");
    }
  }
  DWORD moved = 0;
  const BOOL result = Transfer(read, buffer, length, &moved);
  if (count != nullptr) {
    *count = moved;
  }
  return Note(read ? Operation::Read : Operation::Write, 0, length, moved, result);
}

BOOL UsbscanDevice::Write(const void* buffer, DWORD length, DWORD* written) {
  return Checked(false, const_cast<void*>(buffer), length, written);
}

BOOL UsbscanDevice::Read(void* buffer, DWORD length, DWORD* read) {
  return Checked(true, buffer, length, read);
}

BOOL UsbscanDevice::IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) {
  DWORD moved = 0;
  BOOL result = FALSE;
  if (code == IOCTL_GET_DEVICE_DESCRIPTOR && failDescriptor_) {
    SetLastError(ERROR_GEN_FAILURE);
  } else {
    result = scansim::UsbscanDevice::IoControl(code, in, inLength, out, outLength, &moved);
  }
  if (returned != nullptr) {
    *returned = moved;
  }
  return Note(Operation::IoControl, code, outLength, moved, result);
}

BOOL UsbscanDevice::Cancel() {
  return Note(Operation::Cancel, 0, 0, 0, scansim::UsbscanDevice::Cancel());
}

}  // namespace doubles
