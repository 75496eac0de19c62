// The operator's log line and the developers' trace. WriteLog formats one line under the display
// lock and hands it to the view, which shows only the latest line; DebugTrace writes to stderr
// and to the optional log file. The station's own trace points are switched off for good.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>

class CVarnDLCore;

constexpr uint32_t TRACE_TO_DEBUGGER = 1;
constexpr uint32_t TRACE_TO_FILE = 2;
constexpr int LOG_LINE_MAX = 512;  // characters including the terminator: 511 are kept

// nCh: the channel the line is about (-1: the station's own); every view is told it.
void WriteLog(CVarnDLCore* pDlg, int nCh, std::mutex& csLock, const char* szFormat, ...)
    __attribute__((format(printf, 4, 5)));
void WriteLogV(CVarnDLCore* pDlg, int nCh, std::mutex& csLock, const char* szFormat, va_list args);
void DebugTrace(uint32_t dwFlags, const char* szFormat, ...) __attribute__((format(printf, 2, 3)));
// A trace point of the station: never written anywhere. The points stay where a developer
// following a phone's cycle wants them back, their formats still checked against their arguments.
inline void DEBUG_TRACE_Off(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
inline void DEBUG_TRACE_Off(const char*, ...) {}
// The station calls both with enable 0, so "DiredIror.log" is never written.
void OpenLogFile(int bEnable);
void CloseLogFile(int bEnable);
