// Every command's exchange and judgement in one place: the debug lines of each step, what a short or
// failed transfer yields, and which status or condition bit becomes which result. The texts are part of
// the library's interface (tools match on them), misspellings and doubled blanks included.
#pragma once

#include <cstddef>

#include "wire/CommandExchange.h"
#include "wire/Protocol.h"

// ---- Exchanges -------------------------------------------------------------------------------------
// Two kinds. The inquiry, reserve, read and read image always had both counts checked, before the call's
// own result: a short transfer yields E_FAIL. Release, abort, object position and set window never had
// theirs checked: an answer is judged on what arrived, and only one too short to hold the bytes its
// judgement reads at the status that arrived (cbJudged, and the condition word for a check condition),
// once the read call has reported success, is a short transfer; it leaves the port cycle to the
// dispatcher.

// The bytes every judgement reads: the start code and the status. A check condition of object position
// and set window reads wMsgData too (JUDGED_CONDITIONS).
inline constexpr DWORD JUDGED_STATUS = offsetof(RESPONSE_HEADER, byStatusCode) + 1;
inline constexpr DWORD JUDGED_CONDITIONS = offsetof(RESPONSE_HEADER, wMsgData) + sizeof(WORD);

// CallGetDeviceInfo ends the inquiry's port cycle whatever happened, so a short transfer leaves the port
// alone.
inline constexpr COMMAND_EXCHANGE kInquiryExchange = {
    .pszWriteCount = "[QZ] sizeof(m_cmdInquiry)= %d,dwBytesWritten = %d, bResult = %d",
    .writeCheck = COUNT_CHECK::kBeforeResult,
    .readCheck = COUNT_CHECK::kBeforeResult,
    .bCloseOnShort = FALSE,
    .hrShortTransfer = E_FAIL,
    .hrFailedCall = E_NOTIMPL,
    .write = {.pszShort = "[QZ]Writefile Fail",
              .pszFail = "[STI]CSTIIOHandler::CallGetDeviceInfo = > CoWriteFile Fail",
              .pszSuccess = "[STI]CSTIIOHandler::CallGetDeviceInfo => CoWriteFile Success"},
    .read = {.pszShort = "[QZ]Readfile Fail",
             .pszFail = "[STI]CSTIIOHandler::CallGetDeviceInfo => CoReadFile Fail",
             .pszErrorCode = "[STI]Error code => %d",
             .pszSuccess = "[STI]CSTIIOHandler::CallGetDeviceInfo =>CoReadFile Success"},
};

inline constexpr COMMAND_EXCHANGE kReserveUnitExchange = {
    .pszWriteCount = "[QZ] sizeof(m_cmdReserveUnit)= %d,dwBytesWritten = %d, bResult = %d",
    .writeCheck = COUNT_CHECK::kBeforeResult,
    .readCheck = COUNT_CHECK::kBeforeResult,
    .bCloseOnShort = TRUE,
    .hrShortTransfer = E_FAIL,
    .hrFailedCall = E_NOTIMPL,
    .write = {.pszShort = "[STI] I/O Error",
              .pszFail = "[STI]CSTIIOHandler::CallReserveUnit = > CoWriteFile Fail",
              .pszErrorCode = "[STI]Error Code => %d",
              .pszSuccess = "[STI]CSTIIOHandler::CallReserveUnit = > CoWriteFile Success"},
    .read = {.pszFail = "[STI]CSTIIOHandler::CallReserveUnit = > CoReadFile Fail",
             .pszErrorCode = "[STI]Error code => %d",
             .pszSuccess = "[STI]CSTIIOHandler::CallReserveUnit =>CoReadFile Success"},
};

inline constexpr COMMAND_EXCHANGE kReleaseUnitExchange = {
    .writeCheck = COUNT_CHECK::kNone,
    .readCheck = COUNT_CHECK::kAfterResult,
    .hrShortTransfer = E_FAIL,
    .hrFailedCall = E_NOTIMPL,
    .write = {.pszFail = "[STI]CSTIIOHandler::CallReleaseUnit => CoWriteFile Fail",
              .pszSuccess = "[STI]CSTIIOHandler::CallReleaseUnit => CoWriteFile Success"},
    .read = {.pszShort = "[STI]CSTIIOHandler::CallReleaseUnit => short answer of %d of %d bytes refused",
             .pszFail = "[STI]CSTIIOHandler::CallReleaseUnit => CoReadFile Fail",
             .pszSuccess = "[STI]CSTIIOHandler::CallReleaseUnit => CoReadFile Success"},
    .cbJudged = JUDGED_STATUS,
};

// Abort is best effort: the minidriver is stopping anyway, so CallAbort reports no outcome as a failure.
inline constexpr COMMAND_EXCHANGE kAbortExchange = {
    .writeCheck = COUNT_CHECK::kNone,
    .readCheck = COUNT_CHECK::kAfterResult,
    .hrShortTransfer = S_OK,
    .hrFailedCall = S_OK,
    .write = {.pszFail = "[STI]CSTIIOHandler::CallAbort => CoWriteFile Fail,Error Code =>%d",
              .pszSuccess = "[STI]CSTIIOHandler::CallAbort => CoWriteFile Success"},
    .read = {.pszShort = "[STI]CSTIIOHandler::CallAbort => short answer of %d of %d bytes refused",
             .pszFail = "[STI]CSTIIOHandler::CallAbort => CoReadFile Fail",
             .pszSuccess = "[STI]CSTIIOHandler::CallAbort => CoReadFile Success"},
    .cbJudged = JUDGED_STATUS,
};

inline constexpr COMMAND_EXCHANGE kObjectPositionExchange = {
    .writeCheck = COUNT_CHECK::kNone,
    .readCheck = COUNT_CHECK::kAfterResult,
    .hrShortTransfer = E_FAIL,
    .hrFailedCall = E_NOTIMPL,
    .write = {.pszFail = "[STI]CSTIIOHandler::CallObjectPosition = > CoWriteFile Fail"},
    .read = {.pszShort = "[STI]CSTIIOHandler::CallObjectPosition => short answer of %d of %d bytes refused",
             .pszFail = "[STI]CSTIIOHandler::CallObjectPosition =>CoReadFile Fail",
             .pszSuccess = "[STI]CSTIIOHandler::CallObjectPosition => \t\t\t\tCoWriteFile / CoReadFile Success"},
    .cbJudged = JUDGED_STATUS,
    .bConditionsJudged = TRUE,
};

inline constexpr COMMAND_EXCHANGE kSetWindowExchange = {
    .writeCheck = COUNT_CHECK::kNone,
    .readCheck = COUNT_CHECK::kAfterResult,
    .hrShortTransfer = E_FAIL,
    .hrFailedCall = E_FAIL,
    .write = {.pszFail = "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoWriteFile Fail",
              .pszSuccess = "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoWriteFile Success"},
    .read = {.pszShort = "[STI]CSTIIOHandler::CallSetWindowParameter => short answer of %d of %d bytes refused",
             .pszFail = "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoReadFile Fail",
             .pszSuccess = "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoReadFile Success"},
    .cbJudged = JUDGED_STATUS,
    .bConditionsJudged = TRUE,
};

inline constexpr COMMAND_EXCHANGE kReadExchange = {
    .writeCheck = COUNT_CHECK::kBeforeResult,
    .readCheck = COUNT_CHECK::kBeforeResult,
    .bCloseOnShort = TRUE,
    .hrShortTransfer = E_FAIL,
    .hrFailedCall = E_FAIL,
    .write = {.pszShort = "[STI]Writefile I/O Fail", .pszFail = "[STI]CSTIIOHandler::CallRead = > CoWriteFile Fail"},
    .read = {.pszShort = "[STI]Readfile I/O Fail",
             .pszFail = "[STI]CSTIIOHandler::CallRead = > CoReadFile Fail",
             .pszSuccess = "[STI]CSTIIOHandler::CallRead = > Read / Write[Success]"},
};

inline constexpr COMMAND_EXCHANGE kReadImageExchange = {
    .writeCheck = COUNT_CHECK::kBeforeResult,
    .readCheck = COUNT_CHECK::kBeforeResult,
    .bCloseOnShort = TRUE,
    .hrShortTransfer = E_FAIL,
    .hrFailedCall = E_NOTIMPL,
    .write = {.pszFail = "[STI]CSTIIOHandler::CallReadImage = > CoWriteFile Fail",
              .pszSuccess = "[STI]CSTIIOHandler::CallReadImage = > CoWriteFile Success"},
    .read = {.pszFail = "[STI]CSTIIOHandler::CallReadImage = > CoReadFile Fail",
             .pszErrorCode = "[STI]Error code => %d",
             .pszSuccess = "[STI]CSTIIOHandler::CallReadImage = > CoReadFile Success"},
};

// ---- Judgements ------------------------------------------------------------------------------------

// Object position reports an empty feeder as a state, not a failure: the minidriver may fall back to
// the flatbed.
inline constexpr CONDITION_RESULT kObjectPositionConditions[] = {
    {MSG_DATA_RESOURCEBUSY, WIA_ERROR_BUSY, "[STI] MSG_DATA_RESOURCEBUSY Error"},
    {MSG_DATA_NO_DOCUMENT, ADF_NO_DOCUMENT, "[STI] No document in ADF"},
    {MSG_DATA_PAPER_JAM, WIA_ERROR_PAPER_JAM, "[STI] PaperJAM"},
    {MSG_DATA_WARMING_UP, WIA_ERROR_WARMING_UP, "[STI] WIA_ERROR_WARMING_UP Error"},
};

// The read's conditions come from the scanner-state word: those of object position, and bit 14, which
// keeps the warming-up text.
inline constexpr CONDITION_RESULT kReadConditions[] = {
    {MSG_DATA_RESOURCEBUSY, WIA_ERROR_BUSY, "[STI] MSG_DATA_RESOURCEBUSY Error"},
    {MSG_DATA_NO_DOCUMENT, ADF_NO_DOCUMENT, "[STI] No document in ADF"},
    {MSG_DATA_PAPER_JAM, WIA_ERROR_PAPER_JAM, "[STI] PaperJAM"},
    {MSG_DATA_WARMING_UP, WIA_ERROR_WARMING_UP, "[STI] WIA_ERROR_WARMING_UP Error"},
    {MSG_DATA_GENERAL, WIA_ERROR_GENERAL_ERROR, "[STI] WIA_ERROR_WARMING_UP Error"},
};

// The scanner says how long a warm-up takes, but the minidriver decides whether to wait and retry.
inline constexpr CONDITION_RESULT kReserveUnitConditions[] = {
    {MSG_DATA_RESOURCEBUSY, WIA_ERROR_BUSY, "[STI] Gereral Error"},
    {MSG_DATA_NO_DOCUMENT, WIA_ERROR_PAPER_EMPTY, "[STI] No document in ADF"},
    {MSG_DATA_PAPER_JAM, WIA_ERROR_PAPER_JAM, "[STI] PaperJAM"},
    {MSG_DATA_WARMING_UP, WIA_ERROR_WARMING_UP, "[STI] WIA_ERROR_WARMING_UP Error"},
};

inline constexpr CONDITION_RESULT kSetWindowConditions[] = {
    {MSG_DATA_RESOURCEBUSY, WIA_ERROR_BUSY, "[STI] Resource Busy"},
    {MSG_DATA_NO_DOCUMENT, WIA_ERROR_PAPER_EMPTY, "[STI] No document in ADF"},
    {MSG_DATA_PAPER_JAM, WIA_ERROR_PAPER_JAM, "[STI] PaperJAM"},
    {MSG_DATA_WARMING_UP, WIA_ERROR_WARMING_UP, "[STI] WarmingUp"},
};

// The inquiry succeeds on a good answer only.
inline constexpr RESPONSE_JUDGEMENT kInquiryJudgement = {
    .bTestStartCode = TRUE,
    .badStart = {.hr = E_FAIL},
    .good = {.hr = S_OK},
    .busy = {.hr = E_FAIL},
    .noCondition = {.hr = E_FAIL},
    .other = {.hr = E_FAIL},
};

inline constexpr RESPONSE_JUDGEMENT kReserveUnitJudgement = {
    .bTestStartCode = TRUE,
    .badStart = {.hr = E_FAIL},
    .good = {.pszLine = "[STI]CSTIIOHandler::CallReserveUnit => \t\t\t\t\t\t\tLocking Success", .hr = S_OK},
    .busy = {.pszLine = "[STI] Gereral Error", .hr = WIA_ERROR_BUSY},
    .conditions = kReserveUnitConditions,
    .noCondition = {.hr = E_FAIL},
    .other = {.hr = E_FAIL},
    .pszGoodLog = "locking success.",
};

// A refused release is not refined by its message data.
inline constexpr RESPONSE_JUDGEMENT kReleaseUnitJudgement = {
    .bTestStartCode = TRUE,
    .badStart = {.hr = E_NOTIMPL},
    .good = {.pszLine = "[STI]CSTIIOHandler::CallReleaseUnit => UnLocking Success", .hr = S_OK},
    .busy = {.pszLine = "[STI] Gereral Error", .hr = WIA_ERROR_BUSY},
    .noCondition = {.hr = E_FAIL},
    .other = {.hr = E_FAIL},
    .pszGoodLog = "locking success.",
};

inline constexpr RESPONSE_JUDGEMENT kObjectPositionJudgement = {
    .bTestStartCode = TRUE,
    .badStart = {.hr = E_FAIL},
    .good = {.pszLine = "[STI]CSTIIOHandler::CallObjectPosition =>", .hr = S_OK},
    .busy = {.pszLine = "[STI] Gereral Error", .hr = WIA_ERROR_BUSY},
    .conditions = kObjectPositionConditions,
    .noCondition = {.hr = E_FAIL},
    .other = {.hr = E_FAIL},
    .pszGoodLog = "locking success.",
};

// The start code is not looked at: a window answer is judged by its status alone.
inline constexpr RESPONSE_JUDGEMENT kSetWindowJudgement = {
    .bTestStartCode = FALSE,
    .badStart = {.hr = S_OK},
    .good = {.hr = S_OK},
    .busy = {.pszLine = "[STI] STATUS_CODE_BUSY", .hr = WIA_ERROR_BUSY},
    .conditions = kSetWindowConditions,
    .noCondition = {.pszLine = "[STI] Gereral Error", .hr = WIA_ERROR_GENERAL_ERROR},
    .other = {.pszLine = "[STI] Gereral Error", .hr = WIA_ERROR_GENERAL_ERROR},
};

// The read tests its start code itself (a refused answer also forgets the announced block) and its
// good answers tell the end of the page apart.
inline constexpr RESPONSE_JUDGEMENT kReadJudgement = {
    .bTestStartCode = FALSE,
    .badStart = {.hr = S_OK},
    .good = {.pszLine = "[STI]CallRead returns S_OK", .hr = S_OK},
    .busy = {.pszLine = "[STI] STATUS_CODE_BUSY Error", .hr = WIA_ERROR_BUSY},
    .conditions = kReadConditions,
    .noCondition = {.hr = E_FAIL},
    .other = {.hr = E_NOTIMPL},
};
