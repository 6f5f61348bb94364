// The device-information inquiry: one exchange of the inquiry command, then the scanner's 70-byte
// answer turned into the SCAN_DEVICE_INFO record the minidriver reads.
#include <cstddef>
#include <cstring>
#include <new>

#include "handler/STIIOHandler.h"
#include "platform/win32.h"
#include "protocol/ByteOrder.h"
#include "protocol/CommandProfiles.h"
#include "protocol/ExchangePath.h"
#include "wire/Protocol.h"

namespace {

// One supported-resolution bit of the inquiry answer and the dpi it stands for. The table is in
// ascending dpi order, which is the order the minidriver gets the list in.
struct RESOLUTION_BIT {
  WORD wMask;
  LONG lDpi;
};

const RESOLUTION_BIT kResolutionBits[MAX_RESOLUTIONS] = {
    {0x0100, 75},  {0x0010, 100}, {0x0200, 150},  {0x1000, 200},
    {0x2000, 300}, {0x0001, 600}, {0x0008, 1200}, {0x0080, 2400},
};

// A paper dimension the scanner reports within a little of a standard size, in 1/1200 inch.
struct PAPER_SNAP {
  DWORD dwLow;
  DWORD dwTarget;
};

// Every window runs from dwLow to dwLow + PAPER_SNAP_SPAN inclusive (the target +/- 95).
const DWORD PAPER_SNAP_SPAN = 190;

const PAPER_SNAP kWidthSnaps[] = {
    {9865, 9960},    // 8.3 in
    {10105, 10200},  // 8.5 in
    {13945, 14040},  // 11.7 in
};

const PAPER_SNAP kHeightSnaps[] = {
    {13945, 14040},  // 11.7 in
    {16705, 16800},  // 14 in
    {19705, 19800},  // 16.5 in
};

template <size_t N>
DWORD SnapToPaper(DWORD dwValue, const PAPER_SNAP (&snaps)[N]) {
  for (const PAPER_SNAP& snap : snaps) {
    // Unsigned, so a value below the window wraps to a large difference and stays outside.
    if (dwValue - snap.dwLow <= PAPER_SNAP_SPAN) {
      return snap.dwTarget;
    }
  }
  return dwValue;
}

// 1/1200 inch to 1/1000 inch. The product wraps like the 32-bit signed value the record holds.
LONG ToThousandths(DWORD dwValue) {
  return static_cast<LONG>(dwValue * 1000u) / 1200;
}

// Copies a text field of the answer: up to the first zero byte, then zeros to the field's end.
void CopyIdentification(char* pszTo, const BYTE* pbyFrom, size_t cbCopy, size_t cbField) {
  size_t i = 0;
  for (; i < cbCopy && pbyFrom[i] != 0; ++i) {
    pszTo[i] = static_cast<char>(pbyFrom[i]);
  }
  for (; i < cbField; ++i) {
    pszTo[i] = 0;
  }
}

// Writes the decimal digits of dwValue at pwsz and returns the place after them.
WCHAR* AppendDecimal(WCHAR* pwsz, DWORD dwValue) {
  if (dwValue >= 10) {
    pwsz = AppendDecimal(pwsz, dwValue / 10);
  }
  *pwsz = static_cast<WCHAR>(u'0' + dwValue % 10);
  return pwsz + 1;
}

// The scanner's answer carries no major number; byte 64 is not read.
const DWORD FIRMWARE_MAJOR = 0;

// "major.minor"; the field holds the longest such text with room to spare.
template <size_t N>
void FormatFirmwareVersion(WCHAR (&wszVersion)[N], BYTE byMinor) {
  static_assert(N >= sizeof("4294967295.255"), "the firmware text fits its field");
  WCHAR* pwsz = AppendDecimal(wszVersion, FIRMWARE_MAJOR);
  *pwsz++ = u'.';
  pwsz = AppendDecimal(pwsz, byMinor);
  *pwsz = 0;
}

}  // namespace

HRESULT CSTIIOHandler::InquireDevice() {
  INQUIRY_RESPONSE response = {};
  const EXCHANGE_RESULT exchange = RunCommand(kInquiryExchange, m_cmdInquiry, &response);
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered) {
    return exchange.hr;
  }
  const HRESULT hr = JudgeResponse(kInquiryJudgement, response.byStartCode, response.byStatusCode, WORD{});
  if (hr != S_OK) {
    return hr;
  }

  HRESULT hrFormat = ChangeDeviceInfoFormat(&response);
  DebugPrint("[STI]CSTIIOHandler::CallGetDeviceInfo[F/W version] = > %ws", m_WiaDeviceInfo.wszFirmwareVersion);
  // A record without its resolution lists must not be cached and handed out.
  return FAILED(hrFormat) ? hrFormat : S_OK;
}

HRESULT CSTIIOHandler::ChangeDeviceInfoFormat(const INQUIRY_RESPONSE* pResponse) {
  DebugPrint("[STI]CSTIIOHandler::ChangeDeviceInfoFormat");
  const BYTE* pbyResponse = reinterpret_cast<const BYTE*>(pResponse);

  // The product text takes a 17th byte, the one right after the 16-byte product field.
  CopyIdentification(m_WiaDeviceInfo.szVendorID, pResponse->byVendorID, sizeof(pResponse->byVendorID),
                     sizeof(m_WiaDeviceInfo.szVendorID));
  CopyIdentification(m_WiaDeviceInfo.szProductID, pbyResponse + offsetof(INQUIRY_RESPONSE, byProductID), 17,
                     sizeof(m_WiaDeviceInfo.szProductID));

  const HRESULT hr = StoreResolutions(LoadLittleEndian16(pResponse->bySupportedRes));

  m_WiaDeviceInfo.dwScannerType = pResponse->byScannerType & 0x1E;
  m_WiaDeviceInfo.dwCompressionType = 0;
  m_WiaDeviceInfo.dwImageComposition = pResponse->byImageComposition & 0x29;

  switch (pResponse->byDocStatus) {
    case 1:
      m_WiaDeviceInfo.dwDocFeederStatus = 2;
      break;
    case 2:
      m_WiaDeviceInfo.dwDocFeederStatus = 3;
      break;
    default:
      m_WiaDeviceInfo.dwDocFeederStatus = 0;
      DebugPrint("[STI]Incorrect document status value from device");
      break;
  }

  StoreBedSizes(*pResponse);
  m_WiaDeviceInfo.dwMaxScanTime = MAX_SCAN_TIME_MS;
  m_WiaDeviceInfo.dwRGBOrder = LoadBigEndian16(pResponse->byRGBOrder);

  FormatFirmwareVersion(m_WiaDeviceInfo.wszFirmwareVersion, pResponse->byFirmwareVersion[1]);

  DumpDeviceInfo();
  return hr;
}

HRESULT CSTIIOHandler::StoreResolutions(WORD wSupportedRes) {
  HRESULT hr = S_OK;
  DebugPrint("[STI]Response.wSupportedRes => %x", wSupportedRes);
  LONG nCountResol = 0;
  for (const RESOLUTION_BIT& bit : kResolutionBits) {
    if (wSupportedRes & bit.wMask) {
      m_dwResolutions[nCountResol++] = static_cast<DWORD>(bit.lDpi);
    }
  }
  DebugPrint("[STI]nCountResol => %d", nCountResol);

  // The arrays live as long as the handler. They are made big enough for every resolution the
  // answer can name, so a kept array always has room for a later list.
  if (m_WiaDeviceInfo.pX_Resolutions == nullptr) {
    m_WiaDeviceInfo.pX_Resolutions = new (std::nothrow) LONG[MAX_RESOLUTIONS];
    if (m_WiaDeviceInfo.pX_Resolutions != nullptr) {
      DebugPrint("[STI] Memory m_WiaDeviceInfo.pX_Resolutions new");
    } else {
      DebugPrint("[STI] Memory m_WiaDeviceInfo.pX_Resolutions new Fail");
    }
  }
  if (m_WiaDeviceInfo.pY_Resolutions == nullptr) {
    m_WiaDeviceInfo.pY_Resolutions = new (std::nothrow) LONG[MAX_RESOLUTIONS];
    if (m_WiaDeviceInfo.pY_Resolutions != nullptr) {
      DebugPrint("[STI] Memory m_WiaDeviceInfo.pY_Resolutions new");
    } else {
      DebugPrint("[STI] Memory m_WiaDeviceInfo.pY_Resolutions new Fail");
    }
  }
  if (m_WiaDeviceInfo.pX_Resolutions != nullptr && m_WiaDeviceInfo.pY_Resolutions != nullptr) {
    for (LONG i = 0; i < nCountResol; ++i) {
      m_WiaDeviceInfo.pX_Resolutions[i] = static_cast<LONG>(m_dwResolutions[i]);
      m_WiaDeviceInfo.pY_Resolutions[i] = static_cast<LONG>(m_dwResolutions[i]);
    }
    m_WiaDeviceInfo.nX_Resolutions = nCountResol;
    m_WiaDeviceInfo.nY_Resolutions = nCountResol;
  } else {
    // Counts of 0 keep a reader from walking an array that is not there.
    m_WiaDeviceInfo.nX_Resolutions = 0;
    m_WiaDeviceInfo.nY_Resolutions = 0;
    hr = E_OUTOFMEMORY;
  }
  return hr;
}

void CSTIIOHandler::StoreBedSizes(const INQUIRY_RESPONSE& response) {
  DWORD dwBedWidth = LoadBigEndian32(response.byBedWidth);
  const DWORD dwBedHeight = LoadBigEndian32(response.byBedHeight);
  DWORD dwADFMaxLength = LoadBigEndian32(response.byADFMaxLength);
  DWORD dwFlatbedMaxLength = LoadBigEndian32(response.byFlatbedMaxLength);
  DebugPrint("[STI]before adjust:bed width = %d , height = %d", dwBedWidth, dwBedHeight);

  AdjustToPaperSize(static_cast<LONG>(dwBedWidth), DWORD{}, &dwBedWidth, nullptr);
  AdjustToPaperSize(LONG{}, dwFlatbedMaxLength, nullptr, &dwFlatbedMaxLength);
  AdjustToPaperSize(LONG{}, dwADFMaxLength, nullptr, &dwADFMaxLength);

  DebugPrint("[STI]after adjust:bed width = %d , bed height = %d , adf height = %d", dwBedWidth, dwFlatbedMaxLength,
             dwADFMaxLength);
  DebugPrint("[STI] Response.dwFlatbedMaxLength = %d, Response.dwADFMaxLength = %d", dwFlatbedMaxLength,
             dwADFMaxLength);

  m_WiaDeviceInfo.dwScanBedWidth = ToThousandths(dwBedWidth);
  m_WiaDeviceInfo.dwDocFeederWidth = ToThousandths(dwBedWidth);
  m_WiaDeviceInfo.dwScanBedHeight = ToThousandths(dwFlatbedMaxLength);
  m_WiaDeviceInfo.dwDocFeederHeight = ToThousandths(dwADFMaxLength);
}

void CSTIIOHandler::AdjustToPaperSize(LONG lWidth, DWORD dwHeight, DWORD* pdwWidth, DWORD* pdwHeight) {
  if (pdwWidth != nullptr) {
    *pdwWidth = SnapToPaper(static_cast<DWORD>(lWidth), kWidthSnaps);
    DebugPrint("[STI] adjust width is %d ", *pdwWidth);
  } else {
    const DWORD dwAdjusted = SnapToPaper(dwHeight, kHeightSnaps);
    if (pdwHeight != nullptr) {
      *pdwHeight = dwAdjusted;
    }
    DebugPrint("[STI] adjust Height is %d ", dwAdjusted);
  }
}

void CSTIIOHandler::DumpDeviceInfo() {
  // A vendor text of 8 characters has no terminator of its own: the line runs on into the product text,
  // which is always terminated within the record.
  static_assert(offsetof(SCAN_DEVICE_INFO, szProductID) ==
                    offsetof(SCAN_DEVICE_INFO, szVendorID) + sizeof(m_WiaDeviceInfo.szVendorID),
                "the product text follows the vendor text");
  DebugPrint("[STI]===========ALL INFORMATION FROM DEVICE=============");
  DebugPrint("[STI]Vendor ID : %s", m_WiaDeviceInfo.szVendorID);
  DebugPrint("[STI]Product ID : %s", m_WiaDeviceInfo.szProductID);
  DumpFields({
      {"[STI]Number of supported X resolution : %X", static_cast<DWORD>(m_WiaDeviceInfo.nX_Resolutions)},
      {"[STI]Number of supported Y resolution : %X", static_cast<DWORD>(m_WiaDeviceInfo.nY_Resolutions)},
      {"[STI]Scanner Type : 0x%X", m_WiaDeviceInfo.dwScannerType},
      {"[STI]Compression Type : 0x%X", m_WiaDeviceInfo.dwCompressionType},
      {"[STI]Image Composition : 0x%X", m_WiaDeviceInfo.dwImageComposition},
      {"[STI]Doc Feeder Status : 0x%X", m_WiaDeviceInfo.dwDocFeederStatus},
      {"[STI]Scan Bed Width : %d", static_cast<DWORD>(m_WiaDeviceInfo.dwScanBedWidth)},
      {"[STI]Scan Bed Height : %d", static_cast<DWORD>(m_WiaDeviceInfo.dwScanBedHeight)},
      {"[STI]Doc Feeder Width : %d", static_cast<DWORD>(m_WiaDeviceInfo.dwDocFeederWidth)},
      {"[STI]Doc Feeder Height : %d", static_cast<DWORD>(m_WiaDeviceInfo.dwDocFeederHeight)},
      {"[STI]RGB Order : 0x%X", m_WiaDeviceInfo.dwRGBOrder},
      {"[STI]Max Scan Time(mili sec) : %d", m_WiaDeviceInfo.dwMaxScanTime},
  });
  DebugPrint("[STI]Firmware Version : %ws", m_WiaDeviceInfo.wszFirmwareVersion);
  DebugPrint("[STI]=============END OF ALL INFORMATION =================");
}
