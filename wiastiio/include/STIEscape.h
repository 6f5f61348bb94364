// What a minidriver relies on when it calls STIEscape: the escape codes, the results that are not
// failures, and the records that cross the escape buffers, for C and C++ alike (shipped with
// WIASTIIO.h in the kit). The scanner's own wire formats stay private to the library.
#pragma once

#include <stddef.h>

#include "WIASTIIO.h"

// ---- Escape codes ------------------------------------------------------------------------------------

#define GET_DEVICE_INFO 0x1001
#define ESC_RESERVE_UNIT 0x1002
#define ESC_SET_WINDOW_PARAMETER 0x1008
#define ESC_OBJECT_POSITION 0x1010
#define ESC_READ 0x1020
#define ESC_ABORT 0x1040
#define ESC_READ_IMAGE 0x1080
#define ESC_RELEASE_UNIT 0x2000

// ---- Results -----------------------------------------------------------------------------------------

// Positive results: they reach the minidriver unchanged and pass the not-negative test.
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

// ---- GET_DEVICE_INFO ---------------------------------------------------------------------------------

// The device-information record: natural 64-bit layout, 152 bytes. Lengths in 1/1000 inch.
typedef struct SCAN_DEVICE_INFO {
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
} SCAN_DEVICE_INFO;
// The two pointers put the record in its 64-bit shape.
WIASTIIO_STATIC_ASSERT(sizeof(SCAN_DEVICE_INFO) == 152, "SCAN_DEVICE_INFO");
WIASTIIO_STATIC_ASSERT(offsetof(SCAN_DEVICE_INFO, pX_Resolutions) == 32, "SCAN_DEVICE_INFO.pX_Resolutions");
WIASTIIO_STATIC_ASSERT(offsetof(SCAN_DEVICE_INFO, pY_Resolutions) == 48, "SCAN_DEVICE_INFO.pY_Resolutions");
WIASTIIO_STATIC_ASSERT(offsetof(SCAN_DEVICE_INFO, dwScannerType) == 56, "SCAN_DEVICE_INFO.dwScannerType");
WIASTIIO_STATIC_ASSERT(offsetof(SCAN_DEVICE_INFO, wszFirmwareVersion) == 96, "SCAN_DEVICE_INFO.wszFirmwareVersion");

#define SCANNER_TYPE_FLATBED_ONLY 4
// The image-composition bits the library passes on in dwImageComposition: the image types the scanner
// produces.
#define IMAGE_COMPOSITION_BLACK_WHITE 0x01
#define IMAGE_COMPOSITION_GREY 0x08
#define IMAGE_COMPOSITION_COLOUR 0x20
#define MAX_SCAN_TIME_MS 600000

// ---- ESC_SET_WINDOW_PARAMETER --------------------------------------------------------------------------

// The scan-window record: natural layout, 28 bytes.
typedef struct SWP_PARAMETER {
  BYTE byHeader[5];  // replaced by the library
  BYTE byPadding[3];
  DWORD dwWindowWidth;   // pixels at the scan resolution
  DWORD dwWindowHeight;  // lines at the scan resolution
  BYTE byResolutionCode;
  BYTE byParameters[7];  // sent unchanged
  BYTE byReserved1;      // sent as 0
  BYTE byParameter2;     // sent unchanged
  BYTE byScanSource;     // SCAN_SOURCE_...
  BYTE byReserved2;      // sent as 0
} SWP_PARAMETER;
WIASTIIO_STATIC_ASSERT(sizeof(SWP_PARAMETER) == 28, "SWP_PARAMETER");
WIASTIIO_STATIC_ASSERT(offsetof(SWP_PARAMETER, dwWindowWidth) == 8, "SWP_PARAMETER.dwWindowWidth");
WIASTIIO_STATIC_ASSERT(offsetof(SWP_PARAMETER, byResolutionCode) == 16, "SWP_PARAMETER.byResolutionCode");
WIASTIIO_STATIC_ASSERT(offsetof(SWP_PARAMETER, byScanSource) == 26, "SWP_PARAMETER.byScanSource");

#define SCAN_SOURCE_FLATBED 0x40
#define SCAN_SOURCE_ADF_FRONT 0x10
#define SCAN_SOURCE_ADF_DUPLEX 0x20

// The image types of byParameters[0] (record byte 17); byParameters[1] is the bits per pixel.
#define IMAGE_TYPE_BLACK_WHITE 0
#define IMAGE_TYPE_GREY 1
#define IMAGE_TYPE_COLOUR 2

// The resolution codes of byResolutionCode, {code, dpi}: an initializer for an array of
// RESOLUTION_CODE. The scanner takes window sizes in 1200-dpi units (WINDOW_UNIT_DPI), so only a
// resolution that divides 1200 can be scanned; the others (2400 dpi) are refused with E_INVALIDARG.
typedef struct RESOLUTION_CODE {
  BYTE byCode;
  DWORD dwDpi;
} RESOLUTION_CODE;

#define WINDOW_UNIT_DPI 1200
#define RESOLUTION_CODES                                                     \
  {                                                                          \
    {0, 75}, {2, 150}, {5, 300}, {7, 600}, {8, 1200}, {9, 200}, {10, 100}, { \
      11, 2400                                                               \
    }                                                                        \
  }

// ---- ESC_READ and ESC_READ_IMAGE -----------------------------------------------------------------------

// The read record handed to the caller, 32 bytes; dwDataSize, wHeight and wWidth in host order.
#pragma pack(push, 1)
typedef struct READ_RESPONSE {
  BYTE byStartCode;
  BYTE byStatusCode;
  BYTE byLength;
  BYTE byMsgCode;    // 0x81 at the end of a page (the escape then returns PAGE_END)
  DWORD dwDataSize;  // bytes of the next block, its trailer included
  WORD wHeight;
  WORD wWidth;
  WORD wScannerState;  // 0x0100: no error
  BYTE byUnused[18];
} READ_RESPONSE;
#pragma pack(pop)
WIASTIIO_STATIC_ASSERT(sizeof(READ_RESPONSE) == 32, "READ_RESPONSE");
WIASTIIO_STATIC_ASSERT(offsetof(READ_RESPONSE, wScannerState) == 12, "READ_RESPONSE.wScannerState");

// Every block the scanner sends ends in a trailer that ESC_READ_IMAGE does not hand on.
#define IMAGE_TRAILER_SIZE 16
