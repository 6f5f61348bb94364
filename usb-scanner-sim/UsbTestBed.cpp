#include "usb-scanner-sim/UsbTestBed.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <numeric>

#include "platform/capture-format/CaptureFormat.h"

namespace scansim {
namespace usb {
namespace {

// What the emulated kernel offers, like a kernel on a controller without scatter-gather: libusb then
// cuts bulk transfers longer than 16 KB into URBs chained with BULK_CONTINUATION.
constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

std::string Hex(const uint8_t* bytes, size_t length, const char* separator = "") {
  std::string text;
  char digits[3];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof(digits), "%02X", bytes[i]);
    text += (i > 0 ? separator : "");
    text += digits;
  }
  return text;
}

// Device, configuration, interface and the two endpoint descriptors; no strings.
std::vector<uint8_t> Descriptors(uint16_t vendorId, uint16_t productId, bool bulkPair) {
  return {
      0x12,
      0x01,
      0x00,
      0x02,
      0x00,
      0x00,
      0x00,
      0x40,  // USB 2.0, 64-byte control packets
      static_cast<uint8_t>(vendorId),
      static_cast<uint8_t>(vendorId >> 8),  //
      static_cast<uint8_t>(productId),
      static_cast<uint8_t>(productId >> 8),
      0x00,
      0x01,
      0x00,
      0x00,
      0x00,
      0x01,  // release 1.00, one configuration
      0x09,
      0x02,
      0x20,
      0x00,
      0x01,
      0x01,
      0x00,
      0xC0,
      0x01,  // 32 bytes in all, self-powered
      0x09,
      0x04,
      0x00,
      0x00,
      0x02,
      0xFF,
      0xFF,
      0xFF,
      0x00,  // vendor-specific, two endpoints
      0x07,
      0x05,
      kBulkIn,
      0x02,
      0x00,
      0x02,
      0x00,  // bulk IN, 512 bytes
      0x07,
      0x05,
      kBulkOut,
      static_cast<uint8_t>(bulkPair ? 0x02 : 0x03),
      0x00,
      0x02,
      0x00,  // bulk OUT, 512 bytes
  };
}

struct Device {
  std::mutex mutex;
  Port* port = nullptr;
  std::string sysPath;
  std::string devNode;
  UMockdevIoctlBase* handler = nullptr;
  bool held = false;
  bool claimed = false;
  bool stall = false;
  bool disconnected = false;
  int64_t readsLeft = -1;                    // before the disconnect; -1 for none planned
  std::deque<UMockdevIoctlData*> done;       // URBs to reap, each referenced
  std::vector<UMockdevIoctlData*> stalled;   // URBs not answered, each referenced
  std::vector<UMockdevIoctlData*> gathered;  // URBs of an IN transfer still being submitted, each referenced
  std::vector<std::string> transfers;

  ~Device() {
    for (UMockdevIoctlData* urb : done) {
      umockdev_ioctl_data_unref(urb);
    }
    for (UMockdevIoctlData* urb : stalled) {
      umockdev_ioctl_data_unref(urb);
    }
    for (UMockdevIoctlData* urb : gathered) {
      umockdev_ioctl_data_unref(urb);
    }
    if (handler != nullptr) {
      g_object_unref(handler);
    }
  }

  // The URB status of a port call that failed with `error`: 0 for a scanner that does not answer (the
  // host times out), -EPIPE for an endpoint that stalls (31), -ESHUTDOWN for a device that is gone
  // (1167: every later ioctl fails with ENODEV), -EPROTO for any other error.
  int FailedStatus(uint32_t error) {
    switch (error) {
      case capture::kErrorStall:
        return -EPIPE;
      case capture::kErrorGone:
        disconnected = true;
        return -ESHUTDOWN;
      case capture::kErrorTimeout:
      case 0:
        return 0;
      default:
        return -EPROTO;
    }
  }

  // One bulk URB. An OUT URB is one write to the port. libusb cuts an IN transfer longer than 16 KB
  // into several URBs submitted back to back, all but the last with SHORT_NOT_OK; they are gathered
  // and the whole transfer is one read of the port, answered at the last URB unless IN transfers
  // stall. The caller holds the mutex.
  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* urbData) {
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_BULK || urb->buffer_length < 0) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), urb->buffer_length, nullptr);
    if (buffer == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    if ((urb->endpoint & 0x80) == 0) {
      const auto asked = static_cast<uint32_t>(urb->buffer_length);
      uint32_t moved = 0;
      const bool taken = port->Write(buffer->data, asked, &moved);
      transfers.push_back("OUT " + std::to_string(asked) + " " + std::to_string(moved) + ": " +
                          Hex(buffer->data, asked, " "));
      umockdev_ioctl_data_unref(buffer);
      const int status = taken ? 0 : FailedStatus(port->LastError());
      if (status == 0 && !taken) {
        stalled.push_back(umockdev_ioctl_data_ref(urbData));  // not taken: the host times out
      } else {
        urb->actual_length = static_cast<int>(taken ? moved : 0);
        urb->status = status;
        done.push_back(umockdev_ioctl_data_ref(urbData));
      }
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }
    umockdev_ioctl_data_unref(buffer);
    if (gathered.empty() && readsLeft == 0) {
      disconnected = true;
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return;
    }
    readsLeft -= gathered.empty() && readsLeft > 0 ? 1 : 0;
    gathered.push_back(umockdev_ioctl_data_ref(urbData));
    if ((urb->flags & USBDEVFS_URB_SHORT_NOT_OK) == 0) {
      AnswerIn();
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  // Reads the gathered transfer from the port and spreads the bytes over its URBs in order, as the
  // packets would fill them. The URB the data ends in is short (-EREMOTEIO where short is an error);
  // the URBs after it are cancelled with -ECONNRESET, as the kernel does for a bulk continuation.
  // umockdev writes a URB back to the caller at each completion whose argument leads to it, where it
  // differs from what the caller had: the URBs completed before the last one get their data at the reap.
  void AnswerIn() {
    std::vector<uint32_t> lengths;
    for (UMockdevIoctlData* urbData : gathered) {
      lengths.push_back(static_cast<uint32_t>(reinterpret_cast<usbdevfs_urb*>(urbData->data)->buffer_length));
    }
    const uint32_t asked = std::accumulate(lengths.begin(), lengths.end(), 0u);
    std::vector<uint8_t> bytes(asked);
    uint32_t moved = 0;
    // A scanner with nothing to say does not answer at all.
    const bool answered = !stall && port->Read(bytes.data(), asked, &moved);
    moved = std::min(moved, asked);
    const int failed = answered || stall ? 0 : FailedStatus(port->LastError());
    transfers.push_back("IN " + std::to_string(asked) + (answered ? " " + std::to_string(moved) : " stalled"));
    if (!answered && failed == 0) {
      stalled.insert(stalled.end(), gathered.begin(), gathered.end());
      gathered.clear();
      return;
    }
    if (!answered) {
      // The first URB carries the failure; the rest of the transfer is cancelled.
      for (size_t i = 0; i < gathered.size(); ++i) {
        auto* urb = reinterpret_cast<usbdevfs_urb*>(gathered[i]->data);
        urb->actual_length = 0;
        urb->status = i == 0 ? failed : -ECONNRESET;
        done.push_back(gathered[i]);
      }
      gathered.clear();
      return;
    }
    SpreadIn(lengths, bytes, moved);
    gathered.clear();
  }

  // The answer's bytes over the gathered URBs in order; the one the data ends in is short, the rest
  // cancelled.
  void SpreadIn(const std::vector<uint32_t>& lengths, const std::vector<uint8_t>& bytes, uint32_t moved) {
    uint32_t offset = 0;
    bool ended = false;
    for (size_t i = 0; i < gathered.size(); ++i) {
      auto* urb = reinterpret_cast<usbdevfs_urb*>(gathered[i]->data);
      const uint32_t length = ended ? 0 : std::min(lengths[i], moved - offset);
      if (length > 0) {
        // The buffer resolved at submission; umockdev writes it back again at the reap, as it differs.
        UMockdevIoctlData* buffer =
            umockdev_ioctl_data_resolve(gathered[i], offsetof(usbdevfs_urb, buffer), lengths[i], nullptr);
        if (buffer != nullptr) {
          std::memcpy(buffer->data, bytes.data() + offset, length);
          umockdev_ioctl_data_unref(buffer);
        }
      }
      urb->actual_length = static_cast<int>(length);
      const bool shortNotOk = (urb->flags & USBDEVFS_URB_SHORT_NOT_OK) != 0;
      urb->status = ended ? -ECONNRESET : (length < lengths[i] && shortNotOk ? -EREMOTEIO : 0);
      ended = ended || length < lengths[i];
      offset += length;
      done.push_back(gathered[i]);
    }
  }

  void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (done.empty()) {
      umockdev_ioctl_client_complete(client, -1, disconnected ? ENODEV : EAGAIN);
      return;
    }
    UMockdevIoctlData* urbData = done.front();
    done.pop_front();
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(pointer);
    umockdev_ioctl_data_unref(urbData);
  }

  // A URB not answered yet (stalled, or of a transfer cut short while being submitted) is cancelled.
  void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    const auto address = *reinterpret_cast<gulong*>(arg->data);
    for (std::vector<UMockdevIoctlData*>* waiting : {&stalled, &gathered}) {
      for (auto it = waiting->begin(); it != waiting->end(); ++it) {
        if ((*it)->client_addr == address) {
          reinterpret_cast<usbdevfs_urb*>((*it)->data)->status = -ENOENT;
          done.push_back(*it);
          waiting->erase(it);
          umockdev_ioctl_client_complete(client, 0, 0);
          return;
        }
      }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
  }

  gboolean Handle(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mutex);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (disconnected && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        *reinterpret_cast<uint32_t*>(data->data) = kCapabilities;
        umockdev_ioctl_client_complete(client, 0, 0);
        umockdev_ioctl_data_unref(data);
        return TRUE;
      }
      case USBDEVFS_CLAIMINTERFACE:
        claimed = claimed || !held;
        umockdev_ioctl_client_complete(client, held ? -1 : 0, held ? EBUSY : 0);
        return TRUE;
      case USBDEVFS_RELEASEINTERFACE:
        claimed = false;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        Submit(client, urbData);
        umockdev_ioctl_data_unref(urbData);
        return TRUE;
      }
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        Reap(client, arg);
        return TRUE;
      case USBDEVFS_DISCARDURB:
        Discard(client, arg);
        return TRUE;
      default:
        return FALSE;
    }
  }
};

gboolean HandleIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client, gpointer device) {
  return static_cast<Device*>(device)->Handle(client);
}

}  // namespace

struct TestBed::Impl {
  UMockdevTestbed* bed = nullptr;
  std::map<int, std::unique_ptr<Device>> devices;
  int next = 1;

  Device& At(int device) { return *devices.at(device); }
};

TestBed::TestBed() : impl_(std::make_unique<Impl>()) {
  impl_->bed = umockdev_testbed_new();
}

TestBed::~TestBed() {
  // The handlers go first, so that no ioctl reaches a device being destroyed; the files go with the bed.
  for (auto& entry : impl_->devices) {
    umockdev_testbed_detach_ioctl(impl_->bed, entry.second->devNode.c_str(), nullptr);
  }
  impl_->devices.clear();
  g_object_unref(impl_->bed);
}

bool TestBed::Emulating() const {
  return umockdev_in_mock_environment() != FALSE;
}

std::string TestBed::RootDir() const {
  gchar* root = umockdev_testbed_get_root_dir(impl_->bed);
  std::string dir = root;
  g_free(root);
  return dir;
}

int TestBed::Plug(Port* port, uint16_t vendorId, uint16_t productId, bool bulkPair) {
  const int number = impl_->next++;
  auto device = std::make_unique<Device>();
  device->port = port;
  char bus[4];
  std::snprintf(bus, sizeof(bus), "%03d", number);
  char ids[16];
  std::snprintf(ids, sizeof(ids), "%04x/%04x", vendorId, productId);
  device->devNode = std::string("/dev/bus/usb/") + bus + "/001";

  // The handler goes on first, so that libusb can open the node as soon as it appears.
  device->handler = umockdev_ioctl_base_new();
  g_signal_connect_after(device->handler, "handle-ioctl", G_CALLBACK(HandleIoctl), device.get());
  umockdev_testbed_attach_ioctl(impl_->bed, device->devNode.c_str(), device->handler, nullptr);

  const std::vector<uint8_t> descriptors = Descriptors(vendorId, productId, bulkPair);
  const std::string hex = Hex(descriptors.data(), descriptors.size());
  const std::string n = std::to_string(number);
  const std::string record = "P: /devices/usb" + n + "\nN: bus/usb/" + bus + "/001=" + hex +
                             "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=" + bus +
                             "\nE: DEVNUM=001\nE: DEVNAME=" + device->devNode + "\nE: PRODUCT=" + ids +
                             "/100\nA: busnum=" + n + "\\n\nA: devnum=1\\n\nA: bConfigurationValue=1\\n\n" +
                             "A: speed=480\\n\nH: descriptors=" + hex + "\n";
  GError* error = nullptr;
  if (umockdev_testbed_add_from_string(impl_->bed, record.c_str(), &error)) {
    device->sysPath = "/sys/devices/usb" + n;
  } else {
    g_error_free(error);
  }
  impl_->devices[number] = std::move(device);
  return number;
}

void TestBed::Unplug(int device) {
  Device& d = impl_->At(device);
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.disconnected = true;
  }
  if (!d.sysPath.empty()) {
    umockdev_testbed_uevent(impl_->bed, d.sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(impl_->bed, d.sysPath.c_str());
    d.sysPath.clear();
  }
}

void TestBed::HoldElsewhere(int device, bool held) {
  Device& d = impl_->At(device);
  std::lock_guard<std::mutex> lock(d.mutex);
  d.held = held;
}

void TestBed::StallReads(int device, bool stall) {
  Device& d = impl_->At(device);
  std::lock_guard<std::mutex> lock(d.mutex);
  d.stall = stall;
}

void TestBed::DisconnectAfterReads(int device, uint32_t reads) {
  Device& d = impl_->At(device);
  std::lock_guard<std::mutex> lock(d.mutex);
  d.readsLeft = reads;
}

bool TestBed::Claimed(int device) const {
  Device& d = impl_->At(device);
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.claimed;
}

std::vector<std::string> TestBed::Transfers(int device) const {
  Device& d = impl_->At(device);
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.transfers;
}

void TestBed::ClearTransfers(int device) {
  Device& d = impl_->At(device);
  std::lock_guard<std::mutex> lock(d.mutex);
  d.transfers.clear();
}

}  // namespace usb
}  // namespace scansim
