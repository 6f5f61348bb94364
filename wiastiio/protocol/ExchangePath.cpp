// The one exchange path every command method runs (wire/CommandExchange.h): write the command,
// read the answer, check the counts and write the debug lines of each step as the command's description
// says; then judge the answer, and dump its fields.
#include "protocol/ExchangePath.h"

#include "device/Port.h"
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "protocol/CommandProfiles.h"
#include "wire/CommandExchange.h"
#include "wire/Protocol.h"

namespace {

// The bytes an answer's judgement reads, by the status that arrived: a status other than check condition
// is judged on its start code and status alone; a check condition also on its condition word, which would
// otherwise be whatever the buffer held before.
DWORD JudgedLength(const COMMAND_EXCHANGE& exchange, LPCVOID pResponse, DWORD cbRead) {
  if (!exchange.bConditionsJudged || cbRead < JUDGED_STATUS) {
    return exchange.cbJudged;
  }
  const BYTE byStatus = static_cast<const BYTE*>(pResponse)[offsetof(RESPONSE_HEADER, byStatusCode)];
  return byStatus == STATUS_CODE_CHECK_CONDITION ? JUDGED_CONDITIONS : exchange.cbJudged;
}

}  // namespace

EXCHANGE_RESULT CSTIIOHandler::RunExchange(const COMMAND_EXCHANGE& exchange, LPCVOID pCommand, DWORD cbCommand,
                                           LPVOID pResponse, DWORD cbResponse) {
  // A short transfer leaves the scanner mid-command. What that means for the port cycle is decided at
  // once, before the command method writes another line.
  auto shortTransfer = [&](const EXCHANGE_TEXTS& texts, DWORD cbMoved, DWORD cbAsked) -> EXCHANGE_RESULT {
    if (texts.pszShort != nullptr) {
      DebugPrint(texts.pszShort, cbMoved, cbAsked);
    }
    AfterShortTransfer(exchange);
    return {EXCHANGE_OUTCOME::kShortTransfer, exchange.hrShortTransfer};
  };
  // A failed call leaves the port as it was; only the system's error code is kept.
  auto failedCall = [&](const EXCHANGE_TEXTS& texts, DWORD dwError, EXCHANGE_OUTCOME outcome) -> EXCHANGE_RESULT {
    m_dwLastError = dwError;
    if (texts.pszFail != nullptr) {
      DebugPrint(texts.pszFail, dwError);
    }
    if (texts.pszErrorCode != nullptr) {
      DebugPrint(texts.pszErrorCode, dwError);
    }
    return {outcome, exchange.hrFailedCall};
  };

  DWORD dwWritten = 0;
  BOOL bResult = CoWriteFile(pCommand, cbCommand, &dwWritten);
  // Taken at once: the debug output below may overwrite the thread's last-error code. Only a failed
  // call's code is ever used.
  DWORD dwError = PortError();
  if (exchange.pszWriteCount != nullptr) {
    DebugPrint(exchange.pszWriteCount, cbCommand, dwWritten, bResult);
  }
  // A short write counts even when the call claims success: the scanner saw a partial command.
  const bool bShortWrite = exchange.writeCheck != COUNT_CHECK::kNone && dwWritten != cbCommand;
  if (bShortWrite && exchange.writeCheck == COUNT_CHECK::kBeforeResult) {
    return shortTransfer(exchange.write, dwWritten, cbCommand);
  }
  if (!bResult) {
    return failedCall(exchange.write, dwError, EXCHANGE_OUTCOME::kWriteFailed);
  }
  if (bShortWrite) {
    return shortTransfer(exchange.write, dwWritten, cbCommand);
  }
  if (exchange.write.pszSuccess != nullptr) {
    DebugPrint(exchange.write.pszSuccess);
  }

  DWORD dwRead = 0;
  bResult = CoReadFile(pResponse, cbResponse, &dwRead);
  dwError = PortError();
  const bool bShortRead = exchange.readCheck == COUNT_CHECK::kAfterResult
                              ? dwRead < JudgedLength(exchange, pResponse, dwRead)
                              : exchange.readCheck != COUNT_CHECK::kNone && dwRead != cbResponse;
  if (bShortRead && exchange.readCheck == COUNT_CHECK::kBeforeResult) {
    return shortTransfer(exchange.read, dwRead, cbResponse);
  }
  if (!bResult) {
    return failedCall(exchange.read, dwError, EXCHANGE_OUTCOME::kReadFailed);
  }
  if (bShortRead) {
    return shortTransfer(exchange.read, dwRead, cbResponse);
  }
  if (exchange.read.pszSuccess != nullptr) {
    DebugPrint(exchange.read.pszSuccess);
  }
  return {EXCHANGE_OUTCOME::kAnswered, S_OK, dwRead};
}

HRESULT CSTIIOHandler::JudgeResponse(const RESPONSE_JUDGEMENT& judgement, const RESPONSE_HEADER& header) {
  return JudgeResponse(judgement, header.byStartCode, header.byStatusCode, header.wMsgData);
}

HRESULT CSTIIOHandler::JudgeResponse(const RESPONSE_JUDGEMENT& judgement, BYTE byStartCode, BYTE byStatusCode,
                                     WORD wConditions) {
  auto announce = [this](const LINE_RESULT& result) {
    if (result.pszLine != nullptr) {
      DebugPrint(result.pszLine);
    }
    return result.hr;
  };

  if (judgement.bTestStartCode && byStartCode != COMMAND_PREFIX) {
    return announce(judgement.badStart);
  }
  switch (byStatusCode) {
    case STATUS_CODE_GOOD:
      announce(judgement.good);
      // After the line, as the log has always shown it.
      if (judgement.pszGoodLog != nullptr) {
        WiaLogEntry(m_pIWiaLog, WIALOG_TRACE, 0, 2, judgement.pszGoodLog);
      }
      return judgement.good.hr;
    case STATUS_CODE_BUSY:
      return announce(judgement.busy);
    case STATUS_CODE_CHECK_CONDITION:
      for (const CONDITION_RESULT& condition : judgement.conditions) {
        if (wConditions & condition.wMask) {
          return announce({condition.pszLine, condition.hr});
        }
      }
      return announce(judgement.noCondition);
    default:
      return announce(judgement.other);
  }
}
