// wiastiio.conf: which scanners the backend offers. One setting a line, '#' starts a comment:
//
//   usb VID PID               a USB scanner with these ids (hexadecimal, 0x prefix optional)
//   simulator                 offer the built-in simulated scanner as device "simulator"
//   simulator NAME VALUE      a condition the simulated scanner runs into (see SimulatorConditions)
//   retries N                 repeats of a reserve that finds the scanner busy or warming up
//   retry-delay MS            pause before each repeat
//   library PATH              the I/O handler library (default: WIASTIIO.so beside the backend)
//   capture FILE              write the USB scanner's transfers to FILE (docs/CAPTURE.md)
//   capture-images off        leave the image bytes out of that capture
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/Conditions.h"

namespace wiastiio_sane {

struct UsbId {
  uint16_t vendor = 0;
  uint16_t product = 0;
  bool operator==(const UsbId& other) const { return vendor == other.vendor && product == other.product; }
};

// What the simulated scanner runs into; the names are those of stiscan's options.
struct SimulatorConditions : scansim::ScannerConditions {
  SimulatorConditions() { feederSheets = 3; }  // sheets in the feeder when the device is opened
};

struct Config {
  std::vector<UsbId> usb;
  bool simulator = false;
  SimulatorConditions conditions;
  uint32_t retries = 10;
  uint32_t retryDelayMs = 200;
  std::string library;
  std::string capture;
  bool captureImages = true;
};

// Reads the settings from `text`; each line that is not understood is skipped and described in
// *problems ("line N: ...").
Config ParseConfig(const std::string& text, std::vector<std::string>* problems);

// The folders searched for wiastiio.conf, as SANE_CONFIG_DIR names them: a list separated by ':' that,
// when it ends with ':', goes on with the default folder; the default folder alone when it is unset.
std::vector<std::string> ConfigFolders(const char* saneConfigDir, const std::string& defaultFolder);

// The first wiastiio.conf that can be read in those folders, as the backend and stiscan both take it.
struct ConfigFile {
  std::string path;  // empty when no folder holds one
  std::vector<std::string> folders;
  Config config;
  std::vector<std::string> problems;
};
ConfigFile ReadConfigFile(const char* saneConfigDir, const std::string& defaultFolder);

// The folder SANE reads its configuration from when SANE_CONFIG_DIR does not say.
#ifndef WIASTIIO_SANE_CONFIG_DIR
#define WIASTIIO_SANE_CONFIG_DIR "/etc/sane.d"
#endif
constexpr char kDefaultConfigFolder[] = WIASTIIO_SANE_CONFIG_DIR;

}  // namespace wiastiio_sane
