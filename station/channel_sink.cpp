#include "station/channel_sink.h"

#include <cstdarg>

#include "station/log.h"
#include "station/station_core.h"

bool CChannelSink::ChannelRuns(int nCh) const
{
    return nCh >= 0 && nCh < MAX_CHANNEL && m_pStation->m_aChannel[nCh].m_bRun.load() != 0;
}

CTextProgressState& CChannelSink::Bar(int nCh) const
{
    return m_pStation->m_ctrlProgress[nCh];
}

std::mutex& CChannelSink::DisplayLock() const
{
    return m_pStation->m_csDisplay;
}

void CChannelSink::Log(int nCh, const char* szFormat, ...) const
{
    va_list args;
    va_start(args, szFormat);
    WriteLogV(m_pStation, nCh, m_pStation->m_csDisplay, szFormat, args);
    va_end(args);
}

void CChannelSink::End(int nCh, OUTCOME_KIND eKind, const std::string& strText) const
{
    OUTCOME_End(*m_pStation, nCh, eKind, strText);
}
