#include "Simulated.h"

#include <chrono>
#include <thread>

#include "Debug.h"
#include "doubles/linux/InstallDoubles.h"
#include "platform/control.h"
#include "simulator/Wire.h"

namespace wiastiio_sane {

namespace {

// A cut-short answer brings this many bytes: half a 32-byte answer, and less than any block.
constexpr uint32_t kShortAnswerBytes = 16;

// Image blocks are the only answers longer than the 70-byte inquiry.
constexpr uint32_t kLongestCommandAnswer = 70;

}  // namespace

bool SimulatedScanner::PacedPort::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  const bool command =
      length >= scansim::kCommandSize && data[0] == scansim::kCommandEscape && data[1] == scansim::kCommandPrefix;
  if (command) {
    // What reaches the scanner, for the frontend's own tests of stops.
    Debug(kDebugLibrary, "simulator: command %02X", data[2]);
  }
  positioning_ = command && data[2] == scansim::kOpObjectPosition;
  return inner_.Write(data, length, written);
}

bool SimulatedScanner::PacedPort::Read(uint8_t* data, uint32_t length, uint32_t* read) {
  if (pauseMs_ != 0 && length > kLongestCommandAnswer) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs_));
  }
  if (positioning_ && feedPauseMs_ != 0) {
    positioning_ = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(feedPauseMs_));
  }
  return inner_.Read(data, length, read);
}

SimulatedScanner::SimulatedScanner(const SimulatorConditions& conditions)
    : simulator_(doubles::SimulatorConfig(conditions)),
      faulty_(simulator_),
      paced_(faulty_, conditions.blockPauseMs, conditions.feedPauseMs) {
  if (conditions.shortAnswer != 0) {
    faulty_.AtExchange(conditions.shortAnswer, scansim::Phase::kRead, scansim::Fault::ShortCount(kShortAnswerBytes));
  }
  monitor_.SetPort(&paced_);
  doubles::InstallDeviceMonitor(monitor_);
}

SimulatedScanner::~SimulatedScanner() {
  // The module forwards to this object's double: take it away first.
  winplat::RemoveModule("prtmon64.dll");
}

}  // namespace wiastiio_sane
