// One opened scanner: the library bound and set up for it, its options, and the job under way.
//
// The scan session runs the whole job the way the minidriver does (reserve, window, then page after
// page until the feeder is empty, release) and hands the rows over as they arrive. SANE asks for a
// frame at a time instead, so the session runs on a thread of its own and the frames go through a
// bounded buffer: sane_start waits for a page to begin, sane_read takes its bytes, and after each
// feeder page the session waits until the frontend either asks for the next page (sane_start) or is
// done (sane_cancel), so that no sheet is fed that nobody wants.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sane/sane.h>

#include "Config.h"
#include "Options.h"
#include "Simulated.h"
#include "client/DeviceKey.h"
#include "client/Exports.h"
#include "client/ScanSession.h"
#include "doubles/DeviceControl.h"

namespace wiastiio_sane {

// A scanner the backend lists.
struct DeviceEntry {
  std::string name;  // "simulator" or "usb:VVVV:PPPP"
  bool simulated = false;
  UsbId id;
};

// The SANE status for an outcome of the scan session.
SANE_Status SaneStatusOf(const client::Outcome& outcome);

class Device {
 public:
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Binds the library, sets up the scanner and reads its device information.
  static SANE_Status Open(const DeviceEntry& entry, const Config& config, std::unique_ptr<Device>* device);

  const SANE_Option_Descriptor* Descriptor(SANE_Int index) const { return options_->Descriptor(index); }
  SANE_Status Control(SANE_Int index, SANE_Action action, void* value, SANE_Int* info);
  SANE_Status Parameters(SANE_Parameters* parameters);
  SANE_Status Start();
  SANE_Status Read(SANE_Byte* data, SANE_Int maxLength, SANE_Int* length);
  // Only sets flags: it may be called from a signal handler while another call is under way.
  void Cancel();

 private:
  class Job;

  Device(const DeviceEntry& entry, const Config& config);
  SANE_Status OpenSession();
  void EndJob();
  bool JobMatches(const Settings& settings) const;

  DeviceEntry entry_;
  Config config_;
  client::Exports exports_;
  std::unique_ptr<SimulatedScanner> simulated_;
  client::DeviceKey key_;
  doubles::DeviceControl control_;
  std::unique_ptr<client::ScanSession> session_;
  std::unique_ptr<Options> options_;
  std::unique_ptr<Job> job_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace wiastiio_sane
