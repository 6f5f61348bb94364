#include "InfoTable.h"

#include "client/ScanSession.h"

#include <string>

namespace stiscan {

namespace {

// A text field that fills its array has no terminator.
std::string Text(const char* field, size_t size) {
  size_t length = 0;
  while (length < size && field[length] != '\0') {
    ++length;
  }
  return std::string(field, length);
}

std::string Wide(const WCHAR* text, size_t size) {
  std::string narrow;
  for (size_t i = 0; i < size && text[i] != 0; ++i) {
    narrow += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  }
  return narrow;
}

std::string Length(LONG thousandths) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f in (%.1f mm)", thousandths / 1000.0, thousandths * 0.0254);
  return text;
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string ScannerType(DWORD type) {
  return Hex(type) + (type == SCANNER_TYPE_FLATBED_ONLY ? " (flatbed only)" : " (flatbed and document feeder)");
}

// The record's feeder status is the scanner's document status recoded: 2 for its 1, 3 for its 2, 0 for
// any other value.
std::string FeederStatus(DWORD status) {
  const char* from = status == 2   ? " (the scanner's document status 1)"
                     : status == 3 ? " (the scanner's document status 2)"
                                   : " (the scanner's document status was neither 1 nor 2)";
  return std::to_string(status) + (status == 0 || status == 2 || status == 3 ? from : "");
}

std::string Composition(DWORD composition) {
  static constexpr struct {
    DWORD bit;
    const char* name;
  } kModes[] = {
      {IMAGE_COMPOSITION_COLOUR, "colour"}, {IMAGE_COMPOSITION_GREY, "grey"}, {IMAGE_COMPOSITION_BLACK_WHITE, "bw"}};
  std::string modes;
  for (const auto& mode : kModes) {
    if ((composition & mode.bit) != 0) {
      modes += std::string(modes.empty() ? "" : ", ") + mode.name;
    }
  }
  return Hex(composition) + " (" + (modes.empty() ? "none" : modes) + ")";
}

}  // namespace

void PrintDeviceInfo(std::FILE* out, const DeviceReport& device) {
  const SCAN_DEVICE_INFO& info = device.info;
  std::string resolutions;
  std::string refused;
  for (LONG dpi : device.resolutions) {
    std::string& list = client::Scannable(static_cast<uint32_t>(dpi)) ? resolutions : refused;
    list += (list.empty() ? "" : ", ") + std::to_string(dpi);
  }
  if (!refused.empty()) {
    resolutions += (resolutions.empty() ? "" : " ") + std::string("(") + refused + " listed, not scannable)";
  }
  const std::pair<const char*, std::string> rows[] = {
      {"Vendor", Text(info.szVendorID, sizeof info.szVendorID)},
      {"Product", Text(info.szProductID, sizeof info.szProductID)},
      {"Firmware version", Wide(info.wszFirmwareVersion, 28)},
      {"Resolutions (dpi)", resolutions.empty() ? "none" : resolutions},
      {"Scanner type", ScannerType(info.dwScannerType)},
      {"Image composition", Composition(info.dwImageComposition)},
      {"Compression type", std::to_string(info.dwCompressionType)},
      {"Feeder status", FeederStatus(info.dwDocFeederStatus)},
      {"Bed width", Length(info.dwScanBedWidth)},
      {"Bed height", Length(info.dwScanBedHeight)},
      {"Feeder width", Length(info.dwDocFeederWidth)},
      {"Feeder length", Length(info.dwDocFeederHeight)},
      {"RGB order", Hex(info.dwRGBOrder)},
      {"Maximum scan time", std::to_string(info.dwMaxScanTime) + " ms"},
      {"Capabilities", device.capabilitiesKnown ? "version " + std::to_string(device.capabilities.dwVersion) +
                                                      ", generic " + Hex(device.capabilities.dwGenericCaps)
                                                : "not reported"},
      {"Online state",
       device.statusResult == S_OK
           ? Hex(device.onlineState) +
                 ((device.onlineState & STI_ONLINESTATE_OPERATIONAL) != 0 ? " (operational)" : " (offline)")
           : "not reported"},
  };
  for (const auto& row : rows) {
    std::fprintf(out, "%-20s %s\n", row.first, row.second.c_str());
  }
}

}  // namespace stiscan
