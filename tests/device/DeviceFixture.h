// One handler between the platform's real models and a scanner: the registry holds the device's key,
// the module loader finds the two contention doubles, "\\.\Usbscan"N device objects can be plugged,
// and the scanner simulator (behind a fault injector) answers on both routes.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "doubles/ContentionDouble.h"
#include "doubles/linux/UsbscanDevice.h"
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/control.h"
#include "simulator/FaultyPort.h"
#include "simulator/ScannerSimulator.h"
#include "support/Harness.h"

namespace devicetest {

constexpr WORD kVid = 0x1A2B;
constexpr WORD kPid = 0x3C4D;

enum class Route { kDeviceMonitor, kDirect };

inline const char* RouteName(Route route) {
  return route == Route::kDeviceMonitor ? "device monitor" : "direct";
}

// The imaging service's log, as far as the handler can tell: every entry with its text.
struct LogEntry {
  LONG flags;
  LONG resID;
  LONG detail;
  std::string text;
};

class RecordingLog : public IWiaLog {
 public:
  std::vector<LogEntry> entries;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }
  HRESULT STDMETHODCALLTYPE InitializeLog(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE hResult(HRESULT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Log(LONG lFlags, LONG lResID, LONG lDetail, BSTR bstrText) override {
    std::string text;
    for (const OLECHAR* c = bstrText; c != nullptr && *c != 0; ++c) {
      text += static_cast<char>(*c);
    }
    entries.push_back({lFlags, lResID, lDetail, text});
    return S_OK;
  }

  // Entries other than the "entering"/"leaving" trace.
  std::vector<LogEntry> Single() const {
    std::vector<LogEntry> single;
    for (const LogEntry& entry : entries) {
      const std::string& t = entry.text;
      const bool trace = t.size() >= 10 && (t.compare(t.size() - 10, 10, ", entering") == 0 ||
                                            (t.size() >= 9 && t.compare(t.size() - 9, 9, ", leaving") == 0));
      if (!trace) {
        single.push_back(entry);
      }
    }
    return single;
  }

 private:
  ULONG references_ = 0;
};

// The service's formatter, standing in for the one of the service module.
inline BSTR __cdecl FormatArgs(LPCSTR format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  std::u16string wide(text, text + std::char_traits<char>::length(text));
  return SysAllocString(wide.c_str());
}

class DeviceFixture : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }
  void TearDown() override {
    handler_.reset();
    key_.reset();
    UnbindWiasFormatArgs();
  }

  // A process that has just started: no device objects, both doubles granting, an empty registry, a
  // scanner with nothing pending, and a new handler.
  void Fresh(bool debugOutput = true, const scansim::Config& scanner = scansim::Config()) {
    handler_.reset();
    key_.reset();
    UnbindWiasFormatArgs();
    winplat::ResetAll();
    harness::ResetDoubles();
    sim_ = std::make_unique<scansim::ScannerSimulator>(scanner);
    faults_ = std::make_unique<scansim::FaultyPort>(*sim_);
    harness::DeviceMonitor().SetPort(faults_.get());
    key_ = std::make_unique<harness::DeviceKey>();
    handler_ = std::make_unique<CSTIIOHandler>(debugOutput ? TRUE : FALSE);
    harness::ClearDebugLines();
  }

  // A scanner port at "\\.\Usbscan<n>" reporting the given ids, wired to the same scanner.
  std::shared_ptr<doubles::UsbscanDevice> Plug(int n, WORD vid = kVid, WORD pid = kPid) {
    auto device = std::make_shared<doubles::UsbscanDevice>(faults_.get(), vid, pid);
    doubles::PlugUsbscan(n, device);
    return device;
  }

  // The settings Initialize would have read, without reading them.
  void Settle(Route route, WORD vid = kVid, WORD pid = kPid) {
    handler_->m_bDeviceMonitor = route == Route::kDeviceMonitor ? TRUE : FALSE;
    handler_->m_wVid = vid;
    handler_->m_wPid = pid;
  }

  // Gives the handler a log and the service module that formats its entries.
  void AttachLog() {
    winplat::InstallModule("wiaservc.dll",
                           {{{"wiasFormatArgs", winplat::Entry(reinterpret_cast<void (*)()>(&FormatArgs))}}});
    log_.entries.clear();
    handler_->SetWiaLog(&log_);
  }

  static doubles::ContentionDouble& Module(Route route) {
    return route == Route::kDeviceMonitor ? harness::DeviceMonitor() : harness::PortArbitration();
  }
  static const char* ModuleFile(Route route) { return route == Route::kDeviceMonitor ? "prtmon64.dll" : "portarb.dll"; }

  void ForgetCalls() {
    harness::ClearDebugLines();
    harness::DeviceMonitor().ClearCalls();
    harness::PortArbitration().ClearCalls();
    winplat::ResetDeviceCalls();
    winplat::ResetModuleStatistics();
    sim_->ClearLog();
  }

  std::unique_ptr<scansim::ScannerSimulator> sim_;
  std::unique_ptr<scansim::FaultyPort> faults_;
  std::unique_ptr<harness::DeviceKey> key_;
  std::unique_ptr<CSTIIOHandler> handler_;
  RecordingLog log_;
};

}  // namespace devicetest
