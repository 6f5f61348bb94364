#include "ScannerModel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace scansim {

namespace {

std::string Format(const char* format, uint32_t a, uint32_t b, uint32_t c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

}  // namespace

ScannerModel::ScannerModel(Config config) : config_(std::move(config)), sheetsLeft_(config_.feeder_sheets) {}

bool ScannerModel::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  if (written != nullptr) {
    *written = 0;
  }
  if (written == nullptr || (data == nullptr && length > 0)) {
    lastError_ = kErrorInvalidParameter;
    return false;
  }
  if (!pending_.empty()) {
    Violation(Format("command written while the %u-byte response to 0x%02X was unread",
                     static_cast<uint32_t>(pending_.size()), pendingOpcode_));
    pending_.clear();
  }
  WireRecord record;
  record.direction = WireRecord::Direction::kCommand;
  record.opcode = length >= 3 ? data[2] : 0;
  record.length = length;
  record.bytes.assign(data, data + length);
  Keep(std::move(record));

  *written = length;
  lastError_ = 0;
  if (length > 0) {
    HandleCommand(data, length);
  }
  return true;
}

bool ScannerModel::Read(uint8_t* data, uint32_t length, uint32_t* read) {
  if (read != nullptr) {
    *read = 0;
  }
  if (read == nullptr || (data == nullptr && length > 0)) {
    lastError_ = kErrorInvalidParameter;
    return false;
  }
  if (pending_.empty()) {
    Violation(Format("read of %u bytes with no response pending", length, 0));
    lastError_ = kErrorSemTimeout;
    return false;
  }
  const auto moved = static_cast<uint32_t>(std::min<size_t>(length, pending_.size()));
  if (length != pending_.size()) {
    Violation(Format("read of %u bytes for the %u-byte response to 0x%02X", length,
                     static_cast<uint32_t>(pending_.size()), pendingOpcode_));
  }
  if (moved != 0) {  // a read of nothing may come with no buffer at all
    std::memcpy(data, pending_.data(), moved);
  }

  WireRecord record;
  record.direction = WireRecord::Direction::kResponse;
  record.opcode = pendingOpcode_;
  record.length = moved;
  if (pendingOpcode_ != kOpReadImage || config_.log_image_data) {
    record.bytes.assign(pending_.begin(), pending_.begin() + moved);
  }
  Keep(std::move(record));

  pending_.clear();
  *read = moved;
  lastError_ = 0;
  return true;
}

std::optional<PageRequest> ScannerModel::CurrentPage() const {
  if (!page_) {
    return std::nullopt;
  }
  return page_->request;
}

std::vector<uint8_t> ScannerModel::CommandOpcodes() const {
  std::vector<uint8_t> opcodes;
  for (const WireRecord& record : log_) {
    if (record.direction == WireRecord::Direction::kCommand) {
      opcodes.push_back(record.opcode);
    }
  }
  return opcodes;
}

void ScannerModel::ClearLog() {
  log_.clear();
  transfers_ = 0;
  violations_.clear();
}

void ScannerModel::Keep(WireRecord record) {
  ++transfers_;
  log_.push_back(std::move(record));
  if (log_.size() > kLogLimit) {
    log_.pop_front();
  }
}

void ScannerModel::Violation(std::string text) {
  if (violations_.size() < kLogLimit) {
    violations_.push_back(std::move(text));
  }
}

void ScannerModel::HandleCommand(const uint8_t* data, uint32_t length) {
  pendingOpcode_ = length >= 3 ? data[2] : 0;
  if (length == kWindowCommandSize && std::memcmp(data, kWindowHeader, sizeof kWindowHeader) == 0) {
    SetWindow(data, length);
    return;
  }
  if (length != kCommandSize || data[0] != kCommandEscape || data[1] != kCommandPrefix || data[3] != 0) {
    Respond(kStatusCheckCondition);
    return;
  }
  switch (data[2]) {
    case kOpInquiry:
      Inquiry();
      break;
    case kOpReserveUnit:
      ReserveUnit();
      break;
    case kOpReleaseUnit:
      ReleaseUnit();
      break;
    case kOpAbort:
      Abort();
      break;
    case kOpObjectPosition:
      ObjectPosition();
      break;
    case kOpRead:
      AnnounceBlock();
      break;
    case kOpReadImage:
      SendBlock();
      break;
    default:
      Respond(kStatusCheckCondition);
      break;
  }
}

void ScannerModel::Respond(uint8_t status, uint16_t msg_data, uint16_t reserved) {
  pending_.assign(kResponseSize, 0);
  pending_[kOffStartCode] = kCommandPrefix;
  pending_[kOffStatus] = status;
  pending_[kOffLength] = kResponseLengthByte;
  PutLe16(&pending_[kOffMsgData], msg_data);
  PutLe16(&pending_[kOffWarmupTime], reserved);
}

void ScannerModel::RespondRead(uint8_t status, uint8_t msg_code, uint32_t data_size, uint16_t height, uint16_t width,
                               uint16_t state) {
  Respond(status);
  pending_[kOffMsgCode] = msg_code;
  PutBe32(&pending_[kOffDataSize], data_size);
  PutBe16(&pending_[kOffHeight], height);
  PutBe16(&pending_[kOffWidth], width);
  PutLe16(&pending_[kOffScannerState], state);
}

void ScannerModel::Inquiry() {
  const Identity& id = config_.identity;
  pending_.assign(kInquiryResponseSize, 0);
  pending_[kOffStartCode] = kCommandPrefix;
  pending_[kOffStatus] = kStatusGood;
  if (config_.script.failed_inquiries > 0) {
    --config_.script.failed_inquiries;
    pending_[kOffStatus] = kStatusCheckCondition;
  }
  pending_[kOffLength] = static_cast<uint8_t>(kInquiryResponseSize - 4);
  std::memcpy(&pending_[kInqVendor], id.vendor.data(), std::min(id.vendor.size(), kInqVendorSize));
  std::memcpy(&pending_[kInqProduct], id.product.data(), std::min(id.product.size(), kInqProductSize));
  PutLe16(&pending_[kInqSupportedRes], id.supported_resolutions);
  pending_[kInqScannerType] = id.ScannerType();
  pending_[kInqImageComposition] = id.image_composition;
  PutBe32(&pending_[kInqBedWidth], id.bed_width);
  PutBe32(&pending_[kInqBedHeight], id.bed_height);
  PutBe16(&pending_[kInqRgbOrder], id.rgb_order);
  pending_[kInqDocStatus] = id.doc_status;
  PutBe32(&pending_[kInqFeederMaxLength], id.feeder_max_length);
  PutBe32(&pending_[kInqFlatbedMaxLength], id.flatbed_max_length);
  pending_[kInqFirmware] = id.firmware_major;
  pending_[kInqFirmware + 1] = id.firmware_minor;
}

void ScannerModel::ReserveUnit() {
  Script& script = config_.script;
  if (script.busy_reserves > 0) {
    --script.busy_reserves;
    if (script.busy_answer == BusyAnswer::kStatusBusy) {
      Respond(kStatusBusy);
    } else {
      Respond(kStatusCheckCondition, kMsgResourceBusy);
    }
    return;
  }
  if (script.warming_up_reserves > 0) {
    --script.warming_up_reserves;
    Respond(kStatusCheckCondition, kMsgWarmingUp, script.warmup_time);
    return;
  }
  reserved_ = true;
  Respond(kStatusGood);
}

void ScannerModel::ReleaseUnit() {
  const Script& script = config_.script;
  Respond(script.release_status, script.release_msg_data);
  if (script.release_status == kStatusGood) {
    reserved_ = false;
    jammed_ = false;
    page_.reset();
  }
}

void ScannerModel::Abort() {
  jammed_ = false;
  page_.reset();
  Respond(config_.script.abort_status, config_.script.abort_msg_data);
}

WindowRefusal ScannerModel::Check(const Window& w) const {
  const Identity& id = config_.identity;
  if (w.dpi == 0) {
    return WindowRefusal::kResolutionCode;
  }
  if ((id.supported_resolutions & ResolutionMaskBit(w.dpi)) == 0) {
    return WindowRefusal::kResolutionUnsupported;
  }
  if (w.width == 0 || w.height == 0) {
    return WindowRefusal::kEmptySize;
  }
  uint8_t depth = 0;
  uint8_t composition = 0;
  switch (w.image_type) {
    case static_cast<uint8_t>(ImageType::kBlackWhite):
      depth = 1;
      composition = kCompositionBlackWhite;
      break;
    case static_cast<uint8_t>(ImageType::kGrey):
      depth = 8;
      composition = kCompositionGrey;
      break;
    case static_cast<uint8_t>(ImageType::kColour):
      depth = 24;
      composition = kCompositionColour;
      break;
    default:
      return WindowRefusal::kImageType;
  }
  if (w.bits_per_pixel != 0 && w.bits_per_pixel != depth) {
    return WindowRefusal::kImageType;
  }
  if ((id.image_composition & composition) == 0) {
    return WindowRefusal::kImageTypeUnsupported;
  }
  if (w.source != kSourceFlatbed && !w.FromFeeder()) {
    return WindowRefusal::kSource;
  }
  if (w.FromFeeder() && !id.has_feeder) {
    return WindowRefusal::kNoFeeder;
  }
  // The host rounds the width up to 32 pixels, so a full-width window may pass the bed by that much.
  const uint64_t bed_pixels = (uint64_t{id.bed_width} * w.dpi / 1200 + 31) / 32 * 32;
  if (w.width > bed_pixels) {
    return WindowRefusal::kTooWide;
  }
  const uint32_t longest = w.FromFeeder() ? id.feeder_max_length : id.flatbed_max_length;
  if (uint64_t{w.height} * 1200 / w.dpi > longest) {
    return WindowRefusal::kTooLong;
  }
  return WindowRefusal::kNone;
}

void ScannerModel::SetWindow(const uint8_t* data, uint32_t length) {
  Window window;
  DecodeWindowCommand(data, length, &window);
  lastRefusal_ = Check(window);
  if (lastRefusal_ != WindowRefusal::kNone) {
    // A refused window leaves none in force: the next object position fails rather than scan with
    // parameters the host did not mean.
    window_.reset();
    Respond(kStatusCheckCondition);
    return;
  }
  window_ = window;
  Respond(kStatusGood);
  PutLe32(&pending_[kOffVerticalSize], window.height_units);
  PutLe32(&pending_[kOffHorizontalSize], window.width_units);
  pending_[kOffRequireMirror] = 0;
}

void ScannerModel::ObjectPosition() {
  if (!window_) {
    Respond(kStatusCheckCondition);
    return;
  }
  if (jammed_) {
    Respond(kStatusCheckCondition, kMsgPaperJam);
    return;
  }
  page_.reset();  // a page not read to its end is ejected
  if (!window_->FromFeeder()) {
    StartPage(0);
    Respond(kStatusGood);
    return;
  }
  if (sheetsLeft_ == 0) {
    Respond(kStatusCheckCondition, kMsgNoDocument);
    return;
  }
  --sheetsLeft_;
  const uint32_t sheet = ++sheetsFed_;
  const Script& script = config_.script;
  if (script.jam_sheet == sheet && script.jam_mode == JamMode::kOnFeed) {
    jammed_ = true;
    Respond(kStatusCheckCondition, kMsgPaperJam);
    return;
  }
  StartPage(sheet);
  Respond(kStatusGood);
}

void ScannerModel::StartPage(uint32_t page_number) {
  const Window& w = *window_;
  ActivePage page;
  page.request = PageRequest{page_number, w.width, w.height, w.dpi, w.Type(), config_.paper_pages};
  page.bytes_per_row = BytesPerRow(page.request.type, page.request.width);
  // Whole rows per block, at least one, and no more than the read response's 16-bit height holds.
  page.rows_per_block = std::clamp<uint32_t>(config_.block_bytes / page.bytes_per_row, 1, UINT16_MAX);
  page.blocks = (page.request.height + page.rows_per_block - 1) / page.rows_per_block;
  page_ = page;
  lastPage_ = page.request;
}

uint32_t ScannerModel::BlockRows(const ActivePage& page) const {
  const uint32_t first = page.next_block * page.rows_per_block;
  return std::min(page.rows_per_block, page.request.height - first);
}

void ScannerModel::AnnounceBlock() {
  if (jammed_) {
    RespondRead(kStatusCheckCondition, 0, 0, 0, 0, kMsgPaperJam);
    return;
  }
  if (!page_) {
    RespondRead(kStatusCheckCondition, 0, 0, 0, 0, 0);
    return;
  }
  ActivePage& page = *page_;
  const Script& script = config_.script;
  if (script.jam_mode == JamMode::kMidPage && script.jam_sheet != 0 && page.request.page == script.jam_sheet &&
      page.next_block == std::min(script.jam_after_blocks, page.blocks - 1)) {
    jammed_ = true;
    page_.reset();
    RespondRead(kStatusCheckCondition, 0, 0, 0, 0, kMsgPaperJam);
    return;
  }
  const uint32_t rows = BlockRows(page);
  const bool last = page.next_block + 1 == page.blocks;
  const uint32_t width_field = page.request.type == ImageType::kBlackWhite ? page.bytes_per_row : page.request.width;
  page.announced = true;
  RespondRead(kStatusGood, last ? kMsgCodeEob : kMsgCodeLink, rows * page.bytes_per_row + kTrailerSize,
              static_cast<uint16_t>(rows), static_cast<uint16_t>(std::min<uint32_t>(width_field, UINT16_MAX)),
              kScannerStateNoError);
}

void ScannerModel::SendBlock() {
  if (!page_ || !page_->announced) {
    Respond(kStatusCheckCondition);
    return;
  }
  ActivePage& page = *page_;
  const uint32_t rows = BlockRows(page);
  const uint32_t first = page.next_block * page.rows_per_block;
  const size_t size = size_t{rows} * page.bytes_per_row;
  pending_.resize(size + kTrailerSize);
  RenderRows(page.request, first, rows, pending_.data());
  // The trailer: "TR", page number, block number, first row, rows.
  uint8_t* trailer = pending_.data() + size;
  trailer[0] = 'T';
  trailer[1] = 'R';
  PutBe16(trailer + 2, static_cast<uint16_t>(page.request.page));
  PutBe32(trailer + 4, page.next_block);
  PutBe32(trailer + 8, first);
  PutBe32(trailer + 12, rows);

  ++page.next_block;
  page.announced = false;
  if (page.next_block == page.blocks) {
    page_.reset();
    ++pagesCompleted_;
  }
}

}  // namespace scansim
