#include "Capture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "platform/capture-format/CaptureFormat.h"
#include "platform/usb.h"

namespace winplat {
namespace detail {
namespace {

constexpr char kSource[] = "Linux USB route (libusb)";

struct CaptureState {
  std::mutex mutex;
  bool configured = false;  // by the environment on first use, or by CaptureUsbTransfers
  std::string path;         // empty: no capture
  bool images = true;
  bool tried = false;  // the file was opened, or refused, for this session
  capture::Writer writer;
  // The device of the port opened last, written before its next transfer.
  bool pending = false;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string descriptors[2];
  std::function<void(const char*)> notice;
};

// Never destroyed: a transfer may come from a static destructor or an exit handler of the program.
// Every line is flushed as it is written, so nothing waits for a close.
CaptureState& State() {
  static auto* state = new CaptureState;
  return *state;
}

// Tells the user what happens to the capture they asked for: through the program's notice, or else on
// standard error (nothing else of the route writes there).
void Notice(CaptureState& state, const std::string& text) {
  if (state.notice) {
    state.notice(text.c_str());
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

// The capture as configured, from the environment on first use. The caller holds the state's lock.
void Configure(CaptureState& state) {
  if (!state.configured) {
    state.configured = true;
    const char* path = std::getenv("WIASTIIO_CAPTURE");
    const char* images = std::getenv("WIASTIIO_CAPTURE_IMAGES");
    state.path = path != nullptr ? path : "";
    state.images = images == nullptr || (std::strcmp(images, "0") != 0 && std::strcmp(images, "off") != 0);
  }
}

// The writer, opened when the session first moves bytes, so that a program that only lists the
// scanners writes nothing. The caller holds the state's lock.
capture::Writer& Writer(CaptureState& state) {
  Configure(state);
  if (!state.tried && !state.path.empty()) {
    state.tried = true;
    if (state.writer.Open(state.path, state.images, kSource)) {
      Notice(state, "capturing to " + state.path + (state.images ? " (images kept)" : " (images left out)"));
    } else {
      Notice(state, "capture: " + state.writer.TakeProblem() + "; scanning without a capture");
    }
  }
  return state.writer;
}

// A write that failed stopped the session's capture; the user is told once.
void CheckWritten(CaptureState& state) {
  if (const std::string problem = state.writer.TakeProblem(); !problem.empty()) {
    Notice(state, "capture: " + problem + "; the capture ends there");
  }
}

std::string Hex(const uint8_t* bytes, size_t length) {
  std::string text;
  char digits[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, " %02X", bytes[i]);
    text += digits;
  }
  return text;
}

void Put16(std::string* bytes, uint16_t value) {
  bytes->push_back(static_cast<char>(value & 0xFF));
  bytes->push_back(static_cast<char>(value >> 8));
}

// The device descriptor as the device sent it.
std::string DeviceDescriptor(const libusb_device_descriptor& d) {
  std::string bytes = {static_cast<char>(d.bLength), static_cast<char>(d.bDescriptorType)};
  Put16(&bytes, d.bcdUSB);
  bytes += {static_cast<char>(d.bDeviceClass), static_cast<char>(d.bDeviceSubClass),
            static_cast<char>(d.bDeviceProtocol), static_cast<char>(d.bMaxPacketSize0)};
  Put16(&bytes, d.idVendor);
  Put16(&bytes, d.idProduct);
  Put16(&bytes, d.bcdDevice);
  bytes += {static_cast<char>(d.iManufacturer), static_cast<char>(d.iProduct), static_cast<char>(d.iSerialNumber),
            static_cast<char>(d.bNumConfigurations)};
  return bytes;
}

// The active configuration's descriptors in the order the device sent them: configuration, then each
// interface setting followed by its endpoints (class-specific descriptors included).
std::string ConfigDescriptors(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
    return "";
  }
  std::string bytes = {static_cast<char>(config->bLength), static_cast<char>(config->bDescriptorType)};
  Put16(&bytes, config->wTotalLength);
  bytes += {static_cast<char>(config->bNumInterfaces), static_cast<char>(config->bConfigurationValue),
            static_cast<char>(config->iConfiguration), static_cast<char>(config->bmAttributes),
            static_cast<char>(config->MaxPower)};
  bytes.append(reinterpret_cast<const char*>(config->extra), static_cast<size_t>(config->extra_length));
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    for (int a = 0; a < config->interface[i].num_altsetting; ++a) {
      const libusb_interface_descriptor& s = config->interface[i].altsetting[a];
      bytes += {static_cast<char>(s.bLength),
                static_cast<char>(s.bDescriptorType),
                static_cast<char>(s.bInterfaceNumber),
                static_cast<char>(s.bAlternateSetting),
                static_cast<char>(s.bNumEndpoints),
                static_cast<char>(s.bInterfaceClass),
                static_cast<char>(s.bInterfaceSubClass),
                static_cast<char>(s.bInterfaceProtocol),
                static_cast<char>(s.iInterface)};
      bytes.append(reinterpret_cast<const char*>(s.extra), static_cast<size_t>(s.extra_length));
      for (int e = 0; e < s.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = s.endpoint[e];
        bytes += {static_cast<char>(ep.bLength), static_cast<char>(ep.bDescriptorType),
                  static_cast<char>(ep.bEndpointAddress), static_cast<char>(ep.bmAttributes)};
        Put16(&bytes, ep.wMaxPacketSize);
        bytes.push_back(static_cast<char>(ep.bInterval));
        if (ep.bLength >= 9) {
          bytes += {static_cast<char>(ep.bRefresh), static_cast<char>(ep.bSynchAddress)};
        }
        bytes.append(reinterpret_cast<const char*>(ep.extra), static_cast<size_t>(ep.extra_length));
      }
    }
  }
  libusb_free_config_descriptor(config);
  return bytes;
}

capture::Result ResultOf(int result, DWORD error) {
  switch (result) {
    case LIBUSB_SUCCESS:
      return capture::Result::kOk;
    case LIBUSB_ERROR_TIMEOUT:
      return capture::Result::kTimeout;
    case LIBUSB_ERROR_PIPE:
      return capture::Result::kStall;
    case LIBUSB_ERROR_NO_DEVICE:
      return capture::Result::kGone;
    default:
      return capture::ResultOfError(error);
  }
}

}  // namespace

void CaptureOpened(libusb_device* device, const libusb_device_descriptor& descriptor) {
  CaptureState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  Configure(state);
  if (state.path.empty() || (state.tried && !state.writer.IsOpen())) {
    return;
  }
  state.pending = true;
  state.vendorId = descriptor.idVendor;
  state.productId = descriptor.idProduct;
  const std::string bytes = DeviceDescriptor(descriptor);
  state.descriptors[0] = "descriptor device:" + Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  const std::string config = ConfigDescriptors(device);
  state.descriptors[1] =
      "descriptor configuration:" + Hex(reinterpret_cast<const uint8_t*>(config.data()), config.size());
}

void CaptureTransfer(bool in, const uint8_t* bytes, DWORD asked, DWORD moved, int result, DWORD error) {
  CaptureState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  capture::Writer& writer = Writer(state);
  // The descriptors go with the line that names the device.
  if (state.pending && writer.Device(state.vendorId, state.productId)) {
    writer.Line(state.descriptors[0]);
    writer.Line(state.descriptors[1]);
  }
  state.pending = false;
  writer.Transfer(in, bytes, asked, moved, ResultOf(result, error), error);
  CheckWritten(state);
}

}  // namespace detail

bool CaptureUsbTransfers(const std::string& path, bool images) {
  detail::CaptureState& state = detail::State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.configured = true;
  state.writer.Close();
  state.path = path;
  state.images = images;
  state.tried = false;
  state.pending = false;
  return true;
}

void SetCaptureNotice(std::function<void(const char*)> notice) {
  detail::CaptureState& state = detail::State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.notice = std::move(notice);
}

}  // namespace winplat
