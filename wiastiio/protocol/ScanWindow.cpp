// The scan window: the caller's SWP_PARAMETER record becomes the scanner's 25-byte set-window-parameter
// command, with the window size in 1200-dpi units, most significant byte first.
#include <cstdint>
#include <cstring>

#include "ResolutionCodes.h"
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/win32.h"
#include "protocol/ByteOrder.h"
#include "protocol/CommandProfiles.h"
#include "wire/Protocol.h"

namespace {

const BYTE kSWPCommandHeader[5] = {COMMAND_ESCAPE, COMMAND_PREFIX, OP_SET_WINDOW, 0x13, 0x30};

// Offsets in the 25-byte command.
const size_t SWP_OFFSET_WIDTH = 5;
const size_t SWP_OFFSET_HEIGHT = 9;
const size_t SWP_OFFSET_SCAN_SOURCE = 23;

// Window sizes in 1200-dpi units, computed wide enough that nothing wraps.
uint64_t AlignedWidthUnits(DWORD dwWidth, DWORD dwFactor) {
  return ((static_cast<uint64_t>(dwWidth) + 31u) & ~uint64_t{31}) * dwFactor;
}

// The most a window can produce in one block: every pixel at 6 bytes (twice 24-bit colour, room for a
// deeper or two-sided scan) and the trailer. Never 0, so that a window is always known once set.
DWORD BlockLimit(DWORD dwWidthPixels, DWORD dwHeightPixels) {
  const uint64_t qwLimit =
      static_cast<uint64_t>(dwWidthPixels) * dwHeightPixels * MAX_BYTES_PER_PIXEL + IMAGE_TRAILER_SIZE;
  return qwLimit > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(qwLimit);
}

}  // namespace

bool CSTIIOHandler::WindowFits(DWORD dwFactor) {
  const DWORD dwWidth = m_SWPParam.dwWindowWidth;
  const DWORD dwHeight = m_SWPParam.dwWindowHeight;
  const uint64_t qwWidthUnits = AlignedWidthUnits(dwWidth, dwFactor);
  const uint64_t qwHeightUnits = static_cast<uint64_t>(dwHeight) * dwFactor;
  // Sent wrapped, a window this size would be one the caller never asked for.
  if (qwWidthUnits > 0xFFFFFFFFu || qwHeightUnits > 0xFFFFFFFFu) {
    DebugPrint("[STI]Window of %u x %u pixels does not fit 32-bit 1200-dpi units; refused", dwWidth, dwHeight);
    return false;
  }
  // A window larger than the device's area is the scanner's to judge.
  return true;
}

HRESULT CSTIIOHandler::CallSetWindowParameter() {
  CSTIIOHANDLER_ENTRY("CallSetWindowParameter");

  const DWORD dwFactor = WindowUnitsPerPixel(m_SWPParam.byResolutionCode);
  if (dwFactor == 0) {
    // A window the scanner cannot size is refused before the scanner hears of it.
    DebugPrint("[STI]Unsupported resolution code => %d", m_SWPParam.byResolutionCode);
    return E_INVALIDARG;
  }

  if (!WindowFits(dwFactor)) {
    return E_INVALIDARG;
  }

  memcpy(m_SWPParam.byHeader, kSWPCommandHeader, sizeof(kSWPCommandHeader));

  DebugPrint("[STI]before alignment : width => %d", m_SWPParam.dwWindowWidth);
  // The scanner wants whole 32-pixel groups across (WindowFits has seen that this cannot wrap).
  m_SWPParam.dwWindowWidth = (m_SWPParam.dwWindowWidth + 31u) & ~31u;
  DebugPrint("[STI]after alignment : width => %d", m_SWPParam.dwWindowWidth);
  m_SWPParam.dwWindowWidth *= dwFactor;
  DebugPrint("[STI]after division for 1200-base : width => %d", m_SWPParam.dwWindowWidth);

  m_SWPParam.byReserved1 = 0;
  m_SWPParam.byReserved2 = 0;
  m_SWPParam.dwWindowHeight *= dwFactor;

  // The record without its padding, the two sizes turned most significant byte first.
  BYTE abyCommand[SWP_COMMAND_SIZE];
  memcpy(abyCommand, m_SWPParam.byHeader, sizeof(m_SWPParam.byHeader));
  memcpy(abyCommand + SWP_OFFSET_WIDTH,
         reinterpret_cast<const BYTE*>(&m_SWPParam) + offsetof(SWP_PARAMETER, dwWindowWidth),
         sizeof(m_SWPParam) - offsetof(SWP_PARAMETER, dwWindowWidth));
  StoreBigEndian32(abyCommand + SWP_OFFSET_WIDTH, m_SWPParam.dwWindowWidth);
  StoreBigEndian32(abyCommand + SWP_OFFSET_HEIGHT, m_SWPParam.dwWindowHeight);

  ValidateSWPForADF(abyCommand);

  // The dump is 25 lines: with debugging off the loop itself is skipped.
  if (m_bDebugOutput) {
    for (DWORD i = 0; i < SWP_COMMAND_SIZE; ++i) {
      DebugPrint("[STI][sent SWP command][%02X] => %02X", i, abyCommand[i]);
    }
  }

  // A refused window leaves the scanner's earlier one in force; once this one is sent, the earlier one no
  // longer bounds the blocks, and until the scanner takes this one, no window does.
  m_dwWindowBlockLimit = 0;
  const EXCHANGE_RESULT exchange =
      RunExchange(kSetWindowExchange, abyCommand, SWP_COMMAND_SIZE, &m_SWPResponse, sizeof(m_SWPResponse));
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered) {
    return exchange.hr;
  }

  DebugPrint("[STI]=====RESPONSE FOR SETWINDOWPARAMETER====");
  DumpFields({
      {"[STI]byStartCode = >0x%X", m_SWPResponse.byStartCode},
      {"[STI]byStatusCode = >0x%X", m_SWPResponse.byStatusCode},
      {"[STI]byLength = >0x%X", m_SWPResponse.byLength},
      {"[STI]byMsgCode = >0x%x", m_SWPResponse.byMsgCode},
      {"[STI]wMsgData = >0x%X", m_SWPResponse.wMsgData},
      {"[STI] wReserved= >0x%x", m_SWPResponse.wReserved},
      {"[STI]dwVWindowsSize = >(hexa)%08X", m_SWPResponse.dwVWindowsSize},
      {"[STI]dwHWindowsSize = >(hexa)%08X", m_SWPResponse.dwHWindowsSize},
      {"[STI]byRequireMirror = >0x%X", m_SWPResponse.byRequireMirror},
  });
  DebugPrint("[STI]====END OF RESPONSE FOR SETWINDOWPARAMETER =====");
  DebugPrint("[STI]========RECEIVED DATA FOR S.W.P RESPONSE : %dBYTEs ", exchange.cbRead);

  const HRESULT hr = JudgeResponse(kSetWindowJudgement, m_SWPResponse);
  if (hr == S_OK) {
    m_dwWindowBlockLimit = BlockLimit(m_SWPParam.dwWindowWidth / dwFactor, m_SWPParam.dwWindowHeight / dwFactor);
  }
  return hr;
}

void CSTIIOHandler::ValidateSWPForADF(BYTE* pbyCommand) {
  DebugPrint("CSTIIOHandler::ValidateSWPForADF");
  if (m_WiaDeviceInfo.dwScannerType != SCANNER_TYPE_FLATBED_ONLY) {
    DebugPrint("[STI]Scanner Type is not FlatBed Only");
    return;
  }
  DebugPrint("[STI]Scanner Type is FlatBed Only");
  // A scanner without a feeder scans a feeder request from the glass.
  BYTE& byScanSource = pbyCommand[SWP_OFFSET_SCAN_SOURCE];
  if (byScanSource == SCAN_SOURCE_ADF_FRONT || byScanSource == SCAN_SOURCE_ADF_DUPLEX) {
    byScanSource = SCAN_SOURCE_FLATBED;
    DebugPrint("[STI]Set Window Parameter command is changed to flat bed scanning");
  }
}
