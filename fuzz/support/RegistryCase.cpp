#include "support/RegistryCase.h"

#include <cctype>
#include <map>
#include <memory>

#include "WIASTIIO.h"
#include "doubles/linux/UsbscanDevice.h"
#include "handler/STIIOHandler.h"
#include "platform/control.h"
#include "support/Platform.h"

namespace fuzzing {

namespace {

const char* const kNames[3] = {"Vid", "Pid", "DeviceMonitor"};

// The handler reads every setting into a buffer of this many bytes; more data makes it unreadable.
constexpr size_t kReadable = 10;

std::string Fold(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return folded;
}

// The name with the case of letter i turned over when bit (i modulo 6) of `flips` is set.
std::string Spell(const char* name, uint8_t flips) {
  std::string spelled = name;
  for (size_t i = 0; i < spelled.size(); ++i) {
    if ((flips >> (i % 6)) & 1u) {
      const auto c = static_cast<unsigned char>(spelled[i]);
      spelled[i] = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
    }
  }
  return spelled;
}

}  // namespace

void RegistryCase::Encode(ByteWriter& out) const {
  out.U8(static_cast<uint8_t>((noDeviceData ? 1u : 0u) | (debug ? 2u : 0u) | (presetMonitor ? 4u : 0u) |
                              (port ? 8u : 0u) | (portFailsOpen ? 16u : 0u) | (portFailsDescriptor ? 32u : 0u)));
  out.U16(presetVid);
  out.U16(presetPid);
  out.U16(descriptorVid);
  out.U16(descriptorPid);
  out.U8(static_cast<uint8_t>(values.size()));
  for (const RegistryValue& value : values) {
    uint8_t selector = 3;
    for (uint8_t i = 0; i < 3; ++i) {
      if (value.name == kNames[i]) {
        selector = i;
      }
    }
    out.U8(selector);
    if (selector == 3) {
      out.U8(static_cast<uint8_t>(value.name.size()));
      out.Bytes(reinterpret_cast<const uint8_t*>(value.name.data()), value.name.size());
    }
    out.U32(value.type);
    out.U16(static_cast<uint16_t>(value.data.size()));
    out.U8(static_cast<uint8_t>(value.data.size()));
    out.Bytes(value.data);
  }
}

RegistryCase RegistryCase::Decode(ByteReader& in) {
  RegistryCase c;
  const uint8_t flags = in.U8();
  c.noDeviceData = (flags & 1u) != 0;
  c.debug = (flags & 2u) != 0;
  c.presetMonitor = (flags & 4u) != 0;
  c.port = (flags & 8u) != 0;
  c.portFailsOpen = (flags & 16u) != 0;
  c.portFailsDescriptor = (flags & 32u) != 0;
  c.presetVid = in.U16();
  c.presetPid = in.U16();
  c.descriptorVid = in.U16();
  c.descriptorPid = in.U16();
  const uint8_t count = static_cast<uint8_t>(in.U8() % 16u);
  for (uint8_t n = 0; n < count; ++n) {
    RegistryValue value;
    const uint8_t selector = in.U8();
    if ((selector & 3u) < 3) {
      value.name = Spell(kNames[selector & 3u], static_cast<uint8_t>(selector >> 2));
    } else {
      for (uint8_t byte : in.Bytes(in.U8() % 16u)) {
        value.name += static_cast<char>(byte == 0 ? '_' : byte);  // a value name ends at its first zero
      }
    }
    value.type = in.U32();
    const size_t length = in.U16() % 1024u;
    std::vector<uint8_t> pattern = in.Bytes(in.U8());
    if (pattern.empty()) {
      pattern.push_back(0);
    }
    value.data.resize(length);
    for (size_t i = 0; i < length; ++i) {
      value.data[i] = pattern[i % pattern.size()];
    }
    c.values.push_back(std::move(value));
  }
  return c;
}

void RegistryCase::Run() const {
  FreshPlatform();
  std::shared_ptr<doubles::UsbscanDevice> device;
  if (port) {
    device = std::make_shared<doubles::UsbscanDevice>(nullptr, descriptorVid, descriptorPid);
    device->FailOpen(portFailsOpen);
    device->FailDescriptor(portFailsDescriptor);
    doubles::PlugUsbscan(0, device);
  }

  // What the key holds in the end, by name as the registry compares names.
  std::map<std::string, const RegistryValue*> stored;
  auto key = std::make_unique<DeviceKey>(!noDeviceData);
  for (const RegistryValue& value : values) {
    key->Set(value.name, value.type, value.data);
    stored[Fold(value.name)] = &value;
  }

  FUZZ_CHECK(InitializeDll(debug ? 1 : 0) == S_OK && g_pSTIIOHandler != nullptr, "InitializeDll");
  CSTIIOHandler& h = *g_pSTIIOHandler;
  h.m_wVid = presetVid;
  h.m_wPid = presetPid;
  h.m_bDeviceMonitor = presetMonitor ? TRUE : FALSE;

  DeviceControl control;
  FUZZ_CHECK(Initialize(&control, 0, key->Parameters()) == S_OK, "Initialize: a granted port must succeed");

  // A value is used when it reads into the handler's buffer; a missing id byte counts as 0.
  auto readable = [&](const char* name) -> const RegistryValue* {
    if (noDeviceData) {
      return nullptr;
    }
    auto it = stored.find(Fold(name));
    return it != stored.end() && it->second->data.size() <= kReadable ? it->second : nullptr;
  };
  auto id = [&](const char* name, uint16_t preset) -> uint16_t {
    const RegistryValue* value = readable(name);
    if (value == nullptr) {
      return preset;
    }
    const uint8_t low = value->data.size() > 0 ? value->data[0] : 0;
    const uint8_t high = value->data.size() > 1 ? value->data[1] : 0;
    return static_cast<uint16_t>(low | (high << 8));
  };
  const uint16_t vid = id("Vid", presetVid);
  const uint16_t pid = id("Pid", presetPid);
  bool monitor = presetMonitor;
  if (const RegistryValue* value = readable("DeviceMonitor")) {
    // No data leaves the preset first byte, which names the device monitor.
    monitor = value->data.empty() || value->data[0] != 0;
  }
  FUZZ_CHECK(h.m_wVid == vid, "Vid not taken from the first two bytes");
  FUZZ_CHECK(h.m_wPid == pid, "Pid not taken from the first two bytes");
  FUZZ_CHECK(h.m_bDeviceMonitor == (monitor ? TRUE : FALSE), "DeviceMonitor not taken from the first byte");

  // The probe cycle ran on the route and with the ids the values name.
  const winplat::ModuleCounts monitorModule = winplat::ModuleStatistics("prtmon64.dll");
  const winplat::ModuleCounts arbitrationModule = winplat::ModuleStatistics("portarb.dll");
  FUZZ_CHECK(monitorModule.loads == (monitor ? 1u : 0u) && arbitrationModule.loads == (monitor ? 0u : 1u),
             "the probe loaded the other route's module");
  FUZZ_CHECK(monitorModule.references == 0 && arbitrationModule.references == 0, "the probe kept its module");
  if (monitor) {
    bool opened = false;
    for (const doubles::CallRecord& call : DeviceMonitor().Calls()) {
      if (call.entry == doubles::EntryPoint::DeviceOpen) {
        FUZZ_CHECK(!opened && call.arguments[0] == 3 && call.arguments[1] == 3 && call.arguments[2] == vid &&
                       call.arguments[3] == pid && call.arguments[4] == 0,
                   "DeviceOpen without the registry's ids");
        opened = true;
      }
    }
    FUZZ_CHECK(opened, "the device monitor was not asked to open the port");
    FUZZ_CHECK(winplat::OpenHandles().devices == 0, "a port opened directly on the device-monitor route");
  } else {
    const bool anyPort = vid == 0 && pid == 0;
    const bool matches =
        port && !portFailsOpen && (anyPort || (!portFailsDescriptor && descriptorVid == vid && descriptorPid == pid));
    FUZZ_CHECK(winplat::OpenHandles().devices == (matches ? 1u : 0u), "the direct port kept against its ids");
    FUZZ_CHECK(matches ? h.m_hDevice != nullptr && h.m_hDevice != INVALID_HANDLE_VALUE && h.m_bPortOpened
                       : h.m_hDevice == INVALID_HANDLE_VALUE,
               "the direct port's handle");
  }

  FUZZ_CHECK(TerminateDll() == S_OK, "TerminateDll");
  key.reset();
  CheckNothingHeld();
  ClearPlatform();
}

}  // namespace fuzzing
