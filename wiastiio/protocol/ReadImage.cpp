// Image transfer, two commands per block: the read command announces the size and state of the next
// block, the read-image command fetches exactly that many bytes. m_dwImageBufferSize carries the
// announcement from one to the other.
#include <cstring>
#include <new>

#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/win32.h"
#include "protocol/ByteOrder.h"
#include "protocol/CommandProfiles.h"
#include "protocol/ExchangePath.h"
#include "wire/Protocol.h"

HRESULT CSTIIOHandler::CallRead(LPVOID lpOutBuffer) {
  CSTIIOHANDLER_TRACE("CallRead");

  READ_RESPONSE response = {};
  const EXCHANGE_RESULT exchange = RunCommand(kReadExchange, m_cmdRead, &response);
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered) {
    return exchange.hr;
  }

  if (response.byStartCode != COMMAND_PREFIX) {
    // Forget any earlier announcement so that a read-image call cannot fetch a block nobody announced.
    DebugPrint("[STI]CallRead returns E_FAIL");
    m_dwImageBufferSize = 0;
    return WIA_ERROR_GENERAL_ERROR;
  }

  // The size is kept whatever the status says: a retried read-image call asks for the same block.
  m_dwImageBufferSize = LoadBigEndian32(&response.dwDataSize);
  const WORD wHeight = LoadBigEndian16(&response.wHeight);
  const WORD wWidth = LoadBigEndian16(&response.wWidth);
  const WORD wScannerState = LoadLittleEndian16(&response.wScannerState);
  StoreHost(&response.dwDataSize, m_dwImageBufferSize);
  StoreHost(&response.wHeight, wHeight);
  StoreHost(&response.wWidth, wWidth);

  DebugPrint("[STI]  =============Response of Read command=============");
  DumpFields({
      {"[STI]  || Start Code => \t\t\t\t\t\t\t\t0x%02X", response.byStartCode},
      {"[STI]  || Status Code => \t\t\t\t\t\t\t\t0x%02X", response.byStatusCode},
      {"[STI]  || Msg Code(0x80 : link , 0x81 : EOB) => \t\t\t\t\t\t\t\t0x%02X", response.byMsgCode},
      {"[STI]  || Data Size(this size of buffer will be ready) => \t\t\t\t\t\t\t\t%d", m_dwImageBufferSize},
      {"[STI]  || Width(pixel,bytes[B/W]) => \t\t\t\t\t\t\t\t%d", wWidth},
      {"[STI]  || Height(pixel,bytes[B/W]) => \t\t\t\t\t\t\t\t%d", wHeight},
      {"[STI]  || Scanner State Code(0x0100 is no error) => \t\t\t\t\t\t\t\t0x%04X", wScannerState},
  });
  DebugPrint("[STI]  ========End of Response of Read command=====");

  // An announcement beyond what the window can produce is a broken answer: refused as a failed read
  // before anything is allocated for it.
  const DWORD dwLimit = m_dwWindowBlockLimit != 0 ? m_dwWindowBlockLimit : MAX_BLOCK_WITHOUT_WINDOW;
  if (m_dwImageBufferSize > dwLimit) {
    DebugPrint("[STI]Announced block of %u bytes is more than the %u the window can produce; refused",
               m_dwImageBufferSize, dwLimit);
    m_dwImageBufferSize = 0;
    return E_FAIL;
  }

  // The caller sizes its next read-image buffer from this record, whatever the status turns out to be.
  std::memcpy(lpOutBuffer, &response, sizeof(response));

  if (response.byStatusCode == STATUS_CODE_GOOD && response.byMsgCode == MSG_CODE_EOB) {
    DebugPrint("[STI]CallRead returns PAGE_END");
    return PAGE_END;
  }
  return JudgeResponse(kReadJudgement, response.byStartCode, response.byStatusCode, wScannerState);
}

HRESULT CSTIIOHandler::CallReadImage(LPVOID lpOutBuffer, LPDWORD pdwActualData) {
  CSTIIOHANDLER_ENTRY("CallReadImage");
  auto storeCount = [&](DWORD dwCount) {
    if (pdwActualData != nullptr) {
      *pdwActualData = dwCount;
    } else {
      // Stored through a missing pointer, the count would fault in the service that hosts the library.
      DebugPrint("[STI]CallReadImage: no count pointer, the count %d is not stored", dwCount);
    }
  };

  if (m_dwImageBufferSize == 0) {
    DebugPrint("[STI]m_dwImageBufferSize is 0, No memory is allocated");
    storeCount(0);
    return E_FAIL;
  }

  delete[] m_pRawDataBuffer;  // never held between calls; a stray one must not leak
  m_pRawDataBuffer = new (std::nothrow) BYTE[m_dwImageBufferSize];
  if (m_pRawDataBuffer == nullptr) {
    // The announced size is kept, so the minidriver can try the same block again.
    DebugPrint("[STI] Memory m_pRawDataBuffer new Fail");
    storeCount(0);
    return E_OUTOFMEMORY;
  }
  DebugPrint("[STI] Memory m_pRawDataBuffer new");
  DebugPrint("[STI][ReadImage]Allocated Image Buffer Size => \t\t\t\t\t\t%d", m_dwImageBufferSize);

  // The announced size is kept on every failure, so a retry asks for the same block.
  const EXCHANGE_RESULT exchange =
      RunExchange(kReadImageExchange, &m_cmdReadImage, sizeof(m_cmdReadImage), m_pRawDataBuffer, m_dwImageBufferSize);
  HRESULT hr = exchange.hr;
  if (exchange.outcome == EXCHANGE_OUTCOME::kAnswered) {
    DebugPrint("[STI][m_dwImageBufferSize]Received Image Data Size => %d", exchange.cbRead);
    // Every block ends in a trailer of its own that is not image data.
    DWORD dwImageBytes = 0;
    if (exchange.cbRead > IMAGE_TRAILER_SIZE) {
      dwImageBytes = exchange.cbRead - IMAGE_TRAILER_SIZE;
      std::memcpy(lpOutBuffer, m_pRawDataBuffer, dwImageBytes);
    }
    storeCount(dwImageBytes);
    m_dwImageBufferSize = 0;
  }

  delete[] m_pRawDataBuffer;
  m_pRawDataBuffer = nullptr;
  DebugPrint("[STI] Memory m_pRawDataBuffer delete");
  return hr;
}
