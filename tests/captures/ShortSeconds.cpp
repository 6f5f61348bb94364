// Preloaded into a replayed program: every bulk transfer's timeout is scaled by SHORT_SECONDS_MS
// (milliseconds a second lasts, 5 unless set), so that a recorded timeout runs out in a fraction of a
// second instead of the route's minute. The product has no such hook; only this test library does.
#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

struct libusb_device_handle;

extern "C" int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                    int length, int* transferred, unsigned int timeout) {
  using Transfer = int (*)(libusb_device_handle*, unsigned char, unsigned char*, int, int*, unsigned int);
  static const auto real = reinterpret_cast<Transfer>(dlsym(RTLD_NEXT, "libusb_bulk_transfer"));
  static const uint64_t second = [] {
    const char* value = std::getenv("SHORT_SECONDS_MS");
    return value != nullptr ? std::strtoull(value, nullptr, 10) : 5;
  }();
  const uint64_t scaled = uint64_t{timeout} * second / 1000;
  return real(handle, endpoint, data, length, transferred,
              timeout == 0 ? 0 : static_cast<unsigned int>(std::max<uint64_t>(scaled, 1)));
}
