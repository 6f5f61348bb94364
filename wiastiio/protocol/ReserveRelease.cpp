// Reserving the scanning unit for a scan, giving it back, and aborting what the scanner is doing.
// Port ownership around these commands is the escape dispatcher's business; only a short reserve
// transfer releases the port here, since the exchange can no longer be trusted to be in step.
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/win32.h"
#include "protocol/CommandProfiles.h"
#include "protocol/Protocol.h"

HRESULT CSTIIOHandler::CallReserveUnit() {
  DebugPrint("[STI]CSTIIOHandler::CallReserveUnit");
  CSTIIOHANDLER_TRACE("CallReserveUnit");

  RESERVE_RESPONSE response = {};
  const EXCHANGE_RESULT exchange =
      RunExchange(kReserveUnitExchange, &m_cmdReserveUnit, sizeof(m_cmdReserveUnit), &response, sizeof(response));
  // The answer is dumped even when the read call reported failure after moving the full count.
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered && exchange.outcome != EXCHANGE_OUTCOME::kReadFailed) {
    return exchange.hr;
  }
  DebugPrint("[STI]response start code => %02X", response.byStartCode);
  DebugPrint("[STI]response status code(0x00 is good) => %02X", response.byStatusCode);
  DebugPrint("[STI]response byMsgCode => %02X", response.byMsgCode);
  DebugPrint("[STI]response wMsgData => %02X", response.wMsgData);
  DebugPrint("[STI]response wWarmupTime => %02X", response.wWarmupTime);
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered) {
    return exchange.hr;
  }

  const HRESULT hr =
      JudgeResponse(kReserveUnitJudgement, response.byStartCode, response.byStatusCode, response.wMsgData);
  if (hr == S_OK) {
    WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, 2, "locking success.");
    m_bUnitReserved = TRUE;
  }
  return hr;
}

HRESULT CSTIIOHandler::CallReleaseUnit() {
  DebugPrint("[STI]CSTIIOHandler::CallReleaseUnit");
  CSTIIOHANDLER_TRACE("CallReleaseUnit");

  COMMAND_RESPONSE response = {};
  const EXCHANGE_RESULT exchange =
      RunExchange(kReleaseUnitExchange, &m_cmdReleaseUnit, sizeof(m_cmdReleaseUnit), &response, sizeof(response));
  // Once the command is out the unit counts as released, whatever comes back: reads must not be
  // let through on the strength of a reservation the scanner may already have dropped.
  if (exchange.outcome != EXCHANGE_OUTCOME::kWriteFailed) {
    m_bUnitReserved = FALSE;
  }
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered) {
    return exchange.hr;
  }

  const HRESULT hr = JudgeResponse(kReleaseUnitJudgement, response.header.byStartCode, response.header.byStatusCode,
                                   response.header.wMsgData);
  if (hr == S_OK) {
    WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, 2, "locking success.");
  }
  return hr;
}

HRESULT CSTIIOHandler::CallAbort() {
  DebugPrint("[STI]CSTIIOHandler::CallAbort");
  CSTIIOHANDLER_TRACE("CallAbort");

  COMMAND_RESPONSE response = {};
  const EXCHANGE_RESULT exchange =
      RunExchange(kAbortExchange, &m_cmdAbort, sizeof(m_cmdAbort), &response, sizeof(response));
  if (exchange.outcome == EXCHANGE_OUTCOME::kAnswered && response.header.byStatusCode == STATUS_CODE_GOOD) {
    WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, 2, "aborting success.");
  }
  return S_OK;
}
