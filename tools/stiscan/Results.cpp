#include "Results.h"

#include <algorithm>

namespace stiscan {

namespace {

constexpr struct {
  client::Status status;
  ExitStatus exit;
} kExits[] = {
    {client::Status::kOk, kExitOk},           {client::Status::kCancelled, kExitCancelled},
    {client::Status::kUsage, kExitUsage},     {client::Status::kDevice, kExitDevice},
    {client::Status::kPaper, kExitPaper},     {client::Status::kIo, kExitIo},
    {client::Status::kLibrary, kExitLibrary}, {client::Status::kOutput, kExitOutput},
};

}  // namespace

ExitStatus ExitStatusOf(client::Status status) {
  for (const auto& entry : kExits) {
    if (entry.status == status) {
      return entry.exit;
    }
  }
  return kExitLibrary;
}

client::Status StatusOf(ExitStatus exitStatus) {
  for (const auto& entry : kExits) {
    if (entry.exit == exitStatus) {
      return entry.status;
    }
  }
  return client::Status::kLibrary;
}

void Narrow(uint32_t dpi, const client::DeviceReport& device, bool noScannerWithIds, client::Outcome* outcome) {
  // Where the tool knows there is no scanner, a port not granted or an inquiry that found none says so,
  // as --list does.
  const bool noAnswer = outcome->status == client::Status::kIo && outcome->step == "GET_DEVICE_INFO";
  const bool noPort = outcome->status == client::Status::kDevice && outcome->step == "Initialize";
  if (noScannerWithIds && (noAnswer || noPort)) {
    outcome->status = client::Status::kDevice;
    outcome->message = "no scanner found: none the route reaches has the ids asked for (--list shows them)";
    return;
  }
  const auto& listed = device.resolutions;
  if (outcome->status == client::Status::kUsage && outcome->step == "resolution" &&
      std::find(listed.begin(), listed.end(), static_cast<LONG>(dpi)) == listed.end()) {
    std::string offered;
    for (LONG each : listed) {
      if (client::Scannable(static_cast<uint32_t>(each))) {
        offered += (offered.empty() ? "" : ", ") + std::to_string(each);
      }
    }
    outcome->message = "--resolution " + std::to_string(dpi) + ": the scanner offers " +
                       (offered.empty() ? "no resolution" : offered + " dpi");
  }
}

}  // namespace stiscan
