// Object position: its command and the judgement of its answer.
#include "handler/CallTrace.h"
#include "handler/STIIOHandler.h"
#include "platform/win32.h"
#include "protocol/CommandProfiles.h"
#include "protocol/ExchangePath.h"
#include "wire/Protocol.h"

HRESULT CSTIIOHandler::CallObjectPosition() {
  CSTIIOHANDLER_TRACE("CallObjectPosition");

  COMMAND_RESPONSE response = {};
  const EXCHANGE_RESULT exchange = RunCommand(kObjectPositionExchange, m_cmdObjectPosition, &response);
  if (exchange.outcome != EXCHANGE_OUTCOME::kAnswered) {
    return exchange.hr;
  }

  const RESPONSE_HEADER& header = response.header;
  DumpFields({
      {"[STI]Start  Code\t=>0x%02X", header.byStartCode},
      {"[STI]Status Code\t=>0x%02X", header.byStatusCode},
      {"[STI]Msg Data\t\t=>0x%02X", header.wMsgData},
  });

  return JudgeResponse(kObjectPositionJudgement, header);
}
