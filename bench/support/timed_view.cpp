#include "bench/support/timed_view.h"

#include <cstdio>

#include "station/station_core.h"

void CBenchTimedView::OnLogLine(int nCh, const std::string& strLine)
{
    const unsigned nPort = nCh >= 0 && nCh < MAX_CHANNEL ? m_Core.m_aChannel[nCh].m_nComPort.load() : 0;
    std::printf("[CH%d COM%u] %s\n", nCh, nPort, strLine.c_str());
    std::fflush(stdout);
    m_Inner.OnLogLine(nCh, strLine);
}
