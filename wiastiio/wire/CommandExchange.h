// One command exchange, described as data: every command method writes its command and reads its answer
// through CSTIIOHandler::RunExchange, and turns status and condition bits into a result through
// CSTIIOHandler::JudgeResponse. What differs between commands (which debug lines, whether counts are
// checked, what a failed call yields, which condition means what) is in the descriptions below; what a
// method does with a good answer stays in the method.
#pragma once

#include <cstddef>
#include <span>

#include "platform/win32.h"

// The debug lines of one direction of an exchange; a null text writes nothing.
struct EXCHANGE_TEXTS {
  LPCSTR pszShort = nullptr;      // the count differs from the length; formatted with the count and the length
  LPCSTR pszFail = nullptr;       // the port call reported failure; formatted with the system error code
  LPCSTR pszErrorCode = nullptr;  // written after pszFail, formatted with the system error code
  LPCSTR pszSuccess = nullptr;    // the call succeeded
};

// When a count is checked: not at all, before the call's own result (a short transfer even when the call
// reports success), or only once the call has reported success (a failed call stays a failed call).
enum class COUNT_CHECK { kNone, kBeforeResult, kAfterResult };

struct COMMAND_EXCHANGE {
  // Written after the write, formatted with the command length, the count written and the call's result.
  LPCSTR pszWriteCount = nullptr;
  // Whether a written count that differs from the length is a short transfer.
  COUNT_CHECK writeCheck;
  // The same for the answer (a kAfterResult answer: see cbJudged).
  COUNT_CHECK readCheck;
  // A short transfer ends the port cycle (CloseDevice); the exchange can no longer be trusted to be in step.
  BOOL bCloseOnShort = FALSE;
  // The result of a short transfer.
  HRESULT hrShortTransfer;
  // The result of a port call that reports failure.
  HRESULT hrFailedCall;
  EXCHANGE_TEXTS write;
  EXCHANGE_TEXTS read;
  // A kAfterResult answer is short only when it lacks a byte its judgement reads at the status that
  // arrived: what arrived is judged, however much of the fixed size it is. cbJudged bytes hold the start
  // code and the status; a check-condition status also reads the condition word when bConditionsJudged.
  DWORD cbJudged = 0;
  BOOL bConditionsJudged = FALSE;
};

// How an exchange ended. Only kAnswered leaves a response worth judging.
enum class EXCHANGE_OUTCOME { kAnswered, kShortTransfer, kWriteFailed, kReadFailed };

struct EXCHANGE_RESULT {
  EXCHANGE_OUTCOME outcome;
  HRESULT hr;        // the result the method returns when the exchange did not end in an answer
  DWORD cbRead = 0;  // bytes of the answer (0 unless kAnswered)
};

// One condition bit behind STATUS_CODE_CHECK_CONDITION; a command's rows are tested in order and the
// first bit set decides.
struct CONDITION_RESULT {
  WORD wMask;
  HRESULT hr;
  LPCSTR pszLine;
};

// A result with the debug line that announces it (null: none).
struct LINE_RESULT {
  LPCSTR pszLine = nullptr;
  HRESULT hr;
};

// From a response's start code, status and condition bits to the command's result.
struct RESPONSE_JUDGEMENT {
  BOOL bTestStartCode;  // a start code other than COMMAND_PREFIX yields badStart
  LINE_RESULT badStart;
  LINE_RESULT good;  // STATUS_CODE_GOOD
  LINE_RESULT busy;  // STATUS_CODE_BUSY
  // The command's condition bits behind STATUS_CODE_CHECK_CONDITION, in the order they are tested.
  std::span<const CONDITION_RESULT> conditions = {};
  LINE_RESULT noCondition;      // STATUS_CODE_CHECK_CONDITION with none of the command's bits set
  LINE_RESULT other;            // any other status
  LPCSTR pszGoodLog = nullptr;  // WIA log entry of a good answer (null: none)
};

// One line of a dump of an answer or record: a format with one number.
struct DUMP_FIELD {
  LPCSTR pszFormat;
  DWORD dwValue;
};
