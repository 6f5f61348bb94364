// The WIA log as the command methods write it: the entering and leaving trace of each traced method,
// around all of its debug lines, and one success entry where the scanner accepted the command. The
// imaging service's formatter and log cannot run here, so the test stands in for both.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "handler/CallTrace.h"
#include "protocol/ProtocolFixture.h"

namespace protocoltest {
namespace {

using scansim::Fault;
using scansim::Phase;

BSTR __cdecl FormatArgs(LPCSTR format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  std::u16string wide(text, text + std::char_traits<char>::length(text));
  return SysAllocString(wide.c_str());
}

struct Entry {
  LONG flags;
  LONG resID;
  LONG detail;
  std::string text;
  size_t debugLinesBefore;  // debugger strings already written when the entry came
};

class RecordingLog : public IWiaLog {
 public:
  std::vector<Entry> entries;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE InitializeLog(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE hResult(HRESULT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Log(LONG lFlags, LONG lResID, LONG lDetail, BSTR bstrText) override {
    std::string text;
    for (const OLECHAR* c = bstrText; c != nullptr && *c != 0; ++c) {
      text += static_cast<char>(*c);
    }
    entries.push_back({lFlags, lResID, lDetail, text, harness::DebugLines().size()});
    return S_OK;
  }

  ULONG references = 0;
};

class LogTest : public ProtocolFixture {
 protected:
  void SetUp() override {
    ProtocolFixture::SetUp();
    UnbindWiasFormatArgs();  // a formatter bound by an earlier test belongs to a module gone by now
    winplat::InstallModule("wiaservc.dll",
                           {{{"wiasFormatArgs", winplat::Entry(reinterpret_cast<void (*)()>(&FormatArgs))}}});
    log_.entries.clear();
    handler_->SetWiaLog(&log_);
  }
  void TearDown() override {
    ProtocolFixture::TearDown();
    UnbindWiasFormatArgs();
  }

  RecordingLog log_;
};

enum class Method { kReserve, kRelease, kAbort, kObjectPosition, kRead, kReadImage };

TEST_F(LogTest, TracedCommandsAndTheirSuccessEntries) {
  struct Case {
    Method method;
    const char* name;
    bool lineOnEntry;  // the method writes a debug line before its trace opens
    bool spoil;
    Phase phase;
    Fault fault;
    const char* success;  // the single entry between entering and leaving, or null
  };
  const Fault good = Fault::ReplaceStatus(0x00);
  const Case cases[] = {
      {Method::kReserve, "CallReserveUnit", true, true, Phase::kRead, good, "locking success."},
      {Method::kReserve, "CallReserveUnit", true, true, Phase::kRead, Fault::ReplaceStatus(0x08), nullptr},
      {Method::kReserve, "CallReserveUnit", true, true, Phase::kWrite, Fault::FailZeroCount(), nullptr},
      {Method::kRelease, "CallReleaseUnit", true, true, Phase::kRead, good, "locking success."},
      {Method::kRelease, "CallReleaseUnit", true, true, Phase::kRead, Fault::ReplaceStatus(0x02), nullptr},
      {Method::kObjectPosition, "CallObjectPosition", false, true, Phase::kRead, good, "locking success."},
      {Method::kObjectPosition, "CallObjectPosition", false, true, Phase::kRead, Fault::ReplaceStatus(0x02, 0x1000),
       nullptr},
      {Method::kAbort, "CallAbort", true, true, Phase::kRead, good, "aborting success."},
      {Method::kAbort, "CallAbort", true, true, Phase::kRead, Fault::ReplaceStatus(0x08), nullptr},
      {Method::kAbort, "CallAbort", true, true, Phase::kWrite, Fault::FailFullCount(), nullptr},
      {Method::kRead, "CallRead", false, true, Phase::kRead, good, nullptr},
      {Method::kReadImage, "CallReadImage", true, false, Phase::kRead, good, nullptr},  // nothing announced
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.name << " fault " << static_cast<int>(c.fault.kind) << " status "
                                      << int{c.fault.status});
    SetUp();
    TakePort(Route::kDeviceMonitor);
    log_.entries.clear();
    if (c.spoil) {
      SpoilNext(c.phase, c.fault);
    }
    uint8_t record[32] = {};
    DWORD count = 0;
    switch (c.method) {
      case Method::kReserve:
        handler_->CallReserveUnit();
        break;
      case Method::kRelease:
        handler_->CallReleaseUnit();
        break;
      case Method::kAbort:
        handler_->CallAbort();
        break;
      case Method::kObjectPosition:
        handler_->CallObjectPosition();
        break;
      case Method::kRead:
        handler_->CallRead(record);
        break;
      case Method::kReadImage:
        handler_->CallReadImage(record, &count);
        break;
    }

    const std::string trace = std::string("CSTIIOHandler::") + c.name;
    const auto& entries = log_.entries;
    ASSERT_EQ(entries.size(), c.success != nullptr ? 3u : 2u);
    EXPECT_EQ(entries.front().text, trace + ", entering");
    EXPECT_EQ(entries.back().text, trace + ", leaving");
    for (const Entry& e : {entries.front(), entries.back()}) {
      EXPECT_EQ(e.flags, WIALOG_TRACE);
      EXPECT_EQ(e.resID, 0);
      EXPECT_EQ(e.detail, 3);
    }
    EXPECT_EQ(entries.front().debugLinesBefore, c.lineOnEntry ? 1u : 0u);
    EXPECT_EQ(entries.back().debugLinesBefore, harness::DebugLines().size()) << "leaving comes last";
    if (c.success != nullptr) {
      EXPECT_EQ(entries[1].text, c.success);
      EXPECT_EQ(entries[1].flags, WIALOG_TRACE);
      EXPECT_EQ(entries[1].resID, 0);
      EXPECT_EQ(entries[1].detail, 2);
    }
    TearDown();
  }
}

TEST_F(LogTest, DiagnosticIsTracedAndGetStatusIsNot) {
  handler_->m_bDeviceMonitor = TRUE;
  STI_DEVICE_STATUS status = {};
  status.StatusMask = STI_DEVSTATUS_ONLINE_STATE;
  ASSERT_EQ(handler_->GetStatus(&status), S_OK);
  EXPECT_TRUE(log_.entries.empty());

  STI_DIAG diag = {};
  for (STI_DIAG* argument : {&diag, static_cast<STI_DIAG*>(nullptr)}) {
    log_.entries.clear();
    handler_->Diagnostic(argument);
    ASSERT_EQ(log_.entries.size(), 2u);
    EXPECT_EQ(log_.entries.front().text, "CSTIIOHandler::Diagnostic, entering");
    EXPECT_EQ(log_.entries.back().text, "CSTIIOHandler::Diagnostic, leaving");
  }
}

}  // namespace
}  // namespace protocoltest
