// The command methods' way into the one exchange path (ExchangePath.cpp).
#pragma once

#include "handler/STIIOHandler.h"
#include "wire/CommandExchange.h"
#include "wire/Protocol.h"

template <typename Response>
EXCHANGE_RESULT CSTIIOHandler::RunCommand(const COMMAND_EXCHANGE& exchange, const COMMAND_BLOCK& command,
                                          Response* pResponse) {
  return RunExchange(exchange, &command, sizeof(command), pResponse, sizeof(*pResponse));
}
