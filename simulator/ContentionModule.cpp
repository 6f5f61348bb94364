#include "simulator/ContentionModule.h"

#include <chrono>
#include <thread>

#include "simulator/Wire.h"

namespace scansim {

ContentionModule::ContentionModule() = default;
ContentionModule::~ContentionModule() = default;

BOOL ContentionModule::Acquire(bool grant) {
  held_ = held_ || grant;
  return grant ? TRUE : FALSE;
}

BOOL ContentionModule::Release(bool release) {
  held_ = held_ && !release;
  return release ? TRUE : FALSE;
}

BOOL ContentionModule::Open(bool open) {
  opened_ = opened_ || open;
  return open ? TRUE : FALSE;
}

BOOL ContentionModule::Close(bool close) {
  opened_ = opened_ && !close;
  return close ? TRUE : FALSE;
}

BOOL ContentionModule::Transfer(bool read, void* buffer, DWORD length, uint32_t* moved) {
  *moved = 0;
  DWORD error = ERROR_SUCCESS;
  bool ok = false;
  if (!opened_) {
    error = ERROR_INVALID_HANDLE;  // nothing open to transfer on
  } else if (port_ == nullptr) {
    error = ERROR_GEN_FAILURE;
  } else {
    const uint32_t quiet = port_->QuietBefore(read);
    if (quiet == Port::kSilentForever) {
      error = kErrorSemTimeout;  // what a transfer that was given up on reports
    } else {
      if (quiet != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(quiet));
      }
      ok = read ? port_->Read(static_cast<uint8_t*>(buffer), length, moved)
                : port_->Write(static_cast<const uint8_t*>(buffer), length, moved);
      if (!ok) {
        error = port_->LastError();
      }
    }
  }
  if (!ok) {
    SetLastError(error);
  }
  return ok ? TRUE : FALSE;
}

BOOL ContentionModule::PortAcquire(DWORD) {
  return Acquire(acquireAnswer_);
}

BOOL ContentionModule::PortRelease(DWORD) {
  return Release(true);
}

BOOL ContentionModule::DeviceOpen(DWORD, DWORD, DWORD, DWORD, ULONG_PTR) {
  return Open(true);
}

BOOL ContentionModule::DeviceClose(DWORD) {
  return Close(true);
}

BOOL ContentionModule::DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) {
  uint32_t moved = 0;
  const BOOL ok = Transfer(true, buffer, length, &moved);
  if (read != nullptr) {
    *read = moved;
  }
  return ok;
}

BOOL ContentionModule::DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) {
  uint32_t moved = 0;
  const BOOL ok = Transfer(false, const_cast<void*>(buffer), length, &moved);
  if (written != nullptr) {
    *written = moved;
  }
  return ok;
}

void ContentionModule::Reset() {
  acquireAnswer_ = true;
  port_ = nullptr;
  held_ = false;
  opened_ = false;
}

void ContentionModule::SetAcquireAnswer(bool grant) {
  acquireAnswer_ = grant;
}

void ContentionModule::SetPort(Port* port) {
  port_ = port;
}

bool ContentionModule::Held() const {
  return held_;
}

bool ContentionModule::Opened() const {
  return opened_;
}

}  // namespace scansim
