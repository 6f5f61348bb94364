// The dump of an answer's fields. The exchange path itself is in protocol/ExchangePath.h.
#include "protocol/CommandExchange.h"
#include "handler/STIIOHandler.h"

void CSTIIOHandler::WriteDebugFields(std::initializer_list<DUMP_FIELD> fields) {
  for (const DUMP_FIELD& field : fields) {
    WriteDebugLine(field.pszFormat, field.dwValue);
  }
}
