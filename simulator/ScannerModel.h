// A model of the scanner at the far end of the port: it takes each write as one command, answers it
// with one response for the following read, and scans synthetic pages from its flatbed and feeder.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "Port.h"
#include "Render.h"
#include "Window.h"
#include "Wire.h"

namespace scansim {

// What the inquiry reports, and what the scanner accepts.
struct Identity {
  std::string vendor = "SCANSIM";            // up to 8 bytes, zero-padded
  std::string product = "Sheetfed Flatbed";  // up to 17 bytes: 16 at offset 12, the 17th at offset 28
  uint32_t bed_width = 10200;                // 1/1200 inch (8.5 in)
  uint32_t bed_height = 14040;               // 11.7 in
  bool has_feeder = true;                    // scanner type 0x0C; without a feeder 0x04
  uint32_t feeder_max_length = 16800;        // 14 in
  uint32_t flatbed_max_length = 14040;       // 11.7 in
  uint16_t supported_resolutions = 0x3319;   // 75, 100, 150, 200, 300, 600 and 1200 dpi
  uint8_t image_composition = kCompositionBlackWhite | kCompositionGrey | kCompositionColour;
  uint16_t rgb_order = 0x0000;  // reported only; colour rows are always R, G, B
  uint8_t doc_status = 1;
  uint8_t firmware_major = 0;  // byte 64
  uint8_t firmware_minor = 3;  // byte 65

  uint8_t ScannerType() const { return has_feeder ? kScannerTypeFlatbed | kScannerTypeFeeder : kScannerTypeFlatbed; }
};

// How a busy scanner answers the reserve.
enum class BusyAnswer { kStatusBusy, kResourceBusy };  // status 0x08, or check condition with 0x0004

// Where a jam shows: at the object position that feeds the sheet, or in the read of one of its blocks.
enum class JamMode { kOnFeed, kMidPage };

// Conditions the scanner runs into, consumed as they happen. Change them between commands through
// ScannerModel::script().
struct Script {
  uint32_t busy_reserves = 0;  // the next N reserves find the scanner busy
  BusyAnswer busy_answer = BusyAnswer::kStatusBusy;
  uint32_t warming_up_reserves = 0;  // then the next N reserves find the lamp warming up
  uint16_t warmup_time = 30;         // reported with them at offset 6
  uint32_t failed_inquiries = 0;     // the next N inquiries answer check condition
  // Sheet number (counted from 1 over the scanner's life) that jams; 0 for none. Once jammed, object
  // position and read answer the jam until an abort or a release clears it.
  uint32_t jam_sheet = 0;
  JamMode jam_mode = JamMode::kOnFeed;
  uint32_t jam_after_blocks = 1;  // kMidPage: blocks delivered before the jam (at most the page's last)
  // The answers to release and abort. A release that is not good leaves the unit reserved.
  uint8_t release_status = kStatusGood;
  uint16_t release_msg_data = 0;
  uint8_t abort_status = kStatusGood;
  uint16_t abort_msg_data = 0;
};

struct Config {
  Identity identity;
  uint32_t feeder_sheets = 0;
  uint32_t block_bytes = 65536;  // image bytes per block, whole rows, at least one row
  Script script;
  bool paper_pages = false;     // paper-like pages (RenderPaperRows) instead of the test chart
  bool log_image_data = false;  // keep the bytes of image-data responses in the log (else only the count)
};

// One transfer on the wire, as the scanner saw it.
struct WireRecord {
  enum class Direction { kCommand, kResponse };
  Direction direction = Direction::kCommand;
  uint8_t opcode = 0;   // the command's operation code (byte 2; 0 when shorter), for a response that of its command
  uint32_t length = 0;  // bytes moved
  std::vector<uint8_t> bytes;  // the bytes moved (empty for image data unless Config::log_image_data)
};

class ScannerModel : public Port {
 public:
  explicit ScannerModel(Config config = Config());

  // ---- Port: every write is one command, every read takes the pending response ----
  // A write is always taken whole. A read with no response pending fails after the port's timeout
  // (error 121, nothing moved); a read of another size than the response moves what fits and drops
  // the rest. Both are noted in ProtocolViolations().
  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override;
  uint32_t LastError() const override { return lastError_; }

  // ---- Control ----
  Script& script() { return config_.script; }
  const Config& config() const { return config_; }
  void LoadFeeder(uint32_t sheets) { sheetsLeft_ = sheets; }

  // ---- State ----
  bool UnitReserved() const { return reserved_; }
  uint32_t PagesCompleted() const { return pagesCompleted_; }
  // The page being scanned; the last page taken (finished or not) stays in LastPage().
  std::optional<PageRequest> CurrentPage() const;
  const std::optional<PageRequest>& LastPage() const { return lastPage_; }

  // ---- Record ----
  // The latest kLogLimit transfers (older ones are dropped, so that a long job runs in flat memory),
  // and how many there were since ClearLog().
  static constexpr size_t kLogLimit = 4096;
  std::vector<WireRecord> Log() const { return std::vector<WireRecord>(log_.begin(), log_.end()); }
  uint64_t Transfers() const { return transfers_; }
  std::vector<uint8_t> CommandOpcodes() const;  // the operation code of every command, in order
  // The first kLogLimit slips of the host since ClearLog().
  const std::vector<std::string>& ProtocolViolations() const { return violations_; }
  void ClearLog();

 private:
  struct ActivePage {
    PageRequest request;
    uint32_t bytes_per_row = 0;
    uint32_t rows_per_block = 0;
    uint32_t blocks = 0;
    uint32_t next_block = 0;
    bool announced = false;
  };

  void HandleCommand(const uint8_t* data, uint32_t length);
  void Respond(uint8_t status, uint16_t msg_data = 0, uint16_t reserved = 0);
  void Inquiry();
  void ReserveUnit();
  void ReleaseUnit();
  void Abort();
  void SetWindow(const uint8_t* data, uint32_t length);
  void ObjectPosition();
  void AnnounceBlock();
  void SendBlock();
  void RespondRead(uint8_t status, uint8_t msg_code, uint32_t data_size, uint16_t height, uint16_t width,
                   uint16_t state);
  WindowRefusal Check(const Window& window) const;
  void StartPage(uint32_t page_number);
  uint32_t BlockRows(const ActivePage& page) const;
  void Violation(std::string text);

  Config config_;
  uint32_t lastError_ = 0;
  bool reserved_ = false;
  bool jammed_ = false;
  uint32_t sheetsLeft_ = 0;
  uint32_t sheetsFed_ = 0;
  uint32_t pagesCompleted_ = 0;
  std::optional<Window> window_;
  WindowRefusal lastRefusal_ = WindowRefusal::kNone;
  std::optional<ActivePage> page_;
  std::optional<PageRequest> lastPage_;
  std::vector<uint8_t> pending_;
  uint8_t pendingOpcode_ = 0;
  void Keep(WireRecord record);

  std::deque<WireRecord> log_;
  uint64_t transfers_ = 0;
  std::vector<std::string> violations_;
};

}  // namespace scansim
