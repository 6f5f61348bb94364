// The device's "DeviceData" values of any type and size, then Initialize and a device-information
// inquiry. The rule: an id is the first two bytes of its value's data as the registry hands them out
// (low byte first, a byte the data lacks 0), whatever the type; a value of more than 10 bytes, or none,
// states no id. Through the device monitor, DeviceOpen gets the stated ids (0 for one not stated). On
// the direct route a device is used only when both ids are stated, and then only the device with those
// ids (0 and 0 stated: the installation's wildcard, any device). Built for Windows too, where the same
// inputs are replayed against the DLL under Wine (its real registry, the device-monitor route).
//
// Input: u8 flags (1 direct route preferred, 2 debug output), u16 descriptor vid, u16 descriptor pid
// (the direct route's device); then for "Vid", "Pid", "DeviceMonitor" each: u8 type selector (modulo
// 6: absent, REG_DWORD, REG_SZ, REG_BINARY, REG_QWORD, REG_MULTI_SZ), u8 length (modulo 16), the bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "STIEscape.h"
#include "WIASTIIO.h"
#include "doubles/Rig.h"
#include "support/ByteStream.h"
#include "support/Check.h"
#if !defined(_WIN32)
#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#include "platform/testing.h"
#endif

namespace {

constexpr DWORD kTypes[6] = {REG_NONE, REG_DWORD, REG_SZ, REG_BINARY, 11 /* REG_QWORD */, REG_MULTI_SZ};

// The id the value of that name states, as the registry hands its data out to a 10-byte buffer, or -1
// when it states none.
long StatedId(HKEY hParameters, const char* pszName) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(hParameters, "DeviceData", 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    return -1;
  }
  BYTE abData[10] = {};
  DWORD cbData = sizeof(abData);
  const LONG lResult = RegQueryValueExA(hKey, pszName, nullptr, nullptr, abData, &cbData);
  RegCloseKey(hKey);
  return lResult == ERROR_SUCCESS ? abData[0] | (abData[1] << 8) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::ByteReader in(data, size);
  const uint8_t flags = in.U8();
  [[maybe_unused]] const WORD descriptorVid = in.U16();  // no device object can be plugged on Windows
  [[maybe_unused]] const WORD descriptorPid = in.U16();
  long stated[2] = {};
  {
    doubles::Rig rig;
#if !defined(_WIN32)
    rig.Direct()->SetDescriptor(descriptorVid, descriptorPid);
#endif
    const char* const names[3] = {"Vid", "Pid", "DeviceMonitor"};
    for (int i = 0; i < 3; ++i) {
      const uint8_t selector = in.U8() % 6;
      std::vector<uint8_t> bytes = in.Bytes(in.U8() % 16);
      if (i == 2 && selector == 0) {
        rig.SetDword(names[i], (flags & 1u) != 0 ? 0 : 1);
      } else if (selector != 0) {
        rig.SetValue(names[i], kTypes[selector], bytes.data(), static_cast<DWORD>(bytes.size()));
      }
    }
    for (int i = 0; i < 2; ++i) {
      stated[i] = StatedId(rig.Parameters(), names[i]);
    }
    FUZZ_CHECK(InitializeDll((flags & 2u) != 0 ? 1 : 0) == S_OK, "InitializeDll");
    if (Initialize(rig.Control(), 0, rig.Parameters()) == S_OK) {
      SCAN_DEVICE_INFO info = {};
      DWORD actual = 0;
      STIEscape(GET_DEVICE_INFO, nullptr, 0, &info, sizeof(info), &actual);
    }
    FUZZ_CHECK(TerminateDll() == S_OK, "TerminateDll");

    // Through the device monitor: every DeviceOpen names the stated ids, 0 for one not stated.
    for (const doubles::CallRecord& call : rig.Monitor().Calls()) {
      if (call.entry == doubles::EntryPoint::DeviceOpen) {
        FUZZ_CHECK(call.arguments[2] == static_cast<uint64_t>(stated[0] < 0 ? 0 : stated[0]) &&
                       call.arguments[3] == static_cast<uint64_t>(stated[1] < 0 ? 0 : stated[1]),
                   "a device opened with ids other than the registry's");
      }
    }
#if !defined(_WIN32)
    // Directly: a transfer only to the device whose descriptor bears the stated ids.
    using Operation = doubles::UsbscanDevice::Operation;
    const bool transferred = rig.Direct()->CallCount(Operation::Write) + rig.Direct()->CallCount(Operation::Read) > 0;
    // Ids stated as 0 and 0 are the installation's wildcard: any scanner port will do.
    const bool wildcard = stated[0] == 0 && stated[1] == 0;
    FUZZ_CHECK(!transferred || (stated[0] >= 0 && stated[1] >= 0 &&
                                (wildcard || (stated[0] == descriptorVid && stated[1] == descriptorPid))),
               "a transfer to a device whose ids the registry does not state");
#endif
    const std::vector<std::string> violations = rig.Violations();
    FUZZ_CHECK(violations.empty(), violations.front().c_str());
  }
#if !defined(_WIN32)
  winplat::ResetAll();
#endif
  return 0;
}
