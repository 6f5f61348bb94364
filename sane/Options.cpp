#include "Options.h"

#include <sane/saneopts.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace wiastiio_sane {

namespace {

const char kSourceFlatbed[] = "Flatbed";
const char kSourceFeeder[] = "ADF";

const char* ModeValue(ScanMode mode) {
  switch (mode) {
    case ScanMode::kGray:
      return SANE_VALUE_SCAN_MODE_GRAY;
    case ScanMode::kLineart:
      return SANE_VALUE_SCAN_MODE_LINEART;
    case ScanMode::kColor:
      break;
  }
  return SANE_VALUE_SCAN_MODE_COLOR;
}

size_t LongestString(const std::vector<SANE_String_Const>& list) {
  size_t longest = 0;
  for (SANE_String_Const text : list) {
    if (text != nullptr) {
      longest = std::max(longest, std::strlen(text) + 1);
    }
  }
  return longest;
}

// The entry of a null-terminated list that `text` names, without regard to case; null when none.
SANE_String_Const Find(const std::vector<SANE_String_Const>& list, const char* text) {
  for (SANE_String_Const entry : list) {
    if (entry != nullptr && strcasecmp(entry, text) == 0) {
      return entry;
    }
  }
  return nullptr;
}

}  // namespace

Options::Options(const Capabilities& capabilities) : capabilities_(capabilities) {
  ListChoices();
  settings_.mode = strcmp(modes_[0], SANE_VALUE_SCAN_MODE_GRAY) == 0      ? ScanMode::kGray
                   : strcmp(modes_[0], SANE_VALUE_SCAN_MODE_LINEART) == 0 ? ScanMode::kLineart
                                                                          : ScanMode::kColor;
  settings_.feeder = !capabilities_.flatbed && capabilities_.feeder;
  const auto& dpis = capabilities_.resolutions;
  settings_.dpi = std::find(dpis.begin(), dpis.end(), 150u) != dpis.end() ? 150 : dpis.empty() ? 0 : dpis.front();
  DescribeOptions();
  FitGeometry();
  settings_.window.brX = xRange_.max;
  settings_.window.brY = yRange_.max;
}

// The choices the scanner offers: modes, sources and resolutions, as SANE lists.
void Options::ListChoices() {
  if (capabilities_.color) {
    modes_.push_back(SANE_VALUE_SCAN_MODE_COLOR);
  }
  if (capabilities_.gray) {
    modes_.push_back(SANE_VALUE_SCAN_MODE_GRAY);
  }
  if (capabilities_.lineart) {
    modes_.push_back(SANE_VALUE_SCAN_MODE_LINEART);
  }
  if (modes_.empty()) {
    modes_.push_back(SANE_VALUE_SCAN_MODE_COLOR);  // a scanner that names no mode still scans colour
  }
  modes_.push_back(nullptr);
  if (capabilities_.flatbed) {
    sources_.push_back(kSourceFlatbed);
  }
  if (capabilities_.feeder) {
    sources_.push_back(kSourceFeeder);
  }
  sources_.push_back(nullptr);
  resolutionList_.push_back(static_cast<SANE_Word>(capabilities_.resolutions.size()));
  for (uint32_t dpi : capabilities_.resolutions) {
    resolutionList_.push_back(static_cast<SANE_Word>(dpi));
  }
}

// The option descriptors, pointing at the lists and the geometry ranges.
void Options::DescribeOptions() {
  SANE_Option_Descriptor* d = descriptors_;
  d[kOptionCount] = {SANE_NAME_NUM_OPTIONS, SANE_TITLE_NUM_OPTIONS, SANE_DESC_NUM_OPTIONS,
                     SANE_TYPE_INT,         SANE_UNIT_NONE,         sizeof(SANE_Word),
                     SANE_CAP_SOFT_DETECT,  SANE_CONSTRAINT_NONE,   {nullptr}};
  d[kOptionModeGroup] = {"", SANE_I18N("Scan Mode"), "",       SANE_TYPE_GROUP, SANE_UNIT_NONE, 0,
                         0,  SANE_CONSTRAINT_NONE,   {nullptr}};
  const SANE_Int settable = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  d[kOptionMode] = {SANE_NAME_SCAN_MODE,
                    SANE_TITLE_SCAN_MODE,
                    SANE_DESC_SCAN_MODE,
                    SANE_TYPE_STRING,
                    SANE_UNIT_NONE,
                    static_cast<SANE_Int>(LongestString(modes_)),
                    settable,
                    SANE_CONSTRAINT_STRING_LIST,
                    {nullptr}};
  d[kOptionMode].constraint.string_list = modes_.data();
  d[kOptionSource] = {SANE_NAME_SCAN_SOURCE,
                      SANE_TITLE_SCAN_SOURCE,
                      SANE_DESC_SCAN_SOURCE,
                      SANE_TYPE_STRING,
                      SANE_UNIT_NONE,
                      static_cast<SANE_Int>(LongestString(sources_)),
                      settable,
                      SANE_CONSTRAINT_STRING_LIST,
                      {nullptr}};
  d[kOptionSource].constraint.string_list = sources_.data();
  d[kOptionResolution] = {SANE_NAME_SCAN_RESOLUTION,
                          SANE_TITLE_SCAN_RESOLUTION,
                          SANE_DESC_SCAN_RESOLUTION,
                          SANE_TYPE_INT,
                          SANE_UNIT_DPI,
                          sizeof(SANE_Word),
                          settable,
                          SANE_CONSTRAINT_WORD_LIST,
                          {nullptr}};
  d[kOptionResolution].constraint.word_list = resolutionList_.data();
  d[kOptionGeometryGroup] = {"", SANE_I18N("Geometry"), "",       SANE_TYPE_GROUP, SANE_UNIT_NONE, 0,
                             0,  SANE_CONSTRAINT_NONE,  {nullptr}};
  const struct {
    OptionIndex index;
    const char* name;
    const char* title;
    const char* desc;
    const SANE_Range* range;
  } kGeometry[] = {
      {kOptionTlX, SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X, SANE_DESC_SCAN_TL_X, &xRange_},
      {kOptionTlY, SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y, SANE_DESC_SCAN_TL_Y, &yRange_},
      {kOptionBrX, SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X, &xRange_},
      {kOptionBrY, SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y, &yRange_},
  };
  for (const auto& g : kGeometry) {
    d[g.index] = {g.name,       g.title,           g.desc,   SANE_TYPE_FIXED,
                  SANE_UNIT_MM, sizeof(SANE_Word), settable, SANE_CONSTRAINT_RANGE,
                  {nullptr}};
    d[g.index].constraint.range = g.range;
  }
}

long Options::AreaWidth() const {
  return settings_.feeder ? capabilities_.feederWidth : capabilities_.bedWidth;
}

long Options::AreaHeight() const {
  return settings_.feeder ? capabilities_.feederHeight : capabilities_.bedHeight;
}

void Options::FitGeometry() {
  const SANE_Range x = {0, MillimetresOf(AreaWidth()), 0};
  const SANE_Range y = {0, MillimetresOf(AreaHeight()), 0};
  Window& w = settings_.window;
  // A window that reached the old area's far edge reaches the new one's.
  if (w.brX == xRange_.max) {
    w.brX = x.max;
  }
  if (w.brY == yRange_.max) {
    w.brY = y.max;
  }
  xRange_ = x;
  yRange_ = y;
  for (SANE_Fixed* value : {&w.tlX, &w.brX}) {
    *value = std::clamp(*value, x.min, x.max);
  }
  for (SANE_Fixed* value : {&w.tlY, &w.brY}) {
    *value = std::clamp(*value, y.min, y.max);
  }
}

const SANE_Option_Descriptor* Options::Descriptor(SANE_Int index) const {
  return index >= 0 && index < kOptionsTotal ? &descriptors_[index] : nullptr;
}

SANE_Status Options::Control(SANE_Int index, SANE_Action action, void* value, SANE_Int* info) {
  if (info != nullptr) {
    *info = 0;
  }
  if (index < 0 || index >= kOptionsTotal || descriptors_[index].type == SANE_TYPE_GROUP) {
    return SANE_STATUS_INVAL;
  }
  if (action == SANE_ACTION_SET_AUTO) {
    return SANE_STATUS_INVAL;  // no option has an automatic setting
  }
  if (value == nullptr) {
    return SANE_STATUS_INVAL;
  }
  if (action == SANE_ACTION_SET_VALUE) {
    if (index == kOptionCount) {
      return SANE_STATUS_INVAL;
    }
    return Set(index, value, info);
  }
  if (action != SANE_ACTION_GET_VALUE) {
    return SANE_STATUS_INVAL;
  }
  auto* word = static_cast<SANE_Word*>(value);
  const Window& w = settings_.window;
  switch (index) {
    case kOptionCount:
      *word = kOptionsTotal;
      break;
    case kOptionMode:
      std::strcpy(static_cast<char*>(value), ModeValue(settings_.mode));
      break;
    case kOptionSource:
      std::strcpy(static_cast<char*>(value), settings_.feeder ? kSourceFeeder : kSourceFlatbed);
      break;
    case kOptionResolution:
      *word = static_cast<SANE_Word>(settings_.dpi);
      break;
    case kOptionTlX:
      *word = w.tlX;
      break;
    case kOptionTlY:
      *word = w.tlY;
      break;
    case kOptionBrX:
      *word = w.brX;
      break;
    case kOptionBrY:
      *word = w.brY;
      break;
    default:
      return SANE_STATUS_INVAL;
  }
  return SANE_STATUS_GOOD;
}

SANE_Status Options::Set(SANE_Int index, void* value, SANE_Int* info) {
  SANE_Int changed = SANE_INFO_RELOAD_PARAMS;
  SANE_Status status = SANE_STATUS_GOOD;
  if (index == kOptionMode || index == kOptionSource) {
    status = SetChoice(index, static_cast<const char*>(value), &changed);
  } else if (index == kOptionResolution) {
    status = SetResolution(static_cast<SANE_Word*>(value), &changed);
  } else {
    SetGeometry(index, static_cast<SANE_Fixed*>(value), &changed);
  }
  if (status != SANE_STATUS_GOOD) {
    return status;
  }
  if (info != nullptr) {
    *info = changed;
  }
  return SANE_STATUS_GOOD;
}

SANE_Status Options::SetChoice(SANE_Int index, const char* text, SANE_Int* changed) {
  const auto& list = index == kOptionMode ? modes_ : sources_;
  SANE_String_Const entry = Find(list, text);
  if (entry == nullptr) {
    return SANE_STATUS_INVAL;
  }
  if (index == kOptionMode) {
    settings_.mode = strcmp(entry, SANE_VALUE_SCAN_MODE_GRAY) == 0      ? ScanMode::kGray
                     : strcmp(entry, SANE_VALUE_SCAN_MODE_LINEART) == 0 ? ScanMode::kLineart
                                                                        : ScanMode::kColor;
    return SANE_STATUS_GOOD;
  }
  const bool feeder = strcmp(entry, kSourceFeeder) == 0;
  if (feeder != settings_.feeder) {
    settings_.feeder = feeder;
    FitGeometry();
    *changed |= SANE_INFO_RELOAD_OPTIONS;
  }
  return SANE_STATUS_GOOD;
}

SANE_Status Options::SetResolution(SANE_Word* value, SANE_Int* changed) {
  const SANE_Word asked = *value;
  const auto& dpis = capabilities_.resolutions;
  if (dpis.empty()) {
    return SANE_STATUS_INVAL;
  }
  // The nearest resolution offered.
  uint32_t best = dpis.front();
  for (uint32_t dpi : dpis) {
    if (std::abs(static_cast<long>(dpi) - asked) < std::abs(static_cast<long>(best) - asked)) {
      best = dpi;
    }
  }
  if (static_cast<SANE_Word>(best) != asked) {
    *changed |= SANE_INFO_INEXACT;
    *value = static_cast<SANE_Word>(best);
  }
  settings_.dpi = best;
  return SANE_STATUS_GOOD;
}

void Options::SetGeometry(SANE_Int index, SANE_Fixed* value, SANE_Int* changed) {
  const SANE_Range& range = index == kOptionTlX || index == kOptionBrX ? xRange_ : yRange_;
  const SANE_Fixed asked = *value;
  const SANE_Fixed fitted = std::clamp(asked, range.min, range.max);
  if (fitted != asked) {
    *changed |= SANE_INFO_INEXACT;
    *value = fitted;
  }
  Window& w = settings_.window;
  SANE_Fixed* slots[] = {&w.tlX, &w.tlY, &w.brX, &w.brY};
  *slots[index - kOptionTlX] = fitted;
}

}  // namespace wiastiio_sane
