#include "UsbDevices.h"

#include <algorithm>

#if WIASTIIO_SANE_LIBUSB
#include <libusb.h>
#endif

#include "Debug.h"

namespace wiastiio_sane {

std::vector<UsbId> PresentUsbIds(const std::vector<UsbId>& wanted) {
  if (wanted.empty()) {
    return {};
  }
#if WIASTIIO_SANE_LIBUSB
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) {
    Debug(kDebugErrors, "USB devices cannot be listed: libusb did not start");
    return {};
  }
  std::vector<UsbId> connected;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor = {};
    if (libusb_get_device_descriptor(list[i], &descriptor) == 0) {
      connected.push_back(UsbId{descriptor.idVendor, descriptor.idProduct});
    }
  }
  if (count >= 0) {
    libusb_free_device_list(list, 1);
  }
  libusb_exit(context);
  std::vector<UsbId> present;
  for (const UsbId& id : wanted) {
    const bool found = std::find(connected.begin(), connected.end(), id) != connected.end();
    const bool listed = std::find(present.begin(), present.end(), id) != present.end();
    if (found && !listed) {
      present.push_back(id);
    }
  }
  return present;
#else
  return wanted;
#endif
}

}  // namespace wiastiio_sane
