// Reserving the scanning unit for a scan, giving it back, and aborting what the scanner is doing.
// Port ownership around these commands is the escape dispatcher's business, a short reserve transfer
// included (AfterShortTransfer).
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/win32.h"
#include "protocol/CommandProfiles.h"
#include "protocol/ExchangePath.h"
#include "wire/Protocol.h"

HRESULT CSTIIOHandler::CallReserveUnit() {
  CSTIIOHANDLER_ENTRY("CallReserveUnit");

  COMMAND_RESPONSE response = {};  // wReserved carries the warm-up time
  const EXCHANGE_RESULT exchange = RunCommand(kReserveUnitExchange, m_cmdReserveUnit, &response);
  // The answer is dumped even when the read call reported failure after moving the full count.
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered && exchange.outcome != EXCHANGE_OUTCOME::kReadFailed) {
    return exchange.hr;
  }
  DumpFields({
      {"[STI]response start code => %02X", response.header.byStartCode},
      {"[STI]response status code(0x00 is good) => %02X", response.header.byStatusCode},
      {"[STI]response byMsgCode => %02X", response.header.byMsgCode},
      {"[STI]response wMsgData => %02X", response.header.wMsgData},
      {"[STI]response wWarmupTime => %02X", response.header.wReserved},
  });
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered) {
    return exchange.hr;
  }

  const HRESULT hr = JudgeResponse(kReserveUnitJudgement, response.header);
  if (hr == S_OK) {
    m_bUnitReserved = TRUE;
  }
  return hr;
}

HRESULT CSTIIOHandler::CallReleaseUnit() {
  CSTIIOHANDLER_ENTRY("CallReleaseUnit");

  COMMAND_RESPONSE response = {};
  const EXCHANGE_RESULT exchange = RunCommand(kReleaseUnitExchange, m_cmdReleaseUnit, &response);
  // Once the command is out the unit counts as released, whatever comes back: reads must not be
  // let through on the strength of a reservation the scanner may already have dropped.
  if (exchange.outcome != EXCHANGE_OUTCOME::kWriteFailed) {
    m_bUnitReserved = FALSE;
  }
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered) {
    return exchange.hr;
  }

  return JudgeResponse(kReleaseUnitJudgement, response.header);
}

HRESULT CSTIIOHandler::CallAbort() {
  CSTIIOHANDLER_ENTRY("CallAbort");

  // Abort is best effort: the minidriver is stopping anyway, so whatever the answer, the result is S_OK.
  // Only a good answer is noted in the log.
  COMMAND_RESPONSE response = {};
  const EXCHANGE_RESULT exchange = RunCommand(kAbortExchange, m_cmdAbort, &response);
  if (exchange.outcome == EXCHANGE_OUTCOME::kAnswered && response.header.byStatusCode == STATUS_CODE_GOOD) {
    WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, 2, "aborting success.");
  }
  return S_OK;
}
