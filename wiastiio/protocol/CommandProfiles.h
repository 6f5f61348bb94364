// Every command's exchange and judgement in one place: the debug lines of each step, what a short or
// failed transfer yields, and which status or condition bit becomes which result. The texts are part of
// the library's interface (tools match on them), misspellings and doubled blanks included.
#pragma once

#include <cstddef>

#include "protocol/CommandExchange.h"
#include "protocol/Protocol.h"

// ---- Exchanges -------------------------------------------------------------------------------------
// Texts of each direction: short transfer, failed call, error code, success (CommandExchange.h).

// The commands whose counts the handler always checked, before the call's own result; a short transfer
// yields E_FAIL.
constexpr COMMAND_EXCHANGE BothCountsChecked(LPCSTR pszWriteCount, BOOL bCloseOnShort, HRESULT hrFailedCall,
                                             EXCHANGE_TEXTS write, EXCHANGE_TEXTS read) {
  return {
      pszWriteCount, COUNT_CHECK::kBeforeResult, COUNT_CHECK::kBeforeResult, bCloseOnShort, E_FAIL, hrFailedCall, write,
      read};
}

// The inquiry ends its port cycle itself, whatever happened, so a short transfer leaves the port alone.
inline constexpr COMMAND_EXCHANGE kInquiryExchange =
    BothCountsChecked("[QZ] sizeof(m_cmdInquiry)= %d,dwBytesWritten = %d, bResult = %d", FALSE, E_NOTIMPL,
                      {"[QZ]Writefile Fail", "[STI]CSTIIOHandler::CallGetDeviceInfo = > CoWriteFile Fail", nullptr,
                       "[STI]CSTIIOHandler::CallGetDeviceInfo => CoWriteFile Success"},
                      {"[QZ]Readfile Fail", "[STI]CSTIIOHandler::CallGetDeviceInfo => CoReadFile Fail",
                       "[STI]Error code => %d", "[STI]CSTIIOHandler::CallGetDeviceInfo =>CoReadFile Success"});

inline constexpr COMMAND_EXCHANGE kReserveUnitExchange =
    BothCountsChecked("[QZ] sizeof(m_cmdReserveUnit)= %d,dwBytesWritten = %d, bResult = %d", TRUE, E_NOTIMPL,
                      {"[STI] I/O Error", "[STI]CSTIIOHandler::CallReserveUnit = > CoWriteFile Fail",
                       "[STI]Error Code => %d", "[STI]CSTIIOHandler::CallReserveUnit = > CoWriteFile Success"},
                      {nullptr, "[STI]CSTIIOHandler::CallReserveUnit = > CoReadFile Fail", "[STI]Error code => %d",
                       "[STI]CSTIIOHandler::CallReserveUnit =>CoReadFile Success"});

// The commands whose counts the handler never checked: an answer is judged on what arrived. Only one too
// short to hold the bytes its judgement reads (cbJudged), once the read call has reported success, is a
// short transfer, and leaves the port cycle to the dispatcher.
constexpr COMMAND_EXCHANGE AnswerCountChecked(DWORD cbJudged, HRESULT hrShortTransfer, HRESULT hrFailedCall,
                                              EXCHANGE_TEXTS write, EXCHANGE_TEXTS read) {
  return {nullptr, COUNT_CHECK::kNone, COUNT_CHECK::kAfterResult, FALSE, hrShortTransfer, hrFailedCall, write, read,
          cbJudged};
}

// The bytes a judgement reads: the start code and the status, and for the condition bits wMsgData too.
inline constexpr DWORD JUDGED_STATUS = offsetof(RESPONSE_HEADER, byStatusCode) + 1;
inline constexpr DWORD JUDGED_CONDITIONS = offsetof(RESPONSE_HEADER, wMsgData) + sizeof(WORD);

inline constexpr COMMAND_EXCHANGE kReleaseUnitExchange =
    AnswerCountChecked(JUDGED_STATUS, E_FAIL, E_NOTIMPL,
                       {nullptr, "[STI]CSTIIOHandler::CallReleaseUnit => CoWriteFile Fail", nullptr,
                        "[STI]CSTIIOHandler::CallReleaseUnit => CoWriteFile Success"},
                       {"[STI]CSTIIOHandler::CallReleaseUnit => short answer of %d of %d bytes refused",
                        "[STI]CSTIIOHandler::CallReleaseUnit => CoReadFile Fail", nullptr,
                        "[STI]CSTIIOHandler::CallReleaseUnit => CoReadFile Success"});

// Abort is best effort: the minidriver is stopping anyway, so no outcome is reported as a failure.
inline constexpr COMMAND_EXCHANGE kAbortExchange =
    AnswerCountChecked(JUDGED_STATUS, S_OK, S_OK,
                       {nullptr, "[STI]CSTIIOHandler::CallAbort => CoWriteFile Fail,Error Code =>%d", nullptr,
                        "[STI]CSTIIOHandler::CallAbort => CoWriteFile Success"},
                       {"[STI]CSTIIOHandler::CallAbort => short answer of %d of %d bytes refused",
                        "[STI]CSTIIOHandler::CallAbort => CoReadFile Fail", nullptr,
                        "[STI]CSTIIOHandler::CallAbort => CoReadFile Success"});

inline constexpr COMMAND_EXCHANGE kObjectPositionExchange =
    AnswerCountChecked(JUDGED_CONDITIONS, E_FAIL, E_NOTIMPL,
                       {nullptr, "[STI]CSTIIOHandler::CallObjectPosition = > CoWriteFile Fail", nullptr, nullptr},
                       {"[STI]CSTIIOHandler::CallObjectPosition => short answer of %d of %d bytes refused",
                        "[STI]CSTIIOHandler::CallObjectPosition =>CoReadFile Fail", nullptr,
                        "[STI]CSTIIOHandler::CallObjectPosition => \t\t\t\tCoWriteFile / CoReadFile Success"});

inline constexpr COMMAND_EXCHANGE kSetWindowExchange =
    AnswerCountChecked(JUDGED_CONDITIONS, E_FAIL, E_FAIL,
                       {nullptr, "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoWriteFile Fail",
                        nullptr, "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoWriteFile Success"},
                       {"[STI]CSTIIOHandler::CallSetWindowParameter => short answer of %d of %d bytes refused",
                        "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoReadFile Fail", nullptr,
                        "[STI]CSTIIOHandler::CallSetWindowParameter = > \t\t\t\t\t\t\tCoReadFile Success"});

inline constexpr COMMAND_EXCHANGE kReadExchange = BothCountsChecked(
    nullptr, TRUE, E_FAIL,
    {"[STI]Writefile I/O Fail", "[STI]CSTIIOHandler::CallRead = > CoWriteFile Fail", nullptr, nullptr},
    {"[STI]Readfile I/O Fail", "[STI]CSTIIOHandler::CallRead = > CoReadFile Fail", nullptr,
     "[STI]CSTIIOHandler::CallRead = > Read / Write[Success]"});

inline constexpr COMMAND_EXCHANGE kReadImageExchange =
    BothCountsChecked(nullptr, TRUE, E_NOTIMPL,
                      {nullptr, "[STI]CSTIIOHandler::CallReadImage = > CoWriteFile Fail", nullptr,
                       "[STI]CSTIIOHandler::CallReadImage = > CoWriteFile Success"},
                      {nullptr, "[STI]CSTIIOHandler::CallReadImage = > CoReadFile Fail", "[STI]Error code => %d",
                       "[STI]CSTIIOHandler::CallReadImage = > CoReadFile Success"});

// ---- Judgements ------------------------------------------------------------------------------------

// Object position and read report an empty feeder as a state, not a failure: the minidriver may fall
// back to the flatbed. The read alone knows bit 14, and keeps the warming-up text for it.
inline constexpr CONDITION_RESULT kPositionAndReadConditions[] = {
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
    TRUE, {nullptr, E_FAIL}, {nullptr, S_OK},   {nullptr, E_FAIL}, nullptr,
    0,    {nullptr, E_FAIL}, {nullptr, E_FAIL}, nullptr,
};

inline constexpr RESPONSE_JUDGEMENT kReserveUnitJudgement = {
    TRUE,
    {nullptr, E_FAIL},
    {"[STI]CSTIIOHandler::CallReserveUnit => \t\t\t\t\t\t\tLocking Success", S_OK},
    {"[STI] Gereral Error", WIA_ERROR_BUSY},
    kReserveUnitConditions,
    sizeof(kReserveUnitConditions) / sizeof(kReserveUnitConditions[0]),
    {nullptr, E_FAIL},
    {nullptr, E_FAIL},
    "locking success.",
};

// Abort is best effort: whatever the answer, the minidriver is stopping anyway.
inline constexpr RESPONSE_JUDGEMENT kAbortJudgement = {
    FALSE, {nullptr, S_OK}, {nullptr, S_OK}, {nullptr, S_OK},     nullptr,
    0,     {nullptr, S_OK}, {nullptr, S_OK}, "aborting success.",
};

// A refused release is not refined by its message data.
inline constexpr RESPONSE_JUDGEMENT kReleaseUnitJudgement = {
    TRUE,
    {nullptr, E_NOTIMPL},
    {"[STI]CSTIIOHandler::CallReleaseUnit => UnLocking Success", S_OK},
    {"[STI] Gereral Error", WIA_ERROR_BUSY},
    nullptr,
    0,
    {nullptr, E_FAIL},
    {nullptr, E_FAIL},
    "locking success.",
};

inline constexpr RESPONSE_JUDGEMENT kObjectPositionJudgement = {
    TRUE,
    {nullptr, E_FAIL},
    {"[STI]CSTIIOHandler::CallObjectPosition =>", S_OK},
    {"[STI] Gereral Error", WIA_ERROR_BUSY},
    kPositionAndReadConditions,
    4,  // bit 14 is the read's alone
    {nullptr, E_FAIL},
    {nullptr, E_FAIL},
    "locking success.",
};

// The start code is not looked at: a window answer is judged by its status alone.
inline constexpr RESPONSE_JUDGEMENT kSetWindowJudgement = {
    FALSE,
    {nullptr, S_OK},
    {nullptr, S_OK},
    {"[STI] STATUS_CODE_BUSY", WIA_ERROR_BUSY},
    kSetWindowConditions,
    sizeof(kSetWindowConditions) / sizeof(kSetWindowConditions[0]),
    {"[STI] Gereral Error", WIA_ERROR_GENERAL_ERROR},
    {"[STI] Gereral Error", WIA_ERROR_GENERAL_ERROR},
    nullptr,
};

// The read tests its start code itself (a refused answer also forgets the announced block) and its
// good answers tell the end of the page apart; the conditions come from the scanner-state word.
inline constexpr RESPONSE_JUDGEMENT kReadJudgement = {
    FALSE,
    {nullptr, S_OK},
    {"[STI]CallRead returns S_OK", S_OK},
    {"[STI] STATUS_CODE_BUSY Error", WIA_ERROR_BUSY},
    kPositionAndReadConditions,
    sizeof(kPositionAndReadConditions) / sizeof(kPositionAndReadConditions[0]),
    {nullptr, E_FAIL},
    {nullptr, E_NOTIMPL},
    nullptr,
};
