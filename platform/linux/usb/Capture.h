// The capture of the USB route's transfers (WIASTIIO_CAPTURE, or CaptureUsbTransfers): the device
// each port opens and every bulk transfer, written as they happen in the format of docs/CAPTURE.md.
#pragma once

#include <libusb.h>

#include <cstdint>

#include "../Surface.h"

namespace winplat {
namespace detail {

// A port on `device` was opened: its ids and descriptors, when the capture has not named it last.
void CaptureOpened(libusb_device* device, const libusb_device_descriptor& descriptor);
// One bulk transfer that ended with libusb's `result`; `error` is the Windows code it became.
void CaptureTransfer(bool in, const uint8_t* bytes, DWORD asked, DWORD moved, int result, DWORD error);

}  // namespace detail
}  // namespace winplat
