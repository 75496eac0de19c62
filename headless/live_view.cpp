#include "headless/live_view.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "station/clock.h"
#include "station/station_core.h"

namespace {

// The terminal was resized (SIGWINCH); the next frame is drawn afresh at the new width.
std::atomic<bool> g_bResized{false};
void OnResize(int) { g_bResized = true; }

std::string Seconds(uint32_t dwMs)
{
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.1f", dwMs / 1000.0);
    return sz;
}

std::string Throughput(uint64_t qwBytes, uint32_t dwMs)
{
    if (dwMs == 0) return "-";
    char sz[32];
    // 10^6 bytes a second.
    std::snprintf(sz, sizeof(sz), "%.2f", static_cast<double>(qwBytes) / 1000.0 / dwMs);
    return sz;
}

}  // namespace

void HEADLESS_WatchResize()
{
    struct sigaction sa = {};
    sa.sa_handler = OnResize;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &sa, nullptr);
}

CLiveView::CLiveView(CVarnDLCore& core, const STATION_THREADS& threads, size_t nChannels, CTerminalOutput& out)
    : m_core(core), m_threads(threads), m_nChannels(nChannels), m_out(out)
{
}

void CLiveView::Note(const std::string& strLine)
{
    std::lock_guard<std::mutex> lock(m_csNotes);
    m_astrNotes.push_back(TERMINAL_PlainText(TERMINAL_Chomp(strLine)));
}

void CLiveView::Draw(bool bFinal)
{
    const auto now = std::chrono::steady_clock::now();
    const bool bSoon = now - m_lastDraw < std::chrono::milliseconds(DRAW_INTERVAL_MS);
    if (!bFinal && (bSoon || !m_out.Idle())) return;
    m_lastDraw = now;
    const size_t nColumns = Columns();
    std::string strFrame;
    if (m_bDrawn && g_bResized.exchange(false)) {
        // The terminal has rewrapped the lines drawn at the old width: back over as many
        // rows as they take now, and clear everything from there down.
        size_t nRows = 0;
        for (const size_t nWidth : m_anDrawnWidth) nRows += std::max<size_t>(1, (nWidth + nColumns - 1) / nColumns);
        strFrame = "\x1b[" + std::to_string(nRows) + "A\r\x1b[J";
    } else if (m_bDrawn) {
        strFrame = "\x1b[" + std::to_string(m_nChannels) + "A";
    }
    std::vector<std::string> astrNotes;
    {
        std::lock_guard<std::mutex> lock(m_csNotes);
        astrNotes.swap(m_astrNotes);
    }
    // Notes stay whole: they scroll away above the lines, wrapped or not.
    for (const std::string& strNote : astrNotes) strFrame += "\r\x1b[2K" + strNote + "\n";
    m_anDrawnWidth.assign(m_nChannels, 0);
    for (size_t i = 0; i < m_nChannels; ++i) {
        const std::string strLine = ChannelLine(static_cast<int>(i), nColumns);
        m_anDrawnWidth[i] = TERMINAL_Width(strLine);
        strFrame += "\r\x1b[2K" + strLine + "\n";
    }
    m_bDrawn = true;
    m_out.Append(strFrame);
}

void CLiveView::Summary()
{
    std::vector<std::vector<std::string>> aRows = {{"channel", "port", "result", "seconds", "MB/s"}};
    for (size_t i = 0; i < m_nChannels; ++i) {
        const int nCh = static_cast<int>(i);
        const CHANNEL_END& end = m_threads.m_aEnd[i];
        const std::string strPort = PortName(nCh) + " " + TERMINAL_PlainText(end.strDevNode);
        if (!Ended(nCh)) {
            aRows.push_back({"CH" + std::to_string(i), strPort, "Not started", "-", "-"});
            continue;
        }
        aRows.push_back({"CH" + std::to_string(i), strPort, TERMINAL_PlainText(OUTCOME_ResultText(end.outcome)),
                         Seconds(end.dwElapsedMs), Throughput(end.qwBytesSent, end.dwElapsedMs)});
    }
    size_t anWidth[5] = {};
    for (const auto& row : aRows)
        for (size_t c = 0; c < 5; ++c) anWidth[c] = std::max(anWidth[c], row[c].size());
    std::string strTable = "\n";
    for (const auto& row : aRows) {
        std::string strLine;
        for (size_t c = 0; c < 5; ++c) {
            // Text columns to the left, numbers to the right.
            const std::string strPad(anWidth[c] - row[c].size(), ' ');
            strLine += c < 3 ? row[c] + strPad + "  " : strPad + row[c] + (c < 4 ? "  " : "");
        }
        strTable += strLine + "\n";
    }
    m_out.Append(strTable);
}

size_t CLiveView::Columns()
{
    const size_t nColumns = TERMINAL_Columns();
    return (nColumns != 0 ? nColumns : 80) - 1;
}

bool CLiveView::Started(int nCh) const { return m_threads.m_dwStarted[nCh] != 0; }

bool CLiveView::Ended(int nCh) const { return Started(nCh) && m_threads.m_bEnded[nCh] != 0; }

std::string CLiveView::PortName(int nCh) const
{
    const uint32_t nPort = Started(nCh) ? m_threads.m_aEnd[nCh].nPort : m_core.m_aChannel[nCh].m_nComPort.load();
    return "COM" + std::to_string(nPort);
}

std::string CLiveView::ChannelLine(int nCh, size_t nColumns) const
{
    const BAR_STATE state = m_core.m_ctrlProgress[nCh].GetState();
    const CHANNEL_END& end = m_threads.m_aEnd[nCh];
    uint32_t dwMs = 0;
    if (Ended(nCh))
        dwMs = end.dwElapsedMs;
    else if (Started(nCh))
        dwMs = CLOCK_Get().GetTickCount() - end.dwStartTick;
    const int nPercent = std::clamp(state.nPercent, 0, 100);
    const size_t nFill = static_cast<size_t>(nPercent * BAR_WIDTH / 100);
    char szHead[64], szTail[48];
    std::snprintf(szHead, sizeof(szHead), "CH%d %-6s [", nCh, PortName(nCh).c_str());
    std::snprintf(szTail, sizeof(szTail), "] %3d%% %5us  ", nPercent, dwMs / 1000);
    const size_t nFixed = std::strlen(szHead) + BAR_WIDTH + std::strlen(szTail);
    std::string strText = TERMINAL_PlainText(TERMINAL_Chomp(state.strText));
    strText.erase(0, std::min(strText.find_first_not_of(' '), strText.size()));
    // A narrow terminal still shows each channel's state: no bar, the text cut on the right.
    if (nFixed >= nColumns) return TERMINAL_Fit("CH" + std::to_string(nCh) + " " + strText, nColumns);
    // The bar takes the colour of the channel's bar: red for a failure, green for a pass.
    const char* szColour = state.byRed == 255 ? "\x1b[31m" : state.byGreen == 255 ? "\x1b[32m" : "";
    const std::string strBar = std::string(nFill, '#') + std::string(BAR_WIDTH - nFill, '-');
    return szHead + std::string(szColour) + strBar + (*szColour ? "\x1b[0m" : "") + szTail +
           TERMINAL_Fit(strText, nColumns - nFixed);
}
