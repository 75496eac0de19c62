#include "station/image_selection.h"

#include <cstdarg>
#include <cstring>

#include "station/log.h"
#include "station/model_ticks.h"
#include "station/station_core.h"

CImageSelection::CImageSelection(CVarnDLCore* pStation)
    : m_pMultiCscHeader(MULTICSC_HEADER_SIZE, 0), m_pStation(pStation)
{
    std::memset(&m_RegionTable, 0, sizeof(m_RegionTable));
    std::memset(m_abyPartitionTable, 0xFF, sizeof(m_abyPartitionTable));
}

void CImageSelection::Log(int nCh, const char* szFormat, ...) const
{
    va_list args;
    va_start(args, szFormat);
    WriteLogV(m_pStation, nCh, m_pStation->m_csDisplay, szFormat, args);
    va_end(args);
}

bool CImageSelection::AnyWorkerBusy() const
{
    for (const CHANNEL_STATE& state : m_pStation->m_aChannel)
        if (!CHANNEL_Idle(state)) return true;
    return false;
}

DOWNLOAD_TICKS CImageSelection::CurrentTicks() const
{
    return MODEL_TICKS_Current(*m_pStation);
}
