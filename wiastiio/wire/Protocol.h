// The scanner command protocol as it travels on the wire: command blocks, response layouts, status
// codes and message-data bits. Private to the library; what the minidriver sees is in STIEscape.h.
#pragma once

#include <cstddef>

#include "STIEscape.h"
#include "platform/win32.h"

// ---- Command blocks ----------------------------------------------------------------------------------

#define COMMAND_ESCAPE 0x1B
#define COMMAND_PREFIX 0xA8   // also the start code of every valid response
#define COMMAND_START 0xA81B  // bytes 0 and 1 as one little-endian value

#define OP_INQUIRY 0x12
#define OP_RESERVE_UNIT 0x16
#define OP_RELEASE_UNIT 0x17
#define OP_SET_WINDOW 0x24
#define OP_READ 0x28
#define OP_READ_IMAGE 0x29
#define OP_ABORT 0x06
#define OP_OBJECT_POSITION 0x31

#pragma pack(push, 1)

struct COMMAND_BLOCK {
  WORD wStart;  // COMMAND_START: 1B A8 on the wire
  BYTE byOpCode;
  BYTE byReserved;  // always 0
};
static_assert(sizeof(COMMAND_BLOCK) == 4, "COMMAND_BLOCK");

// ---- Responses ---------------------------------------------------------------------------------------

#define STATUS_CODE_GOOD 0x00
#define STATUS_CODE_CHECK_CONDITION 0x02
#define STATUS_CODE_BUSY 0x08

// Message-data bits behind STATUS_CODE_CHECK_CONDITION, tested in this order.
#define MSG_DATA_RESOURCEBUSY 0x0004
#define MSG_DATA_NO_DOCUMENT 0x1000
#define MSG_DATA_PAPER_JAM 0x2000
#define MSG_DATA_WARMING_UP 0x8000
#define MSG_DATA_GENERAL 0x4000  // tested by the read response only, after the other four

#define MSG_CODE_LINK 0x80
#define MSG_CODE_EOB 0x81

#define SCANNER_STATE_NO_ERROR 0x0100

#define RESPONSE_SIZE 32

// The first eight bytes of every 32-byte response; multi-byte fields little-endian as read.
struct RESPONSE_HEADER {
  BYTE byStartCode;
  BYTE byStatusCode;
  BYTE byLength;
  BYTE byMsgCode;
  WORD wMsgData;
  WORD wReserved;
};
static_assert(sizeof(RESPONSE_HEADER) == 8, "RESPONSE_HEADER");

// A generic 32-byte response: the header and the command-specific rest.
struct COMMAND_RESPONSE {
  RESPONSE_HEADER header;
  BYTE bySpecific[24];
};
static_assert(sizeof(COMMAND_RESPONSE) == RESPONSE_SIZE, "COMMAND_RESPONSE");

// The read response is READ_RESPONSE (STIEscape.h): the caller gets it as it arrived, its sizes
// turned from big-endian into host order.

// The set-window-parameter response.
struct SWP_RESPONSE : RESPONSE_HEADER {
  DWORD dwVWindowsSize;
  DWORD dwHWindowsSize;
  BYTE byRequireMirror;
  BYTE byUnused[15];
};
static_assert(sizeof(SWP_RESPONSE) == RESPONSE_SIZE, "SWP_RESPONSE");

// The inquiry response: lengths big-endian, wSupportedRes little-endian.
#define INQUIRY_RESPONSE_SIZE 70
struct INQUIRY_RESPONSE {
  BYTE byStartCode;            // 0
  BYTE byStatusCode;           // 1
  BYTE byUnused2[2];           // 2
  BYTE byVendorID[8];          // 4
  BYTE byProductID[16];        // 12
  BYTE byUnused28[8];          // 28: byte 28 doubles as a 17th product byte
  BYTE bySupportedRes[2];      // 36: wSupportedRes, byte 36 low
  BYTE byScannerType;          // 38
  BYTE byImageComposition;     // 39
  BYTE byBedWidth[4];          // 40
  BYTE byBedHeight[4];         // 44
  BYTE byRGBOrder[2];          // 48: byte 48 high
  BYTE byUnused50[3];          // 50
  BYTE byDocStatus;            // 53
  BYTE byUnused54[2];          // 54
  BYTE byADFMaxLength[4];      // 56
  BYTE byFlatbedMaxLength[4];  // 60
  BYTE byFirmwareVersion[2];   // 64: only byte 65 is used
  BYTE byUnused66[4];          // 66
};
static_assert(sizeof(INQUIRY_RESPONSE) == INQUIRY_RESPONSE_SIZE, "INQUIRY_RESPONSE");
static_assert(offsetof(INQUIRY_RESPONSE, byDocStatus) == 53, "INQUIRY_RESPONSE.byDocStatus");
static_assert(offsetof(INQUIRY_RESPONSE, byFirmwareVersion) == 64, "INQUIRY_RESPONSE.byFirmwareVersion");

#pragma pack(pop)

#define SWP_COMMAND_SIZE 25

// Bounds on what a scanner may announce. A block never holds more than its window's pixels at
// MAX_BYTES_PER_PIXEL bytes each and the trailer; before any window is taken, MAX_BLOCK_WITHOUT_WINDOW.
#define MAX_BYTES_PER_PIXEL 6
#define MAX_BLOCK_WITHOUT_WINDOW (256u * 1024u * 1024u)
