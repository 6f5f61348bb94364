// The scanner's command protocol as the scanner sees it: command layouts, response layouts, status
// codes, condition bits, and the meaning this scanner gives to the scan-window bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scansim {

// ---- Commands ----------------------------------------------------------------------------------------

// Every command starts 1B A8; the 4-byte commands end in 00 after the operation code.
constexpr uint8_t kCommandEscape = 0x1B;
constexpr uint8_t kCommandPrefix = 0xA8;  // also the start code of every response
constexpr size_t kCommandSize = 4;

constexpr uint8_t kOpAbort = 0x06;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpReserveUnit = 0x16;
constexpr uint8_t kOpReleaseUnit = 0x17;
constexpr uint8_t kOpSetWindow = 0x24;
constexpr uint8_t kOpRead = 0x28;
constexpr uint8_t kOpReadImage = 0x29;
constexpr uint8_t kOpObjectPosition = 0x31;

// ---- Responses ---------------------------------------------------------------------------------------

constexpr size_t kResponseSize = 32;
constexpr size_t kInquiryResponseSize = 70;
constexpr size_t kTrailerSize = 16;  // ends every block of image data

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusBusy = 0x08;

// Conditions behind kStatusCheckCondition: in the message-data word at offset 4 of most responses and
// in the scanner-state word at offset 12 of the read response; both little-endian.
constexpr uint16_t kMsgResourceBusy = 0x0004;
constexpr uint16_t kMsgNoDocument = 0x1000;
constexpr uint16_t kMsgPaperJam = 0x2000;
constexpr uint16_t kMsgGeneral = 0x4000;
constexpr uint16_t kMsgWarmingUp = 0x8000;
constexpr uint16_t kScannerStateNoError = 0x0100;

constexpr uint8_t kMsgCodeLink = 0x80;  // more blocks follow on this page
constexpr uint8_t kMsgCodeEob = 0x81;   // the page's last block

// Byte 2 of a 32-byte response: the bytes after the 8-byte header.
constexpr uint8_t kResponseLengthByte = 24;

// Offsets in the 32-byte responses.
constexpr size_t kOffStartCode = 0;
constexpr size_t kOffStatus = 1;
constexpr size_t kOffLength = 2;
constexpr size_t kOffMsgCode = 3;
constexpr size_t kOffMsgData = 4;     // little-endian 16-bit
constexpr size_t kOffWarmupTime = 6;  // reserve response, little-endian 16-bit
// The read response.
constexpr size_t kOffDataSize = 4;       // big-endian 32-bit: block bytes plus the trailer
constexpr size_t kOffHeight = 8;         // big-endian 16-bit: rows in the block
constexpr size_t kOffWidth = 10;         // big-endian 16-bit: pixels (bytes for black-and-white)
constexpr size_t kOffScannerState = 12;  // little-endian 16-bit
// The set-window response: the window as accepted, in 1200-dpi units, little-endian.
constexpr size_t kOffVerticalSize = 8;
constexpr size_t kOffHorizontalSize = 12;
constexpr size_t kOffRequireMirror = 16;

// The inquiry response: lengths big-endian in 1/1200 inch, the resolution mask little-endian.
constexpr size_t kInqVendor = 4;  // 8 bytes
constexpr size_t kInqVendorSize = 8;
constexpr size_t kInqProduct = 12;  // 16 bytes, and byte 28 as a 17th
constexpr size_t kInqProductSize = 17;
constexpr size_t kInqSupportedRes = 36;
constexpr size_t kInqScannerType = 38;
constexpr size_t kInqImageComposition = 39;
constexpr size_t kInqBedWidth = 40;
constexpr size_t kInqBedHeight = 44;
constexpr size_t kInqRgbOrder = 48;  // byte 48 high
constexpr size_t kInqDocStatus = 53;
constexpr size_t kInqFeederMaxLength = 56;
constexpr size_t kInqFlatbedMaxLength = 60;
constexpr size_t kInqFirmware = 64;  // 64 high, 65 low

// Scanner-type byte: flatbed, feeder. A value of 4 alone is a flatbed-only scanner.
constexpr uint8_t kScannerTypeFlatbed = 0x04;
constexpr uint8_t kScannerTypeFeeder = 0x08;

// Image-composition bits: which image types the scanner produces.
constexpr uint8_t kCompositionBlackWhite = 0x01;
constexpr uint8_t kCompositionGrey = 0x08;
constexpr uint8_t kCompositionColour = 0x20;

// ---- The set-window command --------------------------------------------------------------------------

// 1B A8 24 13 30 and twenty parameter bytes. The host passes the bytes of its 28-byte window record
// through: record byte r (r >= 8) lands in command byte r - 3.
constexpr size_t kWindowCommandSize = 25;
constexpr uint8_t kWindowHeader[5] = {0x1B, 0xA8, 0x24, 0x13, 0x30};
constexpr size_t kRecordToCommand = 3;

constexpr size_t kWinWidth = 5;          // big-endian 32-bit, 1200-dpi units
constexpr size_t kWinHeight = 9;         // big-endian 32-bit, 1200-dpi units
constexpr size_t kWinResolution = 13;    // resolution code
constexpr size_t kWinImageType = 14;     // ImageType (record byte 17)
constexpr size_t kWinBitsPerPixel = 15;  // 1, 8 or 24, or 0 for the image type's own depth (record byte 18)
// Command bytes 16 to 20 (record bytes 19 to 23) and 22 (record byte 25) are accepted and ignored;
// bytes 21 and 24 arrive as zero.
constexpr size_t kWinSource = 23;  // record byte 26

constexpr uint8_t kSourceFeederFront = 0x10;
constexpr uint8_t kSourceFeederDuplex = 0x20;  // scanned as the front side
constexpr uint8_t kSourceFlatbed = 0x40;

// Image types of command byte 14. Rows are whole bytes: colour R,G,B per pixel, grey one byte per
// pixel (0 black, 255 white), black-and-white eight pixels per byte, leftmost pixel in the top bit,
// 1 = black, unused bits of a row's last byte 0.
enum class ImageType : uint8_t { kBlackWhite = 0, kGrey = 1, kColour = 2 };

// The resolution of a resolution code; 0 for a code without one.
constexpr uint32_t ResolutionOfCode(uint8_t code) {
  switch (code) {
    case 0:
      return 75;
    case 2:
      return 150;
    case 5:
      return 300;
    case 7:
      return 600;
    case 8:
      return 1200;
    case 9:
      return 200;
    case 10:
      return 100;
    case 11:
      return 2400;
    default:
      return 0;
  }
}

// The bit of the inquiry's resolution mask that stands for `dpi`; 0 for a resolution without one.
constexpr uint16_t ResolutionMaskBit(uint32_t dpi) {
  switch (dpi) {
    case 75:
      return 0x0100;
    case 100:
      return 0x0010;
    case 150:
      return 0x0200;
    case 200:
      return 0x1000;
    case 300:
      return 0x2000;
    case 600:
      return 0x0001;
    case 1200:
      return 0x0008;
    case 2400:
      return 0x0080;
    default:
      return 0;
  }
}

// ---- Port errors -------------------------------------------------------------------------------------

// Operating-system error codes that a failing port call reports through Port::LastError().
constexpr uint32_t kErrorGenFailure = 31;        // the device does not work
constexpr uint32_t kErrorInvalidParameter = 87;  // a null buffer or count
constexpr uint32_t kErrorSemTimeout = 121;       // a read found nothing to take

// ---- Byte order helpers -------------------------------------------------------------------------------

inline uint32_t GetBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  PutLe16(p, static_cast<uint16_t>(v));
  PutLe16(p + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace scansim
