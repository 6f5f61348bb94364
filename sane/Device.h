// One opened scanner: the library bound and set up for it, its options, and the job under way.
//
// The scan session runs on the frontend's own thread, pulled by the entry points: sane_start reserves
// the scanner and positions a sheet (the next feeder sheet only when the frontend asks for it),
// sane_read copies the page's rows a block at a time. sane_cancel only sets the session's flag, which
// the session checks between blocks, before each sheet and inside every wait; the next entry point
// that runs ends the job.
#pragma once

#include <memory>
#include <string>

#include <sane/sane.h>

#include "Config.h"
#include "Options.h"
#include "client/DeviceControl.h"
#include "client/Exports.h"
#include "client/ScanSession.h"
#include "host/DeviceKey.h"
#include "simulator/SimulatedScanner.h"

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
  // Only sets a flag: it may be called from a signal handler or another thread while a call is under way.
  void Cancel();

 private:
  // The session's waits for a busy or warming-up scanner, as debug lines.
  struct Waits : client::ScanObserver {
    void Waiting(HRESULT result, uint32_t repeat, uint32_t repeats) override;
  };

  Device(const DeviceEntry& entry, const Config& config);
  SANE_Status OpenSession();
  client::ScanRequest RequestOf(const Settings& settings) const;
  // Ends the job when a cancel came: the scanner aborted inside a sheet and released. True when one came.
  bool TakeCancel();
  // The session has served a cancel: the platform's transfers are let through again.
  void CancelServed();
  void EndJob(const char* why);
  bool JobMatches(const Settings& settings) const;

  DeviceEntry entry_;
  Config config_;
  client::Exports exports_;
  std::unique_ptr<scansim::SimulatedScanner> simulated_;
  host::DeviceKey key_;
  client::DeviceControl control_;
  std::unique_ptr<client::ScanSession> session_;
  std::unique_ptr<Options> options_;
  Waits waits_;
  Settings job_;              // the settings of the job under way
  client::PageLayout frame_;  // the frame being read; number 0 when none
  bool frameEnded_ = false;   // its last byte has been read
};

}  // namespace wiastiio_sane
