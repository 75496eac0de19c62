#include "station/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include <unistd.h>

#include "station/clock.h"
#include "station/station_core.h"

namespace {
std::mutex g_csLogFile;
FILE* g_pLogFile = nullptr;

// A cut line may end inside a multi-byte character (an entry name decoded from the code page);
// the box would show a replacement mark for the half, so the half goes.
void DropCutSequence(char* szLine, int nLength)
{
    int nStart = nLength;
    while (nStart > 0 && (static_cast<unsigned char>(szLine[nStart - 1]) & 0xC0) == 0x80) --nStart;
    if (nStart == 0) return;
    unsigned char byLead = static_cast<unsigned char>(szLine[nStart - 1]);
    if (byLead < 0xC0) return;  // the line ends on a whole character
    int nNeed = byLead >= 0xF0 ? 4 : byLead >= 0xE0 ? 3 : 2;
    if (nLength - (nStart - 1) < nNeed) szLine[nStart - 1] = '\0';
}
}  // namespace

void WriteLogV(CVarnDLCore* pDlg, int nCh, std::mutex& csLock, const char* szFormat, va_list args)
{
    std::lock_guard<std::mutex> lock(csLock);
    char szLine[LOG_LINE_MAX];
    int nLength = std::vsnprintf(szLine, sizeof(szLine), szFormat, args);  // cuts at 511
    if (nLength < 0) szLine[0] = '\0';
    else if (nLength >= LOG_LINE_MAX) DropCutSequence(szLine, LOG_LINE_MAX - 1);
    if (!pDlg) return;
    pDlg->m_strLog = szLine;
    // The view hands the line to the window thread without waiting for it.
    pDlg->View().OnLogLine(nCh, pDlg->m_strLog);
}

void WriteLog(CVarnDLCore* pDlg, int nCh, std::mutex& csLock, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    WriteLogV(pDlg, nCh, csLock, szFormat, args);
    va_end(args);
}

void DebugTrace(uint32_t dwFlags, const char* szFormat, ...)
{
    if (dwFlags == 0) return;
    std::unique_lock<std::mutex> lock(g_csLogFile, std::defer_lock);
    const bool bFile = (dwFlags & TRACE_TO_FILE) != 0;
    if (bFile) lock.lock();
    char szBuf[2048];
    std::snprintf(szBuf, sizeof(szBuf), "{%10d} ", static_cast<int>(CLOCK_Get().GetTickCount()));
    if (dwFlags & TRACE_TO_DEBUGGER) std::fputs(szBuf, stderr);
    if (bFile && g_pLogFile) std::fputs(szBuf, g_pLogFile);
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(szBuf, 1024, szFormat, args);  // a longer trace text is cut
    va_end(args);
    if (dwFlags & TRACE_TO_DEBUGGER) std::fputs(szBuf, stderr);
    if (bFile && g_pLogFile) std::fputs(szBuf, g_pLogFile);
}

void OpenLogFile(int bEnable)
{
    if (!bEnable) return;
    std::lock_guard<std::mutex> lock(g_csLogFile);
    if (g_pLogFile) return;
    char szExe[512] = {};
    ssize_t n = ::readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (n <= 0) return;
    std::string strPath(szExe, static_cast<size_t>(n));
    strPath = strPath.substr(0, strPath.find_last_of('/')) + "/DiredIror.log";
    g_pLogFile = std::fopen(strPath.c_str(), "w");
}

void CloseLogFile(int bEnable)
{
    if (!bEnable) return;
    std::lock_guard<std::mutex> lock(g_csLogFile);
    if (g_pLogFile) {
        std::fclose(g_pLogFile);
        g_pLogFile = nullptr;
    }
}
