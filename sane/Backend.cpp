// The SANE entry points. The dll backend of SANE finds them by their names with the backend's name
// inside (sane_wiastiio_init, ...); the version script exports those and nothing else.
//
// The I/O handler keeps one handler per process, so one device is open at a time.
#include <sane/sane.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "Config.h"
#include "Debug.h"
#include "Device.h"
#include "platform/usb.h"

namespace wiastiio_sane {
namespace {

constexpr SANE_Int kBuild = 1;
const char kConfigFile[] = "wiastiio.conf";
const char kSimulatorName[] = "simulator";

struct Backend {
  Config config;
  std::vector<DeviceEntry> entries;
  // SANE_Device records and their texts, valid until the next listing.
  std::vector<SANE_Device> devices;
  std::vector<const SANE_Device*> list;
  std::vector<std::unique_ptr<std::string>> texts;
  std::unique_ptr<Device> open;
};

// Made by sane_init, deleted by sane_exit, and never by a static destructor: a frontend may end SANE
// from an exit handler, or exit with a device open, and the process's exit takes nothing from under
// either.
Backend* backend = nullptr;

Config ReadConfig() {
  ConfigFile file = ReadConfigFile(std::getenv("SANE_CONFIG_DIR"), kDefaultConfigFolder);
  if (file.path.empty()) {
    // The scanners of WIASTIIO_USB_IDS (the platform's USB route reads it) are offered all the same.
    std::string folders;
    for (const std::string& folder : file.folders) {
      folders += (folders.empty() ? "" : ":") + folder;
    }
    const char* ids = std::getenv("WIASTIIO_USB_IDS");
    Debug(kDebugSteps, "no %s in %s: only the scanners of WIASTIIO_USB_IDS (%s) are offered", kConfigFile,
          folders.c_str(), ids != nullptr && ids[0] != '\0' ? ids : "unset");
    return Config();
  }
  for (const std::string& problem : file.problems) {
    Debug(kDebugErrors, "%s: %s", file.path.c_str(), problem.c_str());
  }
  Debug(kDebugSteps, "configuration: %s (%zu USB ids, simulator %s)", file.path.c_str(), file.config.usb.size(),
        file.config.simulator ? "on" : "off");
  return file.config;
}

std::string HexId(uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", id);
  return text;
}

void ListDevices(Backend& b) {
  b.entries.clear();
  if (b.config.simulator) {
    DeviceEntry entry;
    entry.name = kSimulatorName;
    entry.simulated = true;
    b.entries.push_back(entry);
  }
  // The platform's USB route finds the scanners with the ids of the configuration on the bus.
  for (const UsbId& id : b.config.usb) {
    winplat::AddUsbScannerIds(id.vendor, id.product);
  }
  std::vector<UsbId> present;
  for (const winplat::UsbScanner& scanner : winplat::UsbScanners()) {
    const UsbId id{scanner.vendorId, scanner.productId};
    if (std::find(present.begin(), present.end(), id) == present.end()) {
      present.push_back(id);  // the library opens the first scanner with the ids
    }
  }
  for (const UsbId& id : present) {
    DeviceEntry entry;
    entry.name = "usb:" + HexId(id.vendor) + ":" + HexId(id.product);
    entry.id = id;
    b.entries.push_back(entry);
  }
  b.devices.clear();
  b.texts.clear();
  auto keep = [&b](std::string text) {
    b.texts.push_back(std::make_unique<std::string>(std::move(text)));
    return b.texts.back()->c_str();
  };
  for (const DeviceEntry& entry : b.entries) {
    SANE_Device device;
    device.name = keep(entry.name);
    device.vendor = keep("WIASTIIO");
    device.model = keep(entry.simulated ? "simulated scanner"
                                        : "USB scanner " + HexId(entry.id.vendor) + ":" + HexId(entry.id.product));
    device.type = keep("flatbed scanner");
    b.devices.push_back(device);
  }
  b.list.clear();
  for (const SANE_Device& device : b.devices) {
    b.list.push_back(&device);
  }
  b.list.push_back(nullptr);
}

// Whether `name` is one this backend gives a device: "" (the first), "simulator" or "usb:VVVV:PPPP".
bool DeviceName(const std::string& name) {
  if (name.empty() || name == kSimulatorName) {
    return true;
  }
  const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  return name.size() == 13 && name.compare(0, 4, "usb:") == 0 && name[8] == ':' &&
         std::all_of(name.begin() + 4, name.begin() + 8, hex) && std::all_of(name.begin() + 9, name.end(), hex);
}

Device* DeviceOf(SANE_Handle handle) {
  Backend* b = backend;
  return b != nullptr && handle != nullptr && handle == b->open.get() ? static_cast<Device*>(handle) : nullptr;
}

}  // namespace
}  // namespace wiastiio_sane

using namespace wiastiio_sane;

// Entry points are the only symbols with default visibility.
#define ENTRY __attribute__((visibility("default")))

extern "C" {

ENTRY SANE_Status sane_wiastiio_init(SANE_Int* version_code, SANE_Auth_Callback) {
  if (version_code != nullptr) {
    *version_code = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, 0, kBuild);
  }
  delete backend;
  backend = new Backend();
  backend->config = ReadConfig();
  // The capture starts, or is refused, when the first scan moves bytes: said at the lowest level.
  winplat::SetCaptureNotice([](const char* text) { Debug(kDebugErrors, "%s", text); });
  if (!backend->config.capture.empty()) {
    winplat::CaptureUsbTransfers(backend->config.capture, backend->config.captureImages);
  }
  return SANE_STATUS_GOOD;
}

ENTRY void sane_wiastiio_exit(void) {
  // The session that wiastiio.conf's capture line started ends here, and the file is let go.
  if (backend != nullptr && !backend->config.capture.empty()) {
    winplat::CaptureUsbTransfers("", true);
  }
  delete backend;
  backend = nullptr;
  winplat::SetCaptureNotice(nullptr);
}

ENTRY SANE_Status sane_wiastiio_get_devices(const SANE_Device*** device_list, SANE_Bool) {
  if (backend == nullptr || device_list == nullptr) {
    return SANE_STATUS_INVAL;
  }
  ListDevices(*backend);
  *device_list = backend->list.data();
  return SANE_STATUS_GOOD;
}

ENTRY SANE_Status sane_wiastiio_open(SANE_String_Const name, SANE_Handle* handle) {
  if (backend == nullptr || name == nullptr || handle == nullptr) {
    return SANE_STATUS_INVAL;
  }
  if (backend->open != nullptr) {
    Debug(kDebugErrors, "open %s: another device of this backend is open", name);
    return SANE_STATUS_DEVICE_BUSY;
  }
  if (backend->entries.empty()) {
    ListDevices(*backend);
  }
  const DeviceEntry* found = nullptr;
  for (const DeviceEntry& entry : backend->entries) {
    if (name[0] == '\0' || entry.name == name) {
      found = &entry;
      break;
    }
  }
  if (found == nullptr && !DeviceName(name)) {
    Debug(kDebugErrors, "open %s: no such device", name);
    return SANE_STATUS_INVAL;
  }
  if (found == nullptr) {
    // A device of this backend that is not there is the device's problem, not the frontend's.
    Debug(kDebugErrors, "open %s: not found (a USB scanner unplugged, or its ids in no usb line of %s)",
          name[0] == '\0' ? "the first device" : name, kConfigFile);
    return SANE_STATUS_IO_ERROR;
  }
  const SANE_Status status = Device::Open(*found, backend->config, &backend->open);
  *handle = backend->open.get();
  return status;
}

ENTRY void sane_wiastiio_close(SANE_Handle handle) {
  if (DeviceOf(handle) != nullptr) {
    backend->open.reset();
  }
}

ENTRY const SANE_Option_Descriptor* sane_wiastiio_get_option_descriptor(SANE_Handle handle, SANE_Int option) {
  Device* device = DeviceOf(handle);
  return device != nullptr ? device->Descriptor(option) : nullptr;
}

ENTRY SANE_Status sane_wiastiio_control_option(SANE_Handle handle, SANE_Int option, SANE_Action action, void* value,
                                               SANE_Int* info) {
  Device* device = DeviceOf(handle);
  return device != nullptr ? device->Control(option, action, value, info) : SANE_STATUS_INVAL;
}

ENTRY SANE_Status sane_wiastiio_get_parameters(SANE_Handle handle, SANE_Parameters* params) {
  Device* device = DeviceOf(handle);
  return device != nullptr ? device->Parameters(params) : SANE_STATUS_INVAL;
}

ENTRY SANE_Status sane_wiastiio_start(SANE_Handle handle) {
  Device* device = DeviceOf(handle);
  return device != nullptr ? device->Start() : SANE_STATUS_INVAL;
}

ENTRY SANE_Status sane_wiastiio_read(SANE_Handle handle, SANE_Byte* data, SANE_Int max_length, SANE_Int* length) {
  Device* device = DeviceOf(handle);
  return device != nullptr ? device->Read(data, max_length, length) : SANE_STATUS_INVAL;
}

ENTRY void sane_wiastiio_cancel(SANE_Handle handle) {
  // Called from signal handlers too: no lock, no allocation, only the device's flag.
  Device* device = DeviceOf(handle);
  if (device != nullptr) {
    device->Cancel();
  }
}

ENTRY SANE_Status sane_wiastiio_set_io_mode(SANE_Handle handle, SANE_Bool non_blocking) {
  if (DeviceOf(handle) == nullptr) {
    return SANE_STATUS_INVAL;
  }
  return non_blocking ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_GOOD;
}

ENTRY SANE_Status sane_wiastiio_get_select_fd(SANE_Handle handle, SANE_Int*) {
  return DeviceOf(handle) != nullptr ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_INVAL;
}

}  // extern "C"
