// The direct route over USB: the library's exports, the platform's libusb port and arbitration
// module, the real libusb, and the scanner simulator answering the usbdevfs ioctls of a umockdev
// test bed. Run under umockdev-wrapper; without it every test skips.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "STIEscape.h"
#include "WIASTIIO.h"
#include "client/ScanSession.h"
#include "doubles/linux/UsbscanDevice.h"
#include "platform/control.h"
#include "platform/testing.h"
#include "platform/usb.h"
#include "simulator/Render.h"
#include "simulator/ScannerModel.h"
#include "support/Harness.h"
#include "support/Transcript.h"
#include "usb-scanner-sim/UsbTestBed.h"

namespace {

constexpr WORD kVid = 0x1A2B;
constexpr WORD kPid = 0x3C4D;
using Clock = std::chrono::steady_clock;

constexpr char kUsbscan0[] = "\\\\.\\Usbscan0";

// Small pages in small blocks, so that one job has many transfers and runs fast: 64 x 30 grey pixels
// at 300 dpi, 12 rows per block, so three blocks (12, 12 and 6 rows) per sheet.
constexpr uint32_t kSheets = 2;

const scansim::Config kConfig{.identity = {}, .feeder_sheets = kSheets, .block_bytes = 64 * 12, .script = {}};

// A whole feeder job as a minidriver runs it through the exports: device information, reserve, scan
// window, then object position and read / read-image pairs for every sheet until the feeder is empty,
// and the release. The minidriver stops at the first result it cannot go on with; every escape is
// recorded with its result.
struct Step {
  DWORD code = 0;
  HRESULT hr = S_OK;
};

struct JobRecord {
  std::vector<Step> steps;
  bool completed = false;  // the release at the end went through
  size_t pagesRight = 0;   // pages whose data is exactly what the scanner rendered
  size_t pagesWrong = 0;
};

// The window is `width` x `height` grey pixels at 300 dpi. `sheetPage`, for a scanner that answers
// from another process, is the page it renders for the n-th sheet (1, 2, ...); none: its last page.
JobRecord RunJob(const harness::Library& library, const scansim::ScannerModel& scanner, DWORD width = 64,
                 DWORD height = 30, const std::function<scansim::PageRequest(uint32_t sheet)>& sheetPage = nullptr) {
  JobRecord record;
  auto escape = [&](DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* actual) {
    const HRESULT hr = library.STIEscape(code, in, inSize, out, outSize, actual);
    record.steps.push_back({code, hr});
    return hr;
  };

  SCAN_DEVICE_INFO info = {};
  SWP_PARAMETER window = client::WindowRecord(width, height, 5, client::Mode::kGrey, true);
  if (escape(GET_DEVICE_INFO, nullptr, 0, &info, sizeof(info), nullptr) != S_OK ||
      escape(ESC_RESERVE_UNIT, nullptr, 0, nullptr, 0, nullptr) != S_OK ||
      escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window), nullptr, 0, nullptr) != S_OK) {
    return record;
  }
  for (;;) {
    HRESULT hr = escape(ESC_OBJECT_POSITION, nullptr, 0, nullptr, 0, nullptr);
    if (hr == ADF_NO_DOCUMENT) {
      break;
    }
    if (hr != S_OK) {
      return record;
    }
    std::vector<uint8_t> page;
    for (;;) {
      READ_RESPONSE read = {};
      hr = escape(ESC_READ, nullptr, 0, &read, sizeof(read), nullptr);
      if (hr != S_OK && hr != PAGE_END) {
        return record;
      }
      // The record says how large a buffer the block needs: its size less the 16-byte trailer.
      const DWORD room = read.dwDataSize > IMAGE_TRAILER_SIZE ? read.dwDataSize - IMAGE_TRAILER_SIZE : 0;
      std::vector<uint8_t> block(std::max<DWORD>(room, 1));
      DWORD actual = 0;
      if (escape(ESC_READ_IMAGE, nullptr, 0, block.data(), room, &actual) != S_OK) {
        return record;
      }
      page.insert(page.end(), block.begin(), block.begin() + std::min<DWORD>(actual, room));
      if (hr == PAGE_END) {
        break;
      }
    }
    const auto sheet = static_cast<uint32_t>(record.pagesRight + record.pagesWrong + 1);
    const std::optional<scansim::PageRequest> rendered = sheetPage ? sheetPage(sheet) : scanner.LastPage();
    ++(rendered && page == scansim::RenderPage(*rendered) ? record.pagesRight : record.pagesWrong);
  }
  record.completed = escape(ESC_RELEASE_UNIT, nullptr, 0, nullptr, 0, nullptr) == S_OK;
  return record;
}

// How many milliseconds one second of a transfer's timeout lasts in this program (see below).
std::atomic<unsigned> g_secondLength{1000};

// One bed for the whole program: libusb keeps watching the folder it first found.
scansim::usb::TestBed& Bed() {
  static scansim::usb::TestBed bed;
  return bed;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class UsbRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Bed().Emulating()) {
      GTEST_SKIP() << "no umockdev test bed: run under umockdev-wrapper";
    }
    winplat::ResetAll();
    winplat::ClearUsbScannerIds();
    winplat::AddUsbScannerIds(kVid, kPid);
    winplat::SetUsbTimeout(500);
    winplat::ResumeUsbTransfers();
    g_secondLength = 1000;
    winplat::InstallUsbPortArbitration();
    key_ = std::make_unique<harness::DeviceKey>();
    key_->SetIds(kVid, kPid, false);
  }

  void TearDown() override {
    if (Lib().TerminateDll != nullptr) {
      Lib().TerminateDll();
    }
    for (int device : plugged_) {
      Bed().Unplug(device);
    }
    WaitForScanners(0);
    EXPECT_EQ(winplat::OpenHandles().devices, 0u);
    key_.reset();
    winplat::ResetAll();
  }

  static const harness::Library& Lib() { return harness::TheLibrary(); }

  // libusb learns of arrivals and removals from its hotplug thread, a moment later.
  static void WaitForScanners(size_t count) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (winplat::UsbScanners().size() != count && Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(winplat::UsbScanners().size(), count);
  }

  int Plug(WORD vid = kVid, WORD pid = kPid, size_t listed = 1) {
    const int device = Bed().Plug(&sim_, vid, pid);
    plugged_.push_back(device);
    WaitForScanners(listed);
    return device;
  }

  HRESULT DeviceInfo() {
    SCAN_DEVICE_INFO info = {};
    return Lib().Escape(GET_DEVICE_INFO, nullptr, 0, &info, sizeof(info));
  }

  HRESULT Initialize() {
    EXPECT_EQ(Lib().InitializeDll(1), S_OK);
    return Lib().Initialize(&control_, 0, key_->Parameters());
  }

  scansim::ScannerModel sim_{kConfig};
  std::unique_ptr<harness::DeviceKey> key_;
  harness::DeviceControl control_;
  std::vector<int> plugged_;
};

// Over USB the library writes the same lines and commands as over the model's device object, the
// wire as tests/usb/transcripts/feeder-job.txt, and the interface is given back.
TEST_F(UsbRoute, FeederJobThroughTheExports) {
  scansim::ScannerModel modelScanner{kConfig};
  doubles::PlugUsbscan(0, std::make_shared<doubles::UsbscanDevice>(&modelScanner, kVid, kPid));
  ASSERT_EQ(Initialize(), S_OK);
  EXPECT_TRUE(RunJob(Lib(), modelScanner).completed);
  Lib().TerminateDll();
  const std::vector<std::string> modelLines = winplat::DebugStrings();
  winplat::UnplugAllDevices();
  winplat::ClearDebugStrings();

  const int device = Plug();
  ASSERT_EQ(Initialize(), S_OK);
  const JobRecord job = RunJob(Lib(), sim_);
  EXPECT_TRUE(job.completed);
  EXPECT_EQ(job.pagesRight, kSheets);
  EXPECT_EQ(job.pagesWrong, 0u);
  transcript::ExpectLines("../usb/transcripts/feeder-job.txt", {}, Bed().Transfers(device));
  EXPECT_TRUE(sim_.ProtocolViolations().empty()) << sim_.ProtocolViolations().front();
  Lib().TerminateDll();
  EXPECT_FALSE(Bed().Claimed(device)) << "the interface stays claimed after the library is done";
  EXPECT_EQ(winplat::DebugStrings(), modelLines);
  EXPECT_EQ(sim_.CommandOpcodes(), modelScanner.CommandOpcodes());
}

// A device with the ids but no bulk pair is not a scanner: not listed, and it takes no number.
TEST_F(UsbRoute, ScannersTakeTheNumbersTheModelLeaves) {
  doubles::PlugUsbscan(0, std::make_shared<doubles::UsbscanDevice>(nullptr, kVid, kPid + 1));
  plugged_.push_back(Bed().Plug(&sim_, kVid, kPid, false));
  const int scanner = Plug();
  EXPECT_EQ(winplat::UsbScanners().at(0).name, "\\\\.\\Usbscan1");
  EXPECT_EQ(winplat::UsbScanners().at(0).bus, scanner);
  EXPECT_EQ(Initialize(), S_OK);
  EXPECT_EQ(DeviceInfo(), S_OK);
  const std::vector<std::string> lines = winplat::DebugStrings();
  EXPECT_TRUE(Contains(lines, "[STI]success => \\\\.\\Usbscan0")) << harness::Show(lines);
  EXPECT_TRUE(Contains(lines, "[STI]success => \\\\.\\Usbscan1")) << harness::Show(lines);
}

// Of two scanners alike, the one another program holds is skipped and the free one is taken.
TEST_F(UsbRoute, HeldScannerIsSkippedForAFreeOne) {
  const int held = Plug();
  const int free = Plug(kVid, kPid, 2);
  Bed().HoldElsewhere(held, true);
  EXPECT_EQ(Initialize(), S_OK);
  EXPECT_EQ(DeviceInfo(), S_OK);
  const std::vector<std::string> lines = winplat::DebugStrings();
  EXPECT_TRUE(Contains(lines, "[STI]Error code =>32")) << harness::Show(lines);
  EXPECT_TRUE(Contains(lines, "[STI]success => \\\\.\\Usbscan1")) << harness::Show(lines);
  EXPECT_TRUE(Bed().Transfers(held).empty());
  EXPECT_EQ(Bed().Transfers(free).size(), 2u);  // the inquiry and its answer
}

// How the search for the scanner's port ends when it cannot find one, as the minidriver sees it.
struct SearchCase {
  const char* name;
  bool plugged;
  WORD devicePid;    // the device's product id; the vendor id is always kVid
  WORD registryPid;  // what "DeviceData" asks for
  bool heldElsewhere;
  HRESULT initialize;
  HRESULT deviceInfo;
  const char* written;     // a debug line the search writes
  const char* notWritten;  // and one it must not
};

class Search : public UsbRoute, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(Search, FindsNoPortAndMovesNothing) {
  const SearchCase& c = GetParam();
  key_->SetIds(kVid, c.registryPid, false);
  int device = 0;
  if (c.plugged) {
    device = Plug(kVid, c.devicePid, c.devicePid == kPid ? 1 : 0);
    Bed().HoldElsewhere(device, c.heldElsewhere);
  }
  EXPECT_EQ(Initialize(), c.initialize);
  EXPECT_EQ(DeviceInfo(), c.deviceInfo);
  const std::vector<std::string> lines = winplat::DebugStrings();
  EXPECT_TRUE(Contains(lines, c.written)) << harness::Show(lines);
  EXPECT_FALSE(Contains(lines, c.notWritten)) << harness::Show(lines);
  if (c.plugged) {
    EXPECT_TRUE(Bed().Transfers(device).empty());
    EXPECT_FALSE(Bed().Claimed(device));
  }
}

INSTANTIATE_TEST_SUITE_P(
    UsbRoute, Search,
    ::testing::Values(SearchCase{"NotPresent", false, kPid, kPid, false, S_OK, E_FAIL, "[STI]Error code =>2",
                                 "[STI]success => \\\\.\\Usbscan0"},
                      SearchCase{"OtherProductInRegistry", true, kPid, kPid + 1, false, S_OK, E_FAIL,
                                 "[STI]success => \\\\.\\Usbscan0", "[STI]success => \\\\.\\Usbscan1"},
                      SearchCase{"IdsNotListed", true, kPid + 1, kPid + 1, false, S_OK, E_FAIL, "[STI]Error code =>2",
                                 "[STI]success => \\\\.\\Usbscan0"},
                      SearchCase{"HeldByAnotherProgram", true, kPid, kPid, true, E_FAIL, PORT_ACQUIRE_FAIL,
                                 "[STI]acquire fail!", "[STI]Port acquire success!!"}),
    [](const ::testing::TestParamInfo<SearchCase>& info) { return std::string(info.param.name); });

TEST_F(UsbRoute, StalledScannerTimesOutThenAnswersAgain) {
  winplat::SetUsbTimeout(120000);
  g_secondLength = 2;  // the route's bound of 120 s lasts 240 ms
  const int device = Plug();
  ASSERT_EQ(Initialize(), S_OK);
  Bed().StallReads(device, true);
  const auto start = Clock::now();
  EXPECT_EQ(DeviceInfo(), E_FAIL);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_LT(waited, std::chrono::milliseconds(1500));
  EXPECT_TRUE(Contains(winplat::DebugStrings(), "[QZ]Readfile Fail")) << harness::Show(winplat::DebugStrings());
  EXPECT_EQ(Bed().Transfers(device), (std::vector<std::string>{"OUT 4 4: 1B A8 12 00", "IN 70 stalled"}));
  Bed().StallReads(device, false);
  EXPECT_EQ(DeviceInfo(), S_OK);
}

TEST_F(UsbRoute, UnpluggedMidPage) {
  const int device = Plug();
  ASSERT_EQ(Initialize(), S_OK);
  // Inquiry, reserve, window, object position, then read and read image of the first block: the
  // scanner goes while it sends the second block.
  Bed().DisconnectAfterReads(device, 7);
  const JobRecord job = RunJob(Lib(), sim_);
  EXPECT_FALSE(job.completed);
  ASSERT_EQ(job.steps.size(), 8u);
  EXPECT_EQ(job.steps.back().code, static_cast<DWORD>(ESC_READ_IMAGE));
  EXPECT_EQ(job.steps.back().hr, E_FAIL);
  // The command went out; nothing came back.
  EXPECT_EQ(Bed().Transfers(device).back(), "OUT 4 4: 1B A8 29 00");

  Bed().Unplug(device);
  WaitForScanners(0);
  // The next port cycle finds no scanner.
  winplat::ClearDebugStrings();
  EXPECT_EQ(Lib().Initialize(&control_, 0, key_->Parameters()), S_OK);
  EXPECT_TRUE(Contains(winplat::DebugStrings(), "[STI]Invalid handle value => \\\\.\\Usbscan0"));
}

// The Windows errors the port reports, straight through the platform's Win32 surface.
struct PortCase {
  const char* name;
  std::function<void(int device)> before;  // before CreateFileA
  std::function<BOOL(HANDLE port, int device)> call;
  DWORD error;  // the last-error code of the failing call; 0 for one that succeeds
};

class Port : public UsbRoute, public ::testing::WithParamInterface<PortCase> {};

TEST_P(Port, ReportsTheClassDriversErrors) {
  const PortCase& c = GetParam();
  const int device = Plug();
  if (c.before) {
    c.before(device);
  }
  HANDLE port = CreateFileA(kUsbscan0, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  BOOL ok = port != INVALID_HANDLE_VALUE;
  if (ok && c.call) {
    ok = c.call(port, device);
  }
  EXPECT_EQ(ok, c.error == 0 ? TRUE : FALSE);
  if (!ok) {
    EXPECT_EQ(GetLastError(), c.error);
  }
  if (port != INVALID_HANDLE_VALUE) {
    CloseHandle(port);
  }
}

BOOL Read32(HANDLE port) {
  BYTE response[32];
  DWORD read = 0;
  return ReadFile(port, response, sizeof(response), &read, nullptr);
}

BOOL SetTimeout(HANDLE port, DWORD inLength, ULONG seconds) {
  const ULONG timeouts[3] = {seconds, seconds, seconds};
  DWORD returned = 0;
  return DeviceIoControl(port, IOCTL_SET_TIMEOUT, const_cast<ULONG*>(timeouts), inLength, nullptr, 0, &returned,
                         nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    UsbRoute, Port,
    ::testing::Values(PortCase{"ClaimedByAnotherProgram", [](int d) { Bed().HoldElsewhere(d, true); }, nullptr,
                               ERROR_SHARING_VIOLATION},
                      PortCase{"StalledRead", nullptr,
                               [](HANDLE p, int d) {
                                 Bed().StallReads(d, true);
                                 return Read32(p);
                               },
                               ERROR_SEM_TIMEOUT},
                      PortCase{"UnpluggedBeforeWrite", nullptr,
                               [](HANDLE p, int d) {
                                 Bed().Unplug(d);
                                 const BYTE command[4] = {0x1B, 0xA8, 0x12, 0x00};
                                 DWORD written = 0;
                                 return WriteFile(p, command, sizeof(command), &written, nullptr);
                               },
                               ERROR_DEVICE_NOT_CONNECTED},
                      // libusb reads 40000 bytes in three URBs; the answer ends in the first.
                      PortCase{"ShortAnswerToALongRead", nullptr,
                               [](HANDLE p, int d) {
                                 const BYTE inquiry[4] = {0x1B, 0xA8, 0x12, 0x00};
                                 std::vector<BYTE> answer(40000, 0xEE);
                                 DWORD moved = 0;
                                 const BOOL ok = WriteFile(p, inquiry, sizeof(inquiry), &moved, nullptr) &&
                                                 ReadFile(p, answer.data(), 40000, &moved, nullptr);
                                 return ok && moved == 70 && answer[0] == 0xA8 && answer[2] == 66 &&
                                        answer[70] == 0xEE && Bed().Transfers(d).back() == "IN 40000 70";
                               },
                               0},
                      PortCase{"DescriptorFromTheDevice", nullptr,
                               [](HANDLE p, int) {
                                 BYTE descriptor[8] = {};
                                 DWORD returned = 0;
                                 BOOL ok = DeviceIoControl(p, IOCTL_GET_DEVICE_DESCRIPTOR, descriptor, 8, descriptor, 8,
                                                           &returned, nullptr);
                                 const BYTE expected[8] = {kVid & 0xFF, kVid >> 8, kPid & 0xFF, kPid >> 8,
                                                           0x00,        0x01,      0,           0};
                                 return ok && returned == 8 && std::memcmp(descriptor, expected, 8) == 0;
                               },
                               0},
                      PortCase{"UnknownControlCode", nullptr,
                               [](HANDLE p, int) {
                                 DWORD returned = 0;
                                 return DeviceIoControl(p, 0x80002000, nullptr, 0, nullptr, 0, &returned, nullptr);
                               },
                               1},
                      PortCase{"ShortTimeoutRecord", nullptr, [](HANDLE p, int) { return SetTimeout(p, 4, 1); },
                               ERROR_INVALID_PARAMETER},
                      // The handle's own timeout (1 s) governs, not the platform's (0.5 s).
                      PortCase{"TimeoutSetOnTheHandle", nullptr,
                               [](HANDLE p, int d) {
                                 Bed().StallReads(d, true);
                                 const auto start = Clock::now();
                                 const BOOL ok =
                                     SetTimeout(p, 12, 1) && !Read32(p) && GetLastError() == ERROR_SEM_TIMEOUT;
                                 const auto waited = Clock::now() - start;
                                 return ok && waited >= std::chrono::seconds(1) &&
                                        waited < std::chrono::milliseconds(1800);
                               },
                               0}),
    [](const ::testing::TestParamInfo<PortCase>& info) { return std::string(info.param.name); });

// A stop from another thread ends a read the scanner never answers; what follows has the stop's grace
// to reach the scanner (an abort that a silent scanner does not answer either), then fails at once
// without reaching it, until the program lets transfers through again.
TEST_F(UsbRoute, StopEndsAStalledTransferWithinItsGrace) {
  winplat::SetUsbTimeout(60000);
  const int device = Plug();
  HANDLE port = CreateFileA(kUsbscan0, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  Bed().StallReads(device, true);
  const BYTE abort[4] = {0x1B, 0xA8, 0x06, 0x00};
  DWORD written = 0;
  auto write = [&] { return WriteFile(port, abort, sizeof(abort), &written, nullptr); };
  auto aborted = [](BOOL ok) { return !ok && GetLastError() == ERROR_OPERATION_ABORTED; };
  const Clock::time_point start = Clock::now();
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    winplat::StopUsbTransfers();
  });
  EXPECT_TRUE(aborted(Read32(port)));
  const auto stopped = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  stopper.join();
  EXPECT_TRUE(write());
  EXPECT_TRUE(aborted(Read32(port)));
  const auto graceEnded = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(aborted(write()));
  winplat::ResumeUsbTransfers();
  Bed().StallReads(device, false);
  EXPECT_TRUE(write() && Read32(port));
  CloseHandle(port);
  std::printf("read stopped after %lld ms, the grace ended after %lld ms\n", static_cast<long long>(stopped),
              static_cast<long long>(graceEnded));
  EXPECT_LT(stopped, 5000);
  EXPECT_GE(graceEnded, 100 + winplat::kStopGraceMs);
  EXPECT_LT(graceEnded, 5000);
  EXPECT_EQ(Bed().Transfers(device), (std::vector<std::string>{"IN 32 stalled", "OUT 4 4: 1B A8 06 00", "IN 32 stalled",
                                                               "OUT 4 4: 1B A8 06 00", "IN 32 32"}));
}

// Run by usb-scanner-sim (tests/CMakeLists.txt), the scanner in the parent, 64 KB blocks in several URBs.
TEST(UsbScannerSim, FeederJobFromAnotherProcess) {
  if (std::getenv("WIASTIIO_USB_SIMULATOR") == nullptr) {
    GTEST_SKIP() << "run by usb-scanner-sim only";
  }
  winplat::InstallUsbPortArbitration();
  winplat::SetUsbTimeout(2000);
  harness::DeviceKey key;
  key.SetIds(kVid, kPid, false);
  harness::DeviceControl control;
  const harness::Library& lib = harness::TheLibrary();
  ASSERT_EQ(lib.InitializeDll(0), S_OK);
  ASSERT_EQ(lib.Initialize(&control, 0, key.Parameters()), S_OK);
  const JobRecord job = RunJob(lib, scansim::ScannerModel(), 1024, 100, [](uint32_t sheet) {
    return scansim::PageRequest{sheet, 1024, 100, 300, scansim::ImageType::kGrey};
  });
  EXPECT_TRUE(job.completed);
  EXPECT_EQ(job.pagesRight, kSheets);
  lib.TerminateDll();
}

}  // namespace

// Every bulk transfer of the platform's route, its timeout scaled by g_secondLength, so that a bound of
// minutes passes in a fraction of a second. The program's own definition comes before libusb's.
extern "C" int libusb_submit_transfer(libusb_transfer* transfer) {
  static const auto real = reinterpret_cast<int (*)(libusb_transfer*)>(dlsym(RTLD_NEXT, "libusb_submit_transfer"));
  const uint64_t scaled = uint64_t{transfer->timeout} * g_secondLength / 1000;
  transfer->timeout = transfer->timeout == 0 ? 0 : static_cast<unsigned int>(std::max<uint64_t>(scaled, 1));
  return real(transfer);
}
