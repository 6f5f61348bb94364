// What every benchmark stands on: the handler linked in and driven through its exports, the shared rig
// (the device-monitor double as "prtmon64.dll", the device key), and at the far end of the port a
// scanner that answers from memory prepared in advance. Nothing is rendered or looked up while a benchmark runs, so
// what is timed is the handler's own work plus the copies the port must make anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "STIEscape.h"
#include "doubles/ContentionDouble.h"
#include "doubles/Rig.h"
#include "handler/STIIOHandler.h"
#include "platform/win32.h"
#include "simulator/Port.h"
#include "simulator/Wire.h"

namespace bench {

// A scanner at memory speed. Each write is one command; the next read takes its answer: the prepared
// read answer for a read command, the prepared block (image bytes and the 16-byte trailer) for a
// read-image command, a good 32-byte answer for anything else. A page is a run of blocks whose last is
// announced as the end of the page; object position starts the page again.
class InMemoryScanner : public scansim::Port {
 public:
  InMemoryScanner();

  // Blocks of `imageBytes` image bytes each. With `blocksPerPage` 0 the page never ends; otherwise its
  // last block carries `lastImageBytes` (0: as many as the others).
  void PrepareBlocks(uint32_t imageBytes, uint32_t blocksPerPage = 0, uint32_t lastImageBytes = 0);
  // Image bytes plus trailer of an ordinary block: what a read announces.
  uint32_t BlockSize() const { return blockSize_; }
  // The prepared bytes every read-image answer is taken from.
  const uint8_t* BlockData() const { return block_.data(); }

  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override;
  uint32_t LastError() const override { return 0; }

  // Bytes that crossed the port both ways since the last ResetTraffic().
  uint64_t Traffic() const { return traffic_; }
  void ResetTraffic() { traffic_ = 0; }

 private:
  bool LastBlockNext() const { return blocksPerPage_ != 0 && nextBlock_ + 1 == blocksPerPage_; }

  uint8_t pendingOp_ = 0;
  std::vector<uint8_t> block_;  // the largest block, trailer included
  uint8_t readAnswer_[scansim::kResponseSize] = {};
  uint8_t lastReadAnswer_[scansim::kResponseSize] = {};
  uint8_t goodAnswer_[scansim::kResponseSize] = {};
  uint32_t blockSize_ = 0;
  uint32_t lastBlockSize_ = 0;
  uint32_t blocksPerPage_ = 0;
  uint32_t nextBlock_ = 0;
  uint64_t traffic_ = 0;
};

// The device monitor's entry points, found the way the handler finds them, so that an escape's
// transfers can be made with nothing of the handler in between.
struct MonitorEntries {
  PFN_PORTACQUIRE PortAcquire = nullptr;
  PFN_PORTRELEASE PortRelease = nullptr;
  PFN_DEVICEOPEN DeviceOpen = nullptr;
  PFN_DEVICEREAD DeviceRead = nullptr;
  PFN_DEVICEWRITE DeviceWrite = nullptr;
  PFN_DEVICECLOSE DeviceClose = nullptr;
};

// The escapes measured one by one. Reserve and release are measured each on its own where the tool
// allows it (instruction counts) and as the pair of one port cycle where it does not (time).
enum class EscapeKind { kDeviceInfo, kReserve, kRelease, kSetWindow, kObjectPosition, kRead, kReadImage, kAbort };

struct EscapeInfo {
  EscapeKind kind;
  const char* name;
};
extern const EscapeInfo kEscapes[];
extern const size_t kEscapeCount;

// Image bytes of the block ESC_READ_IMAGE fetches when escapes are measured one by one.
constexpr uint32_t kSmallBlockBytes = 1024;

// The handler behind its exports with the device monitor and the in-memory scanner in place. The
// constructor runs InitializeDll, Initialize (device-monitor route from the registry) and one
// GET_DEVICE_INFO against the scanner simulator, so the device information is cached as in a scan; the
// destructor runs TerminateDll and returns the platform models to their first state. One rig at a time.
class Rig {
 public:
  explicit Rig(bool debugOutput);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  InMemoryScanner& Scanner() { return scanner_; }
  doubles::ContentionDouble& Monitor() { return rig_.Monitor(); }
  const MonitorEntries& Entries() const { return entries_; }
  // The handler InitializeDll made; benchmarks switch its debug flag between batches.
  CSTIIOHandler& Handler() { return *g_pSTIIOHandler; }

  // Escapes as the minidriver makes them; each returns STIEscape's result.
  HRESULT Reserve();
  HRESULT Release();
  HRESULT SetWindow(const SWP_PARAMETER& window);
  HRESULT ObjectPosition();
  HRESULT Read(READ_RESPONSE* response);
  HRESULT ReadImage(void* out, DWORD outSize, DWORD* actual);

  // A colour flatbed window of the given size at 300 dpi (resolution code 5) or 600 dpi (code 7).
  static SWP_PARAMETER ColourWindow(DWORD widthPixels, DWORD heightLines, BYTE resolutionCode);

  // One exchange made straight into the device monitor: the 4-byte command of `op` (or the 25-byte
  // window command for OP_SET_WINDOW), then a read of `answerBytes` into `answer`.
  void Exchange(BYTE op, void* answer, DWORD answerBytes);

  // Puts the unit in the state an escape of `kind` starts from: released for kDeviceInfo, kReserve and
  // kRelease, otherwise reserved with a window set and a page in position, blocks of kSmallBlockBytes.
  void PrepareFor(EscapeKind kind);

  // How an escape's work reaches the port: through STIEscape, or as its bare transfers.
  enum class Mode { kLibrary, kPortCalls };
  // One escape of `kind`, or the transfers it makes. What must surround it to make it repeatable (the
  // release after a reserve, the reserve before a release, the read that announces a block before a
  // read-image) is done by Before and After, apart from what is measured.
  void Before(EscapeKind kind, Mode mode);
  HRESULT Run(EscapeKind kind, Mode mode);
  void After(EscapeKind kind, Mode mode);

  // Forgets what the double recorded, so that long runs do not grow its record.
  void ForgetCalls() { rig_.Monitor().ClearCalls(); }

 private:
  InMemoryScanner scanner_;
  doubles::Rig rig_;
  MonitorEntries entries_;
  HMODULE monitorModule_ = nullptr;  // held, so that the entry points are called only while loaded
  std::vector<uint8_t> out_;         // the minidriver's buffer for image blocks
  SWP_PARAMETER window_ = {};
  BYTE windowCommand_[SWP_COMMAND_SIZE] = {};
  BYTE answer_[INQUIRY_RESPONSE_SIZE] = {};
  SCAN_DEVICE_INFO info_ = {};
  READ_RESPONSE readAnswer_ = {};
  bool reserved_ = false;
};

}  // namespace bench
