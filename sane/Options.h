// The options a frontend sees, with SANE's well-known names and units, built from what the scanner
// reports about itself: its sources, modes, resolutions and areas.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sane/sane.h>

#include "Geometry.h"

namespace wiastiio_sane {

// What the device information tells about the choices; areas in thousandths of an inch.
struct Capabilities {
  bool flatbed = true;
  bool feeder = false;
  bool color = false;
  bool gray = false;
  bool lineart = false;
  std::vector<uint32_t> resolutions;  // the scannable ones, ascending
  long bedWidth = 0;
  long bedHeight = 0;
  long feederWidth = 0;
  long feederHeight = 0;
};

enum OptionIndex : SANE_Int {
  kOptionCount = 0,
  kOptionModeGroup,
  kOptionMode,
  kOptionSource,
  kOptionResolution,
  kOptionGeometryGroup,
  kOptionTlX,
  kOptionTlY,
  kOptionBrX,
  kOptionBrY,
  kOptionsTotal
};

// The settings of one scan, as the options hold them.
struct Settings {
  ScanMode mode = ScanMode::kColor;
  bool feeder = false;
  uint32_t dpi = 0;
  Window window;
};

class Options {
 public:
  explicit Options(const Capabilities& capabilities);
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;

  const SANE_Option_Descriptor* Descriptor(SANE_Int index) const;
  // sane_control_option's SANE_ACTION_GET_VALUE, SET_VALUE and SET_AUTO, without the check for a scan
  // under way.
  SANE_Status Control(SANE_Int index, SANE_Action action, void* value, SANE_Int* info);

  Settings Current() const { return settings_; }
  // The area of the current source, in thousandths of an inch.
  long AreaWidth() const;
  long AreaHeight() const;

 private:
  SANE_Status Set(SANE_Int index, void* value, SANE_Int* info);
  // The steps of Set: a mode or source, the resolution, a corner of the window. *changed gathers what
  // the frontend must reload.
  SANE_Status SetChoice(SANE_Int index, const char* text, SANE_Int* changed);
  SANE_Status SetResolution(SANE_Word* value, SANE_Int* changed);
  void SetGeometry(SANE_Int index, SANE_Fixed* value, SANE_Int* changed);
  // The steps of the constructor: the lists of choices, and the descriptors over them.
  void ListChoices();
  void DescribeOptions();
  // Ranges of the geometry options for the current source; values clipped into them.
  void FitGeometry();

  Capabilities capabilities_;
  SANE_Option_Descriptor descriptors_[kOptionsTotal] = {};
  std::vector<SANE_String_Const> modes_;
  std::vector<SANE_String_Const> sources_;
  std::vector<SANE_Word> resolutionList_;
  SANE_Range xRange_ = {};
  SANE_Range yRange_ = {};
  Settings settings_;
};

}  // namespace wiastiio_sane
