// The scanner command protocol: command blocks, response layouts, status codes, message-data bits
// and the result codes that the command methods hand to the minidriver.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// ---- Result codes ------------------------------------------------------------------------------------

// Positive protocol results: they reach the minidriver unchanged and pass the not-negative test.
#define PAGE_END ((HRESULT)4)
#define ADF_NO_DOCUMENT ((HRESULT)7)
#define DEVICE_UNLOCKED ((HRESULT)8)
#define PORT_ACQUIRE_FAIL ((HRESULT)0x100)

#ifndef WIA_ERROR_GENERAL_ERROR
#define WIA_ERROR_GENERAL_ERROR ((HRESULT)0x80210001L)
#define WIA_ERROR_PAPER_JAM ((HRESULT)0x80210002L)
#define WIA_ERROR_PAPER_EMPTY ((HRESULT)0x80210003L)
#define WIA_ERROR_BUSY ((HRESULT)0x80210006L)
#define WIA_ERROR_WARMING_UP ((HRESULT)0x80210007L)
#endif

// GetNotificationData with nothing pending: HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS).
#define STI_NO_EVENT ((HRESULT)0x80070103L)

// ---- Escape codes ------------------------------------------------------------------------------------

#define GET_DEVICE_INFO 0x1001
#define ESC_RESERVE_UNIT 0x1002
#define ESC_SET_WINDOW_PARAMETER 0x1008
#define ESC_OBJECT_POSITION 0x1010
#define ESC_READ 0x1020
#define ESC_ABORT 0x1040
#define ESC_READ_IMAGE 0x1080
#define ESC_RELEASE_UNIT 0x2000

// ---- Port contention ---------------------------------------------------------------------------------

#define PORT_MODE_DEVICE_MONITOR 0x21
#define PORT_MODE_PORT_ARBITRATION 2

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

// The reserve-unit response.
struct RESERVE_RESPONSE {
  BYTE byStartCode;
  BYTE byStatusCode;
  BYTE byLength;
  BYTE byMsgCode;
  WORD wMsgData;
  WORD wWarmupTime;
  BYTE byUnused[24];
};
static_assert(sizeof(RESERVE_RESPONSE) == RESPONSE_SIZE, "RESERVE_RESPONSE");

// A generic 32-byte response: the header and the command-specific rest.
struct COMMAND_RESPONSE {
  RESPONSE_HEADER header;
  BYTE bySpecific[24];
};
static_assert(sizeof(COMMAND_RESPONSE) == RESPONSE_SIZE, "COMMAND_RESPONSE");

// The read response: sizes big-endian on the wire, host order once handed to the caller.
struct READ_RESPONSE {
  BYTE byStartCode;
  BYTE byStatusCode;
  BYTE byLength;
  BYTE byMsgCode;
  DWORD dwDataSize;
  WORD wHeight;
  WORD wWidth;
  WORD wScannerState;  // little-endian; SCANNER_STATE_NO_ERROR means no error
  BYTE byUnused[18];
};
static_assert(sizeof(READ_RESPONSE) == RESPONSE_SIZE, "READ_RESPONSE");
static_assert(offsetof(READ_RESPONSE, wScannerState) == 12, "READ_RESPONSE.wScannerState");

// The set-window-parameter response.
struct SWP_RESPONSE {
  BYTE byStartCode;
  BYTE byStatusCode;
  BYTE byLength;
  BYTE byMsgCode;
  WORD wMsgData;
  WORD wReserved;
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

// ---- Records crossing the escape boundary -------------------------------------------------------------

// The device-information record handed out by GET_DEVICE_INFO: natural 64-bit layout, 152 bytes.
struct SCAN_DEVICE_INFO {
  char szVendorID[8];
  char szProductID[20];
  LONG nX_Resolutions;
  LONG* pX_Resolutions;
  LONG nY_Resolutions;
  LONG* pY_Resolutions;
  DWORD dwScannerType;
  DWORD dwCompressionType;
  DWORD dwImageComposition;
  DWORD dwDocFeederStatus;
  LONG dwScanBedWidth;
  LONG dwScanBedHeight;
  LONG dwDocFeederWidth;
  LONG dwDocFeederHeight;
  DWORD dwRGBOrder;
  DWORD dwMaxScanTime;
  WCHAR wszFirmwareVersion[28];
};
static_assert(sizeof(SCAN_DEVICE_INFO) == 152, "SCAN_DEVICE_INFO");
static_assert(offsetof(SCAN_DEVICE_INFO, szProductID) == 8, "SCAN_DEVICE_INFO.szProductID");
static_assert(offsetof(SCAN_DEVICE_INFO, nX_Resolutions) == 28, "SCAN_DEVICE_INFO.nX_Resolutions");
static_assert(offsetof(SCAN_DEVICE_INFO, pX_Resolutions) == 32, "SCAN_DEVICE_INFO.pX_Resolutions");
static_assert(offsetof(SCAN_DEVICE_INFO, nY_Resolutions) == 40, "SCAN_DEVICE_INFO.nY_Resolutions");
static_assert(offsetof(SCAN_DEVICE_INFO, pY_Resolutions) == 48, "SCAN_DEVICE_INFO.pY_Resolutions");
static_assert(offsetof(SCAN_DEVICE_INFO, dwScannerType) == 56, "SCAN_DEVICE_INFO.dwScannerType");
static_assert(offsetof(SCAN_DEVICE_INFO, dwDocFeederStatus) == 68, "SCAN_DEVICE_INFO.dwDocFeederStatus");
static_assert(offsetof(SCAN_DEVICE_INFO, dwScanBedWidth) == 72, "SCAN_DEVICE_INFO.dwScanBedWidth");
static_assert(offsetof(SCAN_DEVICE_INFO, dwDocFeederHeight) == 84, "SCAN_DEVICE_INFO.dwDocFeederHeight");
static_assert(offsetof(SCAN_DEVICE_INFO, dwRGBOrder) == 88, "SCAN_DEVICE_INFO.dwRGBOrder");
static_assert(offsetof(SCAN_DEVICE_INFO, dwMaxScanTime) == 92, "SCAN_DEVICE_INFO.dwMaxScanTime");
static_assert(offsetof(SCAN_DEVICE_INFO, wszFirmwareVersion) == 96, "SCAN_DEVICE_INFO.wszFirmwareVersion");

#define SCANNER_TYPE_FLATBED_ONLY 4
#define MAX_SCAN_TIME_MS 600000

// The scan-window record given to ESC_SET_WINDOW_PARAMETER: natural layout, 28 bytes.
struct SWP_PARAMETER {
  BYTE byHeader[5];  // replaced by 1B A8 24 13 30
  BYTE byPadding[3];
  DWORD dwWindowWidth;   // pixels at the scan resolution
  DWORD dwWindowHeight;  // lines at the scan resolution
  BYTE byResolutionCode;
  BYTE byParameters[7];  // sent unchanged
  BYTE byReserved1;      // sent as 0
  BYTE byParameter2;     // sent unchanged
  BYTE byScanSource;     // 0x40 flatbed
  BYTE byReserved2;      // sent as 0
};
static_assert(sizeof(SWP_PARAMETER) == 28, "SWP_PARAMETER");
static_assert(offsetof(SWP_PARAMETER, dwWindowWidth) == 8, "SWP_PARAMETER.dwWindowWidth");
static_assert(offsetof(SWP_PARAMETER, byResolutionCode) == 16, "SWP_PARAMETER.byResolutionCode");
static_assert(offsetof(SWP_PARAMETER, byScanSource) == 26, "SWP_PARAMETER.byScanSource");

#define SWP_COMMAND_SIZE 25
#define SCAN_SOURCE_FLATBED 0x40
#define SCAN_SOURCE_ADF_FRONT 0x10
#define SCAN_SOURCE_ADF_DUPLEX 0x20

#define IMAGE_TRAILER_SIZE 16
