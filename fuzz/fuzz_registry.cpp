// The device's "DeviceData" values of any type and size, then Initialize and a device-information
// inquiry. The rule: a device is used only with the ids the registry states. A "Vid" or "Pid" that
// is missing, empty, too long or of a type that cannot hold an id never reaches a device; one stated as
// a REG_DWORD (its low 16 bits, as the handler has always read it) or as REG_SZ hexadecimal text of one
// to four digits, "0x" allowed before them, reaches only the device with that id. Built for Windows
// too, where the same inputs are replayed against the DLL under Wine (its real registry, the
// device-monitor route).
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
#endif

namespace {

constexpr DWORD kTypes[6] = {REG_NONE, REG_DWORD, REG_SZ, REG_BINARY, 11 /* REG_QWORD */, REG_MULTI_SZ};

// The id a value states, or -1 when it states none.
long StatedId(DWORD type, const std::vector<uint8_t>& data, bool present) {
  if (!present) {
    return -1;
  }
  if (type == REG_DWORD && data.size() == 4) {
    return data[0] | (data[1] << 8);
  }
  if (type == REG_SZ) {
    std::string text(data.begin(), data.end());
    text = text.substr(0, text.find('\0'));
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      text = text.substr(2);
    }
    const bool hex =
        !text.empty() && text.size() <= 4 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    return hex ? std::stol(text, nullptr, 16) : -1;
  }
  return -2;  // a type the rule leaves open
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
      if (i < 2) {
        stated[i] = StatedId(kTypes[selector], bytes, selector != 0);
      }
    }
    FUZZ_CHECK(InitializeDll((flags & 2u) != 0 ? 1 : 0) == S_OK, "InitializeDll");
    if (Initialize(rig.Control(), 0, rig.Parameters()) == S_OK) {
      SCAN_DEVICE_INFO info = {};
      DWORD actual = 0;
      STIEscape(GET_DEVICE_INFO, nullptr, 0, &info, sizeof(info), &actual);
    }
    FUZZ_CHECK(TerminateDll() == S_OK, "TerminateDll");

    const bool judged = stated[0] != -2 && stated[1] != -2;
    // Through the device monitor: every DeviceOpen names the stated ids.
    for (const doubles::CallRecord& call : rig.Monitor().Calls()) {
      if (call.entry == doubles::EntryPoint::DeviceOpen && judged) {
        FUZZ_CHECK(stated[0] >= 0 && stated[1] >= 0, "a device opened without ids stated in the registry");
        FUZZ_CHECK(call.arguments[2] == static_cast<uint64_t>(stated[0]) &&
                       call.arguments[3] == static_cast<uint64_t>(stated[1]),
                   "a device opened with ids other than the registry's");
      }
    }
#if !defined(_WIN32)
    // Directly: a transfer only to the device whose descriptor bears the stated ids.
    using Operation = doubles::UsbscanDevice::Operation;
    const bool transferred = rig.Direct()->CallCount(Operation::Write) + rig.Direct()->CallCount(Operation::Read) > 0;
    // Ids stated as 0 and 0 are the installation's wildcard: any scanner port will do.
    const bool wildcard = stated[0] == 0 && stated[1] == 0;
    FUZZ_CHECK(!transferred || !judged || wildcard || (stated[0] == descriptorVid && stated[1] == descriptorPid),
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
