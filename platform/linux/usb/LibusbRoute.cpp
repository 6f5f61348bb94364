// The USB route over libusb-1.0. A scanner is a device with one of the listed id pairs and an
// interface with a bulk IN and a bulk OUT endpoint. Each CreateFileA makes a port object for it, which
// opens the device and claims that interface; the arbitration module claims it the same way. Both
// share one connection per device, so the claim lasts while either holds it, and another program that
// tries to claim the interface meanwhile is refused by the kernel, as this process is when another
// program holds it.
//
// Errors of libusb become the codes a Windows caller sees from the class driver:
//   LIBUSB_ERROR_TIMEOUT        ERROR_SEM_TIMEOUT (121)
//   LIBUSB_ERROR_NO_DEVICE      ERROR_DEVICE_NOT_CONNECTED (1167); at open ERROR_FILE_NOT_FOUND (2)
//   LIBUSB_ERROR_BUSY           ERROR_SHARING_VIOLATION (32): another program has claimed the interface
//   LIBUSB_ERROR_ACCESS         ERROR_ACCESS_DENIED (5): no permission on /dev/bus/usb
//   LIBUSB_ERROR_PIPE           ERROR_GEN_FAILURE (31), after clearing the endpoint's halt
//   LIBUSB_ERROR_INTERRUPTED    ERROR_OPERATION_ABORTED (995): ended by the program's stop
//   LIBUSB_ERROR_NO_MEM         ERROR_NOT_ENOUGH_MEMORY (8)
//   anything else               ERROR_IO_DEVICE (1117)
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <utility>

#include "../Names.h"
#include "Capture.h"
#include "UsbRoute.h"
#include "platform/usb.h"

namespace winplat {
namespace detail {
namespace {

constexpr char kUsbscanPrefix[] = "\\\\.\\usbscan";

DWORD WindowsError(int error) {
  switch (error) {
    case LIBUSB_ERROR_TIMEOUT:
      return ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_BUSY:
      return ERROR_SHARING_VIOLATION;
    case LIBUSB_ERROR_ACCESS:
      return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_PIPE:
      return ERROR_GEN_FAILURE;
    case LIBUSB_ERROR_INTERRUPTED:
      return ERROR_OPERATION_ABORTED;
    case LIBUSB_ERROR_NO_MEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_IO_DEVICE;
  }
}

// A counted reference to a libusb device.
class DeviceRef {
 public:
  explicit DeviceRef(libusb_device* device) : device_(libusb_ref_device(device)) {}
  DeviceRef(const DeviceRef& other) : device_(other.device_ != nullptr ? libusb_ref_device(other.device_) : nullptr) {}
  DeviceRef(DeviceRef&& other) noexcept : device_(other.device_) { other.device_ = nullptr; }
  DeviceRef& operator=(DeviceRef other) {
    std::swap(device_, other.device_);
    return *this;
  }
  ~DeviceRef() { libusb_unref_device(device_); }  // accepts null
  libusb_device* get() const { return device_; }
  std::pair<int, int> Location() const { return {libusb_get_bus_number(device_), libusb_get_device_address(device_)}; }

 private:
  libusb_device* device_;
};

// Transfers are submitted asynchronously and waited for on the caller's thread in slices of
// kEventSliceMs, so that a stop (StopUsbTransfers, perhaps from a signal handler) is seen within a
// slice, or at once when the signal interrupts this thread's wait, and the transfer is cancelled.
constexpr int kEventSliceMs = 50;

// The monotonic time of the standing stop in microseconds; 0 when none stands.
std::atomic<int64_t> g_stoppedAt{0};
static_assert(std::atomic<int64_t>::is_always_lock_free, "StopUsbTransfers is called from signal handlers");

int64_t NowUs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);  // safe in a signal handler
  return std::max<int64_t>(1, static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
}

// libusb's result for a finished transfer, as its synchronous bulk transfer gives it.
int TransferResult(const libusb_transfer& transfer) {
  switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
      return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
      return LIBUSB_ERROR_OVERFLOW;
    default:
      return LIBUSB_ERROR_IO;
  }
}

void LIBUSB_CALL TransferDone(libusb_transfer* transfer) {
  *static_cast<int*>(transfer->user_data) = 1;
}

// One bulk transfer, ended early by a stop: libusb's result and the bytes moved. A transfer started
// while no stop stood is cancelled as soon as one does; one started under a stop lives until the
// stop's grace runs out.
int BulkTransfer(libusb_context* context, libusb_device_handle* handle, uint8_t endpoint, unsigned char* buffer,
                 int length, int* actual, unsigned timeout) {
  *actual = 0;
  const int64_t stopAtStart = g_stoppedAt.load();
  bool cut = false;  // the stop's grace shortened the timeout
  if (stopAtStart != 0) {
    const int64_t leftUs = stopAtStart + int64_t{kStopGraceMs} * 1000 - NowUs();
    if (leftUs <= 0) {
      return LIBUSB_ERROR_INTERRUPTED;
    }
    // Rounded up to libusb's milliseconds: a transfer under a stop never gives up before the grace does.
    const int64_t left = (leftUs + 999) / 1000;
    cut = timeout == 0 || static_cast<int64_t>(timeout) > left;
    timeout = cut ? static_cast<unsigned>(left) : timeout;
  }
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  if (transfer == nullptr) {
    return LIBUSB_ERROR_NO_MEM;
  }
  int completed = 0;
  libusb_fill_bulk_transfer(transfer, handle, endpoint, buffer, length, TransferDone, &completed, timeout);
  int result = libusb_submit_transfer(transfer);
  if (result != LIBUSB_SUCCESS) {
    libusb_free_transfer(transfer);
    return result;
  }
  bool cancelled = false;
  bool stopped = false;
  while (completed == 0) {
    const int64_t stoppedAt = g_stoppedAt.load();
    if (!cancelled && stoppedAt != 0 && stoppedAt != stopAtStart) {
      stopped = cancelled = libusb_cancel_transfer(transfer) == LIBUSB_SUCCESS;
    }
    timeval slice = {0, kEventSliceMs * 1000};
    const int handled = libusb_handle_events_timeout_completed(context, &slice, &completed);
    if (handled < 0 && handled != LIBUSB_ERROR_INTERRUPTED && !cancelled) {
      // Events can no longer be handled: the transfer is given up, as libusb's own wait does.
      libusb_cancel_transfer(transfer);
      cancelled = true;
    }
  }
  *actual = transfer->actual_length;
  result = TransferResult(*transfer);
  libusb_free_transfer(transfer);
  stopped = stopped || (cut && result == LIBUSB_ERROR_TIMEOUT);
  return stopped && result != LIBUSB_SUCCESS ? LIBUSB_ERROR_INTERRUPTED : result;
}

// An open device with its scanner interface claimed; released and closed with the last reference.
struct Connection {
  libusb_context* context = nullptr;
  libusb_device_handle* handle = nullptr;
  int interfaceNumber = -1;
  uint8_t in = 0;
  uint8_t out = 0;
  libusb_device_descriptor descriptor = {};

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (interfaceNumber >= 0) {
      libusb_release_interface(handle, interfaceNumber);
    }
    if (handle != nullptr) {
      libusb_close(handle);
    }
  }
};

struct UsbState {
  std::mutex mutex;
  libusb_context* context = nullptr;
  bool initialised = false;
  bool environmentRead = false;
  std::vector<std::pair<uint16_t, uint16_t>> ids;
  DWORD timeout = kDefaultUsbTimeout;
  std::map<std::pair<int, int>, std::weak_ptr<Connection>> connections;  // by bus and address
  // The scanners of the search under way; a search starts again whenever a number is asked that is
  // not above the last one.
  std::vector<DeviceRef> found;
  int lastAsked = INT_MAX;
  // What the arbitration module holds between PortAcquire and PortRelease.
  std::vector<std::shared_ptr<Connection>> arbitrated;
};

UsbState& State() {
  // Never destroyed: the library and its callers may still reach it from exit handlers and the
  // static destructors of other modules.
  static UsbState& state = *new UsbState;
  return state;
}

void AddIdsFromEnvironment(UsbState& state) {
  if (const char* timeout = std::getenv("WIASTIIO_USB_TIMEOUT"); timeout != nullptr && *timeout != '\0') {
    char* end = nullptr;
    const unsigned long milliseconds = std::strtoul(timeout, &end, 10);
    if (*end == '\0' && timeout[0] != '-' && milliseconds <= UINT_MAX) {
      state.timeout = static_cast<DWORD>(milliseconds);
    }
  }
  const char* text = std::getenv("WIASTIIO_USB_IDS");
  while (text != nullptr && *text != '\0') {
    char* end = nullptr;
    unsigned long vendor = std::strtoul(text, &end, 16);
    if (end == text || *end != ':') {
      break;
    }
    const char* product = end + 1;
    unsigned long productId = std::strtoul(product, &end, 16);
    if (end == product || vendor > 0xFFFF || productId > 0xFFFF) {
      break;
    }
    state.ids.emplace_back(static_cast<uint16_t>(vendor), static_cast<uint16_t>(productId));
    text = end + std::strspn(end, ", ");
  }
}

// The listed ids, with those of the environment added on first use. The caller holds the state's lock.
const std::vector<std::pair<uint16_t, uint16_t>>& Ids(UsbState& state) {
  if (!state.environmentRead) {
    state.environmentRead = true;
    AddIdsFromEnvironment(state);
  }
  return state.ids;
}

// The library context, made when the first scanner is looked for (after a test bed or the bus is in
// place), so that a process with no ids listed never starts libusb. The caller holds the state's lock.
// The context lives as long as the process: device handles may be closed by static destructors in
// any order.
libusb_context* Context(UsbState& state) {
  if (!state.initialised) {
    state.initialised = true;
    if (libusb_init(&state.context) != LIBUSB_SUCCESS) {
      state.context = nullptr;
    }
  }
  return state.context;
}

// The first interface (first alternate setting) with a bulk IN and a bulk OUT endpoint.
bool FindBulkPair(libusb_device* device, int* interfaceNumber, uint8_t* bulkIn, uint8_t* bulkOut) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
    return false;
  }
  bool found = false;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    if (config->interface[i].num_altsetting < 1) {
      continue;
    }
    const libusb_interface_descriptor& setting = config->interface[i].altsetting[0];
    uint8_t in = 0;
    uint8_t out = 0;
    for (int e = 0; e < setting.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
      if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
        continue;
      }
      uint8_t& slot = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? in : out;
      if (slot == 0) {
        slot = endpoint.bEndpointAddress;
      }
    }
    if (in != 0 && out != 0) {
      *interfaceNumber = setting.bInterfaceNumber;
      *bulkIn = in;
      *bulkOut = out;
      found = true;
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

bool Listed(const UsbState& state, const libusb_device_descriptor& descriptor) {
  return std::find(state.ids.begin(), state.ids.end(), std::make_pair(descriptor.idVendor, descriptor.idProduct)) !=
         state.ids.end();
}

// The scanners present, in bus order. The caller holds the state's lock.
std::vector<DeviceRef> PresentScanners(UsbState& state) {
  std::vector<DeviceRef> scanners;
  if (Ids(state).empty()) {
    return scanners;
  }
  libusb_context* context = Context(state);
  if (context == nullptr) {
    return scanners;
  }
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor = {};
    int interfaceNumber = -1;
    uint8_t in = 0;
    uint8_t out = 0;
    // A device with the ids but no bulk pair is something else of the maker's, not a scanner.
    if (libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS && Listed(state, descriptor) &&
        FindBulkPair(list[i], &interfaceNumber, &in, &out)) {
      scanners.emplace_back(list[i]);
    }
  }
  if (list != nullptr) {
    libusb_free_device_list(list, 1);
  }
  std::sort(scanners.begin(), scanners.end(),
            [](const DeviceRef& a, const DeviceRef& b) { return a.Location() < b.Location(); });
  return scanners;
}

// The device's connection: the live one of this process, or a new one with the interface claimed.
// The caller holds the state's lock. Null with *error set when the device cannot be opened or claimed.
std::shared_ptr<Connection> Connect(UsbState& state, const DeviceRef& device, DWORD* error) {
  for (auto it = state.connections.begin(); it != state.connections.end();) {
    it = it->second.expired() ? state.connections.erase(it) : std::next(it);
  }
  std::weak_ptr<Connection>& slot = state.connections[device.Location()];
  if (std::shared_ptr<Connection> live = slot.lock()) {
    return live;
  }
  auto connection = std::make_shared<Connection>();
  libusb_get_device_descriptor(device.get(), &connection->descriptor);
  int interfaceNumber = -1;
  if (!FindBulkPair(device.get(), &interfaceNumber, &connection->in, &connection->out)) {
    *error = ERROR_GEN_FAILURE;
    return nullptr;
  }
  connection->context = state.context;
  int result = libusb_open(device.get(), &connection->handle);
  if (result == LIBUSB_SUCCESS) {
    result = libusb_claim_interface(connection->handle, interfaceNumber);
  }
  if (result != LIBUSB_SUCCESS) {
    *error = WindowsError(result);
    return nullptr;
  }
  connection->interfaceNumber = interfaceNumber;
  slot = connection;
  return connection;
}

// "\\.\Usbscan"N, N written without leading zeros; false for any other name.
bool UsbscanNumber(const std::string& name, int* number) {
  const std::string folded = FoldCase(name);
  const size_t prefix = sizeof(kUsbscanPrefix) - 1;
  if (folded.compare(0, prefix, kUsbscanPrefix) != 0) {
    return false;
  }
  const std::string digits = folded.substr(prefix);
  if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos ||
      (digits.size() > 1 && digits[0] == '0')) {
    return false;
  }
  *number = std::atoi(digits.c_str());
  return true;
}

std::string UsbscanName(int number) {
  return "\\\\.\\Usbscan" + std::to_string(number);
}

unsigned SecondsToMilliseconds(ULONG seconds) {
  return seconds > UINT_MAX / 1000 ? UINT_MAX : seconds * 1000;
}

// The device object behind one handle on a USB scanner.
class UsbscanPort : public DeviceObject {
 public:
  UsbscanPort(DeviceRef device, DWORD timeout)
      : device_(std::move(device)), readTimeout_(timeout), writeTimeout_(timeout) {}

  BOOL Open() override {
    UsbState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    DWORD error = ERROR_GEN_FAILURE;
    connection_ = Connect(state, device_, &error);
    if (!connection_) {
      // A scanner unplugged since the search no longer has a name.
      SetLastError(error == ERROR_DEVICE_NOT_CONNECTED ? ERROR_FILE_NOT_FOUND : error);
      return FALSE;
    }
    CaptureOpened(device_.get(), connection_->descriptor);
    return TRUE;
  }

  BOOL Write(const void* buffer, DWORD length, DWORD* written) override {
    return Transfer(connection_->out, const_cast<void*>(buffer), length, written, writeTimeout_);
  }

  BOOL Read(void* buffer, DWORD length, DWORD* read) override {
    return Transfer(connection_->in, buffer, length, read, readTimeout_);
  }

  BOOL IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) override {
    *returned = 0;
    if (code == IOCTL_GET_DEVICE_DESCRIPTOR) {
      if (out == nullptr || outLength < sizeof(DEVICE_DESCRIPTOR)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      // The language id would take a string descriptor request; nobody reads it, so it stays 0.
      DEVICE_DESCRIPTOR descriptor = {};
      descriptor.usVendorId = connection_->descriptor.idVendor;
      descriptor.usProductId = connection_->descriptor.idProduct;
      descriptor.usBcdDevice = connection_->descriptor.bcdDevice;
      std::memcpy(out, &descriptor, sizeof(descriptor));
      *returned = sizeof(descriptor);
      return TRUE;
    }
    if (code == IOCTL_SET_TIMEOUT) {
      if (in == nullptr || inLength < sizeof(USBSCAN_TIMEOUT)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      USBSCAN_TIMEOUT timeout = {};
      std::memcpy(&timeout, in, sizeof(timeout));
      readTimeout_ = SecondsToMilliseconds(timeout.TimeoutRead);
      writeTimeout_ = SecondsToMilliseconds(timeout.TimeoutWrite);
      return TRUE;
    }
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }

  // Transfers run to their end on the caller's thread, so nothing is ever left pending to cancel.
  // A stop from another thread or a signal handler is StopUsbTransfers.
  BOOL Cancel() override { return TRUE; }

 private:
  BOOL Transfer(uint8_t endpoint, void* buffer, DWORD length, DWORD* moved, unsigned timeout) {
    *moved = 0;
    if (length > INT_MAX || (buffer == nullptr && length > 0)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    int actual = 0;
    const int result = BulkTransfer(connection_->context, connection_->handle, endpoint,
                                    static_cast<unsigned char*>(buffer), static_cast<int>(length), &actual, timeout);
    *moved = static_cast<DWORD>(actual);
    const DWORD error = result == LIBUSB_SUCCESS ? ERROR_SUCCESS : WindowsError(result);
    CaptureTransfer((endpoint & LIBUSB_ENDPOINT_IN) != 0, static_cast<const uint8_t*>(buffer), length, *moved, result,
                    error);
    if (result == LIBUSB_SUCCESS) {
      return TRUE;
    }
    if (result == LIBUSB_ERROR_PIPE) {
      libusb_clear_halt(connection_->handle, endpoint);
    }
    SetLastError(error);
    return FALSE;
  }

  DeviceRef device_;
  std::shared_ptr<Connection> connection_;
  // Set by IOCTL_SET_TIMEOUT, perhaps while another thread transfers.
  std::atomic<unsigned> readTimeout_;
  std::atomic<unsigned> writeTimeout_;
};

BOOL WINAPI PortAcquire(DWORD /*mode*/) {
  UsbState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<DeviceRef> scanners = PresentScanners(state);
  size_t busy = 0;
  for (const DeviceRef& scanner : scanners) {
    DWORD error = ERROR_SUCCESS;
    if (std::shared_ptr<Connection> connection = Connect(state, scanner, &error)) {
      state.arbitrated.push_back(std::move(connection));
    } else if (error == ERROR_SHARING_VIOLATION) {
      ++busy;
    }
  }
  return scanners.empty() || busy < scanners.size() ? TRUE : FALSE;
}

BOOL WINAPI PortRelease(DWORD /*mode*/) {
  std::vector<std::shared_ptr<Connection>> released;
  UsbState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  released.swap(state.arbitrated);
  return TRUE;
}

}  // namespace

std::shared_ptr<DeviceObject> FindUsbscan(const std::string& name) {
  int number = 0;
  if (!UsbscanNumber(name, &number)) {
    return nullptr;
  }
  UsbState& state = State();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (Ids(state).empty()) {
      return nullptr;
    }
  }
  size_t index = 0;
  for (int n = 0; n < number; ++n) {
    index += DevicePlugged(UsbscanName(n)) ? 0 : 1;
  }
  std::lock_guard<std::mutex> lock(state.mutex);
  if (number <= state.lastAsked) {
    state.found = PresentScanners(state);
  }
  state.lastAsked = number;
  if (index >= state.found.size()) {
    return nullptr;
  }
  return std::make_shared<UsbscanPort>(state.found[index], state.timeout);
}

}  // namespace detail

bool UsbRouteBuilt() {
  return true;
}

void AddUsbScannerIds(uint16_t vendorId, uint16_t productId) {
  detail::UsbState& state = detail::State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.ids.emplace_back(vendorId, productId);
  state.lastAsked = INT_MAX;
}

void ClearUsbScannerIds() {
  detail::UsbState& state = detail::State();
  std::lock_guard<std::mutex> lock(state.mutex);
  Ids(state);  // what the environment lists is cleared too
  state.ids.clear();
  state.found.clear();
  state.lastAsked = INT_MAX;
}

void SetUsbTimeout(DWORD milliseconds) {
  detail::UsbState& state = detail::State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.timeout = milliseconds;
}

void StopUsbTransfers() {
  int64_t none = 0;
  detail::g_stoppedAt.compare_exchange_strong(none, detail::NowUs());
}

void ResumeUsbTransfers() {
  detail::g_stoppedAt.store(0);
}

std::vector<UsbScanner> UsbScanners() {
  std::vector<UsbScanner> scanners;
  {
    detail::UsbState& state = detail::State();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const detail::DeviceRef& device : detail::PresentScanners(state)) {
      libusb_device_descriptor descriptor = {};
      libusb_get_device_descriptor(device.get(), &descriptor);
      UsbScanner scanner;
      scanner.vendorId = descriptor.idVendor;
      scanner.productId = descriptor.idProduct;
      scanner.bus = device.Location().first;
      scanner.address = device.Location().second;
      scanners.push_back(scanner);
    }
  }
  int number = 0;
  for (UsbScanner& scanner : scanners) {
    while (detail::DevicePlugged(detail::UsbscanName(number))) {
      ++number;
    }
    scanner.name = detail::UsbscanName(number++);
  }
  return scanners;
}

void InstallUsbPortArbitration() {
  ModuleDefinition definition;
  definition.entries["PortAcquire"] = Entry(&detail::PortAcquire);
  definition.entries["PortRelease"] = Entry(&detail::PortRelease);
  InstallModule("portarb.dll", std::move(definition));
}

}  // namespace winplat
