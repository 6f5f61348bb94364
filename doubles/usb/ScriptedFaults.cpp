// usb-scanner-sim's scripted faults through the fault injector (usb-scanner-sim/Faults.h).
#include "usb-scanner-sim/Faults.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "doubles/FaultyPort.h"
#include "platform/capture-format/CaptureFormat.h"

namespace scansim {
namespace usb {
namespace {

std::vector<std::pair<uint32_t, Fault>>& Added() {
  static std::vector<std::pair<uint32_t, Fault>> faults;
  return faults;
}

}  // namespace

bool AddFault(const char* option, uint32_t command) {
  constexpr uint32_t kShortAnswerBytes = 16;
  if (std::strcmp(option, "--short-answer") == 0) {
    Added().emplace_back(command, Fault::ShortCount(kShortAnswerBytes));
  } else if (std::strcmp(option, "--stall-answer") == 0) {
    Added().emplace_back(command, Fault::FailZeroCount(kErrorSemTimeout));
  } else if (std::strcmp(option, "--unplug-answer") == 0) {
    Added().emplace_back(command, Fault::FailZeroCount(capture::kErrorGone));
  } else {
    return false;
  }
  return true;
}

Port& WithFaults(Port& scanner) {
  static std::unique_ptr<FaultyPort> injector;
  injector = std::make_unique<FaultyPort>(scanner);
  for (const auto& fault : Added()) {
    injector->AtExchange(fault.first, Phase::kRead, fault.second);
  }
  return *injector;
}

}  // namespace usb
}  // namespace scansim
